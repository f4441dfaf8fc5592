// The find field over the squad list, the offline copies of the directory,
// squad pages and logos, and the conditional loads that keep them current:
// the window offscreen against a real web server on loopback, with a cache
// folder of each test's own.

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QStatusBar>
#include <QToolButton>

#include "FaultHelpers.h"
#include "GuiFixture.h"
#include "OfflineCache.h"
#include "PageArea.h"
#include "XmlAddress.h"

using namespace FaultHelpers;

namespace {
// The panel's text before its date, in the language the window shows.
QString offlinePrefix()
{
    return QCoreApplication::translate("OfflineCache", "Offline copy of %1").section(QStringLiteral("%1"), 0, 0);
}
} // namespace

namespace
{

const QList<QPair<QString, QString>> kSquads = {{"Zebra", "zebra.xml"},
                                                {"Žabí tlapa", "zaba.xml"},
                                                {"alpha", "alpha.xml"},
                                                {"ALPHA wolves", "wolves.xml"},
                                                {"Bravo", "bravo.xml"}};

// How often the server answered this path with this status.
int served(const QString& log, const QString& path, int status)
{
    const QString needle = QStringLiteral("GET /%1 HTTP/1.%2\" %3 ");
    const QString text = QString::fromUtf8(readFile(log));
    return int(text.count(needle.arg(path).arg(0).arg(status)) +
               text.count(needle.arg(path).arg(1).arg(status)));
}

// Moves a file's modification time by this many seconds from now.
void touch(const QString& path, int seconds)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(seconds),
                             QFileDevice::FileModificationTime));
}

} // namespace

class TestFindAndOffline : public QObject, private GuiFixture
{
    Q_OBJECT

private:
    QString log() const { return m_work.filePath("requests.log"); }

    // The sample directory on the web server, its pages there too (a page
    // given as an absolute path stays a local file).
    AppSettings webDirectory(const QList<QPair<QString, QString>>& entries = kSquads)
    {
        QList<QPair<QString, QString>> urls;
        for (const auto& [nick, page] : entries)
            urls.append({nick, page.startsWith('/') ? page : m_web->url(page)});
        writeFile(served("dir.xml"), directory(urls));
        touch(served("dir.xml"), -60);
        AppSettings settings;
        settings.directoryUrl = m_web->url("dir.xml");
        return settings;
    }

