// The data transfers of TFtpClient: the data connection (PASV, EPSV, PORT,
// EPRT), the transfer itself under the stall watch, the wait for the end of
// an upload to leave the send queue, and the operations built on them.

#include "FtpClient.h"

#include "ActiveDataPort.h"
#include "EventWait.h"
#include "ProgressWatch.h"
#include "SocketSys.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

#include <algorithm>
#include <limits>

using FtpReply::kClosedByServer;
using FtpReply::lineText;
using FtpReply::requireSingleLine;

// The address the data connection goes to in passive mode: the very peer of
// the control connection. The address in the PASV reply is ignored (a server
// must not send us elsewhere), and asking the peer instead of resolving the
// name again keeps us on the same machine behind a name with many addresses
// and on the firewall when Proxy is in use.
QString TFtpClient::dataHost() const
{
    const QHostAddress peer = PeerAddress();
    if (!peer.isNull())
        return peer.toString();
    return Proxy.isEmpty() ? Host : Proxy;
}

// A failing reply during a transfer. When offer is set, OnFailure may mark
// it handled: then the transfer ends quietly and this returns true.
// Otherwise FTPException.
bool TFtpClient::replyFailureHandled(const QByteArray& reply, bool offer)
{
    if (offer && OnFailure) {
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
    const SocketSys::Result peeked = SocketSys::peek(socketHandle(), &byte, 1);
    return peeked.ok() || peeked.error != SocketSys::kWouldBlock;
}

// Waits for the server to connect to our PORT address. The accept wait has no
// time limit of its own, and a server that cannot reach us says so on the
// control connection (425) and never connects; so while we wait, the control
// connection is watched, and anything said there (or its end) ends the wait as
// a reply failure. Only the server's address is taken (ActiveDataPort). On
// success the data connection holds the accepted socket and true is
// returned; false when OnFailure handled the failure. Throws like
// replyFailureHandled and the socket layer's Accept.
bool TFtpClient::acceptDataConnection(ActiveDataPort& port, TSocketConn* data, bool offerFailures)
{
    const std::shared_ptr<bool> alive = m_alive;
    const QPointer<TSocketConn> guardedData(port.listener());
    // Abort ends the accept wait meanwhile.
    m_dataConn = port.listener();
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
        accepted = port.acceptServer([this](const QHostAddress& peer) {
            ReportStatus(1,
                         QStringLiteral("Refused a data connection from %1").arg(peer.toString()));
        });
    } catch (const ESockError&) {
        if (!*alive || !controlSpoke)
            throw;
    }
    if (!*alive)
        throw EAbortError(QStringLiteral("Accepting Canceled"));
    watch.stop();
    m_dataConn = data;
    if (accepted >= 0)
        data->adoptSocket(accepted);
    if (!controlSpoke)
        return true;

    return !replyFailureHandled(Connected ? awaitReply() : QByteArray(), offerFailures);
}

// Runs move() on the data connection under the stall watch: when no byte has
// moved for StallTimeOut, the data connection is cancelled and the transfer
// ends with an EAbortError that says so.
void TFtpClient::runStallWatched(TSocketConn& data, const std::function<void()>& move)
{
    const QPointer<TSocketConn> guarded(&data);
    const ProgressWatch watch(
        StallTimeOut,
        [guarded] { return guarded ? quint64(guarded->SentCount) + quint64(guarded->ReceivedCount) : 0; },
        [guarded] {
            if (guarded)
                guarded->Cancel();
        });
    const auto stalled = [&] {
        return EAbortError(QStringLiteral("No data moved for %1 s").arg(watch.limitMs() / 1000.0));
    };
    try {
        move();
    } catch (const EAbortError&) {
        if (watch.expired())
            throw stalled();
        throw;
    }
    if (watch.expired())
        throw stalled();
}

