#pragma once

// A loopback https server (tests/support/tlsweb.py) serving one folder with
// one of the certificates tests/support/testca.py makes, and the test CA that
// the TLS tests trust through SSL_CERT_FILE.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include "TestSupport.h"

class TlsWebServer
{
public:
    // certificate: "good", "wronghost", "expired" or "untrusted".
    TlsWebServer(const QString& root, const QString& certDir, const QString& certificate,
                 const QString& address = QStringLiteral("127.0.0.1"))
    {
        m_process.start(QStringLiteral("/usr/bin/python3"),
                        {sourcePath(QStringLiteral("tests/support/tlsweb.py")), root,
                         certDir + QLatin1Char('/') + certificate + QStringLiteral(".pem"),
                         address});
        if (!m_process.waitForStarted(5000))
            return;
        while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) {
        }
        m_port = quint16(m_process.readLine().trimmed().toUInt());
    }
    ~TlsWebServer()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
    quint16 port() const { return m_port; }

private:
    QProcess m_process;
    quint16 m_port = 0;
};
