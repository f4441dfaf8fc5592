// The main window driven offscreen: its states, status texts, timers, buttons,
// cursor and message boxes, the squad list and the squad tree. Documents are
// local files, so every load is real but quick.

#include <QAbstractItemModelTester>
#include <QToolButton>
#include <QTreeView>

#include "AboutFrm.h"
#include "FaultHelpers.h"
#include "PageArea.h"

using namespace FaultHelpers;

class TestMainWindow : public QObject {
    Q_OBJECT

private:
    WorkingDir m_dir;

    QString path(const QString& name) const { return m_dir.filePath(name); }

    AppSettings settingsFor(const QString& directoryFile) const
    {
        AppSettings settings;
        settings.directoryUrl = path(directoryFile);
        return settings;
    }

    // Writes a directory whose entries point at pages in the temporary
    // folder (an address with a scheme stays as it is), and returns the
    // settings of a window that loads it.
    AppSettings withDirectory(const QList<QPair<QString, QString>>& entries)
    {
        QList<QPair<QString, QString>> paths;
        for (const auto& [nick, page] : entries)
            paths.append({nick, page.contains(':') ? page : path(page)});
        writeFile(path("dir.xml"), directory(paths));
        return settingsFor("dir.xml");
    }

    // Shows the squad list, where page.xml was selected, and opens its squad.
    void showSquad(TfrmMain& window, const QString& page)
    {
        window.tbtnDatabaseClick();
        openSquad(window, path(page));
    }

private slots:
    void init() { freshCache(); }

    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        writeFile(path("alpha.xml"), R"(<?xml version="1.0"?>
<squad nick="ALF">
  <name>Alpha Wing</name>
  <email>alpha@example.com</email>
  <web>www.example.com</web>
  <title>first</title>
  <picture>logo.png</picture>
  <title>
     second
  </title>
  <member nick="one" id="11"><name>First Name</name><name>Other Name</name><email>one@example.com</email>
    <icq>123</icq><remark>pilot</remark></member>
  <member nick="two" id="12"><email>two@example.com</email></member>
  <group><member nick="deep" id="13"><name>Hidden</name></member></group>
  <Member nick="case" id="14"><name>Case</name></Member>
</squad>)");
        writeFile(path("empty.xml"), "<squad nick=\"E\"/>");
        writeFile(path("notsquad.xml"), "<team nick=\"T\"><member nick=\"m\" id=\"1\"><name>M</name></member></team>");
        writeFile(path("comment.xml"), "<squad nick=\"C\"><member nick=\"m\" id=\"1\"/></squad><!-- after -->");
    }

    void startsOfflineThenRetriesQuietlyUntilTheDirectoryLoads()
    {
        RecordingSeams seams;
        TfrmMain window(settingsFor("late.xml"), seams);

        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(seams.messages[0].text, QString("Can't connect to internet...\r\nAttempts at connect will continues"));
        QCOMPARE(seams.messages[0].caption, QString("Connection failed"));
        QCOMPARE(seams.messages[0].icon, UiSeams::Icon::Warning);
        QCOMPARE(window.status(), QString("Connecting to internet..."));
        QVERIFY(window.tmrTestConnection->isActive());
        QVERIFY(!window.tbtnDatabase->isEnabled() && !window.tbtnDetails->isEnabled());
        QVERIFY(!window.miAdd->isEnabled());
        QVERIFY(!window.pgLeft->isPageVisible(window.tbshtDatabase));

        // A few failed retries change nothing and show nothing.
        QTest::qWait(2200);
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(window.status(), QString("Connecting to internet..."));

        writeFile(path("late.xml"), directory({{"b", path("alpha.xml")}}));
        // The reconnect load runs under "Ready", without a busy cursor.
        QTRY_VERIFY_WITH_TIMEOUT(!window.tmrTestConnection->isActive(), 5000);
        QCOMPARE(window.status(), QString("Ready"));
        QVERIFY(window.tbtnDatabase->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(window.pgLeft->isPageVisible(window.tbshtDatabase), 5000);
        QVERIFY(window.miAdd->isEnabled());
        QCOMPARE(listTexts(window.lbSquads), QStringList({"b"}));
        QCOMPARE(seams.messages.size(), 1);
        QVERIFY(!seams.cursorHistory.contains(UiSeams::crAppStart));
    }

    void listsSquadsSortedWithoutRegardToCaseAndReselectsAfterRefresh()
    {
        RecordingSeams seams;
        TfrmMain window(withDirectory({{"b", "alpha.xml"}, {"A", "empty.xml"}, {"c", "notsquad.xml"},
                                       {"Ärger", "comment.xml"}, {"A", "none.xml"},
                                       {"gopher", "gopher:/nowhere"}}),
                        seams);
        QCOMPARE(window.status(), QString("Loading database..."));
        QCOMPARE(seams.cursor, UiSeams::crAppStart);
        waitIdle(window);
        QCOMPARE(seams.cursor, UiSeams::crDefault);
        QVERIFY(seams.messages.isEmpty());

        QCOMPARE(listTexts(window.lbSquads), QStringList({"A", "A", "Ärger", "b", "c", "gopher"}));
        QVERIFY(selectedTexts(window.lbSquads).isEmpty());
        QVERIFY(!window.tbtnDetails->isEnabled());
        QVERIFY(window.tbtnDatabase->isEnabled() && window.miAdd->isEnabled());

        QVERIFY(selectUrl(window, path("notsquad.xml")));
        QVERIFY(window.tbtnDetails->isEnabled());

        window.tbtnRefreshClick();
        QCOMPARE(window.status(), QString("Loading database..."));
        QVERIFY(!window.tbtnDetails->isEnabled());
        QCOMPARE(listCount(window.lbSquads), 6); // the old list stays until the new one has loaded
        waitIdle(window);
        QCOMPARE(selectedTexts(window.lbSquads).size(), 1);
        QCOMPARE(selectedTexts(window.lbSquads)[0], QString("c"));
        QVERIFY(!window.tbtnDetails->isEnabled()); // a fill is no click

        // Anything but exactly "Ready" refuses the three tool-button actions.
        window.setStatus("ready");
        window.tbtnRefreshClick();
        window.tbtnDetailsClick();
        QVERIFY(!window.tmrWaitDatabase->isActive() && !window.tmrWaitDetail->isActive());

        // A page address whose load cannot even start: a message, and nothing else.
        window.setStatus("Ready");
        QVERIFY(selectUrl(window, "gopher:/nowhere"));
        window.tbtnDetailsClick();
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(seams.messages[0].text, QString("This is broken link to squad."));
        QCOMPARE(seams.messages[0].caption, QString("Connection failed"));
        QVERIFY(idle(window));
        QCOMPARE(seams.cursor, UiSeams::crDefault);
    }

    // Shown on screen as a person meets it: the keys reach the list as soon as
    // it shows, and a click on the entry that Refresh selected again counts.
    void theListTakesTheFocusAndAClickOnTheReselectedEntryCounts()
    {
        RecordingSeams seams;
        TfrmMain window(withDirectory({{"a", "alpha.xml"}, {"b", "empty.xml"}}), seams);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        waitIdle(window);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.lbSquads));

        QTest::keyClick(window.lbSquads, Qt::Key_Down);
        QVERIFY(window.tbtnDetails->isEnabled());
        window.tbtnDetailsClick();
        waitIdle(window);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.twSquad));
        window.tbtnDatabaseClick();
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.lbSquads));

        window.tbtnRefreshClick();
        waitIdle(window);
        QCOMPARE(selectedTexts(window.lbSquads).size(), 1);
        QVERIFY(!window.tbtnDetails->isEnabled());
        const QModelIndex selected = window.lbSquads->selectionModel()->selectedIndexes().value(0);
        QTest::mouseClick(window.lbSquads->viewport(), Qt::LeftButton, {},
                          window.lbSquads->visualRect(selected).center());
        QVERIFY(window.tbtnDetails->isEnabled());
        QCOMPARE(window.SelectedSquadUrl, selected.data(TfrmMain::SquadUrlRole).toString());
    }

    void aDirectoryThatLoadsNothingLeavesTheWindowAsItWas()
    {
        writeFile(path("bad-dir.xml"), "<squads><squad nick=\"x\" web=\"y\"/>");
        RecordingSeams seams;
        TfrmMain window(settingsFor("bad-dir.xml"), seams);
        waitIdle(window);
        QVERIFY(seams.messages.isEmpty());
        QVERIFY(!window.pgLeft->isPageVisible(window.tbshtDatabase));
        QVERIFY(!window.tbtnDatabase->isEnabled() && !window.miAdd->isEnabled());
        QCOMPARE(seams.cursor, UiSeams::crDefault);

        // A directory whose last node is a comment lists nothing, but shows the list.
        writeFile(path("bad-dir.xml"), "<squads><squad nick=\"x\" web=\"y\"/></squads><!-- c -->");
        window.tbtnRefreshClick();
        waitIdle(window, 0);
        QVERIFY(window.pgLeft->isPageVisible(window.tbshtDatabase));
    }

    void showsASquadAsATreeWithDetailPages()
    {
        RecordingSeams seams;
        TfrmMain window(withDirectory({{"alpha", "alpha.xml"}, {"empty", "empty.xml"},
                                       {"t", "notsquad.xml"}, {"c", "comment.xml"}}),
                        seams);
        QAbstractItemModelTester tester(window.twSquadModel, QAbstractItemModelTester::FailureReportingMode::QtTest);
        waitIdle(window);

        QVERIFY(selectUrl(window, path("alpha.xml")));
        window.tbtnDetailsClick();
        QCOMPARE(window.status(), QString("Loading squad details ..."));
        QVERIFY(!window.miAdd->isEnabled());
        QCOMPARE(TfrmMain::CurrentSquadUrl, path("alpha.xml"));
        waitIdle(window);
        QCOMPARE(seams.cursor, UiSeams::crDefault);

        QVERIFY(window.pgLeft->isPageVisible(window.tbshtDetails));
        QVERIFY(!window.pgLeft->isPageVisible(window.tbshtDatabase));
        QCOMPARE(window.twSquadModel->topLevelCount(), 1);
        const QModelIndex squad = window.twSquadModel->index(0, 0);
        QCOMPARE(squad.data().toString(), QString("ALF"));
        QVERIFY(window.twSquad->isExpanded(squad));
        // Only direct "member" children, exactly so named; the first name labels.
        QCOMPARE(window.twSquadModel->rowCount(squad), 2);
        QCOMPARE(window.twSquadModel->index(0, 0, squad).data().toString(), QString("First Name"));
        QCOMPARE(window.twSquadModel->index(1, 0, squad).data().toString(), QString());

        QVERIFY(window.pgInfo->isPageVisible(window.tbshtSquad));
        QCOMPARE(window.stSNick->text(), QString("ALF"));
        QCOMPARE(window.stSName->text(), QString("Alpha Wing"));
        QCOMPARE(window.stSEmail->text(), QString("alpha@example.com"));
        QCOMPARE(window.stSWeb->text(), QString("www.example.com"));
        QCOMPARE(window.stSTitle->text(), QString("second")); // the last, trimmed

        window.twSquad->setCurrentIndex(window.twSquadModel->index(0, 0, squad));
        QVERIFY(window.pgInfo->isPageVisible(window.tbshtMember));
        QCOMPARE(window.stMNick->text(), QString("one"));
        QCOMPARE(window.stMID->text(), QString("11"));
        QCOMPARE(window.stMName->text(), QString("Other Name")); // the last name
        QCOMPARE(window.stMICQ->text(), QString("123"));
        QCOMPARE(window.stMEmail->text(), QString("one@example.com"));
        QCOMPARE(window.stMDescription->text(), QString("pilot"));

        // With "Squad Details" disabled no page shows, whatever is selected.
        window.tbtnDetails->setEnabled(false);
        window.twSquad->setCurrentIndex(squad);
        QVERIFY(!window.pgInfo->isPageVisible(window.tbshtSquad));
        QVERIFY(!window.pgInfo->isPageVisible(window.tbshtMember));
        window.tbtnDetails->setEnabled(true);

        // Database goes back to the list, with the detail pages hidden.
        writeFile("temp.jpg", "not a picture");
        window.tbtnDatabaseClick();
        QVERIFY(window.pgLeft->isPageVisible(window.tbshtDatabase));
        QVERIFY(!window.pgInfo->isPageVisible(window.tbshtSquad));
        QVERIFY(!QFile::exists("temp.jpg"));
        QVERIFY(window.miAdd->isEnabled());

        // A page without members: the squad node alone, selected and expanded.
        showSquad(window, "empty.xml");
        QCOMPARE(window.twSquadModel->topLevelCount(), 1);
        QCOMPARE(window.twSquadModel->rowCount(window.twSquadModel->index(0, 0)), 0);
        QVERIFY(window.pgInfo->isPageVisible(window.tbshtSquad));
        QCOMPARE(window.stSName->text(), QString());

        // A root not named "squad" gives an empty node that keeps its members,
        // and no page; a page ending in a comment gives an empty node alone.
        showSquad(window, "notsquad.xml");
        QModelIndex top = window.twSquadModel->index(0, 0);
        QCOMPARE(top.data().toString(), QString());
        QCOMPARE(window.twSquadModel->rowCount(top), 1);
        QCOMPARE(window.twSquadModel->index(0, 0, top).data().toString(), QString("M"));
        QVERIFY(!window.pgInfo->isPageVisible(window.tbshtSquad));
        QVERIFY(!window.pgInfo->isPageVisible(window.tbshtMember));
        showSquad(window, "comment.xml");
        top = window.twSquadModel->index(0, 0);
        QCOMPARE(top.data().toString(), QString());
        QCOMPARE(window.twSquadModel->rowCount(top), 0);
        QVERIFY(seams.messages.isEmpty());
    }

    void linksHighlightInsideTheirBorderAndResetOverThePage()
    {
        RecordingSeams seams;
        TfrmMain window(withDirectory({}), seams);
        waitIdle(window); // the default cursor again
        QLabel* link = window.stSEmail;
        link->setFixedSize(100, 21); // the border rule in the design's pixels

        window.stSEmailMouseMove(link, 1, 5); // on the outer border: nothing yet
        QCOMPARE(window.SavedCursor, qint16(1));
        window.stSEmailMouseMove(link, 5, 17); // height - 4: inside
        QCOMPARE(window.SavedCursor, qint16(UiSeams::crDefault));
        QCOMPARE(seams.cursor, UiSeams::crHandPoint);
        QVERIFY(link->font().bold());

        // A second link does not highlight while the first is.
        window.stSEmailMouseMove(window.stSWeb, 10, 10);
        QVERIFY(!window.stSWeb->font().bold());

        // A busy cursor set meanwhile stays; the links become plain anyway.
        seams.setScreenCursor(UiSeams::crHourGlass);
        window.tbshtSquadMouseMove(window.tbshtSquad, 0, 0);
        QCOMPARE(seams.cursor, UiSeams::crHourGlass);
        QVERIFY(!link->font().bold());
        QCOMPARE(window.SavedCursor, qint16(1));

        window.stSEmailMouseMove(link, 5, 5);
        window.tbshtSquadMouseMove(window.tbshtMember, 0, 0);
        QCOMPARE(seams.cursor, UiSeams::crHourGlass); // restored to what it was

        link->setText("someone@example.com");
        window.stSEmailClick(link);
        window.stSWeb->setText("www.example.com");
        window.stSWebClick(window.stSWeb);
        link->setText(QString());
        window.stSEmailClick(link);
        QCOMPARE(seams.opened, QStringList({"mailto:someone@example.com", "www.example.com", "mailto:"}));
    }

    void theAboutBoxIsBorderlessAndClosesWithOk()
    {
        RecordingSeams seams;
        TfrmMain window(withDirectory({}), seams);
        bool checked = false;
        QTimer::singleShot(0, this, [&] {
            auto* about = qobject_cast<TfrmAbout*>(QApplication::activeModalWidget());
            QVERIFY(about);
            QVERIFY(about->windowFlags() & Qt::FramelessWindowHint);
            // Fixed in size, which follows from its font.
            QCOMPARE(about->minimumSize(), about->maximumSize());
            QCOMPARE(about->btnOK->text(), QString("OK"));
            checked = true;
            about->btnOK->click();
        });
        window.miAboutClick();
        QVERIFY(checked);
    }
};

QTEST_MAIN(TestMainWindow)
#include "TestMainWindow.moc"
