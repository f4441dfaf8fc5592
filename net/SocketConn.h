#pragma once

// TSocketConn: one TCP connection (IPv4, stream) with blocking-looking
// operations that run on the GUI thread.
//
// Each operation starts a non-blocking socket call and then waits in the Qt
// event loop (see EventWait.h) until the socket, the time-out timer, Cancel()
// or Abort() ends the wait. While it waits, timers, input and the
// notifications of every other connection object are handled, so event
// handlers and slots may re-enter: a handler may call Cancel() or Abort() on a
// waiting object, but must not start a second operation on it.
//
// Ownership: a connection object is a QObject and dies with its owner. It owns
// its socket, its time-out timer and its notifiers. Destroying it in the middle
// of a wait is allowed: the wait ends with the operation's cancel error without
// touching the freed object.
//
// Failures are exceptions (SockErrors.h), never return codes. Socket errors
// carry the classic numbering: "10061:Connection refused",
// "Unknown Error No. N".

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "SockErrors.h"

class TThreadTimer;

using TNotifyEvent = std::function<void(QObject* sender)>;
using THandlerEvent = std::function<void(bool& handled)>;
using TOnHostResolved = std::function<void(QObject* sender)>;
using TOnStatus = std::function<void(QObject* sender, const QString& status)>;
using TOnErrorEvent =
    std::function<void(QObject* sender, quint16 errorCode, const QString& errorMessage)>;

class TSocketConn : public QObject {
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
    virtual void Connect();    // throws ESockError
    virtual void Disconnect(); // never waits
    virtual void Abort();      // Cancel; overridden by the clients
    void Cancel();
    void CheckConnection(); // throws Exception "Not Connected"
    void RequestCloseSocket();
    bool DataAvailable();

    // Transfer operations.
    void SendBuffer(const char* buffer, qsizetype length); // throws EAbortError when cancelled
    void Write(const QByteArray& text);   // sent up to its first NUL; > 65,535 bytes: ERangeError
    void Writeln(const QByteArray& text); // Write(text + CR LF)
    QByteArray Read(quint16 count);       // count 0: what is waiting now
    QByteArray ReadLn();                  // terminator kept; empty: connection gone
    virtual QByteArray Transaction(const QByteArray& command);
    void SendFile(const QString& fileName);    // throws EFileError, ESockError, EAbortError
    void CaptureFile(const QString& fileName); // until the peer closes
    void CaptureString(QByteArray& text, int limit); // limit -1: no limit
    void Listen(bool deferred);
    virtual int Accept(); // returns the accepted socket's handle
    void ClearInput();
    QString LocalAddressText(); // "192,168,1,10"
    QString LocalPortText();    // ",19,137"

    // Status and errors.
    void ReportStatus(int level, const QString& text);
    QString LookupErrorMessage(int code);
    static QString errorText(int code); // the table lookup alone, no status report

    // Time-out timer: arming an armed timer does not restart it.
    void TimerOn();
    void TimerOff();

    // Our additions for the FTP client's data connection.
    int socketHandle() const;
    void adoptSocket(int acceptedHandle); // closes the listening socket, takes the accepted one
    void setLinger(bool on, int seconds);

protected:
    // Throws ESockError (after OnError) for any code other than would-block.
    void CheckSocketError(int errorCode);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
