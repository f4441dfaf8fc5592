#include "LoopbackWebServer.h"

#include <QDeadlineTimer>
#include <QProcessEnvironment>
#include <QRegularExpression>

LoopbackWebServer::LoopbackWebServer(const QString& rootDir) : m_rootDir(rootDir)
{
}

LoopbackWebServer::~LoopbackWebServer()
{
    stop();
}

bool LoopbackWebServer::start(quint16 port)
{
    stop();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The port is read from the server's first line, which a pipe would
    // otherwise keep in python's buffer.
    env.insert(QStringLiteral("PYTHONUNBUFFERED"), QStringLiteral("1"));
    m_process.setProcessEnvironment(env);
    if (m_requestLog.isEmpty())
        m_process.setStandardErrorFile(QProcess::nullDevice());
    else
        m_process.setStandardErrorFile(m_requestLog, QIODevice::Append);
    m_process.start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral("-m"), QStringLiteral("http.server"), QString::number(port),
                     QStringLiteral("--bind"), QStringLiteral("127.0.0.1"), QStringLiteral("--directory"),
                     m_rootDir});
    if (!m_process.waitForStarted(10000))
        return false;

    // "Serving HTTP on 127.0.0.1 port 40123 (http://127.0.0.1:40123/) ..."
    static const QRegularExpression portPattern(QStringLiteral("port (\\d+)"));
    QByteArray output;
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (!m_process.canReadLine() && !m_process.waitForReadyRead(int(deadline.remainingTime())))
            break;
        output += m_process.readLine();
        const QRegularExpressionMatch match = portPattern.match(QString::fromUtf8(output));
        if (match.hasMatch()) {
            m_port = quint16(match.captured(1).toUInt());
            return m_port != 0;
        }
    }
    stop();
    return false;
}

void LoopbackWebServer::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(2000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
    }
    m_port = 0;
}

QString LoopbackWebServer::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(m_port) + path;
}
