#include "FtpClient.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <limits>
#include <thread>

namespace {

const QString kClosedByServer = QStringLiteral("Control connection closed by the server");

// A reply line as the text of an exception: without its line end.
QString lineText(const QByteArray& line)
{
    QByteArray text = line;
    while (text.endsWith('\n') || text.endsWith('\r'))
        text.chop(1);
    return QString::fromLatin1(text);
}

bool holdsLineBreakOrNul(const QByteArray& text)
{
    return text.contains('\r') || text.contains('\n') || text.contains('\0');
}

// Refuses a value that is about to become part of a command line. A CR or LF
// in it would end our command early and start another one of the value's
// choosing; a NUL would cut the command short.
void requireSingleLine(const QString& value, const char* what)
{
    if (holdsLineBreakOrNul(value.toUtf8()))
        throw Exception(QStringLiteral("%1 contains a line break or NUL character")
                            .arg(QLatin1String(what)));
}

// The number in a field of a reply, read the way the server's numbers have
// always been read here: leading blanks allowed, an optional sign, decimal
// digits, nothing after them. Throws EConvertError otherwise.
int fieldToInt(const QByteArray& field)
{
    qsizetype i = 0;
    while (i < field.size() && (field[i] == ' ' || field[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == '-' || field[i] == '+')) {
        negative = field[i] == '-';
        ++i;
    }
    const qsizetype firstDigit = i;
    qint64 value = 0;
    for (; i < field.size(); ++i) {
        const char c = field[i];
        if (c < '0' || c > '9')
            break;
        value = value * 10 + (c - '0');
        if (value > qint64(std::numeric_limits<int>::max()) + 1)
            break;
    }
    if (i == firstDigit || i != field.size()
        || value > qint64(std::numeric_limits<int>::max()) + (negative ? 1 : 0))
        throw EConvertError::notAnInteger(QString::fromLatin1(field));
    return int(negative ? -value : value);
}

} // namespace

TFtpClient::TFtpClient(QObject* owner)
    : TSocketConn(owner)
    , m_transferLock(std::make_shared<std::recursive_mutex>())
    , m_alive(std::make_shared<bool>(true))
{
    Port = 21;
    Vendor = 2411;
    // Replies that arrive between operations stay in the socket until the
    // next operation drops them; the notification itself needs no action.
    OnReadReady = [](QObject*) {};
}

TFtpClient::~TFtpClient()
{
    *m_alive = false;
    // The base destructor cannot reach our Abort any more, so the data
    // connection is cancelled here; it is a child and dies with us, which
    // ends its wait with its cancel error.
    if (m_dataConn)
        m_dataConn->Cancel();
    Cancel();
    m_transferLock.reset();
}

bool TFtpClient::transferLockHeld() const
{
    bool acquired = false;
    std::thread probe([&] {
        if (m_transferLock->try_lock()) {
            acquired = true;
            m_transferLock->unlock();
        }
    });
    probe.join();
    return !acquired;
}

qint16 TFtpClient::replyCodeOf(const QByteArray& line)
{
    qint64 value = 0;
    int digits = 0;
    for (qsizetype i = 0; i < line.size() && i < 10; ++i) {
        const char c = line[i];
        if (c < '0' || c > '9')
            break;
        value = value * 10 + (c - '0');
        ++digits;
    }
    if (digits == 0)
        return 0;
    if (value > std::numeric_limits<qint16>::max())
        throw ERangeError(QStringLiteral("Range check error"));
    return qint16(value);
}

bool TFtpClient::replyContinues(const QByteArray& line)
{
    if (line.isEmpty())
        return false;
    return line[0] == ' ' || (line.size() >= 4 && line[3] == '-');
}

quint16 TFtpClient::passivePort(const QByteArray& replyLine)
{
    const QList<QByteArray> fields = replyLine.split(',');
    QByteArray lowText;
    if (fields.size() >= 6) {
        const qsizetype paren = fields[5].indexOf(')');
        if (paren >= 0)
            lowText = fields[5].left(paren);
    }
    const int low = fieldToInt(lowText);
    const int high = fieldToInt(fields.size() >= 5 ? fields[4] : QByteArray());
    // Both numbers are bytes of the port; anything else would wrap around to
    // a port the server never offered.
    if (low < 0 || low > 255 || high < 0 || high > 255 || (high == 0 && low == 0))
        throw FTPException(QStringLiteral("Unusable port in passive mode reply: ")
                           + lineText(replyLine));
    return quint16(high * 256 + low);
}

QByteArray TFtpClient::readReply(const QByteArray& firstLine)
{
    QByteArray line = firstLine;
    while (replyContinues(line)) {
        line = ReadLn();
        if (!line.isEmpty())
            ReportStatus(1, QString::fromLatin1(line));
    }
    return firstLine;
}

// A reply that is not the answer to a command sent just now (the greeting,
// the closing reply of a transfer): read by the same rules, without sending.
QByteArray TFtpClient::awaitReply()
{
    const QByteArray first = ReadLn();
    LastReply = first;
    ReplyCode = replyCodeOf(first);
    if (!first.isEmpty())
        ReportStatus(1, QString::fromLatin1(first));
    return readReply(first);
}

QByteArray TFtpClient::Transaction(const QByteArray& command)
{
    if (holdsLineBreakOrNul(command))
        throw Exception(QStringLiteral("Command contains a line break or NUL character"));
    return readReply(TSocketConn::Transaction(command));
}

// A command whose reply must be there: a control connection that ends instead
// of answering is a failure, never a reply with code 0 that passes the checks.
QByteArray TFtpClient::command(const QByteArray& text)
{
    const QByteArray reply = Transaction(text);
    if (reply.isEmpty())
        throw FTPException(kClosedByServer);
    return reply;
}

void TFtpClient::checkLogin(const QByteArray& reply)
{
    if (ReplyCode > 400 && ReplyCode < 600) {
        if (TSocketConn::OnConnectionFailed)
            TSocketConn::OnConnectionFailed(this);
        throw FTPException(lineText(reply));
    }
}

void TFtpClient::Connect()
{
    Canceled = false;
    if (Connected)
        return;

    requireSingleLine(UserID, "User name");
    requireSingleLine(Password, "Password");
    if (FWAuthenticate) {
        requireSingleLine(FWUserID, "Firewall user name");
        requireSingleLine(FWPassword, "Firewall password");
    }
    if (!Proxy.isEmpty())
        requireSingleLine(Host, "Host name");

    ClearInput();
    TSocketConn::Connect();

    const std::shared_ptr<bool> alive = m_alive;
    try {
        login();
    } catch (...) {
        if (!*alive)
            throw;
        // Log out before the failure leaves, so that the component ends not
        // connected. A failing QUIT must not hide the reason for leaving.
        try {
            Disconnect();
        } catch (...) {
        }
        if (*alive)
            ReportStatus(1, QStringLiteral("Disconnected"));
        throw;
    }
}

void TFtpClient::login()
{
    const QByteArray greeting = awaitReply();
    if (greeting.isEmpty())
        throw FTPException(kClosedByServer);
    if (ReplyCode > 400) {
        if (TSocketConn::OnConnectionFailed)
            TSocketConn::OnConnectionFailed(this);
        throw FTPException(lineText(greeting));
    }

    if (FWAuthenticate) {
        // The firewall's own USER is not reported: only its reply is.
        checkLogin(command("USER " + FWUserID.toUtf8()));
        if (ReplyCode == 331) {
            ReportStatus(1, QStringLiteral("PASS "));
            checkLogin(command("PASS " + FWPassword.toUtf8()));
        }
    }

    if ((UserID.isEmpty() || Password.isEmpty()) && OnAuthenticationNeeded) {
        bool handled = false;
        OnAuthenticationNeeded(handled);
        requireSingleLine(UserID, "User name");
        requireSingleLine(Password, "Password");
    }

    if (!Proxy.isEmpty()) {
        // A refused firewall step means the firewall did not reach Host: going
        // on would log in to the firewall itself, or report a failed login as
        // a connection.
        switch (FirewallType) {
        case FTUser:
            checkLogin(command("USER " + UserID.toUtf8() + '@' + Host.toUtf8()));
            break;
        case FtOpen:
            checkLogin(command("OPEN " + Host.toUtf8()));
            break;
        case FtSite:
            checkLogin(command("SITE " + Host.toUtf8()));
            break;
        }
    }
    if (Proxy.isEmpty() || FirewallType != FTUser) {
        ReportStatus(1, QStringLiteral("USER ") + UserID);
        checkLogin(command("USER " + UserID.toUtf8()));
    }
    // Only 331 asks for the password; 230 (and 332) go on without it.
    if (ReplyCode == 331) {
        ReportStatus(1, QStringLiteral("PASS "));
        checkLogin(command("PASS " + Password.toUtf8()));
    }

    if (OnConnect)
        OnConnect(this);
}

void TFtpClient::Disconnect()
{
    Canceled = false;
    if (!Connected)
        return;
    ReportStatus(1, QStringLiteral("QUIT"));
    Vendor = 2411;

    const std::shared_ptr<bool> alive = m_alive;
    QByteArray reply;
    try {
        if (DataAvailable())
            Read(0);
        reply = Transaction("QUIT");
    } catch (...) {
        if (*alive) {
            try {
                TSocketConn::Disconnect();
            } catch (...) {
            }
        }
        throw;
    }
    const qint16 code = ReplyCode;
    TSocketConn::Disconnect();
    if (code > 300 && code < 600)
        throw FTPException(lineText(reply));
}

void TFtpClient::Abort()
{
    if (m_dataConn)
        m_dataConn->Cancel();
    // The time-out of our own wait (a reply that never comes) arrives here as
    // well: the timer sets TimedOut and then calls Abort. Only cancelling the
    // data connection would leave that wait running for ever, so our own wait
    // is ended too. A caller's Abort leaves the control connection alone.
    if (TimedOut)
        TSocketConn::Cancel();
}

// The address the data connection goes to in passive mode: the very peer of
// the control connection. The address in the PASV reply is ignored (a server
// must not send us elsewhere), and asking the peer instead of resolving the
// name again keeps us on the same machine behind a name with many addresses
// and on the firewall when Proxy is in use.
QString TFtpClient::dataHost() const
{
    sockaddr_in peer {};
    socklen_t length = sizeof peer;
    if (::getpeername(socketHandle(), reinterpret_cast<sockaddr*>(&peer), &length) == 0
        && peer.sin_family == AF_INET) {
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text))
            return QString::fromLatin1(text);
    }
    return Proxy.isEmpty() ? Host : Proxy;
}

