#include "SocketConn.h"

#include "EventWait.h"
#include "LocalFile.h"
#include "SocketErrorText.h"
#include "SocketSys.h"
#include "ThreadTimer.h"
#include "TlsSession.h"

#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>

#include <atomic>
#include <cstring>

namespace
{

// Every socket call moves at most this much through the I/O buffer; the
// buffer itself has four bytes to spare for a terminating NUL.
constexpr qint64 kChunk = 65536;
constexpr qsizetype kIoBufferSize = 65540;
// The longest line ReadLn accepts, terminator included: one full buffer.
constexpr qsizetype kMaxLine = 65536;
// Write's length is 16-bit.
constexpr qsizetype kMaxWrite = 65535;

// Connection objects alive in the process. The first one describes the
// socket layer in its WinsockInfo. Connections may live on other threads
// than the GUI thread (a publisher's heartbeat), hence atomic.
std::atomic<int> s_connectionCount = 0;

// Bytes moved through the connections of this thread, for watchdogs that look
// for a stalled transfer. Per thread, so that a helper connection on another
// thread (a publisher's heartbeat) never makes a stalled transfer look alive.
thread_local quint64 s_bytesMoved = 0;

// Counters of the classic layout are 32-bit and wrap; the arithmetic is done
// unsigned so that a transfer beyond 2 GiB wraps instead of overflowing.
qint32 addWrapping(qint32 counter, qint64 amount)
{
    return qint32(quint32(counter) + quint32(quint64(amount)));
}

} // namespace

// The connection object's private state and the plumbing between the socket
// notifiers and the waits.
//
// The read notifier stands for the classic "data arrived", "connection
// offered" and "peer closed" notifications; the write notifier for "connect
// completed" and, inside a send, for room in the send buffer. Read readiness
// is re-armed only after a read or at the end of an operation, so a socket
// with unread data raises one notification, not a flood.
//
// `alive` is shared with every frame that waits: a wait may run handlers that
// destroy the object, and the waiting frame must then leave without touching
// it.
struct TSocketConn::Private {
    explicit Private(TSocketConn* owner) : q(owner) {}

    TSocketConn* const q;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    std::unique_ptr<char[]> io{new char[kIoBufferSize]};
    int fd = SocketSys::kNoSocket;
    QSocketNotifier* readNotifier = nullptr;
    QSocketNotifier* writeNotifier = nullptr;
    TThreadTimer* timer = nullptr;

    quint32 remoteAddress = 0;           // host order; the peer of the last Accept
    QHostAddress acceptedPeer;           // the same, IPv4 or IPv6
    QList<QHostAddress> remoteAddresses; // what the last look-up gave, in order
    QHostAddress connectedAddress;
    quint16 remotePort = 0;
    QList<QHostAddress> lookupAddresses;
    // While a TLS session is active every byte goes through it; during its
    // handshake the notifications only end the handshake's waits.
    std::unique_ptr<TTlsSession> tls;
    bool handshaking = false;
    bool resetOnClose = false;
    bool socketTried = false; // a connect was attempted on this socket
    int lookupId = -1;
    bool lookupPending = false;
    int eventError = 0; // error code of the last notification
    QString lastErrorText;

    bool counted = false;
    bool inDestructor = false;
    bool connecting = false;
    bool listening = false;
    bool deferredListen = false;
    int busy = 0;       // operations running on this object
    quint64 serial = 0; // bumped by every notification and by the time-out

    // Marks an operation: while one runs, only its own waits arm the read
    // notifier; when the last one ends, idle notifications resume.
    class Operation
    {
    public:
        explicit Operation(Private* d) : m_d(d), m_alive(d->alive)
        {
            if (d->busy++ == 0 && d->readNotifier)
                d->readNotifier->setEnabled(false);
        }
        ~Operation()
        {
            if (*m_alive && --m_d->busy == 0)
                m_d->armIdle();
        }
        Operation(const Operation&) = delete;
        Operation& operator=(const Operation&) = delete;

    private:
        Private* m_d;
        std::shared_ptr<bool> m_alive;
    };

    // Switches the time-out timer off when an operation ends, however it ends.
    class TimerScope
    {
    public:
        explicit TimerScope(Private* d) : m_q(d->q), m_alive(d->alive) {}
        ~TimerScope()
        {
            if (*m_alive)
                m_q->TimerOff();
        }
        TimerScope(const TimerScope&) = delete;
        TimerScope& operator=(const TimerScope&) = delete;

    private:
        TSocketConn* m_q;
        std::shared_ptr<bool> m_alive;
    };

    void openSocket(bool reset, bool ipv6 = false)
    {
        const SocketSys::Result r = SocketSys::createTcpSocket(ipv6);
        if (!r.ok())
            q->CheckSocketError(r.error);
        fd = int(r.value);
        socketTried = false;
        resetOnClose = reset;
        if (reset)
            SocketSys::setLinger(fd, true, 0);
        makeNotifiers();
    }

    // A fresh unconnected socket of the given family in place of the current
    // one (which has not carried a connection), closing as the old one would.
    void renewSocket(bool ipv6)
    {
        ++serial;
        releaseNotifiers();
        tls.reset();
        if (fd != SocketSys::kNoSocket)
            SocketSys::closeSocket(fd);
        fd = SocketSys::kNoSocket;
        openSocket(resetOnClose, ipv6);
    }

