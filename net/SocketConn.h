#pragma once

// TSocketConn: one TCP connection (IPv4 or IPv6, stream, optionally in TLS)
// with blocking-looking operations that run on the GUI thread.
//
// Each operation starts a non-blocking socket call, then waits in the Qt event
// loop (EventWait.h) until the socket, the time-out timer, Cancel() or Abort()
// ends the wait. Meanwhile timers, input and every other connection's
// notifications are handled, so handlers may re-enter: they may call Cancel()
// or Abort() on a waiting object, but must not start a second operation on it.
//
// Ownership: a QObject that dies with its owner; it owns its socket, time-out
// timer and notifiers. Destroying it mid-wait is allowed: the wait ends with
// the operation's cancel error without touching the freed object. Failures
// are exceptions (SockErrors.h), never return codes; socket errors carry the
// classic numbering ("10061:Connection refused", "Unknown Error No. N").

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "NotifyEvent.h"
#include "SockErrors.h"

class TThreadTimer;

using THandlerEvent = std::function<void(bool& handled)>;
using TOnHostResolved = std::function<void(QObject* sender)>;
using TOnStatus = std::function<void(QObject* sender, const QString& status)>;
using TOnErrorEvent =
    std::function<void(QObject* sender, quint16 errorCode, const QString& errorMessage)>;

class TSocketConn : public QObject
{
    Q_OBJECT
public:
    // Reports "Create", opens a fresh unconnected socket. Throws ESockError
    // "Initializaton of windows sockets failed" when no socket can be made.
    explicit TSocketConn(QObject* owner = nullptr);
    ~TSocketConn() override;

    // Published properties.
    QString Host;
    int Port = 0;
    int TimeOut = 0; // milliseconds; 0 = no limit
    int ReportLevel = 0;
    TNotifyEvent OnDisconnect;
    TNotifyEvent OnConnect;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;

    // TLS: with UseTls, Connect runs the TLS handshake after the TCP one and
    // every byte afterwards travels in TLS. The peer's certificate must name
    // TlsPeerName (Host or Proxy when empty).
    bool UseTls = false;
    QString TlsPeerName;

    // Published only by the derived clients.
    QString Proxy;
    int ProxyPort = 0;
    TOnErrorEvent OnError;
    THandlerEvent OnConnectionRequired;
    TNotifyEvent OnPacketRecvd;
    TNotifyEvent OnPacketSent;
    TNotifyEvent OnReadReady;
    TNotifyEvent OnAcceptReady;

    // State, read by callers and derived classes.
    QStringList WinsockInfo;
    qint32 SentCount = 0;
    qint32 ReceivedCount = 0;
    qint32 TotalBytes = 0;
    bool Canceled = false;
    bool Destroying = false;
    bool TimedOut = false;
    bool LastEventOk = true;
    bool WaitDone = false;
    bool Connected = false;
    int LastErrorCode = 0;
    QString StatusText;
    QByteArray LastReply;
    qint16 ReplyCode = 0;

    // Connection. Each of these may wait and so may re-enter the event loop.
    // Connect: resolves Host (or Proxy: a name, a dotted IPv4 address or an IPv6
    // literal, bracketed or not) to all its addresses and connects to Port (or
    // ProxyPort) on the first that takes it, in the resolver's order. Throws
    // ESockError "Already connected", "Null Remote Address" (after the one
    // OnInvalidHost chance), "Host Lookup Timed Out"/"Canceled", "Connection Timed
    // out"/"Canceled"/"Failed", or the socket error ("10061:Connection refused")
    // after OnConnectionFailed and OnError.
    virtual void Connect();
    virtual void Disconnect(); // never waits; closes and renews the socket
    virtual void Abort();      // Cancel; overridden by the clients
    void Cancel();             // the waiting operation ends with its cancel error
    void CheckConnection();    // throws Exception "Not Connected"
    // Closes the socket, calls OnDisconnect and makes a fresh one. An object's
    // first socket closes with a reset (linger on, time 0), fresh ones in order;
    // setLinger() changes that.
    void RequestCloseSocket();
    bool DataAvailable(); // never waits

