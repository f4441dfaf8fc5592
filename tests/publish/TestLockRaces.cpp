// The lock against what real accounts do to publishers: squadnet processes
// stopped or killed at a chosen command, links too slow for the lease, an
// account that refuses the lock folder, a failure right after the lock was
// made. Judged as a community would: the final directory, the exit codes and
// what is left on the account.

#include <QtTest>

#include <csignal>
#include <vector>

#include "PublishTestSupport.h"

using namespace publishtest;

namespace {

// The command that starts a publisher's upload, in its own lock folder.
const QString kUploadStarts = QStringLiteral("match=STOR /corvanet.xml.lock/*/new.*");

// Starts a writer that adds page, and once the server holds the writer's
// command (the account's --hold) sends it the signal and lets the server go
// on. Null when the server never held it.
std::unique_ptr<QProcess> heldAndSignalled(Account& account, const QString& page, int signal)
{
    auto writer = account.squadnet("add", page, 1);
    if (account.server().waitForHeld().isEmpty() || ::kill(pid_t(writer->processId()), signal) != 0)
        return nullptr;
    account.server().go();
    return writer;
}

} // namespace

class TestLockRaces : public QObject {
    Q_OBJECT

private slots:
    // Every squad of a writer that reported success is in the directory.
    // A transfer that takes several leases keeps the lock alive through its
    // heartbeat; the writers waiting behind it neither take it over nor run
    // out, and nothing stays on the account.
    void slowLinks()
    {
        Account account({"--throttle", "20000"});
        QVERIFY2(account.started(), qPrintable(account.errorText()));
        QStringList urls;
        for (int i = 0; i < 800; ++i)
            urls << QStringLiteral("http://squads.example.org/pages/a-page-of-some-length-%1.xml").arg(i);
        QVERIFY(account.setDirectory(directoryOf(urls)));
        QVERIFY(account.directory().size() > 3 * 20000);
        const QString first = account.page(1);
        const QString second = account.page(2);
        auto a = account.squadnet("add", first, 1);
        auto b = account.squadnet("add", second, 1);
        QByteArray output;
        QVERIFY2(finished(*a, &output, 120000) == 0, output.constData());
        QVERIFY2(finished(*b, &output, 120000) == 0, output.constData());
        const QStringList after = listed(account.directory());
        QCOMPARE(after.size(), 802);
        QVERIFY(after.contains(first) && after.contains(second));
        QCOMPARE(account.leftovers(), QStringList());
    }

