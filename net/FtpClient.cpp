// The session of TFtpClient: the control connection's replies, the login
// (through a firewall, in TLS), the logout and the commands without a data
// connection. The data transfers are in FtpClientTransfer.cpp.

#include "FtpClient.h"

#include "WireText.h"

#include <QElapsedTimer>

#include <algorithm>
#include <thread>

using FtpReply::isFtpReplyCode;
using FtpReply::kClosedByServer;
using FtpReply::lineText;
using FtpReply::requireSingleLine;
using FtpReply::sizeRefused;
using WireText::holdsLineBreakOrNul;

TFtpClient::TFtpClient(QObject* owner)
    : TSocketConn(owner), m_transferLock(std::make_shared<std::recursive_mutex>()),
      m_alive(std::make_shared<bool>(true))
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

QByteArray TFtpClient::readReply(const QByteArray& firstLine)
{
    // A server that never ends its reply would hold us line by line for
    // ever, each line just inside the time-out.
    // Nor may it trickle one for ever: the reply as a whole gets the time
    // one line gets.
    constexpr qint64 kMaxReply = 1024 * 1024;
    qint64 total = firstLine.size();
    if (replyEnds(firstLine, firstLine))
        return firstLine;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (TimeOut > 0 && clock.elapsed() > TimeOut)
            throw FTPException(QStringLiteral("Reply did not end in time: ") + lineText(firstLine));
        const QByteArray line = ReadLn();
        if (!line.isEmpty())
            ReportStatus(1, QString::fromLatin1(line));
        if (replyEnds(firstLine, line))
            break;
        total += line.size();
        if (total > kMaxReply)
            throw FTPException(QStringLiteral("Reply too long: ") + lineText(firstLine));
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
    const QByteArray reply = readReply(TSocketConn::Transaction(command));
    // The representation type stays until the next TYPE the server accepts,
    // whoever sends it.
    if (ReplyCode >= 200 && ReplyCode <= 299 && command.left(5).toUpper() == "TYPE ") {
        const QByteArray type = command.mid(5).trimmed().toUpper();
        m_binary = type == "I" || type == "L 8";
    }
    return reply;
}

// A command whose reply must be there: a control connection that ends instead
// of answering is a failure, never a reply with code 0 that passes the checks.
QByteArray TFtpClient::command(const QByteArray& text)
{
    QByteArray reply = Transaction(text);
    // "226" closes a transfer and answers nothing else. Before the reply to
    // any other command it is a stray one: some servers send it for a data
    // connection that ended without a transfer ("226 Transfer complete."
    // after "550 No such file"). The command's own reply follows it.
    static const QByteArrayList transferVerbs{"STOR", "APPE", "RETR", "NLST", "LIST"};
    const bool transferVerb = transferVerbs.contains(text.left(4));
    for (int strays = 0; !transferVerb && ReplyCode == 226 && strays < 2; ++strays)
        reply = awaitReply();
    if (reply.isEmpty())
        throw FTPException(kClosedByServer);
    return reply;
}

void TFtpClient::checkLogin(const QByteArray& reply)
{
    if ((ReplyCode > 400 && ReplyCode < 600) || !isFtpReplyCode(ReplyCode)) {
        if (TSocketConn::OnConnectionFailed)
            TSocketConn::OnConnectionFailed(this);
        throw FTPException(lineText(reply));
    }
}

// Marks the client busy for one operation and refuses an operation that a
// handler starts while another one waits: its commands would interleave with
// the running one's on the control connection and each would read the
// other's replies.
ReentryGuard TFtpClient::operation()
{
    if (m_busy)
        throw Exception(QStringLiteral("The FTP client is busy with another command"));
    return ReentryGuard(m_busy, m_alive);
}

void TFtpClient::Connect()
{
    const ReentryGuard busy = operation();
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
            disconnectNow();
        } catch (...) {
        }
        if (*alive)
            ReportStatus(1, QStringLiteral("Disconnected"));
        throw;
    }
}

