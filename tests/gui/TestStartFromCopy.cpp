// The kept copy of the directory at start and the quiet loads that replace
// it: the copy shows at once while a slow server holds the live load, a copy
// goes live by itself once the server is back, and what the user's clicks,
// Details, Refresh, Add Squad, Cancel and closing the window do meanwhile.

#include <QAccessible>
#include <QStatusBar>
#include <QToolButton>

#include "AccessibleValue.h"
#include "DirectoryRetry.h"
#include "FaultHelpers.h"
#include "LoopbackWebServer.h"
#include "OfflineCache.h"
#include "PageArea.h"
#include "ScriptedPeer.h"

using namespace FaultHelpers;

namespace
{

QByteArray reply(const QByteArray& body, const QByteArray& status = "200 OK")
{
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: text/xml\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// A server error: a failure that says nothing about the directory.
const QByteArray kUnavailable = reply({}, "503 Service Unavailable");

// Every status the status line shows from the moment watchStatus() is
// called, in English, as its name changes reach assistive technology.
QLabel* g_statusLabel = nullptr;
QStringList g_statuses;

void recordStatus(QAccessibleEvent* event)
{
    if (g_statusLabel && event->object() == g_statusLabel)
        g_statuses << TestLanguage::sourceText(g_statusLabel->text());
}

void watchStatus(TfrmMain& window)
{
    g_statusLabel = window.statusLabel();
    g_statuses.clear();
    AccessibleValue::setEventSpy(recordStatus);
}

// Quick retries, so that a test sees several within a second.
void quickRetries(TfrmMain& window)
{
    window.directoryRetry()->setDelays(20, 160);
    window.directoryRetry()->setPollInterval(10);
}

// Closes any modal window that a call opened, and says whether there was one.
bool opensADialog(const std::function<void()>& call)
{
    bool opened = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            opened = true;
            modal->close();
        }
    });
    closer.start(10);
    call();
    return opened;
}

} // namespace

class TestStartFromCopy : public QObject
{
    Q_OBJECT

private:
    WorkingDir m_work;

    QString page(const QString& name)
    {
        const QString path = m_work.filePath(name + ".xml");
        if (!QFile::exists(path))
            writeFile(path, squadPage(name.toUtf8()));
        return path;
    }

    // The copy an earlier run left of the directory at this address.
    void keepCopy(const QString& url, const QList<QPair<QString, QString>>& entries)
    {
        OfflineCache cache;
        QVERIFY(writeFile(cache.bodyFile(url, OfflineCache::DirectoryCopy), directory(entries)));
        QVERIFY(cache.record(url, OfflineCache::DirectoryCopy, {}, {}));
    }

    static QString urlOf(const ScriptedPeer& peer)
    {
        return QString("http://127.0.0.1:%1/corvanet.xml").arg(peer.port());
    }

    static AppSettings settingsFor(const QString& url)
    {
        AppSettings settings;
        settings.directoryUrl = url;
        return settings;
    }

    // Details, Refresh and Add Squad do nothing while the live load runs.
    void expectActionsRefused(TfrmMain& window, const QString& status)
    {
        window.tbtnDetailsClick();
        QCOMPARE(window.status(), status);
        window.tbtnRefreshClick();
        QCOMPARE(window.status(), status);
        QVERIFY(!window.miAdd->isEnabled());
        QVERIFY(!opensADialog([&] { window.miAddClick(); }));
    }

private slots:
    void init()
    {
        freshCache();
        AccessibleValue::setEventSpy(nullptr);
        g_statusLabel = nullptr;
    }
    void cleanup() { AccessibleValue::setEventSpy(nullptr); }

