// TSocketConn: construction and destruction, status and errors, closing,
// listening and accepting, and the socket's properties.

#include "SocketConn.h"

#include "SocketConnPrivate.h"
#include "SocketErrorText.h"
#include "ThreadTimer.h"

#include <atomic>

namespace
{

// Connection objects alive in the process. The first one describes the
// socket layer in its WinsockInfo. Connections may live on other threads
// than the GUI thread (a publisher's heartbeat), hence atomic.
std::atomic<int> s_connectionCount = 0;

} // namespace

void TSocketConn::Private::initSockets()
{
    q->ReportStatus(8, QStringLiteral("Initializing Winsock"));
    try {
        counted = true;
        if (++s_connectionCount == 1) {
            q->WinsockInfo << QStringLiteral("Version= 1.1") << QStringLiteral("High Version= 1.1")
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

void TSocketConn::Private::openSocket(bool reset, bool ipv6)
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

void TSocketConn::Private::renewSocket(bool ipv6)
{
    ++serial;
    releaseNotifiers();
    tls.reset();
    if (fd != SocketSys::kNoSocket)
        SocketSys::closeSocket(fd);
    fd = SocketSys::kNoSocket;
    openSocket(resetOnClose, ipv6);
}

TSocketConn::TSocketConn(QObject* owner) : QObject(owner), d(std::make_unique<Private>(this))
{
    ReportStatus(8, QStringLiteral("Create"));
    Proxy.clear();
    d->timer = new TThreadTimer(this);
    d->timer->SetEnabled(false);
    d->timer->SetOnTimer([this](QObject*) {
        // An answer that waits on the socket is no silence of the peer. A
        // process stopped (SIGSTOP) past its time-out wakes with the timer
        // run out and the answer there, and the timer may run first: the
        // read wait takes the answer, and the timer, still armed, looks
        // again after another period.
        if (d->readWait) {
            char byte;
            const SocketSys::Result waiting = d->peekBytes(&byte, 1);
            if (waiting.ok() && waiting.value > 0)
                return;
        }
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
// Status and errors

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

// ---------------------------------------------------------------------------
// Closing

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

// ---------------------------------------------------------------------------
// Listening

SocketSys::Result TSocketConn::Private::acceptNow(QHostAddress* peer, quint16* peerPort)
{
    quint32 v4 = 0;
    quint8 v6[16] = {};
    const SocketSys::Result r = SocketSys::accept(fd, &v4, peerPort, v6);
    if (r.ok())
        *peer = SocketSys::isIPv6Socket(fd) ? QHostAddress(v6) : QHostAddress(v4);
    return r;
}

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

// ---------------------------------------------------------------------------
// Properties

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