    // The socket calls, through the TLS session when one is active.
    SocketSys::Result sendBytes(const char* data, qint64 length)
    {
        const SocketSys::Result r =
            tls ? tls->send(data, length) : SocketSys::send(fd, data, length);
        if (r.ok() && r.value > 0)
            s_bytesMoved += quint64(r.value);
        return r;
    }
    SocketSys::Result receiveBytes(char* data, qint64 length)
    {
        const SocketSys::Result r =
            tls ? tls->receive(data, length) : SocketSys::receive(fd, data, length);
        if (r.ok() && r.value > 0)
            s_bytesMoved += quint64(r.value);
        return r;
    }
    SocketSys::Result peekBytes(char* data, qint64 length)
    {
        return tls ? tls->peek(data, length) : SocketSys::peek(fd, data, length);
    }

    void makeNotifiers()
    {
        readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, q);
        readNotifier->setEnabled(false);
        writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, q);
        writeNotifier->setEnabled(false);
        // Nothing may unwind into Qt: every exception of a notification is
        // dropped here, as the classic socket message handler drops them.
        QObject::connect(readNotifier, &QSocketNotifier::activated, q, [this] {
            try {
                onReadable();
            } catch (...) {
            }
        });
        QObject::connect(writeNotifier, &QSocketNotifier::activated, q, [this] {
            try {
                onWritable();
            } catch (...) {
            }
        });
    }

    // The notifiers may be the very senders whose signal is being handled
    // (a close notification replaces the socket), so they are detached and
    // deleted later, never deleted here.
    void releaseNotifiers()
    {
        for (QSocketNotifier* n : {readNotifier, writeNotifier}) {
            if (!n)
                continue;
            n->setEnabled(false);
            n->disconnect();
            n->setParent(nullptr);
            n->deleteLater();
        }
        readNotifier = nullptr;
        writeNotifier = nullptr;
    }

    void armIdle()
    {
        if (busy == 0 && readNotifier && (q->Connected || listening))
            readNotifier->setEnabled(true);
    }

    void disarm()
    {
        if (readNotifier)
            readNotifier->setEnabled(false);
        if (writeNotifier)
            writeNotifier->setEnabled(false);
    }

    // Blocks in the event loop until a notification of this object or its
    // time-out arrives, or Canceled is set. Returns false when
    // the object was destroyed meanwhile: the caller must leave without
    // touching it. Handlers of every kind may run during the wait.
    bool waitForEvent(bool readable, bool writable)
    {
        const std::shared_ptr<bool> token = alive;
        if (readable && readNotifier && (q->Connected || listening))
            readNotifier->setEnabled(true);
        if (writable && writeNotifier)
            writeNotifier->setEnabled(true);
        Private* const self = this;
        const quint64 start = serial;
        const bool looped = spinUntil([&] {
            if (!*token)
                return true;
            return self->serial != start || self->q->Canceled;
        });
        if (!*token)
            return false;
        disarm();
        // Without an application object no notification can ever arrive;
        // the operation ends as if cancelled rather than hanging.
        if (!looped)
            q->Canceled = true;
        return true;
    }

    // Handles pending events between chunks of a transfer. Returns false when
    // the object was destroyed meanwhile.
    bool pump()
    {
        const std::shared_ptr<bool> token = alive;
        pumpPending();
        return *token;
    }

    // A connection waiting on the listening socket, without waiting.
    SocketSys::Result acceptNow(QHostAddress* peer, quint16* peerPort)
    {
        quint32 v4 = 0;
        quint8 v6[16] = {};
        const SocketSys::Result r = SocketSys::accept(fd, &v4, peerPort, v6);
        if (r.ok())
            *peer = SocketSys::isIPv6Socket(fd) ? QHostAddress(v6) : QHostAddress(v4);
        return r;
    }

    // Takes exactly `count` bytes that a peek has shown to be waiting.
    qint64 receiveWaiting(char* into, qint64 count)
    {
        qint64 got = 0;
        while (got < count) {
            const SocketSys::Result r = receiveBytes(into + got, count - got);
            if (!r.ok() || r.value == 0)
                break;
            got += r.value;
        }
        return got;
    }

    void onReadable()
    {
        if (!readNotifier)
            return;
        readNotifier->setEnabled(false);
        ++serial;
        if (handshaking)
            return;
        if (listening) {
            // A connection offered. A deferred listen reports it as the
            // completion message, which ends the accept wait.
            q->LastEventOk = true;
            q->Connected = true;
            if (deferredListen)
                q->WaitDone = true;
            else if (q->OnAcceptReady)
                q->OnAcceptReady(q);
            return;
        }
        char byte;
        const SocketSys::Result r = peekBytes(&byte, 1);
        if (r.ok() && r.value > 0) {
            q->LastEventOk = true;
            eventError = 0;
            if (q->OnReadReady)
                q->OnReadReady(q);
            return;
        }
        if (!r.ok() && r.error == SocketSys::kWouldBlock) {
            readNotifier->setEnabled(true);
            return;
        }
        // End of stream or a failed connection: the close notification. With
        // data still waiting nothing happens; the reads drain it first.
        q->LastEventOk = r.ok();
        eventError = r.error;
        if (!q->DataAvailable())
            q->RequestCloseSocket();
    }

    void onWritable()
    {
        if (!writeNotifier)
            return;
        writeNotifier->setEnabled(false);
        ++serial;
        if (connecting) {
            connecting = false;
            connectCompleted(SocketSys::pendingError(fd));
        }
    }

    void connectCompleted(int error)
    {
        q->LastEventOk = error == 0;
        eventError = error;
        if (error != 0)
            return;
        q->Connected = true;
        if (q->OnConnect) {
            try {
                q->OnConnect(q);
            } catch (...) {
            }
        }
    }

    void onLookupDone(const QHostInfo& info)
    {
        if (!lookupPending || (lookupId != -1 && info.lookupId() != lookupId))
            return; // a look-up that was given up
        lookupPending = false;
        lookupId = -1;
        ++serial;
        lookupAddresses.clear();
        eventError = 0;
        if (info.error() == QHostInfo::NoError) {
            // Every address, in the resolver's order of preference: Connect
            // tries them in turn.
            for (const QHostAddress& a : info.addresses()) {
                const bool usable =
                    a.protocol() == QAbstractSocket::IPv6Protocol ||
                    (a.protocol() == QAbstractSocket::IPv4Protocol && a.toIPv4Address() != 0);
                if (usable && !lookupAddresses.contains(a))
                    lookupAddresses.append(a);
            }
            if (lookupAddresses.isEmpty())
                eventError = SocketErrorText::kNoAddressRecord;
        } else {
            eventError = info.error() == QHostInfo::HostNotFound ? SocketErrorText::kHostNotFound
                                                                 : SocketErrorText::kLookupFailed;
        }
        q->LastEventOk = eventError == 0;
        q->WaitDone = true;
    }

    void abortLookup()
    {
        if (lookupId != -1)
            QHostInfo::abortHostLookup(lookupId);
        lookupId = -1;
        lookupPending = false;
    }

    // Throws ESockError "Host Lookup Timed Out", "Host Lookup Canceled" or
    // "Host Lookup Failed"; waits in the event loop for a name look-up.
    void resolveHost()
    {
        q->ReportStatus(8, QStringLiteral("Resolve Host"));
        QString name = q->Proxy.isEmpty() ? q->Host : q->Proxy;
        quint32 address = 0;
        remoteAddresses.clear();
        if (SocketSys::parseDottedIPv4(name.toLatin1(), &address)) {
            if (address != 0)
                remoteAddresses.append(QHostAddress(address));
            return;
        }
        // An IPv6 literal, bracketed as in an address or bare.
        if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']')))
            name = name.mid(1, name.size() - 2);
        const QHostAddress literal(name);
        if (!literal.isNull() && literal.protocol() == QAbstractSocket::IPv6Protocol) {
            remoteAddresses.append(literal);
            return;
        }
        if (name.isEmpty()) {
            // Nothing to look up: fails at once, without asking the resolver.
            q->LastEventOk = false;
            eventError = SocketErrorText::kHostNotFound;
            throw ESockError(QStringLiteral("Host Lookup Failed"));
        }
        q->TimerOn();
        q->WaitDone = false;
        abortLookup();
        // The answer may come back inside lookupHost() itself (Qt answers
        // some names at once); lookupPending lets it through then.
        lookupPending = true;
        const int id = QHostInfo::lookupHost(name, q, [this](const QHostInfo& info) {
            try {
                onLookupDone(info);
            } catch (...) {
            }
        });
        if (lookupPending)
            lookupId = id;
        while (!q->WaitDone && !q->TimedOut && !q->Canceled) {
            if (!waitForEvent(false, false))
                throw ESockError(QStringLiteral("Host Lookup Canceled"));
        }
        abortLookup();
        q->TimerOff();
        if (q->TimedOut)
            throw ESockError(QStringLiteral("Host Lookup Timed Out"));
        if (q->Canceled)
            throw ESockError(QStringLiteral("Host Lookup Canceled"));
        if (!q->LastEventOk)
            throw ESockError(QStringLiteral("Host Lookup Failed"));
        remoteAddresses = lookupAddresses;
        if (q->OnHostResolved)
            q->OnHostResolved(q);
    }

    void initSockets()
    {
        q->ReportStatus(8, QStringLiteral("Initializing Winsock"));
        try {
            counted = true;
            if (++s_connectionCount == 1) {
                q->WinsockInfo << QStringLiteral("Version= 1.1")
                               << QStringLiteral("High Version= 1.1")
                               << QStringLiteral("Description= Corvanet socket layer (non-blocking "
                                                 "TCP, IPv4 and IPv6, TLS)")
                               << QStringLiteral("System= Running")
                               << QStringLiteral("Max Sockets= %1").arg(SocketSys::maxSockets())
                               << QStringLiteral("Max Udp pack size= 65507");
            }
            openSocket(true);
        } catch (...) {
            --s_connectionCount;
            counted = false;
            throw ESockError(QStringLiteral("Initializaton of windows sockets failed"));
        }
    }

    // Receives until the peer closes, the connection is gone, full() holds or
    // Canceled. Each chunk goes to sink(). Throws EAbortError(cancelText)
    // when cancelled or timed out, ESockError for socket errors, whatever the
    // sink or a handler throws.
    void capture(const std::function<void(const char*, qint64)>& sink,
                 const std::function<bool()>& full, const char* cancelText)
    {
        const std::shared_ptr<bool> token = alive;
        char* const buffer = io.get();
        while (!q->Canceled && !full()) {
            const SocketSys::Result r = receiveBytes(buffer, kChunk);
            if (r.ok() && r.value > 0) {
                sink(buffer, r.value);
                q->ReceivedCount = addWrapping(q->ReceivedCount, r.value);
                if (q->OnPacketRecvd) {
                    q->OnPacketRecvd(q);
                    if (!*token)
                        throw EAbortError(QString::fromLatin1(cancelText));
                }
                q->TimerOn();
                if (!pump())
                    throw EAbortError(QString::fromLatin1(cancelText));
                continue;
            }
            if (r.ok())
                break; // the peer closed
            q->LastErrorCode = r.error;
            if (r.error == SocketSys::kNotConnected)
                break; // the close notification already replaced the socket
            q->CheckSocketError(r.error);
            if (!waitForEvent(true, false))
                throw EAbortError(QString::fromLatin1(cancelText));
        }
    }

    // Sends all of data unless cancelled. Returns false when the object was
    // destroyed meanwhile. Throws ESockError for socket errors.
    bool sendAll(const char* data, qint64 length, bool countAndNotify)
    {
        const std::shared_ptr<bool> token = alive;
        qint64 remaining = length;
        while (remaining > 0 && !q->Canceled) {
            const SocketSys::Result r = sendBytes(data + (length - remaining), remaining);
            if (r.ok() && r.value == 0)
                break;
            if (!r.ok()) {
                q->CheckSocketError(r.error);
                // Would-block: wait for room instead of retrying at once.
                if (!waitForEvent(false, true))
                    return false;
                continue;
            }
            remaining -= r.value;
            if (countAndNotify) {
                q->SentCount = addWrapping(q->SentCount, r.value);
                if (q->OnPacketSent) {
                    q->OnPacketSent(q);
                    if (!*token)
                        return false;
                }
                if (!pump())
                    return false;
            }
        }
        return true;
    }
};

