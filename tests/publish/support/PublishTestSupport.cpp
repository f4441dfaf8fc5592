#include "PublishTestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include "TestSupport.h"
#include "XmlDocument.h"

namespace publishtest {

QByteArray directoryOf(const QStringList& urls)
{
    QByteArray xml = "<?xml version=\"1.0\"?>\n<squads>";
    for (const QString& url : urls)
        xml += "<squad nick=\"n\" web=\"" + url.toUtf8() + "\"/>";
    return xml + "</squads>\n";
}

QStringList listed(const QByteArray& xml)
{
    XmlDocument document;
    if (!document.loadXml(xml))
        return {QStringLiteral("<not a document>")};
    QStringList urls;
    const XmlNodeList children = document.lastChild().childNodes();
    for (int i = 0; i < children.length(); ++i)
        urls << children.item(i).attributes().getNamedItem(QStringLiteral("web")).text();
    return urls;
}

QStringList treeOf(const QString& root)
{
    QStringList names;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        names << it.next().mid(root.size() + 1);
    names.sort();
    return names;
}

Account::Account(const QStringList& serverOptions, const QString& certificate)
{
    m_server = std::make_unique<LoopbackFtpServer>(m_root.path(), kUser, kPassword);
    m_server->options = serverOptions;
    if (!certificate.isEmpty())
        m_server->setCertificate(certificate);
    m_started = m_server->start() && writeFile(m_work.filePath(QStringLiteral("password")), kPassword.toUtf8());
}

QStringList Account::leftovers() const
{
    QStringList names = treeOf(m_root.path());
    names.removeAll(QStringLiteral("corvanet.xml"));
    names.removeIf([](const QString& name) { return name.startsWith(QLatin1String("corvanet.xml.history")); });
    names.removeIf([](const QString& name) { return name.startsWith(QLatin1String("page")); });
    return names;
}

QStringList Account::history() const
{
    QStringList names = QDir(path(QStringLiteral("corvanet.xml.history")))
                            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    names.sort();
    return names;
}

QList<QByteArray> Account::historyContents() const
{
    QList<QByteArray> contents;
    for (const QString& name : history())
        contents << readFile(path(QStringLiteral("corvanet.xml.history/") + name));
    return contents;
}

QString Account::page(int number)
{
    const QString name = QStringLiteral("page%1.xml").arg(number);
    writeFile(path(name), "<squad><name>Squad " + QByteArray::number(number) + "</name></squad>");
    return QStringLiteral("file://") + path(name);
}

std::unique_ptr<QProcess> Account::squadnet(const QString& command, const QString& pageUrl, int leaseSeconds,
                                            const QStringList& extra)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(binaryPath(QStringLiteral("tools/squadnet")),
                   QStringList{command} + extra
                       + QStringList{"--host", "127.0.0.1", "--port", QString::number(port()), "--user", kUser,
                                     "--password-file", m_work.filePath(QStringLiteral("password")), "--directory",
                                     "http://127.0.0.1/corvanet.xml", "--tls", "off", "--lease",
                                     QString::number(leaseSeconds)}
                       + (pageUrl.isEmpty() ? QStringList() : QStringList{pageUrl}));
    process->waitForStarted(5000);
    return process;
}

int finished(QProcess& process, QByteArray* output, int timeoutMs)
{
    const bool ended = process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
    if (output)
        *output = process.readAll();
    if (!ended || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

} // namespace publishtest