    // Transfer operations, all waiting in the event loop. Socket failures throw
    // ESockError with the classic text; a cancel, Abort, time-out, or destroying
    // the object during the wait, throws EAbortError with the operation's text:
    // SendBuffer: "Socket send aborted"; length 0: up to the first NUL.
    void SendBuffer(const char* buffer, qsizetype length);
    void Write(const QByteArray& text);   // sent up to its first NUL; > 65,535 bytes: ERangeError
    void Writeln(const QByteArray& text); // Write(text + CR LF)
    // count > 0: exactly count bytes (fewer only when the peer closes first);
    // count 0: what is waiting now, without waiting. "Socket send aborted".
    QByteArray Read(quint16 count);
    // One line, terminator kept; empty: the connection is gone. "Socket readln
    // aborted"; ESockError "Socket readln line too long" beyond 65,536 bytes.
    QByteArray ReadLn();
    // Writeln + ReadLn; ReplyCode from the reply's leading digits (ERangeError
    // beyond 16 bits).
    virtual QByteArray Transaction(const QByteArray& command);
    void SendFile(const QString& fileName);          // throws EFileError, ESockError, EAbortError
    void CaptureFile(const QString& fileName);       // until the peer closes; "Socket send aborted"
    void CaptureString(QByteArray& text, int limit); // limit -1: no limit; "Socket capture aborted"
    // Binds to Port on all local addresses and listens. Throws ESockError
    // when the bind fails ("10048:Address already in use").
    void Listen(bool deferred);
    // Waits for a connection and returns its handle, which the caller owns
    // (adoptSocket() hands it to this object). Throws ESockError "Accepting
    // Canceled" on cancel, time-out or destruction.
    virtual int Accept();
    // The address of the peer the last Accept took (an IPv4 one as IPv4).
    QHostAddress AcceptedPeerAddress() const;
    // Accepts a waiting connection without waiting: its handle (the caller's),
    // its peer in peer; -1 when none waits.
    int AcceptPending(QHostAddress* peer);
    void ClearInput();          // drops up to 64 KiB waiting; never waits
    QString LocalAddressText(); // "192,168,1,10"
    QString LocalPortText();    // ",19,137"

    // Status and errors.
    void ReportStatus(int level, const QString& text);
    QString LookupErrorMessage(int code);
    static QString errorText(int code); // the table lookup alone, no status report

    // Time-out timer: arming an armed timer does not restart it.
    void TimerOn();
    void TimerOff();

    // Starts TLS on the connected socket and waits for its handshake. Throws
    // ESockError: a certificate that fails the checks ("TLS certificate
    // verification failed: ..."), a failed, timed out or cancelled
    // handshake. resumeFrom offers that connection's TLS session for reuse.
    void StartTls(const QString& peerName, const TSocketConn* resumeFrom = nullptr);
    bool TlsActive() const;
    // Ends the sending side in order (TLS's closing alert, then end of stream) and
    // keeps the socket open: closing it while bytes arrive resets the connection,
    // which can make the peer drop the end of what was sent. Never waits.
    void ShutdownOutput();
    // The address the last Connect reached; kept after the connection ends.
    QHostAddress PeerAddress() const;
    // The address and port the socket is bound to locally.
    QHostAddress LocalHostAddress() const;
    quint16 LocalPort() const;
    // Makes the unconnected socket an IPv6 (or IPv4) one, for Listen.
    void setIPv6(bool ipv6);
    // Bytes sent and received so far by all connections of the calling thread.
    static quint64 bytesMovedInThread();

    // Our additions for the FTP client's data connection.
    int socketHandle() const;
    void adoptSocket(int acceptedHandle); // closes the listening socket, takes the accepted one
    void setLinger(bool on, int seconds); // throws ESockError when the option is refused
    // Bytes handed to the system that the peer has not acknowledged yet; 0
    // without a socket, -1 when the system cannot tell. Never waits.
    qint64 queuedOutput() const;

protected:
    // Throws ESockError (after OnError) for any code other than would-block.
    void CheckSocketError(int errorCode);
    // Called with each address Connect is about to connect to; throwing
    // ESockError skips the address (and ends Connect when it is the last).
    virtual void checkRemoteAddress(const QHostAddress& address, quint16 port);

private:
    // One connection attempt. False: it failed and was not the last, try the
    // next address. Throws as Connect for the last one.
    bool connectTo(const QHostAddress& address, bool last);
    struct Private;
    std::unique_ptr<Private> d;
};