TSocketConn::TSocketConn(QObject* owner) : QObject(owner), d(std::make_unique<Private>(this))
{
    ReportStatus(8, QStringLiteral("Create"));
    Proxy.clear();
    d->timer = new TThreadTimer(this);
    d->timer->SetEnabled(false);
    d->timer->SetOnTimer([this](QObject*) {
        // The expiry: report, switch off, mark, and abort through the
        // virtual table so that the clients' overrides are reached.
        ReportStatus(8, QStringLiteral("Timer Triggered"));
        TimerOff();
        TimedOut = true;
        WaitDone = true;
        ++d->serial;
        Abort();
    });
    TimeOut = 0;
    Canceled = false;
    Destroying = false;
    Connected = false;
    d->initSockets();
}

TSocketConn::~TSocketConn()
{
    d->inDestructor = true;
    ReportStatus(8, QStringLiteral("Destroy"));
    // Virtual calls from a destructor reach this class's own Abort: the
    // clients' parts are already gone.
    try {
        Abort();
        Cancel();
    } catch (...) {
    }
    d->abortLookup();
    if (d->timer) {
        // The timer may be the sender of the signal that led here.
        try {
            d->timer->SetOnTimer({});
        } catch (...) {
        }
        d->timer->disconnect();
        d->timer->setParent(nullptr);
        d->timer->deleteLater();
        d->timer = nullptr;
    }
    Destroying = true;
    try {
        RequestCloseSocket();
    } catch (...) {
    }
    d->releaseNotifiers();
    if (d->fd != SocketSys::kNoSocket)
        SocketSys::closeSocket(d->fd);
    if (d->counted)
        --s_connectionCount;
    // Waits in progress on this object see this and end with their cancel
    // error without touching the object.
    *d->alive = false;
}

