#pragma once

// The server side of FTP conversations for a ScriptedPeer, and a client set
// up to log in to one.

#include <QStringList>

#include <memory>

#include "FtpClient.h"
#include "NetTestSupport.h"

inline QByteArray pasvReply(quint16 port, const char* host = "127,0,0,1")
{
    return QByteArray("227 Entering Passive Mode (") + host + ',' + QByteArray::number(port >> 8) + ','
        + QByteArray::number(port & 0xff) + ")\r\n";
}

// The port a PORT command names.
inline quint16 portOf(const QByteArray& portLine)
{
    const QList<QByteArray> f = portLine.trimmed().split(',');
    return f.size() == 6 ? quint16(f[4].toInt() * 256 + f[5].toInt()) : 0;
}

// A login answered 331, then 230.
inline ScriptedPeer& serveLogin(ScriptedPeer& peer)
{
    return peer.send("220 Ready\r\n").expectLine().send("331 Password required\r\n").expectLine().send(
        "230 Logged in\r\n");
}

// One upload: the data channel (data connection number `data`), STOR, the
// file until the client ends it, the closing reply.
inline ScriptedPeer& serveStore(ScriptedPeer& peer, bool passive, int data,
                                const QByteArray& closing = "226 Transfer complete\r\n")
{
    if (passive)
        peer.expectLine().send(pasvReply(peer.port())).acceptNext().switchTo(0);
    else
        peer.expectLine().send("200 PORT command successful\r\n");
    peer.expectLine().send("150 Opening data connection\r\n");
    if (passive)
        peer.switchTo(data);
    else
        peer.connectTo([&peer] { return portOf(peer.lines().value(peer.lines().size() - 2)); });
    return peer.expectClose().switchTo(0).send(closing);
}

// The command lines the peer received, without their line ends.
inline QStringList commands(const ScriptedPeer& peer, int from = 0)
{
    QStringList result;
    for (const QByteArray& line : peer.lines().mid(from))
        result << QString::fromLatin1(line.trimmed());
    return result;
}

// A passive-mode client that logs in to the peer as lead / s3cret.
inline std::unique_ptr<TFtpClient> clientFor(const ScriptedPeer& peer)
{
    auto client = std::make_unique<TFtpClient>();
    client->Host = QStringLiteral("127.0.0.1");
    client->Port = peer.port();
    client->UserID = QStringLiteral("lead");
    client->Password = QStringLiteral("s3cret");
    client->Passive = true;
    return client;
}
