// Publishing with squadnet against Debian's vsftpd, ProFTPD and Pure-FTPd,
// each plain and with FTPS required, and against the quirks of hosting
// servers: adds, removals, several writers at once, and a writer killed while
// it holds the lock. Everything is judged by what the server has on disk
// afterwards (the directory, anything else left at the account's root) and
// by squadnet's exit codes.

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>

#include "LoopbackWebServer.h"
#include "RealFtpServer.h"
#include "TestSupport.h"
#include "XmlDocument.h"

using Kind = RealFtpServer::Kind;
using Quirk = RealFtpServer::Quirk;
Q_DECLARE_METATYPE(RealFtpServer::Kind)
Q_DECLARE_METATYPE(RealFtpServer::Quirk)

namespace
{

const QString kLease = QStringLiteral("3");

// The "web" addresses of a directory's entries, sorted; a marker when it is
// no document.
QStringList listed(const QString& path)
{
    QFile f(path);
    XmlDocument document;
    if (!f.open(QIODevice::ReadOnly) || !document.loadXml(f.readAll()))
        return {QStringLiteral("<no directory>")};
    QStringList urls;
    const XmlNodeList children = document.lastChild().childNodes();
    for (int i = 0; i < children.length(); ++i)
        urls << children.item(i).attributes().getNamedItem(QStringLiteral("web")).text();
    urls.sort();
    return urls;
}

} // namespace