// ---------------------------------------------------------------------------
// Status, errors, time-out

void TSocketConn::ReportStatus(int level, const QString& text)
{
    if (level > ReportLevel)
        return;
    StatusText = text;
    if (d->inDestructor || !OnStatus)
        return;
    try {
        OnStatus(this, StatusText);
    } catch (...) {
    }
}

QString TSocketConn::errorText(int code)
{
    return SocketErrorText::text(code);
}

QString TSocketConn::LookupErrorMessage(int code)
{
    ReportStatus(8, QStringLiteral("Looking Up Error Message") + d->lastErrorText);
    d->lastErrorText = errorText(code);
    return d->lastErrorText;
}

void TSocketConn::CheckSocketError(int errorCode)
{
    LastErrorCode = errorCode;
    if (errorCode == SocketSys::kWouldBlock || errorCode <= 10000)
        return;
    const QString message = LookupErrorMessage(errorCode);
    if (OnError)
        OnError(this, quint16(errorCode), message);
    throw ESockError(message);
}

void TSocketConn::TimerOn()
{
    ReportStatus(8, QStringLiteral("Timer On"));
    TimedOut = false;
    d->timer->SetInterval(quint32(TimeOut));
    d->timer->SetEnabled(true);
}

void TSocketConn::TimerOff()
{
    ReportStatus(8, QStringLiteral("Timer Off"));
    if (d->timer)
        d->timer->SetEnabled(false);
}

// ---------------------------------------------------------------------------
// Connection

