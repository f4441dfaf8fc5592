#pragma once

// ScriptedHttpServer: an HTTP server on 127.0.0.1 whose replies a test
// writes byte for byte: any status, any headers (a chosen charset, a missing
// Content-Length), a body cut short and then held open (a stalled transfer),
// or a reply sent only after a delay. It records every request path, so a
// test can tell that something was never fetched.

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

class ScriptedHttpServer : public QObject {
public:
    struct Reply {
        QByteArray status = "200 OK";
        QByteArray contentType = "application/xml";
        QByteArray body;
        bool contentLength = true; // send a Content-Length header
        qint64 stallAfter = -1;    // send only this many body bytes, then hold the connection
        int delayMs = 0;           // wait this long before answering
    };

    ScriptedHttpServer();
    ~ScriptedHttpServer() override;

    bool start();
    quint16 port() const { return m_server.serverPort(); }
    QString url(const QString& path) const;

    void route(const QString& path, const Reply& reply) { m_routes[path] = reply; }
    QStringList requests() const { return m_requests; }
    int answered() const { return m_answered; }

private:
    void onConnection();
    void onData(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const Reply& reply);

    QTcpServer m_server;
    QMap<QString, Reply> m_routes;
    QMap<QTcpSocket*, QByteArray> m_pending;
    QStringList m_requests;
    int m_answered = 0;
};
