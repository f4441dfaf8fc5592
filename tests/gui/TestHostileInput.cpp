// Squad pages and logos written to hurt: a logo of hundreds of progressive
// scans and pages of hundreds of thousands of elements. The window must keep
// answering throughout (the latency probe's worst delay is printed and
// bounded), end "Ready" with the default cursor, and stay usable while a
// logo decodes. The files are made at test time.

#include <QTreeView>

#include "FaultHelpers.h"
#include "GuiFixture.h"
#include "HostileJpeg.h"
#include "LatencyProbe.h"
#include "PageArea.h"
#include "PublishSettings.h"

using namespace FaultHelpers;

namespace
{

// One internal entity of 30,000 characters, for documents that use it in
// their attribute values.
const QByteArray kLargeEntity = "<!DOCTYPE d [<!ENTITY a \"" + QByteArray(30000, 'a') + "\">]>\n";

// Generous: a loaded test machine must not fail it; the window held up for
// seconds, as before the logo left its thread, always does.
constexpr qint64 kMaxLatencyMs = 500;

void reportLatency(const char* what, const LatencyProbe& probe)
{
    qInfo("worst event-loop lateness, %s: %lld ms", what, probe.worstMs());
}

QByteArray pageWithMembers(const QString& picture, int members, const QByteArray& member,
                           const QByteArray& doctype = {})
{
    QByteArray xml = "<?xml version=\"1.0\"?>\n" + doctype + "<squad nick=\"big\"><name>Big squad</name>";
    if (!picture.isEmpty())
        xml += "<picture>" + picture.toUtf8() + "</picture>";
    return xml + member.repeated(members) + "<title>[BIG]</title></squad>\n";
}

} // namespace

class TestHostileInput : public QObject, private GuiFixture
{
    Q_OBJECT

private:
    QString page(const QString& name) const { return m_web->url("squads/" + name); }

    // A window with its directory listed, polling quickly.
    void openWindow(std::unique_ptr<TfrmMain>& window, RecordingSeams& seams)
    {
        window = std::make_unique<TfrmMain>(settings(), seams);
        waitIdle(*window, 6);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(foldersValid());
        QVERIFY(startWeb());
        // 16 megapixels: within the budget for 16 scans; 704 is 44 times it.
        QByteArray hostile = HostileJpeg::make(4096, 704);
        QCOMPARE(HostileJpeg::scans(hostile).size(), 704);
        QVERIFY(writeFile(served("logos/hostile.jpg"), hostile));
        QVERIFY(writeFile(served("logos/slow.jpg"), HostileJpeg::make(4096, 300)));
        QVERIFY(writeFile(served("logos/red.jpg"), jpeg(64, 32)));
        QVERIFY(writeFile(served("squads/hostile.xml"),
                          squadPage("hostile", {m_web->url("logos/hostile.jpg")})));
        QVERIFY(writeFile(served("squads/slow.xml"), pageWithMembers(m_web->url("logos/slow.jpg"),
                                                                     3, "<member nick=\"m\"/>")));
        // Just under the document size cap: seven million empty elements.
        QByteArray empty = pageWithMembers({}, 63 * 1024 * 1024 / 9, "<member/>");
        QVERIFY(empty.size() < XmlDocument::maxDocumentSize);
        QVERIFY(writeFile(served("squads/empty.xml"), empty));
        // 180 MB of attribute text from 90 KB.
        QVERIFY(writeFile(
            served("squads/entities.xml"),
            pageWithMembers({}, 3000, "<member nick=\"&a;\" id=\"&a;\"/>", kLargeEntity)));
        QVERIFY(
            writeFile(served("squads/members.xml"),
                      pageWithMembers(m_web->url("logos/red.jpg"), 100000,
                                      "<member nick=\"n\" id=\"1\"><name>A name</name></member>")));
        QVERIFY(writeFile(directoryFile(), directory({{"hostile", page("hostile.xml")},
                                                      {"slow", page("slow.xml")},
                                                      {"empty", page("empty.xml")},
                                                      {"members", page("members.xml")},
                                                      {"entities", page("entities.xml")},
                                                      {"red", m_web->url("squads/red.xml")}})));
        QVERIFY(
            writeFile(served("squads/red.xml"), squadPage("red", {m_web->url("logos/red.jpg")})));
    }

