#include "LoopbackFtpServer.h"

#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QtTest>

LoopbackFtpServer::LoopbackFtpServer(const QString& rootDir, const QString& user,
                                     const QString& password)
    : m_rootDir(rootDir), m_user(user), m_password(password)
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
}

LoopbackFtpServer::~LoopbackFtpServer()
{
    stop();
}

bool LoopbackFtpServer::start()
{
    stop();
    m_error.clear();
    m_process.start(QStringLiteral("/usr/bin/python3"),
                    QStringList{sourcePath(QStringLiteral("tests/support/ftpserver.py")), m_rootDir, m_user,
                                m_certificate, m_address}
                        + options);
    if (!m_process.waitForStarted(5000)) {
        m_error = m_process.errorString();
        return false;
    }
    // The password goes through the pipe, not the command line; the pipe stays
    // open because its end is the server's signal to quit.
    m_process.write(m_password.toUtf8() + '\n');
    while (!m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(10000)) {
            m_error = QStringLiteral("FTP server did not start: ")
                + QString::fromLocal8Bit(m_process.readAllStandardError());
            stop();
            return false;
        }
    }
    bool ok = false;
    const uint port = m_process.readLine().trimmed().toUInt(&ok);
    if (!ok || port == 0 || port > 65535) {
        m_error = QStringLiteral("FTP server told no port");
        stop();
        return false;
    }
    m_port = quint16(port);
    return true;
}

void LoopbackFtpServer::stop()
{
    m_port = 0;
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

QString LoopbackFtpServer::waitForHeld(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        while (m_process.canReadLine()) {
            const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
            if (line.startsWith(QLatin1String("HELD ")))
                return line.mid(5);
        }
        QTest::qWait(10);
    }
    return QString();
}

void LoopbackFtpServer::hold(const QString& rule)
{
    m_process.write("hold " + rule.toUtf8() + '\n');
    // At once: a test that blocks in waitForFinished() next would otherwise
    // keep the line in our buffer, and the server would never see it.
    m_process.waitForBytesWritten(5000);
}

void LoopbackFtpServer::go()
{
    m_process.write("go\n");
    m_process.waitForBytesWritten(5000);
}