// Waits while the end of an upload is still in the data connection's send
// queue. With a large send buffer and a slow server the last byte leaves us
// long before the server has it, and the closing reply comes only after
// that; so the reply's time-out starts once the queue is empty, and the queue
// only has to keep moving: the wait fails when it has not moved for
// StallTimeOut (TimeOut when no stall limit is set). It ends early when the
// control connection has something to say (a refusal in the middle of the
// transfer, its end). False when the client was destroyed meanwhile; throws
// EAbortError when cancelled or stalled.
bool TFtpClient::awaitDataDelivered(TSocketConn& data)
{
    const std::shared_ptr<bool> alive = m_alive;
    const QPointer<TSocketConn> guarded(&data);
    qint64 queued = data.queuedOutput();
    if (queued <= 0)
        return true;
    const int limit = StallTimeOut > 0 ? StallTimeOut : TimeOut;
    bool over = false;
    bool stalled = false;
    QElapsedTimer quiet;
    quiet.start();
    QTimer poll;
    // On a near server the queue is empty within a millisecond or two: look
    // every millisecond at first, then every few, then at the steady pace.
    const int pace = limit > 0 ? std::clamp(limit / 20, 5, 100) : 100;
    poll.setTimerType(Qt::PreciseTimer);
    poll.setInterval(1);
    QElapsedTimer waited;
    waited.start();
    QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
        // Runs inside the wait below: nothing here may throw.
        if (over || !*alive || !guarded)
            return;
        const qint64 elapsed = waited.elapsed();
        const int interval = elapsed < 10 ? 1 : elapsed < 50 ? std::min(pace, 5) : pace;
        if (poll.interval() != interval)
            poll.setInterval(interval);
        const qint64 now = guarded->queuedOutput();
        if (now <= 0 || !Connected || controlHasNews()) {
            over = true;
        } else if (now != queued) {
            queued = now;
            quiet.restart();
        } else if (limit > 0 && quiet.elapsed() >= limit) {
            stalled = true;
            over = true;
        }
    });
    poll.start();
    spinUntil([&] { return over || !*alive || !guarded || guarded->Canceled; });
    if (!*alive)
        return false;
    if (!guarded || guarded->Canceled)
        throw EAbortError(QStringLiteral("Socket send aborted"));
    if (stalled)
        throw EAbortError(QStringLiteral("No data moved for %1 s").arg(limit / 1000.0));
    return true;
}

