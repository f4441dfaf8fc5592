// Publishing against a real FTP server on loopback: what each change does to
// the directory on the server, what is never written over, the lock (held,
// abandoned and taken over, lost while paused), what a dead holder leaves and
// how the directory comes back from it, and several writers at once.

#include <QDir>
#include <QFileInfo>
#include <QtTest>

#include <sys/stat.h>
#include <utime.h>

#include "DirectoryPublisher.h"
#include "FtpClient.h"
#include "PublishTestSupport.h"
#include "TestSupport.h"
#include "XmlDocument.h"

using namespace publishtest;

namespace {

const QString kDead = QStringLiteral("dead0000dead0000");

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

// Waits, turning the event loop, until the process ends.
bool waitTurning(QProcess& process, int timeoutMs = 30000)
{
    QElapsedTimer clock;
    clock.start();
    while (process.state() != QProcess::NotRunning && clock.elapsed() < timeoutMs)
        QTest::qWait(20);
    return process.state() == QProcess::NotRunning;
}

} // namespace

class TestDirectoryPublisher : public QObject {
    Q_OBJECT

    std::unique_ptr<Account> m_account;
    std::unique_ptr<TFtpClient> m_client;
    std::unique_ptr<DirectoryPublisher> m_publisher;
    QStringList m_steps;

    QString file(const QString& name) const { return m_account->path(name); }

    void startServer(const QStringList& options = {})
    {
        m_publisher.reset();
        m_account = std::make_unique<Account>(options);
        QVERIFY2(m_account->started(), qPrintable(m_account->errorText()));
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
        options.lock.beatMs = std::max(50, leaseMs / 8);
        options.lock.progressMs = 300;
        m_publisher = std::make_unique<DirectoryPublisher>(
            *m_client, DirectoryPublisher::Account{"127.0.0.1", m_account->port(), kUser, kPassword, tls}, options);
        m_steps.clear();
        m_publisher->onStep = [this](const QString& step) { m_steps << step; };
    }

    // Only the directory is left on the server: no lock, no upload.
    void expectNothingLeftBehind() { QCOMPARE(m_account->leftovers(), QStringList()); }

    // A lock on disk as a holder with this token left it: its marker, its
    // folder and the given files in it.
    void leaveLock(const QString& token, qint64 beat, const QList<QPair<QString, QByteArray>>& files)
    {
        QVERIFY(QDir(file(QString())).mkpath(QStringLiteral("corvanet.xml.lock/") + token));
        QVERIFY(writeFile(file(QStringLiteral("corvanet.xml.lock/%1.%2").arg(token).arg(beat)), QByteArray()));
        for (const auto& [name, content] : files)
            QVERIFY(writeFile(file(QStringLiteral("corvanet.xml.lock/%1/%2").arg(token, name)), content));
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
        QVERIFY(m_account->setDirectory(before));
        const DirectoryChange change = add ? DirectoryChange::add("Newcomers", url) : DirectoryChange::remove(url);
        QCOMPARE(int(m_publisher->publish(change)), outcome);
        if (after.isEmpty()) {
            QCOMPARE(m_account->directory(), before);
            QVERIFY(!m_steps.contains("upload"));
        } else {
            QCOMPARE(listed(m_account->directory()), after);
        }
        if (add && outcome == int(DirectoryChange::Outcome::Changed)) {
            QVERIFY(m_account->directory().contains("<squad nick=\"Newcomers\" web=\"" + url.toUtf8() + "\"/>"));
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
            QVERIFY(m_account->setDirectory(content));
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
        if (content != "-")
            QCOMPARE(m_account->directory(), content);
        expectNothingLeftBehind();
    }

    // Servers that never rename over an existing file, and servers whose
    // listings show no folders: the directory is moved aside for the one
    // command in between, and nothing stays behind.
    void serverDifferences_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("rename over refused") << QStringList{"--refuse-rename-over"};
        QTest::newRow("listings without folders") << QStringList{"--files-only"};
        QTest::newRow("no SIZE") << QStringList{"--rule", "match=SIZE *;reply=502 SIZE: command not allowed."};
        QTest::newRow("one connection only") << QStringList{"--max-per-ip", "1"};
    }

