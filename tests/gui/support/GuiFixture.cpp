#include "GuiFixture.h"

#include <QtTest>

#include "PublishSettings.h"

bool GuiFixture::foldersValid() const
{
    return m_root.isValid() && m_work.isValid();
}

QString GuiFixture::served(const QString& name) const
{
    return m_root.filePath(name);
}

QString GuiFixture::directoryFile() const
{
    return served(QStringLiteral("corvanet.xml"));
}

QString GuiFixture::directoryUrl() const
{
    return m_web ? m_web->url(QStringLiteral("corvanet.xml")) : directoryFile();
}

QByteArray GuiFixture::writeDirectory(const QList<QPair<QString, QString>>& entries,
                                      const QByteArray& prologue)
{
    const QByteArray xml = FaultHelpers::directory(entries, prologue);
    writeFile(directoryFile(), xml);
    return xml;
}

AppSettings GuiFixture::settings(quint16 ftpPort) const
{
    return publishSettings(directoryUrl(), ftpPort);
}

AppSettings GuiFixture::settings() const
{
    return settings(m_ftp ? m_ftp->port() : 21);
}

bool GuiFixture::startWeb(const QString& requestLog)
{
    m_web = std::make_unique<LoopbackWebServer>(m_root.path());
    if (!requestLog.isEmpty())
        m_web->setRequestLog(requestLog);
    return m_web->start();
}

void GuiFixture::startFtp(const QStringList& options)
{
    m_ftp = std::make_unique<LoopbackFtpServer>(m_root.path(), kUser, kPassword);
    m_ftp->options = options;
    QVERIFY2(m_ftp->start(), qPrintable(m_ftp->errorText()));
}
