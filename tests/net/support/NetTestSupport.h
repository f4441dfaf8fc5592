#pragma once

// Helpers shared by the network tests.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTcpServer>

#include <exception>
#include <type_traits>

#include "ScriptedPeer.h"
#include "SocketConn.h"

// The message of what f throws; "<none>" when it returns, and marked as
// another exception when it is not of class E.
template <class E = std::exception, class F>
QString thrown(F&& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        const QString message = QString::fromUtf8(e.what());
        if constexpr (!std::is_same_v<E, std::exception>) {
            if (!dynamic_cast<const E*>(&e))
                return QStringLiteral("<other exception: %1>").arg(message);
        }
        return message;
    }
    return QStringLiteral("<none>");
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

inline bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// A port on 127.0.0.1 where nothing listens (just released).
inline quint16 unusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline void connectTo(TSocketConn& c, const ScriptedPeer& peer)
{
    c.Host = QStringLiteral("127.0.0.1");
    c.Port = peer.port();
    c.Connect();
}