    void serverDifferences()
    {
        QFETCH(QStringList, options);
        startServer(options);
        QVERIFY(m_account->setDirectory(directoryOf({"http://a/1.xml"})));
        QCOMPARE(m_publisher->publish(DirectoryChange::add("x", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(listed(m_account->directory()), (QStringList{"http://a/1.xml", "http://c/3.xml"}));
        expectNothingLeftBehind();
    }

    // Over FTPS to a server that allows nothing in clear: the lock, its
    // heartbeat, the reads and the uploads all go through TLS.
    void overFtps()
    {
        QTemporaryDir certificates;
        QVERIFY(makeTestCertificates(certificates.path()));
        qputenv("SSL_CERT_FILE", QFile::encodeName(certificates.filePath("ca.pem")));
        m_account = std::make_unique<Account>(QStringList(), certificates.filePath("good.pem"));
        QVERIFY2(m_account->started(), qPrintable(m_account->errorText()));
        makePublisher(5000, TFtpTls::Required);
        QVERIFY(m_account->setDirectory(directoryOf({"http://a/1.xml"})));
        QCOMPARE(m_publisher->publish(DirectoryChange::add("x", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(listed(m_account->directory()), (QStringList{"http://a/1.xml", "http://c/3.xml"}));
        expectNothingLeftBehind();
        qunsetenv("SSL_CERT_FILE");
    }

    // A lock whose holder is alive (its marker's beat count goes up) is
    // waited for, never taken over, however long it is held; its release
    // lets us in.
    void aLiveHolderIsWaitedFor_data()
    {
        QTest::addColumn<bool>("earlierLayout");
        QTest::newRow("its marker beats") << false;
        // The program's earlier lock: an owner file that grows at each
        // refresh, and its upload beside the directory.
        QTest::newRow("the earlier layout's owner file grows") << true;
    }

    void aLiveHolderIsWaitedFor()
    {
        QFETCH(bool, earlierLayout);
        makePublisher(600);
        QVERIFY(m_account->setDirectory(directoryOf({})));
        if (earlierLayout) {
            QVERIFY(QDir(file(QString())).mkpath("corvanet.xml.lock"));
            QVERIFY(writeFile(file("corvanet.xml.lock/owner"), "a1a1a1a1a1a1a1a1\n"));
        } else {
            leaveLock(QStringLiteral("a1a1a1a1a1a1a1a1"), 0, {});
        }
        int beats = 0;
        QTimer heart;
        connect(&heart, &QTimer::timeout, this, [&] {
            // Three leases long, then the holder releases.
            const QString marker = file(QStringLiteral("corvanet.xml.lock/a1a1a1a1a1a1a1a1.%1"));
            if (++beats < 9) {
                if (earlierLayout) {
                    QFile owner(file("corvanet.xml.lock/owner"));
                    QVERIFY(owner.open(QIODevice::Append));
                    owner.write("+");
                } else {
                    QVERIFY(QFile::rename(marker.arg(beats - 1), marker.arg(beats)));
                }
            } else {
                heart.stop();
                QDir(file("corvanet.xml.lock")).removeRecursively();
            }
        });
        heart.start(200);
        QCOMPARE(m_publisher->publish(DirectoryChange::add("x", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        QVERIFY(beats >= 9);
        QVERIFY(!m_steps.contains("break"));
        expectNothingLeftBehind();
    }

    // A lock that shows no sign of life any more is taken over after one
    // lease of watching, measured on our own clock: the server's time stamps,
    // however far off, neither shorten nor lengthen the wait. What the dead
    // holder left goes with it.
    void anAbandonedLockIsTakenOverWhateverTheClocks_data()
    {
        QTest::addColumn<qint64>("skewSeconds");
        QTest::addColumn<QString>("left");
        QTest::addColumn<QStringList>("options");
        QTest::newRow("server clock an hour behind") << qint64(-3600) << "marker" << QStringList();
        QTest::newRow("server clock an hour ahead") << qint64(3600) << "marker" << QStringList();
        QTest::newRow("listings without folders") << qint64(0) << "marker" << QStringList{"--files-only"};
        QTest::newRow("died before marking it") << qint64(0) << "folder" << QStringList();
        QTest::newRow("two dead markers") << qint64(0) << "two" << QStringList();
        QTest::newRow("the earlier layout's lock") << qint64(0) << "earlier" << QStringList();
    }

    void anAbandonedLockIsTakenOverWhateverTheClocks()
    {
        QFETCH(qint64, skewSeconds);
        QFETCH(QString, left);
        QFETCH(QStringList, options);
        startServer(options);
        makePublisher(500);
        QVERIFY(m_account->setDirectory(directoryOf({"http://a/1.xml"})));
        if (left == "folder") {
            QVERIFY(QDir(file(QString())).mkpath("corvanet.xml.lock/" + kDead));
        } else if (left == "earlier") {
            QVERIFY(QDir(file(QString())).mkpath("corvanet.xml.lock"));
            QVERIFY(writeFile(file("corvanet.xml.lock/owner"), kDead.toUtf8() + "\n++"));
            QVERIFY(writeFile(file("corvanet.xml." + kDead + ".tmp"), "<squads>"));
        } else {
            leaveLock(kDead, 7, {{"new.900.xml", "<squads>"}});
            if (left == "two")
                leaveLock(QStringLiteral("b2b2b2b2b2b2b2b2"), 3, {});
        }
        const qint64 stamp = QDateTime::currentSecsSinceEpoch() + skewSeconds;
        const utimbuf times{time_t(stamp), time_t(stamp)};
        for (const QString& name : treeOf(file("corvanet.xml.lock")))
            QCOMPARE(::utime(qPrintable(file("corvanet.xml.lock/" + name)), &times), 0);

        QCOMPARE(m_publisher->publish(DirectoryChange::remove("http://a/1.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(m_steps.count("break"), 1);
        QCOMPARE(m_steps.count("takeover"), left == "marker" ? 1 : 0);
        // Watched for a lease (polls of 10 to 30 ms) before anything was done.
        QVERIFY2(m_steps.count("look") >= 10, qPrintable(m_steps.join(',')));
        QCOMPARE(listed(m_account->directory()), QStringList());
        expectNothingLeftBehind();
    }

    // A holder that died between the two renames of the fallback left the
    // directory only in its folder. The next holder puts back the newest
    // whole copy before anything else; with no whole copy it publishes
    // nothing and deletes nothing.
    void whatADeadHolderLeftBringsTheDirectoryBack_data()
    {
        QTest::addColumn<bool>("newWhole");
        QTest::addColumn<bool>("newCut");
        QTest::addColumn<bool>("old");
        QTest::addColumn<QStringList>("after"); // empty: nothing published
        const QStringList fromNew{"http://a/1.xml", "http://b/2.xml", "http://c/3.xml"};
        const QStringList fromOld{"http://a/1.xml", "http://c/3.xml"};
        QTest::newRow("both copies") << true << false << true << fromNew;
        QTest::newRow("only the one moved aside") << false << false << true << fromOld;
        QTest::newRow("a cut-off upload and the old one") << false << true << true << fromOld;
        QTest::newRow("only a whole upload") << true << false << false << fromNew;
        QTest::newRow("only a cut-off upload") << false << true << false << QStringList();
    }

    void whatADeadHolderLeftBringsTheDirectoryBack()
    {
        QFETCH(bool, newWhole);
        QFETCH(bool, newCut);
        QFETCH(bool, old);
        QFETCH(QStringList, after);
        makePublisher(400);
        const QByteArray before = directoryOf({"http://a/1.xml"});
        const QByteArray intended = directoryOf({"http://a/1.xml", "http://b/2.xml"});
        QList<QPair<QString, QByteArray>> files;
        if (newWhole)
            files << qMakePair(QStringLiteral("new.%1.xml").arg(intended.size()), intended);
        if (newCut)
            files << qMakePair(QStringLiteral("new.%1.xml").arg(intended.size()), intended.left(30));
        if (old)
            files << qMakePair(QStringLiteral("old.%1.xml").arg(before.size()), before);
        leaveLock(kDead, 2, files);

        const QString error = thrown([&] { m_publisher->publish(DirectoryChange::add("c", "http://c/3.xml")); });
        if (after.isEmpty()) {
            QVERIFY2(error.contains("There is no directory"), qPrintable(error));
            // The cut-off copy is no directory, but nothing else was there
            // either: the account is left for a person to look at.
            QVERIFY(!QFileInfo::exists(file("corvanet.xml")));
            return;
        }
        QCOMPARE(error, QStringLiteral("<none>"));
        QVERIFY(m_steps.contains("restore"));
        QCOMPARE(listed(m_account->directory()), after);
        expectNothingLeftBehind();
    }

    // A publisher that dies while it holds the lock (here: its connection is
    // destroyed in the middle of the upload) leaves the lock and its upload;
    // the next one takes over after a lease and nothing of the dead one's
    // stays.
    void aHolderThatDiesMidUpload()
    {
        QVERIFY(m_account->setDirectory(directoryOf({"http://a/1.xml"})));
        m_publisher->onStep = [this](const QString& step) {
            if (step == "upload")
                QTimer::singleShot(0, this, [this] { m_client.reset(); });
        };
        QVERIFY_THROWS_EXCEPTION(ESockError, m_publisher->publish(DirectoryChange::remove("http://a/1.xml")));
        QVERIFY(!m_client);
        QVERIFY(QFileInfo(file("corvanet.xml.lock")).isDir());
        QCOMPARE(listed(m_account->directory()), QStringList{"http://a/1.xml"});

        makePublisher(400);
        QCOMPARE(m_publisher->publish(DirectoryChange::add("x", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(m_steps.count("takeover"), 1);
        QCOMPARE(listed(m_account->directory()), (QStringList{"http://a/1.xml", "http://c/3.xml"}));
        expectNothingLeftBehind();
    }

    // The client destroyed while the lock is being taken (its window closed
    // in the middle of a publish): the publish ends with the client's
    // cancel error, and its clean-up never touches the destroyed client.
    void theClientDestroyedWhileTheLockIsTaken()
    {
        startServer({"--hold", "match=MKD /corvanet.xml.lock/*"});
        QVERIFY(m_account->setDirectory(directoryOf({"http://a/1.xml"})));
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (!m_account->server().waitForHeld(1).isEmpty()) {
                poll.stop();
                m_client.reset();
            }
        });
        poll.start(20);
        QVERIFY_THROWS_EXCEPTION(ESockError, m_publisher->publish(DirectoryChange::add("x", "http://c/3.xml")));
        QVERIFY(!m_client);
        m_account->server().go();
        QCOMPARE(listed(m_account->directory()), QStringList{"http://a/1.xml"});
    }

    // A publisher held up between making the lock folder and marking it
    // finds a second marker beside its own (one that got in through the
    // same gap): it steps back, its heartbeat's connection (logging in
    // since the folder was made) ends with it, and it takes the lock only
    // once the other marker has stood still for a lease. Its publish lands
    // once, and nothing of either stays.
    void aSecondMarkerInTheFolderWeMade()
    {
        startServer({"--hold", "match=MKD /corvanet.xml.lock/*"});
        makePublisher(1000);
        QVERIFY(m_account->setDirectory(directoryOf({"http://a/1.xml"})));
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (m_account->server().waitForHeld(1).isEmpty())
                return;
            poll.stop();
            QVERIFY(writeFile(file("corvanet.xml.lock/0123456789abcdef.0"), QByteArray()));
            m_account->server().go();
        });
        poll.start(20);
        QCOMPARE(m_publisher->publish(DirectoryChange::add("x", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(m_steps.count("yield"), 1);
        QCOMPARE(m_steps.count("takeover"), 1);
        QCOMPARE(listed(m_account->directory()), (QStringList{"http://a/1.xml", "http://c/3.xml"}));
        expectNothingLeftBehind();
    }

    // A holder that shows no life for a lease (paused, cut off) has its lock
    // taken over by a publisher that writes the directory meanwhile. Its own
    // late steps then fail instead of landing over the newer directory,
    // whether they come before its fence or after it; it takes the lock
    // again and publishes on the directory as it is now. Its clean-up never
    // touches the lock of the one who holds it now.
    void aHolderSilentPastItsLease_data()
    {
        QTest::addColumn<QString>("pausedAt");
        QTest::addColumn<bool>("takerHeld"); // the taker still holds the lock when we resume
        QTest::newRow("before its fence") << "check" << false;
        QTest::newRow("after its fence, before the rename") << "rename" << false;
        QTest::newRow("while the one who took over still holds it") << "rename" << true;
    }

    void aHolderSilentPastItsLease()
    {
        QFETCH(QString, pausedAt);
        QFETCH(bool, takerHeld);
        makePublisher(1000);
        const QString added = m_account->page(1);
        QVERIFY(m_account->setDirectory(directoryOf({"http://a/1.xml"})));
        std::unique_ptr<QProcess> taker;
        bool paused = false;
        QStringList takerLockOnRetry;
        m_publisher->onStep = [&](const QString& step) {
            m_steps << step;
            if (step == "retry" && takerHeld) {
                takerLockOnRetry = treeOf(file("corvanet.xml.lock"));
                m_account->server().go();
            }
            if (step != pausedAt || paused)
                return;
            paused = true;
            if (takerHeld)
                m_account->server().hold("match=STOR /corvanet.xml.lock/*/new.*");
            taker = m_account->squadnet("add", added, 1);
            // No byte of ours moves while we wait here, so our heartbeat
            // falls silent, as a paused program's would.
            if (takerHeld)
                QVERIFY(!m_account->server().waitForHeld().isEmpty());
            else
                QVERIFY(waitTurning(*taker));
        };
        QCOMPARE(m_publisher->publish(DirectoryChange::remove("http://a/1.xml")),
                 DirectoryChange::Outcome::Changed);
        QVERIFY(m_steps.contains("retry"));
        QByteArray output;
        QCOMPARE(finished(*taker, &output), 0);
        if (takerHeld) {
            // Its marker and its folder (with what it has stored so far),
            // untouched by our release.
            takerLockOnRetry = takerLockOnRetry.filter(QRegularExpression("^[^/]*$"));
            QCOMPARE(takerLockOnRetry.size(), 2);
            QVERIFY(takerLockOnRetry.at(0).contains(QRegularExpression("^[0-9a-f]{16}$")));
            QVERIFY(takerLockOnRetry.at(1).startsWith(takerLockOnRetry.at(0) + '.'));
        }
        QCOMPARE(listed(m_account->directory()), QStringList{added});
        expectNothingLeftBehind();
    }

    // A directory over the ten million bytes that libxml2 looks ahead
    // through at most publishes like any other.
    void aDirectoryOverTenMillionBytes()
    {
        QStringList urls;
        for (int i = 0; i < 140000; ++i)
            urls << QStringLiteral("http://squads.example.org/pages/squad-page-%1.xml").arg(i);
        const QByteArray big = directoryOf(urls);
        QVERIFY(big.size() > 10000000);
        QVERIFY(m_account->setDirectory(big));
        QCOMPARE(m_publisher->publish(DirectoryChange::add("x", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(listed(m_account->directory()).size(), 140001);
        expectNothingLeftBehind();
    }

    // A second publish from a handler while one waits is refused at once;
    // the running one completes.
    void aSecondPublishWhileOneRuns()
    {
        QVERIFY(m_account->setDirectory(directoryOf({})));
        QString refused;
        m_publisher->onStep = [&](const QString& step) {
            if (step == "read")
                refused = thrown([&] { m_publisher->publish(DirectoryChange::add("y", "http://d/4.xml")); });
        };
        QCOMPARE(m_publisher->publish(DirectoryChange::add("x", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(refused, QStringLiteral("A publish is running already"));
        QCOMPARE(listed(m_account->directory()), QStringList{"http://c/3.xml"});
    }

    // Several programs publish at once, each a squadnet process: every add
    // and every removal is in the directory afterwards.
    void severalWritersLoseNothing()
    {
        QStringList initial;
        for (int i = 0; i < 4; ++i)
            initial << QStringLiteral("http://old/%1.xml").arg(i);
        QVERIFY(m_account->setDirectory(directoryOf(initial)));
        QStringList pages;
        for (int i = 0; i < 12; ++i)
            pages << m_account->page(i);
        // Six writers: four add three squads each, two remove two old ones.
        std::vector<std::unique_ptr<QProcess>> writers;
        for (int round = 0; round < 3; ++round) {
            for (int w = 0; w < 6; ++w) {
                if (w >= 4 && round == 2)
                    continue;
                writers.push_back(w < 4 ? m_account->squadnet("add", pages[w * 3 + round], 5)
                                        : m_account->squadnet("remove", initial[(w - 4) * 2 + round], 5));
            }
            for (auto& writer : writers) {
                QByteArray output;
                QVERIFY2(finished(*writer, &output) == 0, output.constData());
            }
            writers.clear();
        }
        QStringList expected = pages;
        QStringList after = listed(m_account->directory());
        std::sort(expected.begin(), expected.end());
        std::sort(after.begin(), after.end());
        QCOMPARE(after, expected);
        expectNothingLeftBehind();
    }
};

QTEST_GUILESS_MAIN(TestDirectoryPublisher)
#include "TestDirectoryPublisher.moc"
