#pragma once

// ScriptedPeer: a TCP server on 127.0.0.1 (port chosen by the system) that
// plays a script against the code under test, in the test's own thread.
//
// It never blocks: it makes progress only while the event loop turns, which
// is exactly what a waiting connection object (or QTRY_VERIFY, or
// QTest::qWait) does. So a test builds the script, then calls the blocking
// operation of the client, and the peer answers from inside the client's wait.
//
//     ScriptedPeer peer;
//     peer.expectLine().send("220 Ready\r\n").expectClose();
//     conn.Port = peer.port();
//     conn.Connect();
//     ...
//     QTRY_VERIFY(peer.finished());
//     QCOMPARE(peer.transcript(), QByteArray("USER anonymous\r\n"));
//
// Steps run in order on the "current" connection. A step that needs a
// connection while there is none waits for the first incoming one;
// acceptNext(), connectTo() and switchTo() change the current connection. An expect step waits until its bytes have arrived; a step that
// cannot complete because the client closed ends the script: finished() stays
// false and failure() says why.
//
// Everything a connection receives goes into its transcript (except while it
// discards). Connections are numbered from 0 in the order they were accepted
// or made.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <deque>
#include <memory>
#include <vector>

class QTcpServer;
class QTcpSocket;
class QFile;

class ScriptedPeer : public QObject {
    Q_OBJECT
public:
    explicit ScriptedPeer(QObject* parent = nullptr);
    // Listens (and connects) on the given loopback address instead, ::1 say.
    explicit ScriptedPeer(const QHostAddress& address, QObject* parent = nullptr);
    ~ScriptedPeer() override;

    quint16 port() const;

    // --- Script steps; each returns *this for chaining. ---
    // Waits for one line, LF included.
    ScriptedPeer& expectLine();
    // Waits for exactly count further bytes.
    ScriptedPeer& expectBytes(qint64 count);
    // Waits until the client closes the connection (or resets it).
    ScriptedPeer& expectClose();
    // Reads and drops everything until the client closes; see discarded().
    ScriptedPeer& discard();
    // Queues bytes for sending.
    ScriptedPeer& send(const QByteArray& bytes);
    // Sends each part as its own packet, with pauseMs between parts.
    ScriptedPeer& sendParts(const QList<QByteArray>& parts, int pauseMs);
    // Streams a file, keeping only a few MiB in flight (for large files).
    ScriptedPeer& sendFile(const QString& path);
    ScriptedPeer& pause(int ms);
    // Orderly close once everything queued is sent.
    ScriptedPeer& close();
    // Resets the connection at once (RST); unsent bytes are dropped.
    ScriptedPeer& reset();
    // Waits for a further incoming connection and makes it current.
    ScriptedPeer& acceptNext();
    // Makes an earlier connection current again.
    ScriptedPeer& switchTo(int connection);
    // Connects to 127.0.0.1 at the port that portSource() gives when the
    // step runs (for a client that listens); the new connection is current.
    ScriptedPeer& connectTo(std::function<quint16()> portSource);
    // Runs code of the test at this point of the script.
    ScriptedPeer& run(std::function<void()> action);

    // --- Results ---
    // Every step has run.
    bool finished() const;
    // Why the script stopped early; empty while all is well.
    QString failure() const;
    // The lines that expectLine() steps received, in order.
    QList<QByteArray> lines() const;
    // The bytes received on one connection, or on all of them in order of
    // arrival when connection is -1.
    QByteArray transcript(int connection = -1) const;
    qint64 discarded() const;
    int connectionCount() const;

private:
    struct Step;
    struct Connection;

    ScriptedPeer& add(Step step);
    void scheduleAdvance();
    void advance();
    bool runStep(Step& step); // true when the step is complete
    void onNewConnection();
    void attach(QTcpSocket* socket);
    void readFrom(Connection& c);
    void feedFile(Connection& c);
    void fail(const QString& why);
    Connection* current();

    QTcpServer* m_server = nullptr;
    QHostAddress m_address;
    std::deque<Step> m_steps; // a deque: run() may add steps while one runs
    std::vector<std::unique_ptr<Connection>> m_connections;
    size_t m_next = 0;
    int m_current = -1;
    bool m_advancing = false;
    bool m_again = false;
    bool m_pauseRunning = false;
    bool m_pauseDone = false;
    bool m_stepStarted = false;
    QString m_failure;
    QList<QByteArray> m_lines;
    QByteArray m_transcript;
    qint64 m_discarded = 0;
};
