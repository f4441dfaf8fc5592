// The quiet directory loads on their own: the delays between attempts, a
// loaded document handed over once and offered until it is taken, stop()
// from anywhere (an attempt in flight, inside its own hooks), and a hook that
// throws.

#include <QtTest>

#include "DirectoryRetry.h"
#include "ErrorReport.h"
#include "FaultHelpers.h"
#include "ScriptedPeer.h"

using namespace FaultHelpers;

class TestDirectoryRetry : public QObject
{
    Q_OBJECT

private:
    WorkingDir m_dir;

    QString file() const { return m_dir.filePath("directory.xml"); }

    // Hooks that load file(), count what they were called for and take the
    // document once take is allowed.
    struct Recorder {
        QString url;
        int starts = 0;
        int loaded = 0;
        int offers = 0;
        bool allowTake = true;
        QList<int> delays;
        XmlDocument taken;
        DirectoryRetry* retry = nullptr;

        DirectoryRetry::Hooks hooks()
        {
            DirectoryRetry::Hooks h;
            h.start = [this](XmlDocument& document) {
                ++starts;
                delays << retry->currentDelay();
                return document.load(url);
            };
            h.loaded = [this](const XmlDocument&) { ++loaded; };
            h.take = [this](const XmlDocument& document) {
                ++offers;
                if (allowTake)
                    taken = document;
                return allowTake;
            };
            return h;
        }
    };

private slots:
    void init() { QFile::remove(file()); }

    // Each failed attempt doubles the wait, up to the longest; one that
    // cannot even start fails like one whose load failed.
    void theDelayDoublesUpToTheLongest()
    {
        Recorder recorder;
        recorder.url = file();
        DirectoryRetry retry(recorder.hooks());
        recorder.retry = &retry;
        retry.setDelays(5, 40);
        retry.setPollInterval(1);
        retry.schedule();
        retry.schedule(); // a second schedule changes nothing
        QTRY_VERIFY(recorder.starts >= 6);
        QCOMPARE(recorder.delays.mid(0, 6), QList<int>({5, 10, 20, 40, 40, 40}));
        QCOMPARE(recorder.loaded, 0);
        QCOMPARE(recorder.offers, 0);
        QVERIFY(retry.isActive());

        // stop() ends the schedule, and the next one starts again at the
        // shortest wait.
        retry.stop();
        QVERIFY(!retry.isActive());
        const int starts = recorder.starts;
        QTest::qWait(60);
        QCOMPARE(recorder.starts, starts);
        recorder.delays.clear();
        retry.schedule();
        QTRY_VERIFY(!recorder.delays.isEmpty());
        QCOMPARE(recorder.delays.first(), 5);
    }

    // A load that succeeds is recorded once and offered until the window
    // takes it; then the retries are over.
    void aLoadedDocumentIsOfferedUntilTaken()
    {
        Recorder recorder;
        recorder.url = file();
        recorder.allowTake = false;
        DirectoryRetry retry(recorder.hooks());
        recorder.retry = &retry;
        retry.setDelays(5, 20);
        retry.setPollInterval(1);
        retry.schedule();
        QTRY_VERIFY(recorder.starts >= 2);
        QVERIFY(writeFile(file(), directory({{"Live", "http://127.0.0.1:1/a.xml"}})));
        QTRY_VERIFY(recorder.offers >= 3);
        QCOMPARE(recorder.loaded, 1);
        const int starts = recorder.starts;
        QVERIFY(retry.isActive() && !retry.isLoading());

        recorder.allowTake = true;
        QTRY_VERIFY(!retry.isActive());
        QCOMPARE(recorder.loaded, 1);
        QCOMPARE(recorder.starts, starts); // nothing loaded again meanwhile
        QVERIFY(recorder.taken.xml().contains("Live"));
        // The document taken is the window's now: a later attempt loads into
        // a document of its own.
        const XmlDocument first = recorder.taken;
        QVERIFY(writeFile(file(), directory({{"Later", "http://127.0.0.1:1/b.xml"}})));
        QVERIFY(retry.tryNow());
        QTRY_VERIFY(!retry.isActive());
        QVERIFY(recorder.taken.xml().contains("Later"));
        QVERIFY(first.xml().contains("Live"));
    }