void TSocketConn::Connect()
{
    ReportStatus(8, QStringLiteral("Connecting"));
    Canceled = false;
    if (Connected)
        throw ESockError(QStringLiteral("Already connected"));
    Private::Operation operation(d.get());
    const std::shared_ptr<bool> alive = d->alive;

    int attempts = 0;
    for (;;) {
        try {
            d->resolveHost();
        } catch (const ESockError& e) {
            const QString message = e.message();
            if (message == QLatin1String("Host Lookup Timed Out") ||
                message == QLatin1String("Host Lookup Canceled"))
                throw;
        }
        if (!*alive)
            throw ESockError(QStringLiteral("Host Lookup Canceled"));
        if (!d->remoteAddresses.isEmpty())
            break;
        if (attempts > 0 || !OnInvalidHost)
            throw ESockError(QStringLiteral("Null Remote Address"));
        // One chance to correct Host (or Proxy).
        bool handled = false;
        OnInvalidHost(handled);
        if (!*alive)
            throw ESockError(QStringLiteral("Connection Canceled"));
        if (!handled)
            throw ESockError(QStringLiteral("Null Remote Address"));
        ++attempts;
    }

    d->remotePort = quint16(Proxy.isEmpty() ? Port : ProxyPort);
    // Each address of the name in turn, until one takes the connection; the
    // failure of the last one is the one reported.
    const QList<QHostAddress> candidates = d->remoteAddresses;
    for (qsizetype i = 0; i < candidates.size(); ++i) {
        const bool last = i + 1 == candidates.size();
        try {
            checkRemoteAddress(candidates.at(i), d->remotePort);
        } catch (const ESockError&) {
            if (last)
                throw;
            continue;
        }
        if (connectTo(candidates.at(i), last))
            break;
        if (!*alive)
            throw ESockError(QStringLiteral("Connection Canceled"));
    }
    if (UseTls)
        StartTls(TlsPeerName.isEmpty() ? (Proxy.isEmpty() ? Host : Proxy) : TlsPeerName);
}

bool TSocketConn::connectTo(const QHostAddress& address, bool last)
{
    const std::shared_ptr<bool> alive = d->alive;
    const bool ipv6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    if (ipv6 != SocketSys::isIPv6Socket(d->fd) || d->socketTried)
        d->renewSocket(ipv6);
    d->socketTried = true;
    WaitDone = false;
    LastEventOk = true;
    d->eventError = 0;
    int error = 0;
    if (ipv6) {
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        error = SocketSys::connectIPv6(d->fd, bytes.c, quint32(address.scopeId().toUInt()),
                                       d->remotePort);
    } else {
        error = SocketSys::connectIPv4(d->fd, address.toIPv4Address(), d->remotePort);
    }
    d->connectedAddress = address;
    if (error == 0) {
        d->connectCompleted(0);
        if (!*alive)
            throw ESockError(QStringLiteral("Connection Canceled"));
    } else if (!last && error != SocketSys::kWouldBlock && error > 10000) {
        return false; // refused at once: the next address may answer
    } else {
        CheckSocketError(error);
        d->connecting = true;
    }

    TimerOn();
    while (!(Connected || TimedOut || Canceled || !LastEventOk)) {
        if (!d->waitForEvent(false, d->connecting))
            throw ESockError(QStringLiteral("Connection Canceled"));
    }
    TimerOff();
    if (Connected)
        return true;
    d->connecting = false;
    if (d->writeNotifier)
        d->writeNotifier->setEnabled(false);
    if (!last && !TimedOut && !Canceled)
        return false;
    if (OnConnectionFailed) {
        OnConnectionFailed(this);
        if (!*alive)
            throw ESockError(QStringLiteral("Connection Canceled"));
    }
    if (TimedOut)
        throw ESockError(QStringLiteral("Connection Timed out"));
    if (Canceled)
        throw ESockError(QStringLiteral("Connection Canceled"));
    // The notification carries the reason (a refused connection, an
    // unreachable host): report it as the socket error it is.
    CheckSocketError(d->eventError);
    throw ESockError(QStringLiteral("Connection Failed"));
}

void TSocketConn::checkRemoteAddress(const QHostAddress&, quint16) {}

void TSocketConn::StartTls(const QString& peerName, const TSocketConn* resumeFrom)
{
    ReportStatus(8, QStringLiteral("Starting TLS"));
    CheckConnection();
    Private::Operation operation(d.get());
    const std::shared_ptr<bool> alive = d->alive;
    d->tls = std::make_unique<TTlsSession>(
        d->fd, peerName, resumeFrom && resumeFrom->d->tls ? resumeFrom->d->tls.get() : nullptr);
    d->handshaking = true;
    TimerOn();
    Private::TimerScope timerScope(d.get());
    try {
        for (;;) {
            const TTlsSession::Step step = d->tls->handshake();
            if (step == TTlsSession::Step::Done)
                break;
            if (TimedOut)
                throw ESockError(QStringLiteral("TLS handshake timed out"));
            if (Canceled)
                throw ESockError(QStringLiteral("TLS handshake canceled"));
            if (!d->waitForEvent(step == TTlsSession::Step::WantRead,
                                 step == TTlsSession::Step::WantWrite))
                throw ESockError(QStringLiteral("TLS handshake canceled"));
            if (!Connected)
                throw ESockError(QStringLiteral("TLS handshake failed: the connection closed"));
        }
    } catch (...) {
        if (*alive) {
            // A session that failed its checks carries nothing further.
            d->handshaking = false;
            d->tls.reset();
        }
        throw;
    }
    d->handshaking = false;
    ReportStatus(4, QStringLiteral("TLS started (%1)").arg(d->tls->protocol()));
}

