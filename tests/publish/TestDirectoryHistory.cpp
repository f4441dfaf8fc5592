// The directory's history on a real FTP server on loopback: what each publish
// leaves in it, a directory written over from outside, the retention as
// publishes prune it (on times the test gives), an account that refuses the
// folder, reading the history back (its diffs, damaged and vanished entries,
// the local copies), restoring one squad or a whole version and undoing that,
// and squadnet history / restore as users call them.

#include <QDir>
#include <QtTest>

#include "DirectoryHistory.h"
#include "DirectoryPublisher.h"
#include "FtpClient.h"
#include "PublishTestSupport.h"
#include "TestSupport.h"

using namespace publishtest;

namespace
{

const QString kHistory = QStringLiteral("corvanet.xml.history/");

template <typename F> QString thrown(F&& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return QStringLiteral("<none>");
}

QStringList describe(const QList<DirectoryHistory::Step>& steps)
{
    QStringList lines;
    for (const DirectoryHistory::Step& step : steps)
        lines << step.version.id() + ' ' + DirectoryHistory::describe(step);
    return lines;
}

} // namespace

class TestDirectoryHistory : public QObject
{
    Q_OBJECT

    std::unique_ptr<Account> m_account;
    std::unique_ptr<TFtpClient> m_client;
    std::unique_ptr<DirectoryPublisher> m_publisher;
    QStringList m_steps;
    QStringList m_notices;
    QDateTime m_now = QDateTime(QDate(2026, 12, 9), QTime(12, 0, 0), Qt::UTC);

    void startServer(const QStringList& options = {})
    {
        m_publisher.reset();
        m_notices.clear();
        m_account = std::make_unique<Account>(options);
        QVERIFY2(m_account->started(), qPrintable(m_account->errorText()));
        makePublisher();
    }

    void makePublisher(bool keepHistory = true, int leaseMs = 5000)
    {
        m_publisher.reset();
        m_client = std::make_unique<TFtpClient>();
        DirectoryPublisher::Options options;
        options.replyTimeOut = 5000;
        options.stallTimeOut = 5000;
        options.lock.leaseMs = leaseMs;
        options.lock.pollMs = 20;
        options.lock.beatMs = std::max(50, leaseMs / 8);
        options.lock.progressMs = 300;
        options.keepHistory = keepHistory;
        options.history.clock = [this] { return m_now; };
        m_publisher = std::make_unique<DirectoryPublisher>(
            *m_client,
            DirectoryPublisher::Account{"127.0.0.1", m_account->port(), kUser, kPassword}, options);
        m_publisher->onStep = [this](const QString& step) { m_steps << step; };
        m_publisher->onNotice = [this](const QString& text) { m_notices << text; };
    }

    DirectoryChange::Outcome publish(const DirectoryChange& change)
    {
        m_steps.clear();
        return m_publisher->publish(change);
    }

    // A reader on a connection of its own, logged in.
    std::unique_ptr<TFtpClient> reader()
    {
        auto client = std::make_unique<TFtpClient>();
        DirectoryPublisher::Account{"127.0.0.1", m_account->port(), kUser, kPassword}.applyTo(
            *client, 5000, 5000);
        client->Connect();
        client->SetBinary();
        return client;
    }

    QList<DirectoryHistory::Step> steps(const QString& cache = {})
    {
        auto client = reader();
        DirectoryHistory history(*client, QStringLiteral("/corvanet.xml"));
        history.setCacheFolder(cache);
        return history.steps();
    }

    // Every version in the history is whole (its hash and size are its
    // name's), and the newest is the directory.
    void expectWholeHistoryEndingInTheDirectory()
    {
        const QStringList names = m_account->history();
        QVERIFY(!names.isEmpty());
        const QList<QByteArray> contents = m_account->historyContents();
        for (qsizetype i = 0; i < names.size(); ++i) {
            HistoryLayout::Entry entry;
            QVERIFY2(HistoryLayout::parseEntry(names[i], entry), qPrintable(names[i]));
            QVERIFY2(entry.holds(HistoryLayout::hashOf(contents[i]), contents[i].size()),
                     qPrintable(names[i]));
        }
        QCOMPARE(contents.constLast(), m_account->directory());
    }

