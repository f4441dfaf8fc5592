#include "ActiveDataPort.h"

#include "SocketConn.h"
#include "SocketSys.h"

namespace {

bool sameAddress(const QHostAddress& a, const QHostAddress& b)
{
    return a.isEqual(b, QHostAddress::ConvertV4MappedToIPv4);
}

// A connection refused unread goes with a reset: its peer must not take the
// end of it for the end of a transfer.
void closeWithReset(int handle)
{
    SocketSys::setLinger(handle, true, 0);
    SocketSys::closeSocket(handle);
}

} // namespace

ActiveDataPort::ActiveDataPort(QObject* owner, const QHostAddress& server, bool ipv6, int timeOut)
    : m_listener(new TSocketConn(owner)), m_server(server)
{
    try {
        m_listener->TimeOut = timeOut;
        m_listener->Port = 0;
        m_listener->setIPv6(ipv6);
        m_listener->Listen(false);
    } catch (...) {
        delete m_listener.data();
        throw;
    }
}

ActiveDataPort::~ActiveDataPort()
{
    // The listener may have gone with its owner during a wait.
    delete m_listener.data();
}

int ActiveDataPort::acceptServer(const std::function<void(const QHostAddress&)>& refused)
{
    for (;;) {
        const QPointer<TSocketConn> listener(m_listener);
        const int handle = listener->Accept();
        if (!listener) {
            SocketSys::closeSocket(handle);
            throw ESockError(QStringLiteral("Accepting Canceled"));
        }
        const QHostAddress peer = listener->AcceptedPeerAddress();
        if (sameAddress(peer, m_server)) {
            m_taken = true;
            return handle;
        }
        closeWithReset(handle);
        if (refused)
            refused(peer);
    }
}

bool ActiveDataPort::secondConnectionSeen()
{
    if (!m_listener)
        return m_second;
    QHostAddress peer;
    for (int handle = m_listener->AcceptPending(&peer); handle >= 0; handle = m_listener->AcceptPending(&peer)) {
        closeWithReset(handle);
        if (m_taken && sameAddress(peer, m_server))
            m_second = true;
    }
    return m_second;
}
