#pragma once

// TSocketConn's private state, shared by the SocketConn*.cpp files and
// included by no other file. Like the object it belongs to, it is used on the
// connection's own thread only.

#include "SocketConn.h"
#include "SocketSys.h"
#include "TlsSession.h"

#include <QHostAddress>
#include <QList>
#include <QSocketNotifier>
#include <QString>

#include <functional>
#include <memory>

class QHostInfo;

// Every socket call moves at most this much through the I/O buffer; the
// buffer itself has four bytes to spare for a terminating NUL.
inline constexpr qint64 kChunk = 65536;
inline constexpr qsizetype kIoBufferSize = 65540;

// The connection object's private state and the plumbing between the socket
// notifiers and the waits. The read notifier stands for "data arrived",
// "connection offered" and "peer closed"; the write notifier for "connect
// completed" and, inside a send, room in the send buffer. Read readiness is
// re-armed only after a read or at an operation's end, so unread data raises
// one notification, not a flood. `alive` is shared with every waiting frame,
// which must leave without touching the object when a handler run by its
// wait destroyed it.
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
    bool readWait = false; // a wait for input runs (waitForEvent)
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

    // Socket life (SocketConn.cpp).
    // Counts the object, describes the socket layer in WinsockInfo for the
    // first one, opens the first socket. Throws ESockError.
    void initSockets();
    // A fresh socket with its notifiers; reset: it closes with a reset.
    void openSocket(bool reset, bool ipv6 = false);
    // A fresh unconnected socket of the given family in place of the current
    // one (which has not carried a connection), closing as the old one would.
    void renewSocket(bool ipv6);
    // A connection waiting on the listening socket, without waiting.
    SocketSys::Result acceptNow(QHostAddress* peer, quint16* peerPort);

    // Host look-up and connect (SocketConnConnect.cpp).
    // Throws ESockError "Host Lookup Timed Out", "Host Lookup Canceled" or
    // "Host Lookup Failed"; waits in the event loop for a name look-up.
    void resolveHost();
    // The resolver's answer: ends the look-up's wait.
    void onLookupDone(const QHostInfo& info);
    // Gives up a pending look-up; its answer is then ignored.
    void abortLookup();
    // The end of a connect: error 0 marks the object connected and calls
    // OnConnect (whose exceptions are dropped).
    void connectCompleted(int error);

    // Notifiers and waits (SocketConnWait.cpp).
    // Disabled notifiers for fd; their exceptions never reach Qt.
    void makeNotifiers();
    // The notifiers may be the senders of the signal being handled (a close
    // notification replaces the socket): they are detached and deleted later.
    void releaseNotifiers();
    // Read notifications between operations, for a connected or listening socket.
    void armIdle();
    // No notifications until the next wait asks for them.
    void disarm();
    // Blocks in the event loop, where handlers of every kind may run, until a
    // notification of this object or its time-out arrives, or Canceled is set.
    // False: the object was destroyed meanwhile; leave without touching it.
    bool waitForEvent(bool readable, bool writable);
    // Handles pending events between chunks of a transfer. Returns false when
    // the object was destroyed meanwhile.
    bool pump();
    // Data arrived, a connection offered or the peer closed.
    void onReadable();
    // A connect completed, or room in the send buffer.
    void onWritable();

    // Transfers (SocketConnTransfer.cpp).
    // The socket calls, through the TLS session when one is active.
    SocketSys::Result sendBytes(const char* data, qint64 length);
    SocketSys::Result receiveBytes(char* data, qint64 length);
    SocketSys::Result peekBytes(char* data, qint64 length);
    // Takes exactly `count` bytes that a peek has shown to be waiting.
    qint64 receiveWaiting(char* into, qint64 count);
    // Receives until the peer closes, the connection is gone, full() holds or
    // Canceled. Each chunk goes to sink(). Throws EAbortError(cancelText)
    // when cancelled or timed out, ESockError for socket errors, whatever the
    // sink or a handler throws.
    void capture(const std::function<void(const char*, qint64)>& sink,
                 const std::function<bool()>& full, const char* cancelText);
    // Sends all of data unless cancelled. Returns false when the object was
    // destroyed meanwhile. Throws ESockError for socket errors.
    bool sendAll(const char* data, qint64 length, bool countAndNotify);
};
