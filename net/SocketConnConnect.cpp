// TSocketConn: the outgoing connection, from the host look-up through the
// connect to the TLS handshake.

#include "SocketConn.h"

#include "SocketConnPrivate.h"
#include "SocketErrorText.h"
#include "WireText.h"

#include <QHostInfo>

// ---------------------------------------------------------------------------
// Host look-up

void TSocketConn::Private::resolveHost()
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
    name = WireText::unbracketed(name);
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

void TSocketConn::Private::onLookupDone(const QHostInfo& info)
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

void TSocketConn::Private::abortLookup()
{
    if (lookupId != -1)
        QHostInfo::abortHostLookup(lookupId);
    lookupId = -1;
    lookupPending = false;
}

// ---------------------------------------------------------------------------
// Connect

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

void TSocketConn::Private::connectCompleted(int error)
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

void TSocketConn::checkRemoteAddress(const QHostAddress&, quint16) {}

// ---------------------------------------------------------------------------
// TLS

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
