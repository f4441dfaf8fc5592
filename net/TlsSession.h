#pragma once

// TTlsSession: the TLS client side of one connected, non-blocking socket.
//
// The connection object keeps its socket, its notifiers and its waits; while
// a session is active it moves its bytes through the session instead of the
// plain socket calls. Nothing here waits: every call answers at once, and a
// call that needs the socket to become readable or writable says so (the
// would-block error of SocketSys for transfers, a Step for the handshake), so
// that the connection object waits in the event loop as it does for plain
// sockets.
//
// The peer's certificate chain is checked against the system's trusted
// certificates, or against the file named by the SSL_CERT_FILE environment
// variable when it is set, and its name against the host asked for. Failures
// are ESockError; those of the certificate say "certificate" in their text.
//
// The session writes through SocketSys, so a send to a peer that has gone
// gives an error and never raises SIGPIPE.

#include <QString>

#include <memory>

#include "SocketSys.h"

typedef struct ssl_session_st SSL_SESSION;

class TTlsSession
{
public:
    // Starts a client session on the connected socket for peerName (a host
    // name or an IP address literal without brackets). With resumeFrom, the
    // session offers to resume that one's first resumable session, the same
    // for every session started from it, in TLS 1.2 and 1.3 (FTP servers ask
    // for this on their data connections). Throws ESockError when no session
    // can be made.
    TTlsSession(int handle, const QString& peerName, const TTlsSession* resumeFrom = nullptr);
    ~TTlsSession();
    TTlsSession(const TTlsSession&) = delete;
    TTlsSession& operator=(const TTlsSession&) = delete;

    enum class Step { Done, WantRead, WantWrite };
    // One step of the handshake. Throws ESockError when it fails.
    Step handshake();

    // As the SocketSys calls: value 0 is the end of the stream, the
    // would-block error means "wait and call again with the same arguments".
    SocketSys::Result send(const char* data, qint64 length);
    SocketSys::Result receive(char* data, qint64 length);
    SocketSys::Result peek(char* data, qint64 length);
    // Decrypted bytes waiting inside the session.
    bool hasPending() const;
    // The peer has ended its side of the stream (its closing alert, or the
    // end of the socket's stream), even when that came in the same read as
    // the last data: once the bytes already received are taken, receive
    // and peek answer 0 without touching the socket.
    bool peerClosed() const;
    // Sends the closing alert if the socket takes it now; never waits.
    void close();

    // "TLSv1.3", for status texts.
    QString protocol() const;

private:
    // A new reference to a copy of the session that sessions resuming this
    // one offer; null when there is none (yet). The caller frees it.
    SSL_SESSION* offeredSession() const;
    struct Private;
    std::unique_ptr<Private> d;
};