    // Each page as the user opens it: the window answers throughout, and the
    // squad node selected again is shown at once.
    void hostilePagesNeverFreezeTheWindow_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("maxLogoWork"); // -1: the window's
        QTest::addColumn<QSize>("logo");         // invalid: none
        QTest::addColumn<int>("members");        // -1: the page is refused
        QTest::newRow("logo of 704 scans, over the budget") << "hostile" << -1LL << QSize() << 0;
        QTest::newRow("logo of 704 scans, budget raised")
            << "hostile" << std::numeric_limits<qint64>::max() << QSize(4096, 4096) << 0;
        QTest::newRow("63 MB of empty members") << "empty" << -1LL << QSize() << -1;
        QTest::newRow("an entity in 6,000 attribute values") << "entities" << -1LL << QSize() << -1;
        QTest::newRow("100,000 members") << "members" << -1LL << QSize(64, 32) << 100000;
    }

    void hostilePagesNeverFreezeTheWindow()
    {
        QFETCH(QString, name);
        QFETCH(qint64, maxLogoWork);
        QFETCH(QSize, logo);
        QFETCH(int, members);
        RecordingSeams seams;
        std::unique_ptr<TfrmMain> window;
        openWindow(window, seams);
        if (maxLogoWork >= 0)
            window->maxLogoWork = maxLogoWork;

        LatencyProbe probe;
        openSquad(*window, page(name + ".xml"));
        reportLatency(qPrintable("opening " + name), probe);
        QVERIFY(probe.worstMs() < kMaxLatencyMs);
        expectSound(*window, seams);
        QCOMPARE(logoSize(*window), logo);
        if (members < 0) {
            // Refused as a page that could not be read now: the squad stays.
            QCOMPARE(seams.messages.size(), 1);
            QCOMPARE(seams.messages[0].text, QStringLiteral("This is broken link to squad."));
            QVERIFY(selectUrl(*window, page(name + ".xml")));
            return;
        }
        QVERIFY(seams.messages.isEmpty());
        SquadTreeModel::Node* squad = window->twSquadModel->topLevelNode(0);
        QVERIFY(squad);
        QCOMPARE(window->twSquadModel->rowCount(window->twSquadModel->index(0, 0)), members);

        probe.reset();
        if (members > 0)
            window->twSquad->setCurrentIndex(
                window->twSquadModel->index(0, 0, window->twSquadModel->index(0, 0)));
        QCOMPARE(window->pgInfo->isPageVisible(window->tbshtMember), members > 0);
        window->twSquad->clearSelection();
        window->twSquad->setCurrentIndex(window->twSquadModel->index(0, 0));
        QVERIFY(window->pgInfo->isPageVisible(window->tbshtSquad));
        QTest::qWait(50);
        reportLatency(qPrintable("selecting " + name + "'s nodes"), probe);
        QVERIFY(probe.worstMs() < kMaxLatencyMs);
        QCOMPARE(window->stSName->text(),
                 name == "hostile" ? QStringLiteral("hostile squad") : QStringLiteral("Big squad"));
        QCOMPARE(logoSize(*window), logo);
    }

    // A directory beyond the program's limits is refused with a message;
    // the list and the copy kept of the last directory stay as they were.
    void hostileDirectoriesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("hostile");
        QTest::addColumn<qint64>("nodeLimit"); // 0: the window's own
        QTest::addColumn<QString>("reason");
        QByteArray entries;
        for (int i = 0; i < 1000; ++i)
            entries += "<squad nick=\"&a;\" web=\"http://127.0.0.1/" + QByteArray::number(i) + ".xml\"/>";
        QTest::newRow("an entity in 1,000 attribute values")
            << kLargeEntity + "<squads>" + entries + "</squads>" << 0LL << "entity references expand";
        QTest::newRow("more nodes than the budget")
            << "<squads>" + QByteArray("<squad/>").repeated(2000) + "</squads>" << 1000LL << "more than 1000 nodes";
    }

    void hostileDirectoriesAreRefused()
    {
        QFETCH(QByteArray, hostile);
        QFETCH(qint64, nodeLimit);
        QFETCH(QString, reason);
        const QString file = served("refused.xml");
        const QByteArray sound = directory({{"red", m_web->url("squads/red.xml")}});
        QVERIFY(writeFile(file, sound));
        RecordingSeams seams;
        TfrmMain window(publishSettings(m_web->url("refused.xml")), seams);
        waitIdle(window, 1);
        if (nodeLimit > 0)
            window.DatabaseDoc.setNodeLimit(nodeLimit);

        QVERIFY(writeFile(file, hostile));
        window.tbtnRefreshClick();
        waitIdle(window);
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(seams.messages[0].caption, QStringLiteral("Squad directory refused"));
        QVERIFY2(seams.messages[0].text.contains(reason), qPrintable(seams.messages[0].text));
        QCOMPARE(listTexts(window.lbSquads), QStringList{"red"});
        const OfflineCache::Copy copy =
            window.offlineCache().find(m_web->url("refused.xml"), OfflineCache::DirectoryCopy);
        QVERIFY(copy.isValid());
        QCOMPARE(readFile(copy.file), sound);
    }

    void theLogoIsDecodedOncePerPage()
    {
        RecordingSeams seams;
        std::unique_ptr<TfrmMain> window;
        openWindow(window, seams);
        openSquad(*window, m_web->url("squads/red.xml"));
        QCOMPARE(logoSize(*window), QSize(64, 32));
        // Another picture in the file: the squad node shows the logo it had.
        QVERIFY(writeFile("temp.jpg", jpeg(10, 10)));
        window->twSquad->clearSelection();
        QVERIFY(!window->pgInfo->isPageVisible(window->tbshtSquad));
        window->twSquad->setCurrentIndex(window->twSquadModel->index(0, 0));
        QCOMPARE(logoSize(*window), QSize(64, 32));
    }

    // While a slow logo decodes the window is "Loading squad logo...":
    // Details, Database and Refresh are refused, the tree stays live, and
    // the end of the decode brings "Ready" back; a window closed meanwhile
    // never hears of it.
    void whileTheLogoDecodes_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("a member clicked") << "member";
        QTest::newRow("Details again") << "details";
        QTest::newRow("Refresh") << "refresh";
        QTest::newRow("Database") << "database";
        QTest::newRow("the window destroyed") << "destroy";
    }

    void whileTheLogoDecodes()
    {
        QFETCH(QString, action);
        RecordingSeams seams;
        std::unique_ptr<TfrmMain> window;
        openWindow(window, seams);
        window->maxLogoWork = std::numeric_limits<qint64>::max();
        LatencyProbe probe;
        QVERIFY(selectUrl(*window, page("slow.xml")));
        window->tbtnDetailsClick();
        QTRY_VERIFY_WITH_TIMEOUT(window->logoDecoding(), 15000);
        QCOMPARE(window->status(), QStringLiteral("Loading squad logo..."));
        QCOMPARE(seams.cursor, UiSeams::crAppStart);

        if (action == "destroy") {
            window.reset();
            QTest::qWait(3000); // past the decode's end, which must reach no window
            reportLatency("a window destroyed while its logo decodes", probe);
            QVERIFY(probe.worstMs() < kMaxLatencyMs);
            return;
        }
        if (action == "member") {
            const QModelIndex squad = window->twSquadModel->index(0, 0);
            window->twSquad->setCurrentIndex(window->twSquadModel->index(2, 0, squad));
            QVERIFY(window->pgInfo->isPageVisible(window->tbshtMember));
            QCOMPARE(window->stMNick->text(), QStringLiteral("m"));
        } else if (action == "details") {
            QVERIFY(selectUrl(*window, m_web->url("squads/red.xml")));
            window->tbtnDetailsClick();
            QVERIFY(!window->tmrWaitDetail->isActive());
        } else if (action == "refresh") {
            window->tbtnRefreshClick();
            QVERIFY(!window->tmrWaitDatabase->isActive());
        } else if (action == "database") {
            window->tbtnDatabaseClick();
            QVERIFY(window->pgLeft->isPageVisible(window->tbshtDetails));
        }
        QVERIFY(window->logoDecoding());
        QCOMPARE(window->status(), QStringLiteral("Loading squad logo..."));
        QCOMPARE(seams.cursor, UiSeams::crAppStart);
        waitIdle(*window);
        reportLatency(qPrintable("clicks while the logo decodes: " + action), probe);
        QVERIFY(probe.worstMs() < kMaxLatencyMs);
        expectSound(*window, seams);
        QCOMPARE(logoSize(*window), QSize(4096, 4096));
        QCOMPARE(window->stSName->text(), QStringLiteral("Big squad"));
        QVERIFY(seams.messages.isEmpty());
    }
};

QTEST_MAIN(TestHostileInput)
#include "TestHostileInput.moc"