// A failing reply during an upload. OnFailure may mark it handled: then the
// upload ends quietly and this returns true. Otherwise FTPException.
bool TFtpClient::replyFailureHandled(const QByteArray& reply)
{
    if (OnFailure) {
        bool handled = false;
        OnFailure(handled, TCmdType::Upload);
        if (handled)
            return true;
    }
    throw FTPException(reply.isEmpty() ? kClosedByServer : lineText(reply));
}

// Whether the control connection has something to say: a reply waiting, its
// end, or an error. Never waits.
bool TFtpClient::controlHasNews() const
{
    char byte = 0;
    const ssize_t n = ::recv(socketHandle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// Waits for the server to connect to our PORT address. The accept wait has no
// time limit of its own, and a server that cannot reach us says so on the
// control connection (425) and never connects; so while we wait, the control
// connection is watched, and anything said there (or its end) ends the wait as
// a reply failure. On success the data connection holds the accepted socket
// and true is returned; false when OnFailure handled the failure. Throws like
// replyFailureHandled and the socket layer's Accept.
bool TFtpClient::acceptDataConnection(TSocketConn* data)
{
    const std::shared_ptr<bool> alive = m_alive;
    const QPointer<TSocketConn> guardedData(data);
    bool controlSpoke = false;
    QTimer watch;
    watch.setInterval(10);
    connect(&watch, &QTimer::timeout, this, [&] {
        // Runs inside the accept wait: catch everything, Qt must not unwind.
        try {
            if (!*alive || controlSpoke)
                return;
            if (!Connected || controlHasNews()) {
                controlSpoke = true;
                if (guardedData)
                    guardedData->Cancel();
            }
        } catch (...) {
            controlSpoke = true;
            if (guardedData)
                guardedData->Cancel();
        }
    });
    watch.start();
    int accepted = -1;
    try {
        accepted = data->Accept();
    } catch (const ESockError&) {
        if (!*alive || !controlSpoke)
            throw;
    }
    watch.stop();
    if (accepted >= 0)
        data->adoptSocket(accepted);
    if (!controlSpoke)
        return true;

    return !replyFailureHandled(Connected ? awaitReply() : QByteArray());
}

void TFtpClient::Upload(const QString& localFile, const QString& remoteFile)
{
    Canceled = false;
    bool succeeded = false;
    const std::shared_ptr<bool> alive = m_alive;
    try {
        uploadBody(localFile, remoteFile, succeeded);
    } catch (...) {
        if (!*alive)
            throw;
        if (OnFailure) {
            bool handled = false;
            OnFailure(handled, TCmdType::Upload);
            if (handled)
                return;
        }
        throw;
    }
    if (succeeded && OnSuccess)
        OnSuccess(TCmdType::Upload);
}

void TFtpClient::uploadBody(const QString& localFile, const QString& remoteFile,
                            bool& succeeded)
{
    CheckConnection();
    const QString storedName = remoteFile.isEmpty() ? QFileInfo(localFile).fileName() : remoteFile;
    requireSingleLine(storedName, "File name");

    const std::shared_ptr<bool> alive = m_alive;
    const std::shared_ptr<std::recursive_mutex> lock = m_transferLock;
    std::unique_lock<std::recursive_mutex> locked(*lock);

    // A nested upload (from a handler, against the rules) must not leave the
    // outer one pointing at a freed data connection.
    TSocketConn* const outerDataConn = m_dataConn;
    QPointer<TSocketConn> data;
    const auto freeDataConn = qScopeGuard([&] {
        if (*alive)
            m_dataConn = outerDataConn;
        if (!data)
            return;
        if (!succeeded) {
            // Close with a reset, not an orderly end: a server must not take
            // a half-sent file for a complete one.
            try {
                data->setLinger(true, 0);
            } catch (...) {
            }
        }
        delete data.data();
    });

    if (DataAvailable())
        Read(0);

    data = new TSocketConn(this);
    data->TimeOut = TimeOut;
    if (OnPacketSent)
        data->OnPacketSent = OnPacketSent;
    m_dataConn = data;

    {
        QFile file(localFile);
        if (!file.open(QIODevice::ReadOnly))
            throw EFileError(QStringLiteral("Cannot open file %1").arg(localFile));
        TotalBytes = qint32(std::min<qint64>(file.size(), std::numeric_limits<qint32>::max()));
    }

    if (Passive) {
        const QByteArray reply = command("PASV");
        if (ReplyCode >= 500) {
            if (replyFailureHandled(reply))
                return;
        }
        const quint16 port = passivePort(reply);
        data->Host = dataHost();
        data->Port = port;
        data->Connect();
    } else {
        data->Port = 0;
        data->Listen(false);
        const QByteArray reply =
            command("PORT " + (LocalAddressText() + data->LocalPortText()).toLatin1());
        if (ReplyCode > 300 && ReplyCode < 600) {
            if (replyFailureHandled(reply))
                return;
        }
    }

    ReportStatus(1, QStringLiteral("STOR ") + (remoteFile.isEmpty() ? localFile : remoteFile));
    const QByteArray storReply = command("STOR " + storedName.toUtf8());
    if (ReplyCode > 300 && ReplyCode < 600) {
        if ((ReplyCode == 500 || ReplyCode == 501 || ReplyCode == 502) && OnUnSupportedFunction)
            OnUnSupportedFunction(TCmdType::Upload);
        if (replyFailureHandled(storReply))
            return;
    }

    if (!Passive && !acceptDataConnection(data))
        return;

    if (OnTransactionStart)
        OnTransactionStart(this);
    if (!Canceled && !TimedOut)
        data->SendFile(localFile);
    if (OnTransactionStop)
        OnTransactionStop(this);
    // Cancelled before the file went out: closing orderly now would store an
    // empty or partial file, so the data connection is reset instead.
    if (Canceled || TimedOut) {
        Canceled = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }

    // Every socket starts with lingering on and a time of 0, which resets the
    // connection on close; switch it off so the server sees an orderly end of
    // the data.
    data->setLinger(false, 0);
    data->RequestCloseSocket();

    // The closing reply tells whether the server stored the file.
    const QByteArray closing = awaitReply();
    if (closing.isEmpty() || ReplyCode >= 400) {
        if (replyFailureHandled(closing))
            return;
    }
    succeeded = true;
}
