#pragma once

// A scripted FTP server for protocol tests, on 127.0.0.1 at a port the system
// picks. It lives on the test's thread: the client's waits turn the event
// loop, which is when the peer reads and answers.
//
// Every command line received is recorded. Replies come from the script: a
// reply set with reply() answers the next command of that verb (replies queue
// up per verb); without one a verb gets a sensible default. Defaults: USER
// 331, PASS 230, PASV opens a data port and answers 227 with it, PORT
// remembers the address and answers 200, STOR 150 (and in active mode then
// connects to the PORT address), QUIT 221 and closes, anything else 200.
// A reply may hold several lines (use "\r\n" inside) and is sent as given
// with CR LF appended. The reply kClose closes the control connection
// instead (a reply ending in "\r\n" + kClose closes after its lines);
// kSilent sends nothing.
//
// The data connection's bytes are collected; when the client ends it after an
// accepted STOR, the closing reply is sent (kClose and kSilent work there too).

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

class FtpScriptPeer : public QObject {
    Q_OBJECT
public:
    static inline const QByteArray kClose = QByteArrayLiteral("<close>");
    static inline const QByteArray kSilent = QByteArrayLiteral("<silent>");

    explicit FtpScriptPeer(QObject* parent = nullptr);
    ~FtpScriptPeer() override;

    bool listen();
    quint16 port() const { return m_control.serverPort(); }

    QByteArray greeting = "220 Scripted peer ready";
    QByteArray closingReply = "226 Transfer complete";
    // The PASV reply; "%1" and "%2" become the data port's high and low byte.
    QByteArray passiveFormat = "227 Entering Passive Mode (127,0,0,1,%1,%2)";
    // Active mode: connect to the PORT address after the STOR reply.
    bool connectForStor = true;
    // Stop reading the data connection (the client's send then backs up), or
    // read it again, also on the connection already open.
    void stallData(bool on);

    void reply(const QByteArray& verb, const QByteArray& text) { m_replies[verb].append(text); }

    QStringList commands; // every line received, without its line end
    QByteArray data;      // what arrived on the data connection
    bool dataEnded = false;
    int dataConnections = 0;
    quint16 passivePort() const { return m_dataServer.serverPort(); }

    // Turns the event loop until cond() holds or about a second has passed.
    template <typename Cond> static bool waitFor(Cond cond);

private:
    void onControl();
    void onLine(const QByteArray& line);
    void send(const QByteArray& text);
    void attachData(QTcpSocket* socket);
    void onDataEnd();

    QTcpServer m_control;
    QTcpServer m_dataServer;
    QPointer<QTcpSocket> m_client;
    QPointer<QTcpSocket> m_data;
    bool m_stalled = false;
    bool m_storAccepted = false; // a closing reply is due when the data ends
    QByteArray m_pending;
    QHash<QByteArray, QList<QByteArray>> m_replies;
    QString m_portHost;
    quint16 m_portPort = 0;
};

#include <QCoreApplication>
#include <QElapsedTimer>

template <typename Cond> bool FtpScriptPeer::waitFor(Cond cond)
{
    QElapsedTimer timer;
    timer.start();
    while (!cond()) {
        if (timer.elapsed() > 2000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}
