#pragma once

// ScriptedHttpServer: an HTTP server on 127.0.0.1 that answers each path
// with the reply a test set: any status, charset or body, with or without
// Content-Length. It records every request path, so a test can tell that
// something was never fetched. Paths without a route get an HTML 404 page.

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
        QByteArray headers;        // more header lines, each ending in CRLF
        // When set, sent as it is instead of all of the above (status line,
        // headers and body, chunked or cut short as the test wants).
        QByteArray raw;
    };

    ScriptedHttpServer();

    bool start() { return m_server.listen(QHostAddress::LocalHost, 0); }
    QString url(const QString& path) const;

    // Both return url(path).
    QString route(const QString& path, const Reply& reply);
    QString route(const QString& path, const QByteArray& body, const QByteArray& status = "200 OK",
                  const QByteArray& contentType = "application/xml");
    QStringList requests() const { return m_requests; }
    // The header of each request, request line included, in order.
    QList<QByteArray> requestHeads() const { return m_heads; }

private:
    void onConnection();
    void onData(QTcpSocket* socket);

    QTcpServer m_server;
    QMap<QString, Reply> m_routes;
    QMap<QTcpSocket*, QByteArray> m_pending;
    QStringList m_requests;
    QList<QByteArray> m_heads;
};