    // Writes an entry under the name it would have, at a given age.
    void plantEntry(qint64 sequence, qint64 secondsAgo, const QByteArray& content)
    {
        const QString name = HistoryLayout::entryName(
            sequence, m_now.addSecs(-secondsAgo), HistoryLayout::hashOf(content), content.size());
        QVERIFY(QDir().mkpath(m_account->path(kHistory)));
        QVERIFY(writeFile(m_account->path(kHistory + name), content));
    }

private slots:
    void init() { startServer(); }

    // A sequence of publishes, the history after each: the version each
    // replaced (on the first publish) and each new one, numbered in order;
    // a publish that changes nothing adds nothing; nothing stays in the lock.
    void everyPublishKeepsItsVersion()
    {
        const QByteArray first = directoryOf({"http://a/1.xml", "http://b/2.xml"});
        QVERIFY(m_account->setDirectory(first));
        QCOMPARE(publish(DirectoryChange::remove("http://a/1.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(m_account->history().size(), 2);
        QCOMPARE(m_account->historyContents().constFirst(), first);
        QVERIFY(m_account->history().constFirst().startsWith("00000001-20261209T120000Z-"));
        QCOMPARE(m_steps.mid(m_steps.indexOf("history"))
                     .filter(QRegularExpression("^(history|keep|stage|rename|commit)$")),
                 (QStringList{"history", "keep", "stage", "rename", "commit"}));
        expectWholeHistoryEndingInTheDirectory();

        m_now = m_now.addSecs(90);
        QCOMPARE(publish(DirectoryChange::add("Cee", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        QVERIFY(!m_steps.contains("keep")); // the directory was the newest entry
        QCOMPARE(publish(DirectoryChange::add("Cee", "http://c/3.xml")),
                 DirectoryChange::Outcome::AlreadyListed);
        QCOMPARE(publish(DirectoryChange::remove("http://z/9.xml")),
                 DirectoryChange::Outcome::NotListed);
        QStringList names = m_account->history();
        QCOMPARE(names.size(), 3);
        QVERIFY(names[2].startsWith("00000003-20261209T120130Z-"));
        expectWholeHistoryEndingInTheDirectory();
        QVERIFY(!m_steps.contains("prune"));
        QCOMPARE(m_account->leftovers(), QStringList());
        QVERIFY(m_notices.isEmpty());

        QCOMPARE(describe(steps()),
                 (QStringList{"3 added Cee <http://c/3.xml>", "2 removed n <http://a/1.xml>",
                              "1 oldest kept: 2 entries"}));
    }

    // A directory written over outside the program (an older program, a
    // person with the password) is kept before the next change lands on it;
    // until then the reader shows it as the live version.
    void aDirectoryWrittenOverFromOutsideIsKept()
    {
        QVERIFY(m_account->setDirectory(directoryOf({"http://a/1.xml", "http://b/2.xml"})));
        QCOMPARE(publish(DirectoryChange::add("Cee", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        const QByteArray foreign = directoryOf({"http://x/0.xml"});
        QVERIFY(m_account->setDirectory(foreign));
        QCOMPARE(describe(steps()).first(),
                 QStringLiteral("live replaced: 3 entries before, 1 after"));

        QCOMPARE(publish(DirectoryChange::add("Dee", "http://d/4.xml")),
                 DirectoryChange::Outcome::Changed);
        QVERIFY(m_steps.contains("keep"));
        const QList<QByteArray> contents = m_account->historyContents();
        QCOMPARE(contents.size(), 4);
        QCOMPARE(contents[2], foreign);
        expectWholeHistoryEndingInTheDirectory();
        // What the replacement removed can be restored from what was kept.
        QCOMPARE(listed(contents[1]),
                 (QStringList{"http://a/1.xml", "http://b/2.xml", "http://c/3.xml"}));
    }

    // Publishing without the history (as the benchmark compares) leaves the
    // account as before; the next publish with it keeps what is live.
    void withoutTheHistory()
    {
        QVERIFY(m_account->setDirectory(directoryOf({})));
        makePublisher(false);
        QCOMPARE(publish(DirectoryChange::add("a", "http://a/1.xml")),
                 DirectoryChange::Outcome::Changed);
        QVERIFY(!QFileInfo::exists(m_account->path(kHistory)));
        makePublisher(true);
        QCOMPARE(publish(DirectoryChange::add("b", "http://b/2.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(listed(m_account->historyContents().constFirst()), QStringList{"http://a/1.xml"});
    }

    // Pruning as publishes meet it: the newest 50 and the last 30 days stay,
    // one a day up to 90 days, nothing older, never more than 200.
    void publishesPruneByTheRetention()
    {
        const QByteArray live = directoryOf({"http://a/1.xml"});
        QVERIFY(m_account->setDirectory(live));
        constexpr qint64 day = 86400;
        // 1..3: older than 90 days; 4, 5: one day 40 days ago; 6: 30 days
        // to the second; 7..65 a minute apart on the day 31 days ago; 66,
        // today, is the directory.
        plantEntry(1, 95 * day, "<a/>");
        plantEntry(2, 91 * day, "<b/>");
        plantEntry(3, 90 * day + 1, "<c/>");
        plantEntry(4, 40 * day + 3600, "<d/>");
        plantEntry(5, 40 * day, "<e/>");
        plantEntry(6, 30 * day, "<f/>");
        for (int i = 0; i < 59; ++i)
            plantEntry(7 + i, 31 * day - i * 60, "<g" + QByteArray::number(i) + "/>");
        plantEntry(66, 0, live);
        QCOMPARE(m_account->history().size(), 66);

        QCOMPARE(publish(DirectoryChange::add("b", "http://b/2.xml")),
                 DirectoryChange::Outcome::Changed);
        QVERIFY(m_steps.contains("prune"));
        QStringList kept;
        for (const QString& name : m_account->history())
            kept << name.section('-', 0, 0).mid(5);
        // Of 4 and 5 the newest of their day; 6 for its age; of 7..17 the
        // newest of their day; 18..67 are the newest 50 with the new one.
        QStringList expected{"005", "006", "017"};
        for (int i = 18; i <= 67; ++i)
            expected << QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0'));
        QCOMPARE(kept, expected);
        expectWholeHistoryEndingInTheDirectory();

        // At the bound: 200 versions of today, and one more publish.
        startServer();
        QVERIFY(m_account->setDirectory(live));
        for (int i = 1; i < 200; ++i)
            plantEntry(i, 200 - i, "<v" + QByteArray::number(i) + "/>");
        plantEntry(200, 0, live);
        QCOMPARE(publish(DirectoryChange::add("b", "http://b/2.xml")),
                 DirectoryChange::Outcome::Changed);
        const QStringList names = m_account->history();
        QCOMPARE(names.size(), 200);
        QVERIFY(names.constFirst().startsWith("00000002-"));
        QVERIFY(names.constLast().startsWith("00000201-"));
    }

    // An account that does not allow the history folder: publishing works
    // as before and says so once per publish; nothing is left behind.
    void anAccountThatRefusesTheHistoryFolder()
    {
        startServer({"--rule", "match=MKD /corvanet.xml.history;reply=550 Permission denied."});
        QVERIFY(m_account->setDirectory(directoryOf({"http://a/1.xml"})));
        QCOMPARE(publish(DirectoryChange::add("b", "http://b/2.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(m_notices.size(), 1);
        QVERIFY2(m_notices[0].contains("refuses the history folder /corvanet.xml.history") &&
                     m_notices[0].contains("550 Permission denied."),
                 qPrintable(m_notices[0]));
        QCOMPARE(publish(DirectoryChange::remove("http://a/1.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(m_notices.size(), 2);
        QCOMPARE(listed(m_account->directory()), QStringList{"http://b/2.xml"});
        QVERIFY(!QFileInfo::exists(m_account->path(kHistory)));
        QCOMPARE(m_account->leftovers(), QStringList());
    }

    // A folder that is there but refuses what goes into it: the directory
    // is published, the notice says why, and the lock leaves nothing.
    void aHistoryFolderThatRefusesItsEntries()
    {
        startServer({"--rule", "match=RNTO /corvanet.xml.history/*;reply=553 Not allowed here."});
        QVERIFY(m_account->setDirectory(directoryOf({"http://a/1.xml"})));
        QCOMPARE(publish(DirectoryChange::add("b", "http://b/2.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(m_notices.size(), 1);
        QVERIFY2(m_notices[0].contains("553 Not allowed here."), qPrintable(m_notices[0]));
        QCOMPARE(listed(m_account->directory()), (QStringList{"http://a/1.xml", "http://b/2.xml"}));
        QCOMPARE(m_account->leftovers(), QStringList());
    }

    // The reader skips what is not whole any more and what vanished between
    // its listing and its read; the versions either side are compared.
    // Copies it keeps serve later reads, even of entries gone from the
    // server, and go once the history no longer lists them.
    void readingSkipsDamagedEntriesAndKeepsCopies()
    {
        QVERIFY(m_account->setDirectory(directoryOf({"http://a/1.xml"})));
        QCOMPARE(publish(DirectoryChange::add("b", "http://b/2.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(publish(DirectoryChange::add("c", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(publish(DirectoryChange::add("d", "http://d/4.xml")),
                 DirectoryChange::Outcome::Changed);
        QTemporaryDir cache;
        QCOMPARE(steps(cache.path()).size(), 4);
        QCOMPARE(QDir(cache.path()).entryList(QDir::Files).size(), 4);

        // Damaged on the server, whole in the copy: read from the copy.
        const QStringList names = m_account->history();
        QVERIFY(writeFile(m_account->path(kHistory + names[1]), "<squads>cut"));
        QCOMPARE(describe(steps(cache.path())).size(), 4);
        // Without the copy the damaged one is left out.
        QCOMPARE(describe(steps()),
                 (QStringList{"4 added d <http://d/4.xml>", "3 replaced: 1 entries before, 3 after",
                              "1 oldest kept: 1 entries"}));
        // A damaged copy is not taken either.
        QVERIFY(writeFile(cache.filePath(names[2]), "<x/>"));
        QVERIFY(QFile::remove(m_account->path(kHistory + names[2])));
        QCOMPARE(describe(steps(cache.path())),
                 (QStringList{"4 replaced: 2 entries before, 4 after", "2 added b <http://b/2.xml>",
                              "1 oldest kept: 1 entries"}));
        QVERIFY(!QFile::exists(cache.filePath(names[2])));
    }

    // One squad back, with the nick it had, as an ordinary add; a whole
    // version back as one change, which is itself kept, so that restoring
    // the version before it undoes it.
    void restoreASquadOrAVersionAndUndoIt()
    {
        QVERIFY(m_account->setDirectory(
            "<?xml version=\"1.0\"?>\n<squads><squad nick=\"Alpha &amp; Co\" "
            "web=\"http://a/1.xml\"/><squad nick=\"Bee\" web=\"http://b/2.xml\"/></squads>\n"));
        QCOMPARE(publish(DirectoryChange::remove("http://a/1.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(publish(DirectoryChange::add("Cee", "http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(publish(DirectoryChange::remove("http://c/3.xml")),
                 DirectoryChange::Outcome::Changed);
        {
            auto client = reader();
            DirectoryHistory history(*client, QStringLiteral("/corvanet.xml"));
            const QList<DirectoryHistory::Removal> removals = history.removals();
            QCOMPARE(removals.size(), 2);
            QCOMPARE(removals[0].squad.url, QStringLiteral("http://c/3.xml"));
            QCOMPARE(removals[1].squad.nick, QStringLiteral("Alpha & Co"));
            QCOMPARE(removals[1].version.id(), QStringLiteral("2"));
            bool listedNow = true;
            const auto removal = history.lastRemovalOf("http://a/1.xml", listedNow);
            QVERIFY(removal && !listedNow);
            QCOMPARE(publish(DirectoryChange::add(removal->squad.nick, removal->squad.url)),
                     DirectoryChange::Outcome::Changed);
            QVERIFY(
                m_account->directory().contains("nick=\"Alpha &amp; Co\" web=\"http://a/1.xml\""));
            QVERIFY(!history.lastRemovalOf("http://a/1.xml", listedNow) && listedNow);
            QVERIFY(!history.lastRemovalOf("http://never/0.xml", listedNow) && !listedNow);
            QCOMPARE(history.removals().size(), 1);
        }

        // The whole of version 1 (as it was, byte for byte) over version 5.
        const QByteArray one = m_account->historyContents().constFirst();
        const QByteArray five = m_account->directory();
        QCOMPARE(publish(DirectoryChange::replace(one)), DirectoryChange::Outcome::Changed);
        QCOMPARE(m_account->directory(), one);
        QCOMPARE(publish(DirectoryChange::replace(one)), DirectoryChange::Outcome::Unchanged);
        QVERIFY(!m_steps.contains("upload"));
        // Undone: version 5 again, and all three kept.
        QCOMPARE(publish(DirectoryChange::replace(five)), DirectoryChange::Outcome::Changed);
        QCOMPARE(m_account->directory(), five);
        QCOMPARE(m_account->history().size(), 7);
        expectWholeHistoryEndingInTheDirectory();

        // What is no squad directory is never published as one.
        const QString error =
            thrown([&] { publish(DirectoryChange::replace("<html><body>gone</body></html>")); });
        QVERIFY2(error.contains("not a squad directory"), qPrintable(error));
        QCOMPARE(m_account->directory(), five);
        QCOMPARE(m_account->leftovers(), QStringList());
    }

    // A publisher silent past its lease while it writes into the history
    // finds its folder gone: that is the lock taken over, not an account
    // that refuses the history. It starts again from the lock, says
    // nothing about the history, and every version is kept.
    void aLockTakenOverWhileItWritesTheHistory_data()
    {
        QTest::addColumn<QString>("pausedAt");
        QTest::newRow("keeping the directory read") << "keep";
        QTest::newRow("staging the new version") << "stage";
    }

    void aLockTakenOverWhileItWritesTheHistory()
    {
        QFETCH(QString, pausedAt);
        makePublisher(true, 1000);
        const QString added = m_account->page(1);
        QVERIFY(m_account->setDirectory(directoryOf({"http://a/1.xml"})));
        if (pausedAt == "stage")
            QCOMPARE(publish(DirectoryChange::add("b", "http://b/2.xml")),
                     DirectoryChange::Outcome::Changed);
        std::unique_ptr<QProcess> taker;
        m_publisher->onStep = [&](const QString& step) {
            m_steps << step;
            if (step != pausedAt || taker)
                return;
            taker = m_account->squadnet("add", added, 1);
            // No byte of ours moves meanwhile: our heartbeat falls silent.
            QElapsedTimer waited;
            waited.start();
            while (taker->state() != QProcess::NotRunning && waited.elapsed() < 30000)
                QTest::qWait(20);
        };
        QCOMPARE(publish(DirectoryChange::remove("http://a/1.xml")),
                 DirectoryChange::Outcome::Changed);
        QVERIFY(m_steps.contains("retry"));
        QByteArray output;
        QCOMPARE(finished(*taker, &output), 0);
        QCOMPARE(m_notices, QStringList());
        QVERIFY(listed(m_account->directory()).contains(added));
        QVERIFY(!listed(m_account->directory()).contains("http://a/1.xml"));
        expectWholeHistoryEndingInTheDirectory();
        // Each version once: before the taker, the taker's, ours.
        const QList<QByteArray> versions = m_account->historyContents();
        QCOMPARE(QSet<QByteArray>(versions.begin(), versions.end()).size(), versions.size());
        QCOMPARE(m_account->leftovers(), QStringList());
    }

    // The listing of the history and its copy of the new version travel on
    // the heartbeat's connection beside the publisher's own. Whatever that
    // second connection does (not there at all, a refusal, a connection
    // that ends), the publisher does the work itself: every version is
    // kept once, nothing is said about the history, nothing is left over.
    void theSecondConnectionFailingCostsTheHistoryNothing_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("no second connection") << QStringList{"--max-per-ip", "1"};
        QTest::newRow("its listing refused")
            << QStringList{"--rule", "match=NLST /corvanet.xml.history;reply=425 No data connection.;times=1"};
        QTest::newRow("its copy refused")
            << QStringList{"--rule", "match=STOR /corvanet.xml.lock/*/hist.*;reply=452 No room.;times=1"};
        QTest::newRow("its connection closed under the copy")
            << QStringList{"--rule",
                           "match=STOR /corvanet.xml.lock/*/hist.*;reply=421 Closing.;times=1"};
    }

    void theSecondConnectionFailingCostsTheHistoryNothing()
    {
        QFETCH(QStringList, options);
        startServer(options);
        // The directory is the newest version already: every copy of ours
        // is the new version's.
        const QByteArray first = directoryOf({"http://a/1.xml"});
        QVERIFY(m_account->setDirectory(first));
        plantEntry(1, 60, first);
        QCOMPARE(publish(DirectoryChange::add("b", "http://b/2.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(publish(DirectoryChange::remove("http://a/1.xml")),
                 DirectoryChange::Outcome::Changed);
        QCOMPARE(m_notices, QStringList());
        QCOMPARE(m_account->history().size(), 3);
        expectWholeHistoryEndingInTheDirectory();
        QCOMPARE(m_account->leftovers(), QStringList());
    }

    // While the publisher waits for the copy on the second connection (the
    // server holds it), its own client is cancelled or destroyed, or a
    // second publish is asked for: the wait ends at once with the cancel,
    // or the second publish is refused and the first goes on. A cancelled
    // publish changes nothing and releases its lock.
    void whileTheCopyIsAwaited_data()
    {
        QTest::addColumn<QString>("meanwhile");
        QTest::newRow("cancelled") << "cancel";
        QTest::newRow("its client destroyed") << "destroy";
        QTest::newRow("a second publish") << "publish";
    }

    void whileTheCopyIsAwaited()
    {
        QFETCH(QString, meanwhile);
        startServer({"--hold", "match=STOR /corvanet.xml.lock/*/hist.*"});
        const QByteArray before = directoryOf({"http://a/1.xml"});
        QVERIFY(m_account->setDirectory(before));
        plantEntry(1, 60, before);
        QString secondError;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            // Held, and our upload checked: we wait for the copy now.
            if (!m_steps.contains("check") || m_account->server().waitForHeld(1).isEmpty())
                return;
            poll.stop();
            if (meanwhile == "cancel") {
                m_client->Cancel();
            } else if (meanwhile == "destroy") {
                m_client.reset();
            } else {
                secondError = thrown([&] { m_publisher->publish(DirectoryChange::add("c", "http://c/3.xml")); });
                m_account->server().go();
            }
        });
        poll.start(20);
        const QString error = thrown([&] { publish(DirectoryChange::add("b", "http://b/2.xml")); });
        m_account->server().go();
        if (meanwhile == "publish") {
            QCOMPARE(error, QStringLiteral("<none>"));
            QCOMPARE(secondError, QStringLiteral("A publish is running already"));
            QCOMPARE(m_account->history().size(), 2);
            expectWholeHistoryEndingInTheDirectory();
            QCOMPARE(m_account->leftovers(), QStringList());
            return;
        }
        QVERIFY2(error.contains("cancel", Qt::CaseInsensitive), qPrintable(error));
        QCOMPARE(m_account->directory(), before);
        if (meanwhile == "cancel") {
            QCOMPARE(m_account->leftovers(), QStringList());
        }
    }

    // squadnet history and restore, as a person at a terminal uses them.
    void squadnetHistoryAndRestore()
    {
        QVERIFY(m_account->setDirectory(directoryOf({"http://a/1.xml", "http://b/2.xml"})));
        QByteArray output;
        QCOMPARE(finished(*m_account->squadnet("remove", "http://a/1.xml", 5), &output), 0);
        QCOMPARE(finished(*m_account->squadnet("history", {}, 5), &output), 0);
        QStringList lines = QString::fromUtf8(output).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(
            QRegularExpression(
                "^2 +\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d UTC removed n <http://a/1.xml>$")
                .match(lines[0])
                .hasMatch(),
            qPrintable(lines[0]));
        QVERIFY2(lines[1].startsWith("1 ") && lines[1].endsWith("oldest kept: 2 entries"),
                 qPrintable(lines[1]));

        QCOMPARE(finished(*m_account->squadnet("restore", "http://a/1.xml", 5), &output), 0);
        QCOMPARE(output, QByteArray("restored \"n\": http://a/1.xml\n"));
        QCOMPARE(finished(*m_account->squadnet("restore", "http://a/1.xml", 5), &output), 0);
        QCOMPARE(output, QByteArray("already listed: http://a/1.xml\n"));
        QCOMPARE(finished(*m_account->squadnet("restore", "http://q/7.xml", 5), &output), 1);
        QVERIFY2(output.contains("no removal of http://q/7.xml"), output.constData());

        QCOMPARE(finished(*m_account->squadnet("restore", {}, 5, {"--version", "2"}), &output), 0);
        QCOMPARE(output, QByteArray("restored version 2: 1 entries\n"));
        QCOMPARE(listed(m_account->directory()), QStringList{"http://b/2.xml"});
        QCOMPARE(finished(*m_account->squadnet("history", {}, 5, {"--limit", "1"}), &output), 0);
        QVERIFY2(output.startsWith("4 ") &&
                     output.trimmed().endsWith("removed n <http://a/1.xml>") &&
                     output.count('\n') == 1,
                 output.constData());
        QCOMPARE(finished(*m_account->squadnet("restore", {}, 5, {"--version", "99"}), &output), 1);
        QVERIFY2(output.contains("no version 99"), output.constData());
        QCOMPARE(finished(*m_account->squadnet("restore", "http://a/1.xml", 5, {"--version", "2"}),
                          &output),
                 2);
        QCOMPARE(finished(*m_account->squadnet("history", {}, 5, {"--limit", "0"}), &output), 2);
    }

    // squadnet on an account that refuses the folder: one line on stderr,
    // the change published.
    void squadnetSaysOnceThatNoHistoryIsKept()
    {
        startServer({"--rule", "match=MKD /corvanet.xml.history;reply=550 Permission denied."});
        QVERIFY(m_account->setDirectory(directoryOf({"http://a/1.xml"})));
        QByteArray output;
        QCOMPARE(finished(*m_account->squadnet("remove", "http://a/1.xml", 5), &output), 0);
        const QStringList lines = QString::fromUtf8(output).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.filter("no history of it is kept").size(), 1);
        QVERIFY(lines.contains("removed: http://a/1.xml"));
        QCOMPARE(listed(m_account->directory()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestDirectoryHistory)
#include "TestDirectoryHistory.moc"
