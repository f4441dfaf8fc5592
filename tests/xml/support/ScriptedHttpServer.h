#pragma once

// ScriptedHttpServer: an HTTP server on 127.0.0.1 whose replies a test
// writes byte for byte: any status and charset, no Content-Length, a body
// cut short and held open (a stalled transfer), or a delayed answer. It
// records every request path, so a test can tell that something was never
// fetched. Paths without a route get an HTML 404 page.

#include <QByteArray>
#include <QMap>
#include <QObject>
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

    bool start() { return m_server.listen(QHostAddress::LocalHost, 0); }
    QString url(const QString& path) const;

    // Both return url(path).
    QString route(const QString& path, const Reply& reply);
    QString route(const QString& path, const QByteArray& body, const QByteArray& status = "200 OK",
                  const QByteArray& contentType = "application/xml");
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
