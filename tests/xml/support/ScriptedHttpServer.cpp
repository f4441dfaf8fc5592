#include "ScriptedHttpServer.h"

#include <QTcpSocket>

ScriptedHttpServer::ScriptedHttpServer()
{
    connect(&m_server, &QTcpServer::newConnection, this, &ScriptedHttpServer::onConnection);
}

QString ScriptedHttpServer::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(m_server.serverPort()) + path;
}

QString ScriptedHttpServer::route(const QString& path, const Reply& reply)
{
    m_routes[path] = reply;
    return url(path);
}

QString ScriptedHttpServer::route(const QString& path, const QByteArray& body, const QByteArray& status,
                                  const QByteArray& contentType)
{
    Reply reply;
    reply.status = status;
    reply.contentType = contentType;
    reply.body = body;
    return route(path, reply);
}

void ScriptedHttpServer::onConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        m_pending.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onData(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, socket] { m_pending.remove(socket); });
    }
}

void ScriptedHttpServer::onData(QTcpSocket* socket)
{
    auto it = m_pending.find(socket);
    if (it == m_pending.end())
        return;
    it.value() += socket->readAll();
    if (!it.value().contains("\r\n\r\n"))
        return;
    m_heads << it.value().left(it.value().indexOf("\r\n\r\n"));
    const QList<QByteArray> requestLine = it.value().left(it.value().indexOf("\r\n")).split(' ');
    m_pending.erase(it);
    const QString path = requestLine.size() > 1 ? QString::fromLatin1(requestLine[1].mid(1)) : QString();
    m_requests << path;

    Reply reply = m_routes.value(path);
    if (!m_routes.contains(path)) {
        reply.status = "404 Not Found";
        reply.contentType = "text/html";
        reply.body = "<html><body>Not found</body></html>";
    }
    if (!reply.raw.isEmpty()) {
        socket->write(reply.raw);
        socket->disconnectFromHost();
        return;
    }
    QByteArray head = "HTTP/1.1 " + reply.status + "\r\nConnection: close\r\n";
    if (!reply.contentType.isEmpty())
        head += "Content-Type: " + reply.contentType + "\r\n";
    if (reply.contentLength)
        head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    head += reply.headers;
    socket->write(head + "\r\n" + reply.body);
    socket->disconnectFromHost();
}
