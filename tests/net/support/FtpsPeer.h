#pragma once

// A loopback FTP server with the habits of real servers that the tests need
// (tests/support/ftpspeer.py: session-reuse checks, a closing alert in the
// same write as the data, resets, a slow reader), started for one test and
// ended with it.

#include <QProcess>
#include <QStringList>

#include "TestSupport.h"

class FtpsPeer
{
public:
    explicit FtpsPeer(const QStringList& options)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("/usr/bin/python3"),
                        QStringList{sourcePath(QStringLiteral("tests/support/ftpspeer.py"))} +
                            options);
        if (!m_process.waitForStarted(5000))
            return;
        while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) {
        }
        m_port = quint16(m_process.readLine().trimmed().toUInt());
    }
    ~FtpsPeer()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
    FtpsPeer(const FtpsPeer&) = delete;
    FtpsPeer& operator=(const FtpsPeer&) = delete;
    quint16 port() const { return m_port; }

private:
    QProcess m_process;
    quint16 m_port = 0;
};
