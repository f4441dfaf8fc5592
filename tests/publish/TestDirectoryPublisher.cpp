// Publishing against a real FTP server on loopback: what each change does to
// the directory on the server, what is never written over, the lock (held,
// abandoned, taken over, run out) and several writers at once, each a
// squadnet process of its own.

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <utime.h>

#include "DirectoryPublisher.h"
#include "FtpClient.h"
#include "LoopbackFtpServer.h"
#include "TestSupport.h"
#include "XmlDocument.h"

namespace {

const QString kUser = QStringLiteral("corvanet");
const QString kPassword = QStringLiteral("squadup");

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

template <typename F>
QString thrown(F&& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return QStringLiteral("<none>");
}

QByteArray directoryOf(const QStringList& urls)
{
    QByteArray xml = "<?xml version=\"1.0\"?>\n<squads>";
    for (const QString& url : urls)
        xml += "<squad nick=\"n\" web=\"" + url.toUtf8() + "\"/>";
    return xml + "</squads>\n";
}

// The "web" addresses of the directory's entries, in document order.
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

} // namespace

class TestDirectoryPublisher : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<LoopbackFtpServer> m_ftp;
    std::unique_ptr<TFtpClient> m_client;
    std::unique_ptr<DirectoryPublisher> m_publisher;
    QStringList m_steps;

    QString file(const QString& name) const { return m_root->filePath(name); }
    QByteArray directoryBytes() const { return readFile(file("corvanet.xml")); }

    void startServer(const QStringList& options = {})
    {
        m_root = std::make_unique<QTemporaryDir>();
        m_ftp = std::make_unique<LoopbackFtpServer>(m_root->path(), kUser, kPassword);
        m_ftp->options = options;
        QVERIFY2(m_ftp->start(), qPrintable(m_ftp->errorText()));
        makePublisher(5000);
    }

    void makePublisher(int leaseMs, TFtpTls tls = TFtpTls::Off)
    {
        m_publisher.reset();
        m_client = std::make_unique<TFtpClient>();
        DirectoryPublisher::Options options;
        options.replyTimeOut = 5000;
        options.stallTimeOut = 5000;
        options.lock.leaseMs = leaseMs;
        options.lock.pollMs = 20;
        options.lock.giveUpMs = 20000;
        m_publisher = std::make_unique<DirectoryPublisher>(
            *m_client, DirectoryPublisher::Account{"127.0.0.1", m_ftp->port(), kUser, kPassword, tls}, options);
        m_steps.clear();
        m_publisher->onStep = [this](const QString& step) { m_steps << step; };
    }

    // Only the directory is left on the server: no lock, no upload.
    void expectNothingLeftBehind()
    {
        QDirIterator it(m_root->path(), QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        QStringList all;
        while (it.hasNext())
            all << it.next().mid(m_root->path().size() + 1);
        qDebug() << all;
        QCOMPARE(QDir(m_root->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{"corvanet.xml"});
    }

private slots:
    void init() { startServer(); }

    void changes_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<bool>("add");
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QStringList>("after"); // empty: the file is untouched
        const QByteArray two = directoryOf({"http://a/1.xml", "http://b/2.xml", "http://a/1.xml"});
        QTest::newRow("add") << two << true << "http://c/3.xml" << int(DirectoryChange::Outcome::Changed)
                             << QStringList{"http://a/1.xml", "http://b/2.xml", "http://a/1.xml", "http://c/3.xml"};
        QTest::newRow("add to an empty directory") << QByteArray("<squads/>") << true << "http://c/3.xml"
                                                   << int(DirectoryChange::Outcome::Changed)
                                                   << QStringList{"http://c/3.xml"};
        QTest::newRow("add, listed") << two << true << "http://b/2.xml"
                                     << int(DirectoryChange::Outcome::AlreadyListed) << QStringList();
        QTest::newRow("add, listed in another case") << two << true << "http://B/2.xml"
                                                     << int(DirectoryChange::Outcome::Changed)
                                                     << QStringList{"http://a/1.xml", "http://b/2.xml",
                                                                    "http://a/1.xml", "http://B/2.xml"};
        QTest::newRow("remove the first of two") << two << false << "http://a/1.xml"
                                                 << int(DirectoryChange::Outcome::Changed)
                                                 << QStringList{"http://b/2.xml", "http://a/1.xml"};
        QTest::newRow("remove, not listed") << two << false << "http://z/9.xml"
                                            << int(DirectoryChange::Outcome::NotListed) << QStringList();
    }

    void changes()
    {
        QFETCH(QByteArray, before);
        QFETCH(bool, add);
        QFETCH(QString, url);
        QFETCH(int, outcome);
        QFETCH(QStringList, after);
        QVERIFY(writeFile(file("corvanet.xml"), before));
        const DirectoryChange change = add ? DirectoryChange::add("Newcomers", url) : DirectoryChange::remove(url);
        QCOMPARE(int(m_publisher->publish(change)), outcome);
        if (after.isEmpty()) {
            QCOMPARE(directoryBytes(), before);
            QVERIFY(!m_steps.contains("upload"));
        } else {
            QCOMPARE(listed(directoryBytes()), after);
        }
        if (add && outcome == int(DirectoryChange::Outcome::Changed)) {
            QVERIFY(directoryBytes().contains("<squad nick=\"Newcomers\" web=\"" + url.toUtf8() + "\"/>"));
        }
        QVERIFY(!m_client->Connected);
        expectNothingLeftBehind();
    }

    // Whatever answers at the directory's name and is no directory is never
    // written over: nothing is uploaded, and the reason is told.
    void neverWritesOverWhatIsNoDirectory_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("error");
        QTest::newRow("an account-suspended page")
            << QByteArray("<html><body><h1>Account suspended</h1></body></html>") << "not a squad directory";
        QTest::newRow("entries without addresses") << QByteArray("<squads><a/><b/></squads>")
                                                   << "not a squad directory";
        QTest::newRow("a comment after the root") << QByteArray("<squads/><!-- x -->") << "not a squad directory";
        QTest::newRow("cut off") << directoryOf({"http://a/1.xml"}).left(40) << "not a well-formed";
        QTest::newRow("empty") << QByteArray() << "not a well-formed";
        QTest::newRow("missing") << QByteArray("-") << "There is no directory";
    }

    void neverWritesOverWhatIsNoDirectory()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        if (content != "-")
            QVERIFY(writeFile(file("corvanet.xml"), content));
        for (const DirectoryChange& change :
             {DirectoryChange::add("x", "http://c/3.xml"), DirectoryChange::remove("http://a/1.xml")}) {
            try {
                m_publisher->publish(change);
                QFAIL("published");
            } catch (const PublishError& e) {
                QVERIFY2(e.message().contains(error), qPrintable(e.message()));
            }
            QVERIFY(!m_steps.contains("upload"));
        }
        if (content != "-") {
            QCOMPARE(directoryBytes(), content);
            expectNothingLeftBehind();
        }
    }

    // A server that never renames over an existing file: the directory is
    // moved aside for the one command in between, and nothing stays behind.
    void renameOverRefused()
    {
        startServer({"--refuse-rename-over"});
        QVERIFY(writeFile(file("corvanet.xml"), directoryOf({"http://a/1.xml"})));
        QCOMPARE(m_publisher->publish(DirectoryChange::add("x", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(listed(directoryBytes()), (QStringList{"http://a/1.xml", "http://c/3.xml"}));
        expectNothingLeftBehind();
    }

    // Over FTPS to a server that allows nothing in clear: the lock, the
    // reads and the uploads all go through TLS.
    void overFtps()
    {
        QTemporaryDir certificates;
        QVERIFY(makeTestCertificates(certificates.path()));
        qputenv("SSL_CERT_FILE", QFile::encodeName(certificates.filePath("ca.pem")));
        m_root = std::make_unique<QTemporaryDir>();
        m_ftp = std::make_unique<LoopbackFtpServer>(m_root->path(), kUser, kPassword);
        m_ftp->setCertificate(certificates.filePath("good.pem"));
        QVERIFY2(m_ftp->start(), qPrintable(m_ftp->errorText()));
        makePublisher(5000, TFtpTls::Required);
        QVERIFY(writeFile(file("corvanet.xml"), directoryOf({"http://a/1.xml"})));
        QCOMPARE(m_publisher->publish(DirectoryChange::add("x", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(listed(directoryBytes()), (QStringList{"http://a/1.xml", "http://c/3.xml"}));
        expectNothingLeftBehind();
        qunsetenv("SSL_CERT_FILE");
    }

    // A lock whose holder is alive (its owner file changes) is waited for,
    // never broken, however long it is held; its release lets us in.
    void aLiveHolderIsWaitedFor()
    {
        makePublisher(600);
        QVERIFY(writeFile(file("corvanet.xml"), directoryOf({})));
        QVERIFY(QDir(m_root->path()).mkdir("corvanet.xml.lock"));
        QVERIFY(writeFile(file("corvanet.xml.lock/owner"), "someone\n"));
        int heartbeats = 0;
        QTimer heart;
        connect(&heart, &QTimer::timeout, this, [&] {
            // Three leases long, then the holder releases.
            if (++heartbeats < 9) {
                QFile owner(file("corvanet.xml.lock/owner"));
                QVERIFY(owner.open(QIODevice::Append));
                owner.write("+");
            } else {
                heart.stop();
                QDir(file("corvanet.xml.lock")).removeRecursively();
            }
        });
        heart.start(200);
        QCOMPARE(m_publisher->publish(DirectoryChange::add("x", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        QVERIFY(heartbeats >= 9);
        QVERIFY(!m_steps.contains("break"));
        expectNothingLeftBehind();
    }

    // A lock nobody changes any more is broken after one lease of watching,
    // measured on our own clock: the server's time stamps of the lock,
    // however far off, neither shorten nor lengthen the wait.
    void anAbandonedLockIsBrokenWhateverTheClocks_data()
    {
        QTest::addColumn<qint64>("skewSeconds");
        QTest::addColumn<bool>("ownerFile");
        QTest::newRow("server clock an hour behind") << qint64(-3600) << true;
        QTest::newRow("server clock an hour ahead") << qint64(3600) << true;
        QTest::newRow("crashed before writing its owner file") << qint64(0) << false;
    }

    void anAbandonedLockIsBrokenWhateverTheClocks()
    {
        QFETCH(qint64, skewSeconds);
        QFETCH(bool, ownerFile);
        makePublisher(500);
        QVERIFY(writeFile(file("corvanet.xml"), directoryOf({"http://a/1.xml"})));
        QVERIFY(QDir(m_root->path()).mkdir("corvanet.xml.lock"));
        if (ownerFile) {
            QVERIFY(writeFile(file("corvanet.xml.lock/owner"), "dead0000dead0000\n+"));
            QVERIFY(writeFile(file("corvanet.xml.dead0000dead0000.tmp"), "<squads>"));
            const qint64 stamp = QDateTime::currentSecsSinceEpoch() + skewSeconds;
            const utimbuf times{time_t(stamp), time_t(stamp)};
            for (const char* name : {"corvanet.xml.lock", "corvanet.xml.lock/owner"})
                QCOMPARE(::utime(qPrintable(file(name)), &times), 0);
        }
        QCOMPARE(m_publisher->publish(DirectoryChange::remove("http://a/1.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(m_steps.count("break"), 1);
        // Watched for a lease (polls of 10 to 30 ms) before it was broken.
        QVERIFY2(m_steps.count("look") >= 10, qPrintable(m_steps.join(',')));
        QCOMPARE(listed(directoryBytes()), QStringList());
        expectNothingLeftBehind();
    }

    // A publisher that dies while it holds the lock (here: its connection is
    // destroyed in the middle of the upload) leaves the lock and its upload;
    // the next one takes over after a lease and nothing of the dead one's
    // stays. A holder whose own lease ran out before its rename gives up.
    void aDeadHolderAndARunOutLease()
    {
        QVERIFY(writeFile(file("corvanet.xml"), directoryOf({"http://a/1.xml"})));
        m_publisher->onStep = [this](const QString& step) {
            if (step == "upload")
                QTimer::singleShot(0, this, [this] { m_client.reset(); });
        };
        QVERIFY_THROWS_EXCEPTION(ESockError, m_publisher->publish(DirectoryChange::remove("http://a/1.xml")));
        QVERIFY(!m_client);
        QVERIFY(QFileInfo(file("corvanet.xml.lock")).isDir());
        QCOMPARE(listed(directoryBytes()), QStringList{"http://a/1.xml"});

        makePublisher(400);
        QCOMPARE(m_publisher->publish(DirectoryChange::add("x", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(m_steps.count("break"), 1);
        QCOMPARE(listed(directoryBytes()), (QStringList{"http://a/1.xml", "http://c/3.xml"}));
        expectNothingLeftBehind();

        const QByteArray before = directoryBytes();
        m_publisher->onStep = [](const QString& step) {
            if (step == "check")
                QTest::qWait(400); // two thirds of the lease and more
        };
        try {
            m_publisher->publish(DirectoryChange::remove("http://a/1.xml"));
            QFAIL("published");
        } catch (const PublishError& e) {
            QVERIFY2(e.message().contains("ran out"), qPrintable(e.message()));
        }
        QCOMPARE(directoryBytes(), before);
        // Its upload is gone; the lock stays, since it may be someone else's.
        QCOMPARE(QDir(m_root->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 (QStringList{"corvanet.xml", "corvanet.xml.lock"}));
    }

    // A second publish from a handler while one waits is refused at once;
    // the running one completes.
    void aSecondPublishWhileOneRuns()
    {
        QVERIFY(writeFile(file("corvanet.xml"), directoryOf({})));
        QString refused;
        m_publisher->onStep = [&](const QString& step) {
            if (step == "read")
                refused = thrown([&] { m_publisher->publish(DirectoryChange::add("y", "http://d/4.xml")); });
        };
        QCOMPARE(m_publisher->publish(DirectoryChange::add("x", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(refused, QStringLiteral("A publish is running already"));
        QCOMPARE(listed(directoryBytes()), QStringList{"http://c/3.xml"});
    }

    // Several programs publish at once, each a squadnet process: every add
    // and every removal is in the directory afterwards.
    void severalWritersLoseNothing()
    {
        QStringList initial;
        for (int i = 0; i < 4; ++i)
            initial << QStringLiteral("http://old/%1.xml").arg(i);
        QVERIFY(writeFile(file("corvanet.xml"), directoryOf(initial)));
        QStringList pages;
        for (int i = 0; i < 12; ++i) {
            pages << QStringLiteral("file://%1").arg(file(QStringLiteral("page%1.xml").arg(i)));
            QVERIFY(writeFile(file(QStringLiteral("page%1.xml").arg(i)),
                              "<squad><name>Squad " + QByteArray::number(i) + "</name></squad>"));
        }
        QTemporaryDir work;
        QVERIFY(writeFile(work.filePath("password"), kPassword.toUtf8()));
        const QStringList common{"--host", "127.0.0.1", "--port", QString::number(m_ftp->port()), "--user",
                                 kUser, "--password-file", work.filePath("password"), "--directory",
                                 "http://127.0.0.1/corvanet.xml"};
        // Six writers: four add three squads each, two remove two old ones.
        std::vector<std::unique_ptr<QProcess>> writers;
        for (int w = 0; w < 6; ++w) {
            QStringList script;
            for (int j = 0; j < (w < 4 ? 3 : 2); ++j) {
                const QStringList args = common + QStringList{w < 4 ? pages[w * 3 + j] : initial[(w - 4) * 2 + j]};
                script << QString("%1 %2 %3 || exit 1").arg(binaryPath("tools/squadnet"), w < 4 ? "add" : "remove",
                                                          args.join(' '));
            }
            auto process = std::make_unique<QProcess>();
            process->setProcessChannelMode(QProcess::MergedChannels);
            process->start("/bin/sh", {"-c", script.join('\n')});
            writers.push_back(std::move(process));
        }
        for (auto& process : writers) {
            QVERIFY(process->waitForFinished(60000));
            QVERIFY2(process->exitCode() == 0, process->readAll().constData());
        }
        QStringList expected = pages;
        QStringList after = listed(directoryBytes());
        std::sort(expected.begin(), expected.end());
        std::sort(after.begin(), after.end());
        QCOMPARE(after, expected);
        const QStringList left = QDir(m_root->path()).entryList({"corvanet.xml.*"}, QDir::AllEntries);
        QVERIFY2(left.isEmpty(), qPrintable(left.join(',')));
    }
};

QTEST_GUILESS_MAIN(TestDirectoryPublisher)
#include "TestDirectoryPublisher.moc"