    // A slow server holds the live load: the kept list is there as the
    // window is made, marked as a copy, under the load's status; a click
    // works, the tool buttons wait; the live list replaces the copy, with
    // the squad clicked meanwhile still selected.
    void theKeptListShowsAtOnceWhileTheLiveOneLoads()
    {
        ScriptedPeer slow;
        slow.expectLine();
        keepCopy(urlOf(slow), {{"Kept one", page("one")}, {"Kept two", page("two")}});
        RecordingSeams seams;
        TfrmMain window(settingsFor(urlOf(slow)), seams);

        QCOMPARE(listTexts(window.lbSquads), QStringList({"Kept one", "Kept two"}));
        QVERIFY(window.showingOfflineCopy());
        QVERIFY(window.pgLeft->isPageVisible(window.tbshtDatabase));
        QVERIFY(window.offlinePanel()->isVisibleTo(&window));
        QCOMPARE(window.status(), QString("Loading database..."));
        QVERIFY(!window.tbtnDetails->isEnabled());
        QTRY_COMPARE(slow.lines().size(), 1);

        QVERIFY(selectUrl(window, page("two")));
        expectActionsRefused(window, "Loading database...");
        QCOMPARE(slow.connectionCount(), 1);

        slow.send(reply(directory({{"Live two", page("two")}, {"Live three", page("three")}})))
            .close();
        waitIdle(window, 2);
        QCOMPARE(listTexts(window.lbSquads), QStringList({"Live three", "Live two"}));
        QVERIFY(!window.showingOfflineCopy());
        QVERIFY(!window.offlinePanel()->isVisibleTo(&window));
        QCOMPARE(selectedTexts(window.lbSquads), QStringList{"Live two"});
        QVERIFY(window.miAdd->isEnabled());
        QVERIFY(!window.directoryRetry()->isActive());
        QVERIFY(seams.messages.isEmpty());
        // The live list is the copy of the next start.
        const OfflineCache::Copy copy =
            OfflineCache().find(urlOf(slow), OfflineCache::DirectoryCopy);
        QVERIFY(readFile(copy.file).contains("Live three"));
    }

    // The server is down at start and comes back later on the same port:
    // quiet retries, each later than the one before, under "Ready" without
    // a message or busy cursor, and the live list takes the copy's place
    // without a Refresh. Add Squad stays off until then.
    void theCopyGoesLiveWhenTheServerComesBack()
    {
        QTemporaryDir root;
        LoopbackWebServer web(root.path());
        QVERIFY(web.start());
        const quint16 port = web.port();
        const QString url = web.url("corvanet.xml");
        web.stop();
        keepCopy(url, {{"Kept", page("kept")}, {"Gone", page("gone")}});

        RecordingSeams seams;
        TfrmMain window(settingsFor(url), seams);
        quickRetries(window);
        waitIdle(window, 2);
        QVERIFY(window.showingOfflineCopy());
        QVERIFY(window.directoryRetry()->isActive());
        watchStatus(window);
        const QList<int> cursors = seams.cursorHistory;

        QVERIFY(selectUrl(window, page("kept")));
        QTRY_VERIFY(window.directoryRetry()->attempts() >= 3);
        QVERIFY(window.directoryRetry()->currentDelay() > 20);
        QVERIFY(seams.messages.isEmpty());
        QVERIFY(window.isReady());
        QVERIFY(!window.miAdd->isEnabled());
        QVERIFY(!opensADialog([&] { window.miAddClick(); }));

        QVERIFY(writeFile(root.filePath("corvanet.xml"),
                          directory({{"Kept, live", page("kept")}, {"New", page("new")}})));
        QVERIFY(web.start(port));
        QTRY_VERIFY_WITH_TIMEOUT(!window.showingOfflineCopy(), 10000);
        QCOMPARE(listTexts(window.lbSquads), QStringList({"Kept, live", "New"}));
        QCOMPARE(selectedTexts(window.lbSquads), QStringList{"Kept, live"});
        QVERIFY(window.tbtnDetails->isEnabled());
        QVERIFY(!window.offlinePanel()->isVisibleTo(&window));
        QVERIFY(window.miAdd->isEnabled());
        QVERIFY(!window.directoryRetry()->isActive());
        QVERIFY(seams.messages.isEmpty());
        QCOMPARE(seams.cursorHistory, cursors);
        // The status line never left "Ready" (nor said it again).
        QVERIFY2(g_statuses.isEmpty(), qPrintable(g_statuses.join(", ")));
        QVERIFY(window.isReady());
    }

    // Refresh while a quiet load waits on the server: the quiet one is
    // dropped (its connection closes), the user's load runs as always.
    void refreshTakesOverFromAQuietLoad()
    {
        ScriptedPeer server;
        server.expectLine().send(kUnavailable).close(); // the start
        server.acceptNext().expectLine().expectClose(); // a quiet load, held
        server.acceptNext().expectLine().send(reply(directory({{"Live", page("live")}}))).close();
        keepCopy(urlOf(server), {{"Kept", page("kept")}});
        RecordingSeams seams;
        TfrmMain window(settingsFor(urlOf(server)), seams);
        quickRetries(window);
        QTRY_VERIFY(window.directoryRetry()->isLoading() && server.lines().size() == 2);
        QVERIFY(window.isReady());

        window.tbtnRefreshClick();
        QVERIFY(!window.directoryRetry()->isActive());
        QCOMPARE(window.status(), QString("Loading database..."));
        waitIdle(window, 1);
        QVERIFY(server.finished());
        QCOMPARE(listTexts(window.lbSquads), QStringList{"Live"});
        QVERIFY(!window.showingOfflineCopy());
        QVERIFY(seams.messages.isEmpty());
    }