void TSocketConn::ShutdownOutput()
{
    ReportStatus(8, QStringLiteral("Shutting down output"));
    if (d->fd == SocketSys::kNoSocket)
        return;
    if (d->tls)
        d->tls->close();
    const int error = SocketSys::shutdownSend(d->fd);
    if (error != 0)
        CheckSocketError(error);
}

bool TSocketConn::TlsActive() const
{
    return d->tls != nullptr;
}

QHostAddress TSocketConn::PeerAddress() const
{
    return d->connectedAddress;
}

void TSocketConn::setIPv6(bool ipv6)
{
    if (ipv6 != SocketSys::isIPv6Socket(d->fd))
        d->renewSocket(ipv6);
}

QHostAddress TSocketConn::LocalHostAddress() const
{
    quint32 address = 0;
    quint16 port = 0;
    if (SocketSys::localAddress(d->fd, &address, &port))
        return QHostAddress(address);
    quint8 bytes[16];
    if (SocketSys::localAddressIPv6(d->fd, bytes, &port))
        return QHostAddress(bytes);
    return QHostAddress();
}

quint16 TSocketConn::LocalPort() const
{
    quint32 address = 0;
    quint16 port = 0;
    quint8 bytes[16];
    if (SocketSys::localAddress(d->fd, &address, &port) ||
        SocketSys::localAddressIPv6(d->fd, bytes, &port))
        return port;
    return 0;
}

quint64 TSocketConn::bytesMovedInThread()
{
    return s_bytesMoved;
}

void TSocketConn::Disconnect()
{
    ReportStatus(8, QStringLiteral("Disconnecting"));
    RequestCloseSocket();
}

void TSocketConn::Abort()
{
    ReportStatus(8, QStringLiteral("Abort"));
    Cancel();
}

void TSocketConn::Cancel()
{
    ReportStatus(8, QStringLiteral("Canceling"));
    Canceled = true;
}

void TSocketConn::CheckConnection()
{
    ReportStatus(8, QStringLiteral("Checking Connection"));
    bool asked = false;
    while (!Connected) {
        if (asked || !OnConnectionRequired)
            throw Exception(QStringLiteral("Not Connected"));
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled)
            throw Exception(QStringLiteral("Not Connected"));
        asked = true;
    }
}

void TSocketConn::RequestCloseSocket()
{
    ReportStatus(4, QStringLiteral("Request Close Socket"));
    Connected = false;
    if (d->fd == SocketSys::kNoSocket)
        return;
    // A wait of this object (a handler closed it meanwhile) must look again:
    // its socket is gone.
    ++d->serial;
    d->releaseNotifiers();
    d->connecting = false;
    d->listening = false;
    d->deferredListen = false;
    d->handshaking = false;
    if (d->tls) {
        d->tls->close();
        d->tls.reset();
    }
    const int error = SocketSys::closeSocket(d->fd);
    d->fd = SocketSys::kNoSocket;
    if (error != 0)
        CheckSocketError(error);
    if (Destroying || d->inDestructor)
        return;
    // The fresh socket comes before OnDisconnect, so that a handler that
    // connects again, or throws, leaves a usable object behind.
    d->openSocket(false);
    if (OnDisconnect)
        OnDisconnect(this);
}

bool TSocketConn::DataAvailable()
{
    ReportStatus(8, QStringLiteral("Data Available"));
    if (d->fd == SocketSys::kNoSocket)
        return false;
    char byte;
    const SocketSys::Result r = d->peekBytes(&byte, 1);
    return r.ok() && r.value >= 1;
}

// ---------------------------------------------------------------------------
// Sending