// One transfer on a data connection of its own: PASV (or PORT), the command
// verb with remoteFile, move() on the data connection, its orderly end, and
// the closing reply. offerFailures hands failing replies to OnFailure first
// (uploads do, as they always have); succeeded is set only when the server
// confirmed the transfer.
void TFtpClient::transfer(const QByteArray& verb, const QString& remoteFile, Direction direction,
                          const std::function<void(TSocketConn&)>& move, bool offerFailures,
                          bool& succeeded, const QString& report)
{
    const std::shared_ptr<bool> alive = m_alive;
    const std::shared_ptr<std::recursive_mutex> lock = m_transferLock;
    std::unique_lock<std::recursive_mutex> locked(*lock);

    // A nested transfer (from a handler, against the rules) must not leave
    // the outer one pointing at a freed data connection.
    TSocketConn* const outerDataConn = m_dataConn;
    QPointer<TSocketConn> data;
    std::unique_ptr<ActiveDataPort> activePort;
    const auto freeDataConn = qScopeGuard([&] {
        activePort.reset();
        if (*alive)
            m_dataConn = outerDataConn;
        if (!data)
            return;
        if (!succeeded && direction == Direction::Send) {
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

    // PASV and PORT name IPv4 addresses only; on IPv6 their extended forms
    // (RFC 2428) take over.
    const bool ipv6 = PeerAddress().protocol() == QAbstractSocket::IPv6Protocol;
    if (Passive) {
        const QByteArray reply = command(ipv6 ? "EPSV" : "PASV");
        // Only a 2xx reply carries a port; a refusal (421, 425, 500 ...) is
        // reported as the server said it.
        if (ReplyCode < 200 || ReplyCode > 299) {
            if (replyFailureHandled(reply, offerFailures))
                return;
        }
        const quint16 port = ipv6 ? extendedPassivePort(reply) : passivePort(reply);
        data->Host = dataHost();
        data->Port = port;
        data->Connect();
    } else {
        activePort = std::make_unique<ActiveDataPort>(this, PeerAddress(), ipv6, TimeOut);
        TSocketConn* const listener = activePort->listener();
        const QByteArray reply =
            command(ipv6 ? "EPRT |2|" + LocalHostAddress().toString().toLatin1() + '|' +
                               QByteArray::number(listener->LocalPort()) + '|'
                         : "PORT " + (LocalAddressText() + listener->LocalPortText()).toLatin1());
        if (ReplyCode < 200 || ReplyCode > 299) {
            if (replyFailureHandled(reply, offerFailures))
                return;
        }
    }

    ReportStatus(1, report);
    const QByteArray verbReply = command(verb + ' ' + remoteFile.toUtf8());
    if (ReplyCode > 300 && ReplyCode < 600) {
        if ((ReplyCode == 500 || ReplyCode == 501 || ReplyCode == 502) && OnUnSupportedFunction &&
            offerFailures)
            OnUnSupportedFunction(TCmdType::Upload);
        if (replyFailureHandled(verbReply, offerFailures))
            return;
    }

    if (!Passive && !acceptDataConnection(*activePort, data, offerFailures))
        return;
    // The data connection's TLS resumes the control connection's session:
    // servers use that to know the data comes from the client that logged in.
    if (m_protectData)
        data->StartTls(tlsPeerName(), this);

    // The data connection's own time-out would bound the whole capture; the
    // stall watch bounds it by progress instead.
    if (StallTimeOut > 0)
        data->TimeOut = 0;

    if (OnTransactionStart)
        OnTransactionStart(this);
    if (!Canceled && !TimedOut)
        runStallWatched(*data, [&] { move(*data); });
    if (!*alive)
        throw EAbortError(QStringLiteral("Socket send aborted"));
    if (OnTransactionStop)
        OnTransactionStop(this);
    // Cancelled before the data went out: closing orderly now would store an
    // empty or partial file, so the data connection is reset instead.
    if (Canceled || TimedOut) {
        Canceled = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }

    // Every socket starts with lingering on and a time of 0, which resets
    // the connection on close; switch it off so the server sees an orderly
    // end.
    data->setLinger(false, 0);
    if (direction == Direction::Send) {
        // In TLS the server may still send (session tickets) after the last
        // byte went out; closing now would answer that with a reset, and the
        // reset can cost the server the end of the file. So only the sending
        // side ends here, and the socket closes after the closing reply; the
        // open socket also tells how much of the file is still on its way.
        data->ShutdownOutput();
        if (!awaitDataDelivered(*data))
            throw EAbortError(QStringLiteral("Socket send aborted"));
    } else {
        // The end of the data is ours to answer: a TLS server waits for our
        // closing alert (or the end of the connection) before it sends the
        // closing reply.
        data->RequestCloseSocket();
    }

    // The closing reply tells whether the server stored or sent the file.
    // While it is awaited, the active port shows a second connection from
    // the server's address (the server's own, when another program took the
    // first one): refused with a reset, it makes the server end the
    // transfer instead of waiting for data that went elsewhere.
    QTimer portWatch;
    if (activePort) {
        activePort->secondConnectionSeen();
        portWatch.setInterval(10);
        connect(&portWatch, &QTimer::timeout, &portWatch, [&activePort] {
            try {
                if (activePort)
                    activePort->secondConnectionSeen();
            } catch (...) {
            }
        });
        portWatch.start();
    }
    const QByteArray closing = awaitReply();
    portWatch.stop();
    if (closing.isEmpty() || ReplyCode >= 400) {
        if (replyFailureHandled(closing, offerFailures))
            return;
    }
    if (activePort && activePort->secondConnectionSeen())
        throw FTPException(
            QStringLiteral("A second connection reached the data port: the data may have gone to "
                           "another program, not to the server"));
    succeeded = true;
}

void TFtpClient::Upload(const QString& localFile, const QString& remoteFile)
{
    const ReentryGuard busy = operation();
    Canceled = false;
    bool succeeded = false;
    const std::shared_ptr<bool> alive = m_alive;
    try {
        CheckConnection();
        const QString storedName =
            remoteFile.isEmpty() ? QFileInfo(localFile).fileName() : remoteFile;
        requireSingleLine(storedName, "File name");
        {
            QFile file(localFile);
            if (!file.open(QIODevice::ReadOnly))
                throw EFileError(QStringLiteral("Cannot open file %1").arg(localFile));
            TotalBytes = qint32(std::min<qint64>(file.size(), std::numeric_limits<qint32>::max()));
        }
        transfer(
            "STOR", storedName, Direction::Send,
            [&](TSocketConn& data) { data.SendFile(localFile); }, true, succeeded,
            QStringLiteral("STOR ") + (remoteFile.isEmpty() ? localFile : remoteFile));
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

void TFtpClient::StoreBytes(const QByteArray& data, const QString& remoteFile, bool append)
{
    const ReentryGuard busy = operation();
    Canceled = false;
    CheckConnection();
    requireSingleLine(remoteFile, "File name");
    bool succeeded = false;
    transfer(
        append ? "APPE" : "STOR", remoteFile, Direction::Send,
        [&](TSocketConn& connection) {
            if (!data.isEmpty())
                connection.SendBuffer(data.constData(), data.size());
        },
        false, succeeded, QString::fromLatin1(append ? "APPE " : "STOR ") + remoteFile);
}

QByteArray TFtpClient::Retrieve(const QString& remoteFile, qint64 limit)
{
    const ReentryGuard busy = operation();
    Canceled = false;
    CheckConnection();
    requireSingleLine(remoteFile, "File name");
    QByteArray content;
    bool succeeded = false;
    transfer(
        "RETR", remoteFile, Direction::Receive,
        [&](TSocketConn& connection) {
            // One byte beyond the limit tells a file that is too large
            // from one that is exactly as large as allowed.
            const int cap = int(std::min<qint64>(limit + 1, std::numeric_limits<int>::max()));
            connection.CaptureString(content, cap);
            if (content.size() > limit)
                throw Exception(
                    QStringLiteral("%1 is larger than %2 bytes").arg(remoteFile).arg(limit));
        },
        false, succeeded, QStringLiteral("RETR ") + remoteFile);
    return content;
}

QStringList TFtpClient::NameList(const QString& path)
{
    const ReentryGuard busy = operation();
    Canceled = false;
    CheckConnection();
    requireSingleLine(path, "Folder name");
    QByteArray listing;
    bool succeeded = false;
    try {
        transfer(
            "NLST", path, Direction::Receive,
            [&](TSocketConn& connection) {
                // A folder of the protocol holds a handful of names; a
                // listing this long is not one of ours.
                constexpr int kLimit = 4 * 1024 * 1024;
                connection.CaptureString(listing, kLimit + 1);
                if (listing.size() > kLimit)
                    throw Exception(QStringLiteral("The listing of %1 is too long").arg(path));
            },
            false, succeeded, QStringLiteral("NLST ") + path);
    } catch (const FTPException&) {
        if (ReplyCode == 450 || ReplyCode == 550)
            return {};
        throw;
    }
    QStringList names;
    for (QByteArray line : listing.split('\n')) {
        while (line.endsWith('\r'))
            line.chop(1);
        const QString name = QString::fromUtf8(line.mid(line.lastIndexOf('/') + 1));
        if (!name.isEmpty() && name != QLatin1String(".") && name != QLatin1String(".."))
            names << name;
    }
    return names;
}