    // Typed key by key; text beyond Latin-1, which the key simulation cannot
    // type, arrives as an input method would put it in.
    void typeFind(TfrmMain& window, const QString& text)
    {
        window.edtFind->clear();
        if (std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; }))
            QTest::keyClicks(window.edtFind, text);
        else
            window.edtFind->insert(text);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(foldersValid());
        for (const auto& [nick, page] : kSquads)
            writeFile(served(page), squadPage(nick.toUtf8(), {"logo.jpg"}));
        writeFile(served("logo.jpg"), jpeg(40, 30));
        // Changed a minute ago: a Last-Modified of the second a reply is
        // sent in validates nothing.
        for (const QString& name : QDir(m_root.path()).entryList(QDir::Files))
            touch(served(name), -60);
        QVERIFY(startWeb(log()));
    }

    void init() { freshCache(); }

    void cleanup()
    {
        XmlAddress::setInterfaceProbe(nullptr);
        if (!m_web->port())
            QVERIFY(m_web->start());
    }

    void findFiltersWithoutRegardToCaseOrAccents_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("listed");
        // The list is sorted by the user's language: Czech has "Ž" as a
        // letter of its own, after "Z".
        const QStringList all = QLocale().language() == QLocale::Czech
            ? QStringList{"alpha", "ALPHA wolves", "Bravo", "Zebra", "Žabí tlapa"}
            : QStringList{"alpha", "ALPHA wolves", "Bravo", "Žabí tlapa", "Zebra"};
        QTest::newRow("empty") << "" << all;
        QTest::newRow("accents") << "zab" << QStringList{"Žabí tlapa"};
        QTest::newRow("accents in the text") << "ŽÁBÍ T" << QStringList{"Žabí tlapa"};
        QTest::newRow("case, order kept") << "ALP" << QStringList{"alpha", "ALPHA wolves"};
        QTest::newRow("inside the nick") << "ra" << QStringList{"Bravo", "Zebra"};
        QTest::newRow("no match") << "xyz" << QStringList{};
    }

    void findFiltersWithoutRegardToCaseOrAccents()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, listed);
        RecordingSeams seams;
        TfrmMain window(webDirectory(), seams);
        QAbstractItemModelTester tester(window.lbSquadsModel);
        waitIdle(window, int(kSquads.size()));
        QCOMPARE(TestLanguage::sourceText(window.edtFind->placeholderText()), QString("Find squad"));
        QCOMPARE(TestLanguage::sourceText(window.edtFind->accessibleName()), QString("Find squad"));

        typeFind(window, text);
        QCOMPARE(listTexts(window.lbSquads), listed);
        QTest::keyClick(window.edtFind, Qt::Key_Escape);
        QCOMPARE(window.edtFind->text(), QString());
        QCOMPARE(listCount(window.lbSquads), int(kSquads.size()));
    }

    void theSelectionFollowsTheFilterAndTheReload()
    {
        RecordingSeams seams;
        TfrmMain window(webDirectory(), seams);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        waitIdle(window, int(kSquads.size()));
        QTest::keySequence(&window, QKeySequence::Find);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.edtFind));

        // A match stays selected; one the filter hides is no longer selected.
        QVERIFY(selectUrl(window, m_web->url("zebra.xml")));
        typeFind(window, "z");
        QCOMPARE(selectedTexts(window.lbSquads), QStringList{"Zebra"});
        QCOMPARE(window.SelectedSquadUrl, m_web->url("zebra.xml"));
        typeFind(window, "za");
        QVERIFY(selectedTexts(window.lbSquads).isEmpty());
        QCOMPARE(window.SelectedSquadUrl, QString());
        QVERIFY(!window.tbtnDetails->isEnabled());

        // After a reload the squad is selected again only where it is listed.
        typeFind(window, "alp");
        QVERIFY(selectUrl(window, m_web->url("wolves.xml")));
        window.tbtnRefreshClick();
        waitIdle(window);
        QCOMPARE(selectedTexts(window.lbSquads), QStringList{"ALPHA wolves"});
        window.SelectedSquadUrl = m_web->url("bravo.xml");
        window.tbtnRefreshClick();
        waitIdle(window);
        QCOMPARE(listTexts(window.lbSquads), QStringList({"alpha", "ALPHA wolves"}));
        QVERIFY(selectedTexts(window.lbSquads).isEmpty());

        // Enter opens the only match.
        typeFind(window, "brav");
        QTest::keyClick(window.edtFind, Qt::Key_Return);
        QCOMPARE(window.status(), QString("Loading squad details ..."));
        QCOMPARE(TfrmMain::CurrentSquadUrl, m_web->url("bravo.xml"));
        waitIdle(window);
        QCOMPARE(window.stSNick->text(), QString("Bravo"));
    }

    void anEntryWithoutAnAddressIsNeverSelectedAtStart()
    {
        writeFile(served("noweb.xml"),
                  "<squads><squad nick=\"a\"/><squad nick=\"b\" web=\"\"/></squads>");
        AppSettings settings;
        settings.directoryUrl = m_web->url("noweb.xml");
        RecordingSeams seams;
        TfrmMain window(settings, seams);
        waitIdle(window, 2);
        QVERIFY(selectedTexts(window.lbSquads).isEmpty());
        QVERIFY(!window.tbtnDetails->isEnabled());
    }

    // The server goes down: the next start shows the copy, publishes nothing,
    // and a Refresh once the server is back replaces the copy.
    void startsFromTheOfflineCopyUntilTheLiveListLoads()
    {
        const QString broken = m_work.filePath("broken.xml");
        writeFile(broken, "<squad><member>");
        const AppSettings settings =
            webDirectory(kSquads + QList<QPair<QString, QString>>{{"broken", broken}});
        const int listed = int(kSquads.size()) + 1;
        {
            RecordingSeams seams;
            TfrmMain window(settings, seams);
            waitIdle(window, listed);
            QVERIFY(!window.showingOfflineCopy());
            openSquad(window, m_web->url("zebra.xml"));
            QCOMPARE(logoSize(window), QSize(40, 30));
        }
        const quint16 port = m_web->port();
        const QString zebra = m_web->url("zebra.xml");
        m_web->stop();

        RecordingSeams seams;
        TfrmMain window(settings, seams);
        waitIdle(window, listed);
        QVERIFY(window.showingOfflineCopy());
        QVERIFY(window.pgLeft->isPageVisible(window.tbshtDatabase));
        QVERIFY(window.offlinePanel()->isVisibleTo(&window));
        QVERIFY(window.offlinePanel()->text().startsWith(offlinePrefix()));
        QVERIFY(!window.miAdd->isEnabled());
        window.tbtnDatabaseClick();
        QVERIFY(!window.miAdd->isEnabled());

        // The page opened before shows from its copy, logo and all, marked.
        openSquad(window, zebra);
        QCOMPARE(window.stSNick->text(), QString("Zebra"));
        QCOMPARE(logoSize(window), QSize(40, 30));
        QVERIFY(window.offlinePanel()->text().startsWith(offlinePrefix()));
        QVERIFY(seams.messages.isEmpty());

        // A page that is dead is not removed from a copy.
        window.tbtnDatabaseClick();
        openSquad(window, broken);
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(seams.messages[0].text, QString("This is broken link to squad."));
        QVERIFY(!window.miAdd->isEnabled());

        writeFile(served("dir.xml"), directory({{"Back", m_web->url("zebra.xml")}}));
        touch(served("dir.xml"), 60);
        QVERIFY(m_web->start(port));
        window.tbtnRefreshClick();
        waitIdle(window, 1);
        QVERIFY(!window.showingOfflineCopy());
        QVERIFY(!window.offlinePanel()->isVisibleTo(&window));
        QCOMPARE(listTexts(window.lbSquads), QStringList{"Back"});
        QVERIFY(window.miAdd->isEnabled());
    }

    // Without a network the load cannot start: the copy shows at once, beside
    // the message and the retries. A copy that is damaged or not this
    // address's is never shown, and goes.
    void aCopyIsShownOnlyWhenSound_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("shown");
        QTest::newRow("sound") << "" << true;
        QTest::newRow("cut short") << "cut" << false;
        QTest::newRow("not a document") << "garbage" << false;
        QTest::newRow("another address") << "address" << false;
        QTest::newRow("record unreadable") << "record" << false;
    }

    void aCopyIsShownOnlyWhenSound()
    {
        QFETCH(QString, damage);
        QFETCH(bool, shown);
        AppSettings settings;
        settings.directoryUrl = "http://squads.corvanet.example/corvanet.xml";
        OfflineCache cache;
        const QString body = cache.bodyFile(settings.directoryUrl, OfflineCache::DirectoryCopy);
        const QByteArray text = directory({{"Kept", "http://squads.corvanet.example/kept.xml"}});
        const auto record = [](const QString& bodyFile) {
            return QString(bodyFile).replace(".dir.xml", ".meta");
        };
        writeFile(body, damage == "garbage" ? QByteArray(text.size(), 'x') : text);
        QVERIFY(cache.record(settings.directoryUrl, OfflineCache::DirectoryCopy, {}, {}));
        if (damage == "cut")
            writeFile(body, text.left(text.size() / 2));
        if (damage == "record")
            writeFile(record(body), "\x01\x02");
        if (damage == "address") {
            // The record of another address's copy of the same size.
            const QString other = "http://elsewhere.example/corvanet.xml";
            const QString otherBody = cache.bodyFile(other, OfflineCache::DirectoryCopy);
            writeFile(otherBody, text);
            QVERIFY(cache.record(other, OfflineCache::DirectoryCopy, {}, {}));
            QFile::remove(record(body));
            QVERIFY(QFile::rename(record(otherBody), record(body)));
        }

        XmlAddress::setInterfaceProbe([] { return false; });
        RecordingSeams seams;
        TfrmMain window(settings, seams);
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(window.status(), QString("Connecting to internet..."));
        QVERIFY(window.tmrTestConnection->isActive());
        QCOMPARE(window.showingOfflineCopy(), shown);
        QCOMPARE(listTexts(window.lbSquads), shown ? QStringList{"Kept"} : QStringList{});
        QCOMPARE(window.offlinePanel()->isVisibleTo(&window), shown);
        QCOMPARE(QFile::exists(body), shown);
    }

    // A Refresh of an unchanged directory, a squad page and its logo opened
    // again: each asks, each gets "not modified", none travels again.
    void unchangedDocumentsAreNotFetchedAgain()
    {
        RecordingSeams seams;
        TfrmMain window(webDirectory(), seams);
        waitIdle(window, int(kSquads.size()));
        openSquad(window, m_web->url("bravo.xml"));
        QCOMPARE(logoSize(window), QSize(40, 30));
        const int logos = ::served(log(), "logo.jpg", 200);
        const int unchangedDirectories = ::served(log(), "dir.xml", 304);
        const int unchangedPages = ::served(log(), "bravo.xml", 304);
        const int unchangedLogos = ::served(log(), "logo.jpg", 304);

        window.tbtnDatabaseClick();
        QVERIFY(selectUrl(window, m_web->url("alpha.xml")));
        QSignalSpy resets(window.lbSquadsModel, &QAbstractItemModel::modelReset);
        window.tbtnRefreshClick();
        waitIdle(window, int(kSquads.size()));
        QCOMPARE(::served(log(), "dir.xml", 304), unchangedDirectories + 1);
        QCOMPARE(resets.size(), 0); // the list is not filled again
        QCOMPARE(selectedTexts(window.lbSquads), QStringList{"alpha"});
        QVERIFY(window.miAdd->isEnabled());

        window.tbtnDatabaseClick();
        openSquad(window, m_web->url("bravo.xml"));
        QCOMPARE(window.stSNick->text(), QString("Bravo"));
        QCOMPARE(logoSize(window), QSize(40, 30));
        QCOMPARE(::served(log(), "bravo.xml", 304), unchangedPages + 1);
        QCOMPARE(::served(log(), "logo.jpg", 304), unchangedLogos + 1);
        QCOMPARE(::served(log(), "logo.jpg", 200), logos);
        QVERIFY(window.offlinePanel()->isHidden());

        // A directory that changed is loaded and listed again.
        writeFile(served("dir.xml"), directory({{"New", m_web->url("bravo.xml")}}));
        touch(served("dir.xml"), 60);
        window.tbtnDatabaseClick();
        window.tbtnRefreshClick();
        waitIdle(window, 1);
        QCOMPARE(listTexts(window.lbSquads), QStringList{"New"});
    }
};

QTEST_MAIN(TestFindAndOffline)
#include "TestFindAndOffline.moc"