class TestRealServers : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certificates;
    QTemporaryDir m_pages;
    QTemporaryDir m_work;
    std::unique_ptr<LoopbackWebServer> m_web;
    std::unique_ptr<RealFtpServer> m_server;
    bool m_tls = false;
    QStringList m_problems; // what went wrong in this row, for one comparison

    QString page(int n) const { return m_web->url(QStringLiteral("p%1.xml").arg(n)); }
    QString directoryFile() const
    {
        return m_server->accountDir() + QStringLiteral("/corvanet.xml");
    }

    QStringList squadnetArguments(const QString& command, const QString& url) const
    {
        return {command,
                "--host",
                "127.0.0.1",
                "--port",
                QString::number(m_server->port()),
                "--user",
                m_server->user(),
                "--password-file",
                m_work.filePath("password"),
                "--directory",
                "http://127.0.0.1/corvanet.xml",
                "--tls",
                m_tls ? "required" : "off",
                "--timeout",
                "10",
                "--lease",
                kLease,
                url};
    }

    std::unique_ptr<QProcess> startSquadnet(const QString& command, const QString& url) const
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->start(binaryPath(QStringLiteral("tools/squadnet")),
                       squadnetArguments(command, url));
        return process;
    }

    // Runs one squadnet command to its end and notes an exit code other
    // than 0 or output without `expected`.
    void run(const QString& command, const QString& url, const QString& expected)
    {
        const auto process = startSquadnet(command, url);
        if (!process->waitForFinished(60000)) {
            process->kill();
            process->waitForFinished();
        }
        const QString output = QString::fromLocal8Bit(process->readAll()).trimmed();
        if (process->exitStatus() != QProcess::NormalExit || process->exitCode() != 0 ||
            !output.startsWith(expected))
            m_problems << QStringLiteral("%1 %2: exit %3: %4")
                              .arg(command, url)
                              .arg(process->exitCode())
                              .arg(output);
    }

    // Anything at the account's root besides the directory and its history.
    void checkNothingLeft()
    {
        QStringList left = QDir(m_server->accountDir())
                               .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        left.removeAll(QStringLiteral("corvanet.xml"));
        if (QFileInfo(m_server->accountDir() + QStringLiteral("/corvanet.xml.history")).isDir())
            left.removeAll(QStringLiteral("corvanet.xml.history"));
        if (!left.isEmpty())
            m_problems << QStringLiteral("left on the account: ") + left.join(QStringLiteral(", "));
    }

    void checkListed(const QStringList& expected)
    {
        QStringList sorted = expected;
        sorted.sort();
        const QStringList got = listed(directoryFile());
        if (got != sorted)
            m_problems << QStringLiteral("directory lists %1 instead of %2")
                              .arg(got.join(' '), sorted.join(' '));
    }

    void judge()
    {
        const QString problems = m_problems.join(QStringLiteral("\n"));
        QVERIFY2(problems.isEmpty(),
                 qPrintable(problems + QStringLiteral("\n--- server log:\n") + m_server->log()));
    }

    void servers()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<Quirk>("quirk");
        for (Kind kind : {Kind::Vsftpd, Kind::Proftpd, Kind::PureFtpd}) {
            for (bool tls : {false, true}) {
                QTest::addRow("%s %s", qPrintable(RealFtpServer::kindName(kind)),
                              tls ? "FTPS" : "plain")
                    << kind << tls << Quirk::None;
            }
        }
        // ProFTPD as Debian ships it refuses APPE (AllowStoreRestart off);
        // the rows above run it so. These add what other hosts do.
        QTest::newRow("vsftpd no APPE") << Kind::Vsftpd << false << Quirk::NoAppend;
        QTest::newRow("vsftpd no SIZE") << Kind::Vsftpd << false << Quirk::NoSize;
        QTest::newRow("proftpd no rename over") << Kind::Proftpd << false << Quirk::NoRenameOver;
        QTest::newRow("proftpd APPE allowed, FTPS") << Kind::Proftpd << true << Quirk::AppendAllowed;
        QTest::newRow("proftpd TLS 1.2") << Kind::Proftpd << true << Quirk::Tls12Only;
    }

    void startServer()
    {
        QFETCH(Kind, kind);
        QFETCH(bool, tls);
        QFETCH(Quirk, quirk);
        m_tls = tls;
        m_problems.clear();
        m_server = std::make_unique<RealFtpServer>(kind, tls, m_certificates.path(), quirk);
        if (kind == Kind::Vsftpd && ::geteuid() != 0)
            QSKIP("vsftpd logs its local user in only when started as root");
        QVERIFY2(m_server->start(), qPrintable(m_server->errorText()));
        QVERIFY(writeFile(directoryFile(), "<?xml version=\"1.0\"?>\n<squads><squad nick=\"Old\" "
                                           "web=\"http://old.example/1.xml\"/></squads>\n"));
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(RealFtpServer::prepare(&error), qPrintable(error));
        QVERIFY(makeTestCertificates(m_certificates.path()));
        qputenv("SSL_CERT_FILE", QFile::encodeName(m_certificates.filePath("ca.pem")));
        QVERIFY(writeFile(m_work.filePath("password"), "squadup\n"));
        for (int i = 0; i < 16; ++i)
            QVERIFY(writeFile(m_pages.filePath(QStringLiteral("p%1.xml").arg(i)),
                              "<squad><name>Squad " + QByteArray::number(i) + "</name></squad>"));
        m_web = std::make_unique<LoopbackWebServer>(m_pages.path());
        QVERIFY(m_web->start());
    }

    void cleanup() { m_server.reset(); }

    // Add, add again, remove, remove again: each says what it did.
    void addAndRemove_data() { servers(); }
    void addAndRemove()
    {
        startServer();
        run("add", page(0), "added \"Squad 0\"");
        run("add", page(0), "already listed");
        run("remove", "http://old.example/1.xml", "removed");
        run("remove", "http://old.example/1.xml", "not listed");
        checkListed({page(0)});
        checkNothingLeft();
        judge();
    }

    // Four writers at once, two adds each, one after the other in each
    // process: nothing is lost.
    void fourWritersAtOnce_data() { servers(); }
    void fourWritersAtOnce()
    {
        startServer();
        QStringList expected{"http://old.example/1.xml"};
        std::vector<std::unique_ptr<QProcess>> writers;
        for (int w = 0; w < 4; ++w) {
            auto shell = std::make_unique<QProcess>();
            shell->setProcessChannelMode(QProcess::MergedChannels);
            QStringList script;
            for (int j = 0; j < 2; ++j) {
                expected << page(w * 2 + j);
                QStringList quoted;
                for (const QString& a : squadnetArguments("add", page(w * 2 + j)))
                    quoted << "'" + a + "'";
                script << binaryPath("tools/squadnet") + ' ' + quoted.join(' ') + " || exit 1";
            }
            shell->start("/bin/sh", {"-c", script.join('\n')});
            writers.push_back(std::move(shell));
        }
        for (auto& shell : writers) {
            if (!shell->waitForFinished(120000))
                shell->kill();
            shell->waitForFinished();
            if (shell->exitStatus() != QProcess::NormalExit || shell->exitCode() != 0)
                m_problems << QStringLiteral("a writer failed: ") +
                                  QString::fromLocal8Bit(shell->readAll()).trimmed();
        }
        checkListed(expected);
        checkNothingLeft();
        judge();
    }

    // A writer killed (SIGKILL) while its lock is on the server: the next
    // one takes the lock over once a lease has passed, publishes, and
    // nothing of the dead one's stays behind.
    void aWriterKilledHoldingTheLock_data() { servers(); }
    void aWriterKilledHoldingTheLock()
    {
        startServer();
        const QString lock = m_server->accountDir() + QStringLiteral("/corvanet.xml.lock");
        bool killed = false;
        QStringList expected{"http://old.example/1.xml"};
        // A publish may be over before the lock was seen; then another one.
        for (int attempt = 0; attempt < 5 && !killed; ++attempt) {
            const auto victim = startSquadnet("add", page(10 + attempt));
            while (victim->state() != QProcess::NotRunning && !QFileInfo::exists(lock))
                victim->waitForFinished(1);
            if (QFileInfo::exists(lock) && victim->state() != QProcess::NotRunning) {
                ::kill(pid_t(victim->processId()), SIGKILL);
                killed = true;
            }
            victim->waitForFinished();
            if (!killed && victim->exitCode() == 0)
                expected << page(10 + attempt);
        }
        QVERIFY2(killed, "no publish could be caught holding the lock");
        QStringList kept = listed(directoryFile());
        run("add", page(15), "added");
        // The victim may have renamed its directory into place just before
        // it died; either way its add is there or not, and ours is.
        expected << page(15);
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (kept.contains(page(10 + attempt)) && !expected.contains(page(10 + attempt)))
                expected << page(10 + attempt);
        }
        checkListed(expected);
        checkNothingLeft();
        judge();
    }
};

QTEST_GUILESS_MAIN(TestRealServers)
#include "TestRealServers.moc"
