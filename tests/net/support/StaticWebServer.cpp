#include "StaticWebServer.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

StaticWebServer::StaticWebServer(const QString& directory)
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setStandardErrorFile(QProcess::nullDevice()); // the access log
    m_process.start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral("-u"), QStringLiteral("-m"), QStringLiteral("http.server"),
                     QStringLiteral("0"), QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                     QStringLiteral("--directory"), directory});
    if (!m_process.waitForStarted(5000))
        return;
    // "Serving HTTP on 127.0.0.1 port 33461 (http://127.0.0.1:33461/) ..."
    static const QRegularExpression announce(QStringLiteral(" port (\\d+) "));
    QByteArray output;
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        output += m_process.readAllStandardOutput();
        const QRegularExpressionMatch match = announce.match(QString::fromLatin1(output));
        if (match.hasMatch()) {
            m_port = static_cast<quint16>(match.captured(1).toUInt());
            return;
        }
    }
}

StaticWebServer::~StaticWebServer()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString StaticWebServer::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1/%2").arg(m_port).arg(path);
}