void TSocketConn::SendBuffer(const char* buffer, qsizetype length)
{
    ReportStatus(4, QStringLiteral("Sending Buffer"));
    Private::Operation operation(d.get());
    TimerOn();
    Private::TimerScope timerScope(d.get());
    if (!Canceled) {
        if (length == 0)
            length = qsizetype(std::strlen(buffer));
        if (!d->sendAll(buffer, length, false))
            throw EAbortError(QStringLiteral("Socket send aborted"));
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
}

void TSocketConn::Write(const QByteArray& text)
{
    ReportStatus(8, QStringLiteral("Write"));
    if (text.size() > kMaxWrite)
        throw ERangeError(QStringLiteral("Range check error"));
    // Sent as a zero-terminated text: up to its first NUL. The copy keeps
    // the bytes stable while the send waits and handlers run.
    const qsizetype nul = text.indexOf('\0');
    const QByteArray sent = nul < 0 ? text : text.left(nul);
    if (sent.isEmpty()) {
        SendBuffer("", 0);
        return;
    }
    SendBuffer(sent.constData(), sent.size());
}

void TSocketConn::Writeln(const QByteArray& text)
{
    ReportStatus(8, QStringLiteral("Writeln"));
    Write(text + "\r\n");
}

void TSocketConn::SendFile(const QString& fileName)
{
    ReportStatus(8, QStringLiteral("SendFile"));
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EFileError(QStringLiteral("Cannot open file %1").arg(fileName));
    Private::Operation operation(d.get());
    char* const buffer = d->io.get();
    while (!Canceled && !file.atEnd()) {
        const qint64 chunk = file.read(buffer, kChunk);
        if (chunk < 0)
            throw EFileError(QStringLiteral("Cannot read file %1").arg(fileName));
        if (chunk == 0)
            break;
        if (!d->sendAll(buffer, chunk, true))
            throw EAbortError(QStringLiteral("Socket send aborted"));
    }
    file.close();
    if (Canceled) {
        Canceled = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
}

// ---------------------------------------------------------------------------
// Receiving

QByteArray TSocketConn::Read(quint16 count)
{
    ReportStatus(8, QStringLiteral("Read( %1 )").arg(count));
    Private::Operation operation(d.get());
    const std::shared_ptr<bool> alive = d->alive;
    char* const buffer = d->io.get();
    qint64 take = count;
    if (count > 0) {
        // While fewer than count bytes wait, read readiness is asked for at
        // count bytes (SO_RCVLOWAT); otherwise the waiting bytes would wake
        // the loop again and again.
        bool lowWaterSet = false;
        auto resetLowWater = [&] {
            if (lowWaterSet && *alive && d->fd != SocketSys::kNoSocket && !d->tls)
                SocketSys::setReceiveLowWater(d->fd, 1);
            lowWaterSet = false;
        };
        try {
            while (!Canceled) {
                const SocketSys::Result r = d->peekBytes(buffer, kChunk);
                if (r.ok()) {
                    if (r.value >= count)
                        break;
                    if (r.value == 0) {
                        resetLowWater();
                        return QByteArray(); // the peer closed
                    }
                    if (SocketSys::peerHasClosed(d->fd) || (d->tls && d->tls->peerClosed())) {
                        // No more will come: hand over what is there rather
                        // than wait for ever.
                        take = r.value;
                        break;
                    }
                    // The low-water mark counts the socket's bytes, which
                    // under TLS are not the bytes asked for.
                    if (!lowWaterSet && !d->tls) {
                        SocketSys::setReceiveLowWater(d->fd, count);
                        lowWaterSet = true;
                    }
                } else {
                    CheckSocketError(r.error);
                }
                if (!d->waitForEvent(true, false))
                    throw EAbortError(QStringLiteral("Socket send aborted"));
            }
        } catch (...) {
            resetLowWater();
            throw;
        }
        resetLowWater();
    } else {
        const SocketSys::Result r = d->peekBytes(buffer, kChunk);
        if (!r.ok()) {
            CheckSocketError(r.error);
            return QByteArray();
        }
        take = r.value;
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
    const qint64 got = d->receiveWaiting(buffer, take);
    return QByteArray(buffer, got);
}

QByteArray TSocketConn::ReadLn()
{
    ReportStatus(8, QStringLiteral("ReadLn"));
    Private::Operation operation(d.get());
    TimerOn();
    Private::TimerScope timerScope(d.get());
    const QString cancelText = QStringLiteral("Socket readln aborted");
    char* const buffer = d->io.get();
    QByteArray line;
    for (;;) {
        if (Canceled) {
            Canceled = false;
            throw EAbortError(cancelText);
        }
        // The line never grows beyond one I/O buffer: peek only what fits.
        const qint64 room = kMaxLine - line.size();
        if (room == 0)
            throw ESockError(QStringLiteral("Socket readln line too long"));
        const SocketSys::Result r = d->peekBytes(buffer, room);
        if (r.ok() && r.value == 0)
            return QByteArray(); // the peer closed
        if (!r.ok()) {
            LastErrorCode = r.error;
            if (r.error == SocketSys::kNotConnected)
                return QByteArray(); // the close notification replaced the socket
            CheckSocketError(r.error);
            if (!d->waitForEvent(true, false))
                throw EAbortError(cancelText);
            continue;
        }
        // Earlier bytes of the line held no LF; search the new ones only.
        const char* lf = static_cast<const char*>(std::memchr(buffer, '\n', size_t(r.value)));
        const qint64 take = lf ? (lf - buffer) + 1 : r.value;
        const qint64 got = d->receiveWaiting(buffer, take);
        line.append(buffer, got);
        if (lf && got == take)
            return line;
        if (!d->pump())
            throw EAbortError(cancelText);
    }
}

QByteArray TSocketConn::Transaction(const QByteArray& command)
{
    ReportStatus(8, QStringLiteral("Transaction"));
    ReplyCode = 0;
    Writeln(command);
    LastReply = ReadLn();
    if (!LastReply.isEmpty()) {
        ReportStatus(1, QString::fromLatin1(LastReply));
        qint64 code = 0;
        int digits = 0;
        while (digits < 10 && digits < LastReply.size() && LastReply[digits] >= '0' &&
               LastReply[digits] <= '9') {
            code = code * 10 + (LastReply[digits] - '0');
            ++digits;
        }
        if (digits > 0) {
            if (code > 32767)
                throw ERangeError(QStringLiteral("Range check error"));
            ReplyCode = qint16(code);
        }
    }
    return LastReply;
}

void TSocketConn::CaptureFile(const QString& fileName)
{
    ReportStatus(8, QStringLiteral("CaptureFile"));
    ReceivedCount = 0;
    Private::Operation operation(d.get());
    TimerOn();
    Private::TimerScope timerScope(d.get());
    QFile file(fileName);
    if (!LocalFile::openForWriting(file))
        throw EFileError(QStringLiteral("Cannot create file %1").arg(fileName));
    d->capture(
        [&](const char* data, qint64 length) {
            if (file.write(data, length) != length)
                throw EFileError(QStringLiteral("Cannot write file %1").arg(fileName));
        },
        [] { return false; }, "Socket send aborted");
    // The last bytes may still sit in the file's buffer; a disk that refuses
    // them must not pass for a complete capture.
    if (!file.flush())
        throw EFileError(QStringLiteral("Cannot write file %1").arg(fileName));
    file.close();
    if (Canceled) {
        Canceled = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
}

void TSocketConn::CaptureString(QByteArray& text, int limit)
{
    ReportStatus(8, QStringLiteral("Capture String"));
    ReceivedCount = 0;
    Private::Operation operation(d.get());
    TimerOn();
    Private::TimerScope timerScope(d.get());
    text.clear();
    // Whole chunks are appended: the text may end longer than the limit.
    d->capture([&](const char* data, qint64 length) { text.append(data, length); },
               [&] { return limit != -1 && text.size() >= limit; }, "Socket capture aborted");
    if (Canceled) {
        Canceled = false;
        throw EAbortError(QStringLiteral("Socket capture aborted"));
    }
}

void TSocketConn::ClearInput()
{
    ReportStatus(8, QStringLiteral("Clearing Input"));
    if (d->fd != SocketSys::kNoSocket)
        d->receiveBytes(d->io.get(), kChunk);
}

// ---------------------------------------------------------------------------
// Listening

void TSocketConn::Listen(bool deferred)
{
    ReportStatus(8, QStringLiteral("Listening"));
    if (Port < 0 || Port > 65535)
        throw ERangeError(QStringLiteral("Range check error"));
    WaitDone = false;
    // A failed bind would otherwise leave listen() to pick a port of its own
    // and report success; both results go through the error check.
    int error = SocketSys::isIPv6Socket(d->fd) ? SocketSys::bindIPv6(d->fd, nullptr, quint16(Port))
                                               : SocketSys::bindIPv4(d->fd, 0, quint16(Port));
    if (error != 0)
        CheckSocketError(error);
    error = SocketSys::listen(d->fd, 1);
    if (error != 0)
        CheckSocketError(error);
    d->listening = true;
    d->deferredListen = deferred;
    d->armIdle();
}

int TSocketConn::Accept()
{
    ReportStatus(4, QStringLiteral("Accepting"));
    Private::Operation operation(d.get());
    bool waited = false;
    for (;;) {
        if (Canceled)
            throw ESockError(QStringLiteral("Accepting Canceled"));
        if (waited && !LastEventOk)
            throw ESockError(QStringLiteral("Error creating Data Connection"));
        QHostAddress peer;
        quint16 peerPort = 0;
        const SocketSys::Result r = d->acceptNow(&peer, &peerPort);
        if (r.ok()) {
            const int handle = int(r.value);
            d->remoteAddress =
                peer.protocol() == QAbstractSocket::IPv4Protocol ? peer.toIPv4Address() : 0;
            d->acceptedPeer = peer;
            d->remotePort = peerPort;
            Connected = true;
            if (Canceled) {
                SocketSys::closeSocket(handle);
                Canceled = false;
                throw EAbortError(QStringLiteral("Socket send aborted"));
            }
            return handle;
        }
        // Would-block: no connection yet. Anything else (not listening, ...)
        // is an error rather than a wait that could never end.
        CheckSocketError(r.error);
        if (!d->waitForEvent(true, false))
            throw ESockError(QStringLiteral("Accepting Canceled"));
        waited = true;
    }
}

int TSocketConn::AcceptPending(QHostAddress* peer)
{
    if (!d->listening)
        return -1;
    quint16 port = 0;
    const SocketSys::Result r = d->acceptNow(peer, &port);
    return r.ok() ? int(r.value) : -1;
}

QHostAddress TSocketConn::AcceptedPeerAddress() const
{
    return d->acceptedPeer;
}

void TSocketConn::adoptSocket(int acceptedHandle)
{
    if (acceptedHandle < 0)
        throw ESockError(errorText(10038));
    d->releaseNotifiers();
    d->tls.reset();
    if (d->fd != SocketSys::kNoSocket && d->fd != acceptedHandle)
        SocketSys::closeSocket(d->fd);
    d->fd = acceptedHandle;
    d->listening = false;
    d->deferredListen = false;
    d->makeNotifiers();
    Connected = true;
    d->armIdle();
}

int TSocketConn::socketHandle() const
{
    return d->fd;
}

qint64 TSocketConn::queuedOutput() const
{
    return d->fd == SocketSys::kNoSocket ? 0 : SocketSys::unsentBytes(d->fd);
}

void TSocketConn::setLinger(bool on, int seconds)
{
    if (d->fd == SocketSys::kNoSocket)
        return;
    const int error = SocketSys::setLinger(d->fd, on, seconds);
    if (error != 0)
        CheckSocketError(error);
}

QString TSocketConn::LocalAddressText()
{
    quint32 address = 0;
    quint16 port = 0;
    SocketSys::localAddress(d->fd, &address, &port);
    return QString::fromLatin1(SocketSys::dottedIPv4(address))
        .replace(QLatin1Char('.'), QLatin1Char(','));
}

QString TSocketConn::LocalPortText()
{
    quint32 address = 0;
    quint16 port = 0;
    SocketSys::localAddress(d->fd, &address, &port);
    return QStringLiteral(",%1,%2").arg(port >> 8).arg(port & 0xFF);
}
