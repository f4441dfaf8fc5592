#pragma once

// ActiveDataPort: the port an active-mode FTP transfer (PORT, EPRT) listens
// on for the server's data connection.
//
// Anyone may connect to a listening port, and another program on this
// machine, or anywhere the port can be reached from, may connect before the
// server does: whatever it connects with would receive the upload, or hand
// over what passes for a download. So the port takes a connection only from
// the server's address (the control connection's peer) and closes any other
// unread. A program at the server's address itself (another local program
// when the server runs here) cannot be told from the server by its address;
// but then two connections arrive for one transfer, and the port stays open
// until the transfer has ended, so that the second one shows: such a
// transfer cannot be trusted, whichever connection was the server's.

#include <QHostAddress>
#include <QPointer>

#include <functional>

class QObject;
class TSocketConn;

class ActiveDataPort
{
public:
    // Listens on a port the system picks, IPv6 when ipv6. Throws ESockError
    // when it cannot.
    ActiveDataPort(QObject* owner, const QHostAddress& server, bool ipv6, int timeOut);
    ~ActiveDataPort();
    ActiveDataPort(const ActiveDataPort&) = delete;
    ActiveDataPort& operator=(const ActiveDataPort&) = delete;

    // The listening connection object: its Cancel() ends acceptServer(),
    // its LocalPort() and LocalPortText() name the port.
    TSocketConn* listener() const { return m_listener; }

    // Waits (in the event loop) for a connection from the server's address
    // and returns its handle, which the caller owns. Connections from other
    // addresses are closed unread and reported to refused. Throws as
    // TSocketConn::Accept.
    int acceptServer(const std::function<void(const QHostAddress&)>& refused);

    // Closes, with a reset, every connection waiting now. True when one of
    // them (or one at an earlier call) came from the server's address after
    // acceptServer() had taken its connection. Never waits.
    bool secondConnectionSeen();

private:
    QPointer<TSocketConn> m_listener;
    QHostAddress m_server;
    bool m_taken = false;
    bool m_second = false;
};