    // A quiet load that ends while Details runs waits until the window is
    // "Ready" again; then the list behind the squad page is replaced and the
    // page stays; Squad Database shows the live list, with Add Squad.
    void aQuietLoadWaitsForDetailsToEnd()
    {
        ScriptedPeer server;
        server.expectLine().send(kUnavailable).close();
        server.acceptNext().expectLine();
        ScriptedPeer pageServer;
        pageServer.expectLine();
        const QString slowPage = QString("http://127.0.0.1:%1/squad.xml").arg(pageServer.port());
        keepCopy(urlOf(server), {{"Slow", slowPage}, {"Kept", page("kept")}});
        RecordingSeams seams;
        TfrmMain window(settingsFor(urlOf(server)), seams);
        quickRetries(window);
        QTRY_VERIFY(window.directoryRetry()->isLoading() && server.lines().size() == 2);

        QVERIFY(selectUrl(window, slowPage));
        window.tbtnDetailsClick();
        QCOMPARE(window.status(), QString("Loading squad details ..."));
        server.send(reply(directory({{"Slow, live", slowPage}, {"New", page("new")}}))).close();
        // Loaded, and held until the window is idle.
        QTRY_VERIFY(window.directoryRetry()->isActive() && !window.directoryRetry()->isLoading());
        QCOMPARE(window.status(), QString("Loading squad details ..."));
        QVERIFY(window.showingOfflineCopy());
        QCOMPARE(listTexts(window.lbSquads), QStringList({"Kept", "Slow"}));

        pageServer.send(reply(squadPage("Slow"))).close();
        waitIdle(window);
        QVERIFY(window.pgLeft->isPageVisible(window.tbshtDetails));
        QCOMPARE(window.stSNick->text(), QString("Slow"));
        QTRY_VERIFY(!window.showingOfflineCopy());
        QVERIFY(window.pgLeft->isPageVisible(window.tbshtDetails));
        QCOMPARE(window.stSNick->text(), QString("Slow"));
        QVERIFY(window.isReady());
        QVERIFY(!window.offlinePanel()->isVisibleTo(&window));

        window.tbtnDatabaseClick();
        QCOMPARE(listTexts(window.lbSquads), QStringList({"New", "Slow, live"}));
        QVERIFY(window.miAdd->isEnabled());
        QVERIFY(seams.messages.isEmpty());
    }

    // Cancel of the start load keeps the copy and leaves the quiet loads to
    // bring the live list.
    void cancellingTheStartLoadLeavesItToTheQuietLoads()
    {
        ScriptedPeer server;
        server.expectLine();
        server.acceptNext().expectLine().send(reply(directory({{"Live", page("live")}}))).close();
        keepCopy(urlOf(server), {{"Kept", page("kept")}});
        RecordingSeams seams;
        TfrmMain window(settingsFor(urlOf(server)), seams);
        quickRetries(window);
        QTRY_COMPARE(server.lines().size(), 1);
        window.cancelWait();
        QVERIFY(window.isReady());
        QVERIFY(window.showingOfflineCopy());
        QVERIFY(window.directoryRetry()->isActive());
        QTRY_VERIFY(!window.showingOfflineCopy());
        QCOMPARE(listTexts(window.lbSquads), QStringList{"Live"});
        QVERIFY(seams.messages.isEmpty());
        QVERIFY(window.isReady());
    }

    // Closing the window while the live load or a quiet one waits on the
    // server drops the load: the connection closes, nothing is left running.
    void closingTheWindowDropsTheLoad_data()
    {
        QTest::addColumn<bool>("quiet");
        QTest::newRow("the start's load") << false;
        QTest::newRow("a quiet load") << true;
    }

    void closingTheWindowDropsTheLoad()
    {
        QFETCH(bool, quiet);
        ScriptedPeer server;
        if (quiet)
            server.expectLine().send(kUnavailable).close().acceptNext();
        server.expectLine().expectClose();
        keepCopy(urlOf(server), {{"Kept", page("kept")}});
        RecordingSeams seams;
        auto window = std::make_unique<TfrmMain>(settingsFor(urlOf(server)), seams);
        quickRetries(*window);
        window->show();
        QTRY_COMPARE(server.lines().size(), quiet ? 2 : 1);
        QCOMPARE(window->directoryRetry()->isLoading(), quiet);
        QCOMPARE(window->isReady(), quiet);
        window->close();
        window.reset();
        QTRY_VERIFY(server.finished());
        QCOMPARE(server.connectionCount(), quiet ? 2 : 1);
    }
};

QTEST_MAIN(TestStartFromCopy)
#include "TestStartFromCopy.moc"