    // A publisher stopped (SIGSTOP) or killed (SIGKILL) as its upload starts,
    // while it holds the lock. The next publisher takes over a lease after
    // the last sign of life and publishes; the stopped one, continued after
    // that, cannot land its stale directory: it publishes again on the
    // directory as it is now, or says it did not publish.
    void stoppedOrKilledWhileHolding_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("killed") << int(SIGKILL);
        QTest::newRow("stopped past its lease") << int(SIGSTOP);
    }

    void stoppedOrKilledWhileHolding()
    {
        QFETCH(int, signal);
        Account account({"--hold", kUploadStarts});
        QVERIFY2(account.started(), qPrintable(account.errorText()));
        QVERIFY(account.setDirectory(directoryOf({"http://old/1.xml"})));
        const QString first = account.page(1);
        const QString second = account.page(2);
        auto a = heldAndSignalled(account, first, signal);
        QVERIFY(a);
        auto b = account.squadnet("add", second, 1);
        QByteArray output;
        QVERIFY2(finished(*b, &output) == 0, output.constData());
        QStringList expected{"http://old/1.xml", second};
        if (signal == SIGKILL)
            finished(*a);
        if (signal == SIGSTOP) {
            QCOMPARE(::kill(pid_t(a->processId()), SIGCONT), 0);
            const int code = finished(*a, &output);
            QVERIFY2(code == 0 || code == 1, output.constData());
            if (code == 0)
                expected << first;
        }
        QStringList after = listed(account.directory());
        after.sort();
        expected.sort();
        QCOMPARE(after, expected);
        QCOMPARE(account.leftovers(), QStringList());
    }

    // Several squadnet writers at once with the history on: nothing is lost
    // from the directory, and nothing from the history either: every
    // version one of them published is an entry, in the order they were
    // published (each differs from the one before by exactly the one change
    // its writer made).
    void severalWritersKeepEveryVersion()
    {
        Account account;
        QVERIFY2(account.started(), qPrintable(account.errorText()));
        QStringList initial;
        for (int i = 0; i < 4; ++i)
            initial << QStringLiteral("http://old/%1.xml").arg(i);
        QVERIFY(account.setDirectory(directoryOf(initial)));
        QStringList pages;
        for (int i = 0; i < 8; ++i)
            pages << account.page(i);
        std::vector<std::unique_ptr<QProcess>> writers;
        for (int round = 0; round < 2; ++round) {
            for (int w = 0; w < 6; ++w) {
                writers.push_back(w < 4 ? account.squadnet("add", pages[w * 2 + round], 5)
                                        : account.squadnet("remove", initial[(w - 4) * 2 + round], 5));
            }
            for (auto& writer : writers) {
                QByteArray output;
                QVERIFY2(finished(*writer, &output) == 0, output.constData());
            }
            writers.clear();
        }
        QStringList after = listed(account.directory());
        after.sort();
        QCOMPARE(after, pages);

        const QList<QByteArray> versions = account.historyContents();
        QCOMPARE(versions.size(), 1 + 12);
        QCOMPARE(listed(versions.constFirst()), initial);
        QCOMPARE(versions.constLast(), account.directory());
        QStringList added, removed;
        for (qsizetype i = 1; i < versions.size(); ++i) {
            const QStringList before = listed(versions[i - 1]);
            const QStringList now = listed(versions[i]);
            if (now.size() == before.size() + 1 && now.mid(0, before.size()) == before)
                added << now.constLast();
            else if (now.size() + 1 == before.size())
                removed << QSet<QString>(before.begin(), before.end()).subtract({now.begin(), now.end()}).values();
            else
                QFAIL(qPrintable(QStringLiteral("version %1 is no single change").arg(i + 1)));
        }
        added.sort();
        removed.sort();
        QCOMPARE(added, pages);
        QCOMPARE(removed, initial);
        QCOMPARE(account.leftovers(), QStringList());
    }

    // A publisher killed (or stopped past its lease) after its directory's
    // rename, before its new version moved from its folder into the
    // history. The next one treats that copy as the dead holder's garbage
    // (never a directory to restore) and keeps the live directory itself:
    // every live version is in the history, once, and a stopped publisher
    // continued later adds nothing stale.
    void killedBetweenTheRenameAndTheHistory_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("killed") << int(SIGKILL);
        QTest::newRow("stopped past its lease") << int(SIGSTOP);
    }

    void killedBetweenTheRenameAndTheHistory()
    {
        QFETCH(int, signal);
        Account account({"--hold", "after=RNTO /corvanet.xml;match=RNFR /corvanet.xml.lock/*/hist.*"});
        QVERIFY2(account.started(), qPrintable(account.errorText()));
        const QByteArray initial = directoryOf({"http://old/1.xml"});
        QVERIFY(account.setDirectory(initial));
        const QString first = account.page(1);
        const QString second = account.page(2);
        auto a = account.squadnet("add", first, 1);
        QVERIFY(!account.server().waitForHeld().isEmpty());
        QCOMPARE(::kill(pid_t(a->processId()), signal), 0);
        account.server().go();
        const QByteArray published = account.directory();
        QCOMPARE(listed(published), (QStringList{"http://old/1.xml", first}));
        QCOMPARE(account.history().size(), 1);

        auto b = account.squadnet("add", second, 1);
        QByteArray output;
        QVERIFY2(finished(*b, &output) == 0, output.constData());
        if (signal == SIGSTOP) {
            QCOMPARE(::kill(pid_t(a->processId()), SIGCONT), 0);
            QVERIFY2(finished(*a, &output) == 0, output.constData());
        } else {
            finished(*a);
        }
        QCOMPARE(listed(account.directory()), (QStringList{"http://old/1.xml", first, second}));
        const QList<QByteArray> versions = account.historyContents();
        QCOMPARE(versions.size(), 3);
        QCOMPARE(versions[0], initial);
        QCOMPARE(versions[1], published);
        QCOMPARE(versions[2], account.directory());
        QCOMPARE(account.leftovers(), QStringList());
    }

    // A publisher killed between the two renames of the fallback (the
    // server refuses to rename over a file) leaves no directory at all, only
    // its two copies. The next publisher brings back the newer one before
    // it applies its own change; nothing is lost and nothing stays.
    void killedBetweenTheFallbackRenames()
    {
        Account account({"--refuse-rename-over", "--hold",
                         "after=RNTO /corvanet.xml.lock/*/old.*;match=RNFR /corvanet.xml.lock/*/new.*"});
        QVERIFY2(account.started(), qPrintable(account.errorText()));
        QVERIFY(account.setDirectory(directoryOf({"http://old/1.xml"})));
        const QString first = account.page(1);
        const QString second = account.page(2);
        auto a = heldAndSignalled(account, first, SIGKILL);
        QVERIFY(a);
        finished(*a);
        QCOMPARE(account.directory(), QByteArray("<missing>"));

        auto b = account.squadnet("add", second, 1);
        QByteArray output;
        QVERIFY2(finished(*b, &output) == 0, output.constData());
        QCOMPARE(listed(account.directory()), (QStringList{"http://old/1.xml", first, second}));
        QCOMPARE(account.leftovers(), QStringList());
    }

    // An account that refuses MKD for lack of rights has no lock to wait
    // for: the publish fails with the server's reply, not after waiting for
    // a holder that does not exist.
    void refusedLockFolder()
    {
        Account account({"--rule", "match=MKD /corvanet.xml.lock;reply=550 Permission denied."});
        QVERIFY2(account.started(), qPrintable(account.errorText()));
        QVERIFY(account.setDirectory(directoryOf({})));
        auto a = account.squadnet("add", account.page(1), 5);
        QByteArray output;
        QCOMPARE(finished(*a, &output), 1);
        QVERIFY2(output.contains("refuses to make the lock folder") && output.contains("550 Permission denied."),
                 output.constData());
        QCOMPARE(account.leftovers(), QStringList());
    }

    // Whatever fails right after the lock folder was made, the lock goes
    // with the failed publish, and the reason is the server's.
    void failureRightAfterTheLockFolder_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::newRow("PASV not understood") << "500 PASV not understood.";
        QTest::newRow("PASV refused for now") << "425 Cannot open passive connection.";
        QTest::newRow("the marker refused") << "553 Could not create file.";
    }

    void failureRightAfterTheLockFolder()
    {
        QFETCH(QString, reply);
        const QString match = reply.startsWith("553") ? "STOR /corvanet.xml.lock/*" : "PASV";
        Account account({"--rule", QStringLiteral("after=MKD /corvanet.xml.lock;match=%1;reply=%2;times=1")
                                       .arg(match, reply)});
        QVERIFY2(account.started(), qPrintable(account.errorText()));
        QVERIFY(account.setDirectory(directoryOf({})));
        auto a = account.squadnet("add", account.page(1), 5);
        QByteArray output;
        QCOMPARE(finished(*a, &output), 1);
        if (!reply.startsWith("425"))
            QVERIFY2(output.contains(reply.toUtf8()), output.constData());
        QCOMPARE(account.leftovers(), QStringList());
        QCOMPARE(listed(account.directory()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestLockRaces)
#include "TestLockRaces.moc"