    // tryNow() that cannot start leaves nothing scheduled: its caller polls.
    void tryNowThatCannotStartSchedulesNothing()
    {
        Recorder recorder;
        recorder.url = "gopher://nowhere/x.xml";
        DirectoryRetry retry(recorder.hooks());
        recorder.retry = &retry;
        retry.setDelays(1, 1);
        QVERIFY(!retry.tryNow());
        QVERIFY(!retry.isActive());
        QTest::qWait(20);
        QCOMPARE(recorder.starts, 1);
    }

    // stop() abandons the load in flight: its connection closes. Destroying
    // the object does the same; stopping from inside a hook is safe.
    void stopAbandonsTheLoadInFlight_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("stop") << "stop";
        QTest::newRow("destroy") << "destroy";
    }

    void stopAbandonsTheLoadInFlight()
    {
        QFETCH(QString, how);
        ScriptedPeer holding;
        holding.expectLine().expectClose();
        Recorder recorder;
        recorder.url = QString("http://127.0.0.1:%1/directory.xml").arg(holding.port());
        auto retry = std::make_unique<DirectoryRetry>(recorder.hooks());
        recorder.retry = retry.get();
        retry->setPollInterval(1);
        QVERIFY(retry->tryNow());
        QTRY_COMPARE(holding.lines().size(), 1);
        QVERIFY(retry->isLoading());
        if (how == "stop")
            retry->stop();
        else
            retry.reset();
        QTRY_VERIFY(holding.finished());
        QCOMPARE(recorder.loaded, 0);
        QCOMPARE(recorder.offers, 0);
    }

    void stopInsideTheHooks_data()
    {
        QTest::addColumn<bool>("inLoaded");
        QTest::newRow("loaded") << true;
        QTest::newRow("take") << false;
    }

    void stopInsideTheHooks()
    {
        QFETCH(bool, inLoaded);
        QVERIFY(writeFile(file(), directory({{"Live", "http://127.0.0.1:1/a.xml"}})));
        DirectoryRetry* self = nullptr;
        int offers = 0;
        DirectoryRetry::Hooks hooks;
        hooks.start = [this](XmlDocument& document) { return document.load(file()); };
        hooks.loaded = [&](const XmlDocument&) {
            if (inLoaded)
                self->stop();
        };
        hooks.take = [&](const XmlDocument&) {
            ++offers;
            self->stop(); // as the window's own Refresh would
            return false;
        };
        DirectoryRetry retry(hooks);
        self = &retry;
        retry.setPollInterval(1);
        QVERIFY(retry.tryNow());
        QTRY_VERIFY(!retry.isActive());
        QTest::qWait(20);
        QCOMPARE(offers, inLoaded ? 0 : 1);
    }

    // An error in a hook is reported once, and the retries end with it.
    void aHookThatThrowsIsReportedOnce()
    {
        RecordingSeams seams;
        ErrorReport::setSeams(&seams);
        QVERIFY(writeFile(file(), directory({{"Live", "http://127.0.0.1:1/a.xml"}})));
        int offers = 0;
        DirectoryRetry::Hooks hooks;
        hooks.start = [this](XmlDocument& document) { return document.load(file()); };
        hooks.loaded = [](const XmlDocument&) {};
        hooks.take = [&](const XmlDocument&) -> bool {
            ++offers;
            throw std::runtime_error("disk full");
        };
        DirectoryRetry retry(hooks);
        retry.setPollInterval(1);
        QVERIFY(retry.tryNow());
        QTRY_VERIFY(!retry.isActive());
        QTest::qWait(20);
        QCOMPARE(offers, 1);
        QCOMPARE(seams.messages.size(), 1);
        QVERIFY(seams.messages[0].text.contains("disk full"));
        ErrorReport::setSeams(nullptr);
    }
};

QTEST_MAIN(TestDirectoryRetry)
#include "TestDirectoryRetry.moc"