void TFtpClient::login()
{
    m_protectData = false;
    m_binary = false;
    const QByteArray greeting = awaitReply();
    if (greeting.isEmpty())
        throw FTPException(kClosedByServer);
    if (ReplyCode > 400 || !isFtpReplyCode(ReplyCode)) {
        if (TSocketConn::OnConnectionFailed)
            TSocketConn::OnConnectionFailed(this);
        throw FTPException(lineText(greeting));
    }
    if (TlsMode != TFtpTls::Off)
        startTls();

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

bool TFtpClient::parseTlsMode(const QString& text, TFtpTls& mode)
{
    if (text == QLatin1String("off"))
        mode = TFtpTls::Off;
    else if (text == QLatin1String("optional"))
        mode = TFtpTls::Optional;
    else if (text == QLatin1String("required"))
        mode = TFtpTls::Required;
    else
        return false;
    return true;
}

// The name the server's certificate must carry: the host asked for, without
// the brackets of an IPv6 literal.
QString TFtpClient::tlsPeerName() const
{
    return WireText::unbracketed(Proxy.isEmpty() ? Host : Proxy);
}

// AUTH TLS, the handshake, then PBSZ 0 and PROT P so that the data
// connections are protected too. Anything that goes wrong after the server
// accepted AUTH TLS is a failure in every mode: the conversation cannot
// return to clear text.
void TFtpClient::startTls()
{
    const QByteArray reply = command("AUTH TLS");
    if (ReplyCode != 234) {
        // Servers refuse AUTH TLS in many words: 500/502/504 where TLS is not
        // built in, 530 ("Please login with USER and PASS.") where it is not
        // switched on, 421/431/534 for policies of their own. Nothing has been
        // said in clear yet, so optional goes on without TLS after any of them.
        const bool refused = ReplyCode >= 400 && ReplyCode <= 599;
        if (TlsMode == TFtpTls::Optional && refused)
            return;
        if (TlsMode == TFtpTls::Required && refused)
            throw FTPException(
                QStringLiteral("TLS is required, but the server refused AUTH TLS: ") +
                lineText(reply));
        throw FTPException(QStringLiteral("Unexpected reply to AUTH TLS: ") + lineText(reply));
    }
    const std::shared_ptr<bool> alive = m_alive;
    try {
        StartTls(tlsPeerName());
    } catch (const ESockError&) {
        // Half a handshake leaves nothing to say QUIT on: close at once.
        if (*alive)
            TSocketConn::Disconnect();
        throw;
    }
    ReportStatus(1, QStringLiteral("TLS started"));
    checkLogin(command("PBSZ 0"));
    checkLogin(command("PROT P"));
    m_protectData = true;
}

void TFtpClient::Disconnect()
{
    const ReentryGuard busy = operation();
    disconnectNow();
}

void TFtpClient::disconnectNow()
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

void TFtpClient::Rename(const QString& from, const QString& to)
{
    const ReentryGuard busy = operation();
    CheckConnection();
    requireSingleLine(from, "File name");
    requireSingleLine(to, "File name");
    if (DataAvailable())
        Read(0);
    ReportStatus(1, QStringLiteral("RNFR ") + from);
    const QByteArray pending = command("RNFR " + from.toUtf8());
    // 350 asks for the new name; anything else means there is nothing to
    // rename, and an RNTO sent now would be read against no RNFR at all.
    if (ReplyCode != 350)
        throw FTPException(lineText(pending));
    ReportStatus(1, QStringLiteral("RNTO ") + to);
    const QByteArray done = command("RNTO " + to.toUtf8());
    if (ReplyCode < 200 || ReplyCode > 299)
        throw FTPException(lineText(done));
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

void TFtpClient::simpleCommand(const QByteArray& text, const QString& what)
{
    CheckConnection();
    requireSingleLine(what, "File name");
    if (DataAvailable())
        Read(0);
    ReportStatus(1, QString::fromLatin1(text) + ' ' + what);
    const QByteArray reply = command(text + ' ' + what.toUtf8());
    if (ReplyCode < 200 || ReplyCode > 299)
        throw FTPException(lineText(reply));
}

qint64 TFtpClient::Size(const QString& remoteFile)
{
    const ReentryGuard busy = operation();
    CheckConnection();
    requireSingleLine(remoteFile, "File name");
    // A size depends on the type, and servers that care answer SIZE in
    // binary only; so SIZE is never sent in another type.
    if (!m_binary) {
        if (DataAvailable())
            Read(0);
        const QByteArray typeReply = command("TYPE I");
        if (ReplyCode < 200 || ReplyCode > 299)
            throw FTPException(lineText(typeReply));
    }
    try {
        simpleCommand("SIZE", remoteFile);
    } catch (const FTPException&) {
        if (ReplyCode == 550 && !sizeRefused(LastReply, remoteFile))
            return -1;
        throw;
    }
    // "213 1234"
    bool ok = false;
    const qint64 size = lineText(LastReply).mid(4).trimmed().toLongLong(&ok);
    if (!ok || size < 0)
        throw FTPException(QStringLiteral("Unusable SIZE reply: ") + lineText(LastReply));
    return size;
}

bool TFtpClient::simpleCommandUnlessRefused(const QByteArray& text, const QString& what,
                                            std::initializer_list<qint16> refusals)
{
    try {
        simpleCommand(text, what);
    } catch (const FTPException&) {
        if (std::find(refusals.begin(), refusals.end(), ReplyCode) != refusals.end())
            return false;
        throw;
    }
    return true;
}

bool TFtpClient::MakeDirectory(const QString& path)
{
    const ReentryGuard busy = operation();
    return simpleCommandUnlessRefused("MKD", path, {550, 521, 553});
}

bool TFtpClient::ChangeDirectory(const QString& path)
{
    const ReentryGuard busy = operation();
    return simpleCommandUnlessRefused("CWD", path, {550});
}

void TFtpClient::RemoveDirectory(const QString& path)
{
    const ReentryGuard busy = operation();
    simpleCommand("RMD", path);
}

void TFtpClient::Delete(const QString& path)
{
    const ReentryGuard busy = operation();
    simpleCommand("DELE", path);
}

void TFtpClient::SetBinary()
{
    const ReentryGuard busy = operation();
    CheckConnection();
    if (DataAvailable())
        Read(0);
    const QByteArray reply = command("TYPE I");
    if (ReplyCode < 200 || ReplyCode > 299)
        throw FTPException(lineText(reply));
}
