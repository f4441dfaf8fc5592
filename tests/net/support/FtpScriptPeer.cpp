#include "FtpScriptPeer.h"

#include <QHostAddress>

FtpScriptPeer::FtpScriptPeer(QObject* parent) : QObject(parent)
{
    connect(&m_control, &QTcpServer::newConnection, this, &FtpScriptPeer::onControl);
    connect(&m_dataServer, &QTcpServer::newConnection, this, [this] {
        if (QTcpSocket* socket = m_dataServer.nextPendingConnection())
            attachData(socket);
    });
}

FtpScriptPeer::~FtpScriptPeer()
{
    if (m_data)
        m_data->abort();
    if (m_client)
        m_client->abort();
}

bool FtpScriptPeer::listen()
{
    return m_control.listen(QHostAddress::LocalHost, 0);
}

void FtpScriptPeer::onControl()
{
    QTcpSocket* socket = m_control.nextPendingConnection();
    if (!socket)
        return;
    if (m_client) { // one client at a time; a second one is turned away
        socket->abort();
        socket->deleteLater();
        return;
    }
    m_client = socket;
    connect(socket, &QTcpSocket::readyRead, this, [this] {
        m_pending += m_client->readAll();
        qsizetype end;
        while (m_client && (end = m_pending.indexOf('\n')) >= 0) {
            QByteArray line = m_pending.left(end);
            m_pending.remove(0, end + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            onLine(line);
        }
    });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    send(greeting);
}

void FtpScriptPeer::send(const QByteArray& text)
{
    if (!m_client || text == kSilent)
        return;
    if (text == kClose) {
        m_client->disconnectFromHost();
        return;
    }
    if (text.endsWith("\r\n" + kClose)) { // lines, then hang up
        send(text.chopped(kClose.size() + 2));
        send(kClose);
        return;
    }
    m_client->write(text + "\r\n");
    m_client->flush();
}

void FtpScriptPeer::onLine(const QByteArray& line)
{
    commands.append(QString::fromUtf8(line));
    const QByteArray verb = line.left(line.indexOf(' ') < 0 ? line.size() : line.indexOf(' ')).toUpper();
    QByteArray scripted;
    const bool hasScript = !m_replies.value(verb).isEmpty();
    if (hasScript)
        scripted = m_replies[verb].takeFirst();

    if (verb == "PASV" && !hasScript) {
        if (!m_dataServer.isListening())
            m_dataServer.listen(QHostAddress::LocalHost, 0);
        const quint16 p = m_dataServer.serverPort();
        send(QByteArray(passiveFormat).replace("%1", QByteArray::number(p >> 8))
                 .replace("%2", QByteArray::number(p & 0xff)));
        return;
    }
    if (verb == "PORT") {
        const QList<QByteArray> f = line.mid(5).split(',');
        if (f.size() == 6) {
            m_portHost = QString::fromLatin1(f[0] + '.' + f[1] + '.' + f[2] + '.' + f[3]);
            m_portPort = quint16(f[4].toInt() * 256 + f[5].toInt());
        }
        send(hasScript ? scripted : QByteArray("200 PORT command successful"));
        return;
    }
    if (verb == "STOR") {
        const QByteArray answer = hasScript ? scripted : QByteArray("150 Opening data connection");
        send(answer);
        if (!answer.startsWith('1'))
            return;
        m_storAccepted = true;
        if (m_portPort != 0 && connectForStor) {
            auto* socket = new QTcpSocket(this);
            socket->connectToHost(QHostAddress(m_portHost), m_portPort);
            attachData(socket);
        }
        return;
    }
    if (hasScript) {
        send(scripted);
        return;
    }
    if (verb == "USER")
        send("331 Password required");
    else if (verb == "PASS")
        send("230 Logged in");
    else if (verb == "QUIT") {
        send("221 Goodbye");
        send(kClose);
    } else
        send("200 OK");
}

void FtpScriptPeer::attachData(QTcpSocket* socket)
{
    ++dataConnections;
    m_data = socket;
    if (m_stalled)
        socket->setReadBufferSize(1);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        if (!m_stalled)
            data += socket->readAll();
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        if (socket->isReadable() && !m_stalled)
            data += socket->readAll();
        socket->deleteLater();
        onDataEnd();
    });
}

void FtpScriptPeer::stallData(bool on)
{
    m_stalled = on;
    if (m_data) {
        m_data->setReadBufferSize(on ? 1 : 0);
        if (!on)
            data += m_data->readAll();
    }
}

void FtpScriptPeer::onDataEnd()
{
    dataEnded = true;
    if (m_storAccepted)
        send(closingReply);
    m_storAccepted = false;
}
