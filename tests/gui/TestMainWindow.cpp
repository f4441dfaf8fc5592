// The main window driven offscreen: its states, status texts, timers, buttons,
// cursor and message boxes, the squad list and the squad tree. Documents are
// local files, so every load is real but quick.

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QPushButton>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QtTest>

#include "AboutFrm.h"
#include "MainFrm.h"
#include "PageArea.h"
#include "RecordingSeams.h"

namespace {

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QStringList listTexts(QListWidget* list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

QListWidgetItem* itemWithUrl(QListWidget* list, const QString& url)
{
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->data(TfrmMain::SquadUrlRole).toString() == url)
            return list->item(i);
    return nullptr;
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_savedCwd;

    QString path(const QString& name) const { return m_dir.filePath(name); }

    // A directory whose entries point at pages in the temporary folder.
    QByteArray directory(const QList<QPair<QString, QString>>& entries) const
    {
        QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<squads>\n";
        for (const auto& [nick, page] : entries)
            xml += "  <squad nick=\"" + nick.toUtf8() + "\" web=\"" + path(page).toUtf8() + "\"/>\n";
        return xml + "</squads>\n";
    }

    AppSettings settingsFor(const QString& directoryFile) const
    {
        AppSettings settings;
        settings.directoryUrl = path(directoryFile);
        return settings;
    }

    void waitReady(TfrmMain& window)
    {
        QTRY_VERIFY_WITH_TIMEOUT(!window.tmrWaitDatabase->isActive() && !window.tmrWaitDetail->isActive()
                                     && window.status() == QLatin1String("Ready"),
                                 10000);
    }

    void selectEntry(TfrmMain& window, const QString& page)
    {
        QListWidgetItem* item = itemWithUrl(window.lbSquads, path(page));
        QVERIFY(item);
        window.lbSquads->setCurrentItem(item); // a click: selection changes, lbSquadsClick runs
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_savedCwd = QDir::currentPath();
        QDir::setCurrent(m_dir.path());
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
        writeFile(path("broken.xml"), "<squad nick=\"B\"><member>");
    }

    void cleanupTestCase() { QDir::setCurrent(m_savedCwd); }

    void startsOfflineThenRetriesQuietlyUntilTheDirectoryLoads()
    {
        QFile::remove(path("late.xml"));
        RecordingSeams seams;
        TfrmMain window(settingsFor("late.xml"), seams);

        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(seams.messages[0].text, QString("Can't connect to internet...\r\nAttempts at connect will continues"));
        QCOMPARE(seams.messages[0].caption, QString("Connection failed"));
        QCOMPARE(seams.messages[0].icon, UiSeams::Icon::Warning);
        QCOMPARE(window.status(), QString("Connecting to internet..."));
        QVERIFY(window.tmrTestConnection->isActive());
        QVERIFY(!window.tbtnDatabase->isEnabled());
        QVERIFY(!window.tbtnDetails->isEnabled());
        QVERIFY(!window.miAdd->isEnabled());
        QVERIFY(!window.pgLeft->isPageVisible(window.tbshtDatabase));

        // A few failed retries change nothing and show nothing.
        QTest::qWait(2200);
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(window.status(), QString("Connecting to internet..."));

        writeFile(path("late.xml"), directory({{"b", "alpha.xml"}}));
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
        writeFile(path("dir.xml"), directory({{"b", "alpha.xml"},
                                              {"A", "empty.xml"},
                                              {"c", "notsquad.xml"},
                                              {"Ärger", "comment.xml"},
                                              {"A", "broken.xml"}}));
        RecordingSeams seams;
        TfrmMain window(settingsFor("dir.xml"), seams);
        QCOMPARE(window.status(), QString("Loading database..."));
        QCOMPARE(seams.cursor, UiSeams::crAppStart);
        waitReady(window);
        QCOMPARE(seams.cursor, UiSeams::crDefault);
        QVERIFY(seams.messages.isEmpty());

        QCOMPARE(listTexts(window.lbSquads), QStringList({"A", "A", "Ärger", "b", "c"}));
        QVERIFY(window.lbSquads->selectedItems().isEmpty());
        QVERIFY(!window.tbtnDetails->isEnabled());
        QVERIFY(window.tbtnDatabase->isEnabled());
        QVERIFY(window.miAdd->isEnabled());

        selectEntry(window, "notsquad.xml");
        QCOMPARE(window.SelectedSquadUrl, path("notsquad.xml"));
        QVERIFY(window.tbtnDetails->isEnabled());

        window.tbtnRefreshClick();
        QCOMPARE(window.status(), QString("Loading database..."));
        QVERIFY(!window.tbtnDetails->isEnabled());
        // The old list stays until the new one has loaded.
        QCOMPARE(window.lbSquads->count(), 5);
        waitReady(window);
        QCOMPARE(window.lbSquads->selectedItems().size(), 1);
        QCOMPARE(window.lbSquads->selectedItems()[0]->text(), QString("c"));
        QVERIFY(!window.tbtnDetails->isEnabled()); // a fill is no click

        // Anything but exactly "Ready" refuses the three tool-button actions.
        window.setStatus("ready");
        window.tbtnRefreshClick();
        window.tbtnDetailsClick();
        QVERIFY(!window.tmrWaitDatabase->isActive());
        QVERIFY(!window.tmrWaitDetail->isActive());
        window.setStatus("Ready");
    }

    // Shown on screen as a person meets it: the keys reach the list as soon as
    // it shows, and a click on the entry that Refresh selected again counts.
    void theListTakesTheFocusAndAClickOnTheReselectedEntryCounts()
    {
        writeFile(path("dir-focus.xml"), directory({{"a", "alpha.xml"}, {"b", "empty.xml"}}));
        RecordingSeams seams;
        TfrmMain window(settingsFor("dir-focus.xml"), seams);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        waitReady(window);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.lbSquads));

