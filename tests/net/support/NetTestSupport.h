#pragma once

// Helpers shared by the network tests.

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTcpServer>

#include <exception>
#include <type_traits>

#include "ScriptedPeer.h"
#include "SocketConn.h"
#include "TestSupport.h"

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

// Runs the squadnet tool in dir (unless empty) with input on its standard
// input. Its exit code; -1 when it did not start, -2 when it hung, -3 when it
// crashed.
inline int runSquadnet(const QStringList& arguments, const QByteArray& input = {}, QByteArray* errors = nullptr,
                       const QString& dir = {})
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(binaryPath(QStringLiteral("tools/squadnet")), arguments);
    if (!process.waitForStarted(5000))
        return -1;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return -2;
    }
    if (errors)
        *errors = process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -3;
}