        QTest::keyClick(window.lbSquads, Qt::Key_Down);
        QVERIFY(window.tbtnDetails->isEnabled());
        window.tbtnDetailsClick();
        waitReady(window);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.twSquad));
        window.tbtnDatabaseClick();
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.lbSquads));

        window.tbtnRefreshClick();
        waitReady(window);
        QCOMPARE(window.lbSquads->selectedItems().size(), 1);
        QVERIFY(!window.tbtnDetails->isEnabled());
        QListWidgetItem* selected = window.lbSquads->selectedItems()[0];
        QTest::mouseClick(window.lbSquads->viewport(), Qt::LeftButton, {},
                          window.lbSquads->visualItemRect(selected).center());
        QVERIFY(window.tbtnDetails->isEnabled());
        QCOMPARE(window.SelectedSquadUrl, selected->data(TfrmMain::SquadUrlRole).toString());
    }

    void aDirectoryThatLoadsNothingLeavesTheWindowAsItWas()
    {
        writeFile(path("bad-dir.xml"), "<squads><squad nick=\"x\" web=\"y\"/>");
        RecordingSeams seams;
        TfrmMain window(settingsFor("bad-dir.xml"), seams);
        waitReady(window);
        QVERIFY(seams.messages.isEmpty());
        QVERIFY(!window.pgLeft->isPageVisible(window.tbshtDatabase));
        QVERIFY(!window.tbtnDatabase->isEnabled());
        QVERIFY(!window.miAdd->isEnabled());
        QCOMPARE(seams.cursor, UiSeams::crDefault);

        // A directory whose last node is a comment lists nothing, but shows the list.
        writeFile(path("bad-dir.xml"), "<squads><squad nick=\"x\" web=\"y\"/></squads><!-- c -->");
        window.tbtnRefreshClick();
        waitReady(window);
        QVERIFY(window.pgLeft->isPageVisible(window.tbshtDatabase));
        QCOMPARE(window.lbSquads->count(), 0);
    }

    void showsASquadAsATreeWithDetailPages()
    {
        writeFile(path("dir2.xml"), directory({{"alpha", "alpha.xml"}, {"empty", "empty.xml"}}));
        RecordingSeams seams;
        TfrmMain window(settingsFor("dir2.xml"), seams);
        QAbstractItemModelTester tester(window.twSquadModel, QAbstractItemModelTester::FailureReportingMode::QtTest);
        waitReady(window);

        selectEntry(window, "alpha.xml");
        window.tbtnDetailsClick();
        QCOMPARE(window.status(), QString("Loading squad details ..."));
        QVERIFY(!window.miAdd->isEnabled());
        QCOMPARE(TfrmMain::CurrentSquadUrl, path("alpha.xml"));
        waitReady(window);
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
        QFile::remove("temp.jpg");
        writeFile("temp.jpg", "not a picture");
        window.tbtnDatabaseClick();
        QVERIFY(window.pgLeft->isPageVisible(window.tbshtDatabase));
        QVERIFY(!window.pgInfo->isPageVisible(window.tbshtSquad));
        QVERIFY(!QFile::exists("temp.jpg"));
        QVERIFY(window.miAdd->isEnabled());

        // A page without members: the squad node alone, selected and expanded.
        selectEntry(window, "empty.xml");
        window.tbtnDetailsClick();
        waitReady(window);
        QCOMPARE(window.twSquadModel->topLevelCount(), 1);
        QCOMPARE(window.twSquadModel->rowCount(window.twSquadModel->index(0, 0)), 0);
        QVERIFY(window.pgInfo->isPageVisible(window.tbshtSquad));
        QCOMPARE(window.stSName->text(), QString());
    }

    void oddSquadPagesGiveEmptyNodesButKeepTheirMembers()
    {
        writeFile(path("dir3.xml"), directory({{"t", "notsquad.xml"}, {"c", "comment.xml"}}));
        RecordingSeams seams;
        TfrmMain window(settingsFor("dir3.xml"), seams);
        waitReady(window);

        selectEntry(window, "notsquad.xml");
        window.tbtnDetailsClick();
        waitReady(window);
        QModelIndex top = window.twSquadModel->index(0, 0);
        QCOMPARE(top.data().toString(), QString());
        QCOMPARE(window.twSquadModel->rowCount(top), 1);
        QCOMPARE(window.twSquadModel->index(0, 0, top).data().toString(), QString("M"));
        QVERIFY(!window.pgInfo->isPageVisible(window.tbshtSquad));
        QVERIFY(!window.pgInfo->isPageVisible(window.tbshtMember));

        window.tbtnDatabaseClick();
        selectEntry(window, "comment.xml");
        window.tbtnDetailsClick();
        waitReady(window);
        top = window.twSquadModel->index(0, 0);
        QCOMPARE(top.data().toString(), QString());
        QCOMPARE(window.twSquadModel->rowCount(top), 0);
        QVERIFY(seams.messages.isEmpty());
    }

    void brokenAndDeadSquadPagesAreReported()
    {
        writeFile(path("dir4.xml"), directory({{"broken", "broken.xml"}}) .replace("</squads>",
                  "<squad nick=\"gopher\" web=\"gopher:/nowhere\"/></squads>"));
        RecordingSeams seams;
        TfrmMain window(settingsFor("dir4.xml"), seams);
        waitReady(window);

        // A page address whose load cannot start: a message, and nothing else.
        QListWidgetItem* gopher = itemWithUrl(window.lbSquads, "gopher:/nowhere");
        QVERIFY(gopher);
        window.lbSquads->setCurrentItem(gopher);
        window.tbtnDetailsClick();
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(seams.messages[0].text, QString("This is broken link to squad."));
        QCOMPARE(seams.messages[0].caption, QString("Connection failed"));
        QCOMPARE(window.status(), QString("Ready"));
        QCOMPARE(seams.cursor, UiSeams::crDefault);
        QVERIFY(!window.tmrWaitDetail->isActive());

        // A page that loads nothing: "Squad not found."
        selectEntry(window, "broken.xml");
        window.tbtnDetailsClick();
        // (Publishing the directory then fails: this window has no FTP account.)
        QTRY_VERIFY_WITH_TIMEOUT(seams.messages.size() >= 2, 5000);
        QCOMPARE(seams.messages[1].text, QString("Squad not found.\r\nSquad will be removed from database..."));
        QCOMPARE(seams.messages[1].caption, QString("Information"));
        QCOMPARE(seams.messages[1].icon, UiSeams::Icon::Information);
        QCOMPARE(seams.cursor, UiSeams::crDefault);
    }

    void linksHighlightInsideTheirBorderAndResetOverThePage()
    {
        writeFile(path("dir5.xml"), directory({{"alpha", "alpha.xml"}}));
        RecordingSeams seams;
        TfrmMain window(settingsFor("dir5.xml"), seams);
        window.resize(603, 528);
        waitReady(window);
        QLabel* link = window.stSEmail;
        link->resize(100, 21);

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
        TfrmMain window(settingsFor("dir5.xml"), seams);
        bool checked = false;
        QTimer::singleShot(0, this, [&] {
            auto* about = qobject_cast<TfrmAbout*>(QApplication::activeModalWidget());
            QVERIFY(about);
            QVERIFY(about->windowFlags() & Qt::FramelessWindowHint);
            QCOMPARE(about->size(), QSize(275, 134));
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
