// Changing the shared directory: the dead-entry removal of the main window and
// the Add Squad dialog, each published to a real FTP server on loopback whose
// root is the folder the directory is read from.

#include <QtTest>

#include "FaultHelpers.h"
#include "GuiFixture.h"
#include "XmlAddress.h"

using namespace FaultHelpers;

// The served root holds the directory and the squad pages.
class TestPublishing : public QObject, private GuiFixture
{
    Q_OBJECT

private:
    // The addresses the directory on the server lists.
    QStringList listed() const
    {
        XmlDocument document;
        QStringList urls;
        if (document.loadXml(readFile(directoryFile()))) {
            const XmlNodeList entries = document.lastChild().childNodes();
            for (int i = 0; i < entries.length(); ++i)
                urls << entries.item(i).attributes().getNamedItem("web").text();
        }
        return urls;
    }

    // Writes the directory, and returns the settings of a window that loads
    // and publishes it.
    AppSettings withDirectory(const QList<QPair<QString, QString>>& entries)
    {
        writeDirectory(entries);
        return settings();
    }

private slots:
    void init() { freshCache(); }

    void initTestCase()
    {
        QVERIFY(foldersValid());
        startFtp();
        writeFile(served("alive.xml"), "<squad nick=\"L\"><name>Living Legends</name></squad>");
        writeFile(served("noname.xml"), "<squad nick=\"N\"/>");
        writeFile(served("team.xml"), "<team><name>Not A Squad</name></team>");
        // A page that is there but loads nothing: the squad is dead.
        writeFile(served("gone.xml"), "<squad nick=\"G\"><member>");
    }

    void aDeadSquadIsRemovedOnceAndTheDirectoryPublished()
    {
        const QString dead = served("gone.xml");
        RecordingSeams seams;
        TfrmMain window(
            withDirectory({{"first", dead}, {"second", dead}, {"alive", served("alive.xml")}}),
            seams);
        waitIdle(window, 3);
        QCOMPARE(listTexts(window.lbSquads), QStringList({"alive", "first", "second"}));

        // Only the first entry with the address goes; published, then
        // reloaded from the directory's address.
        selectRow(window.lbSquads, 1);
        window.tbtnDetailsClick();
        waitIdle(window, 2);
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(seams.messages[0].text, QString("Squad not found.\r\nSquad will be removed from database..."));
        QCOMPARE(seams.messages[0].caption, QString("Information"));
        QCOMPARE(seams.messages[0].icon, UiSeams::Icon::Information);
        QCOMPARE(listTexts(window.lbSquads), QStringList({"alive", "second"}));
        QVERIFY(!QFile::exists("a.tmp"));
        QCOMPARE(seams.cursor, UiSeams::crDefault);
        QVERIFY(seams.cursorHistory.contains(UiSeams::crHourGlass));
        QVERIFY(!window.FtpClient->Connected);

    }

    // The removal takes the entry of the page that was loaded and edits the
    // directory as it is on the server at that moment: a click on another
    // entry while the page loads, or squads added by others since this
    // window loaded the list, are never lost.
    void theRemovalKeysOnTheLoadedPageAndTheServersCopy()
    {
        const QString dead = served("gone.xml");
        RecordingSeams seams;
        TfrmMain window(withDirectory({{"alive", served("alive.xml")}, {"dead", dead}}), seams);
        waitIdle(window, 2);
        // Meanwhile another user adds a squad.
        writeDirectory(
            {{"alive", served("alive.xml")}, {"dead", dead}, {"newcomer", served("noname.xml")}});
        QVERIFY(selectUrl(window, dead));
        window.tbtnDetailsClick();
        QCOMPARE(window.status(), QString("Loading squad details ..."));
        QVERIFY(selectUrl(window, served("alive.xml"))); // a click while the page loads
        window.lbSquadsClick();
        QTRY_COMPARE_WITH_TIMEOUT(seams.messages.size(), 1, 10000);
        waitIdle(window);
        QCOMPARE(listTexts(window.lbSquads), QStringList({"alive", "newcomer"}));
        QVERIFY(!readFile(directoryFile()).contains("gone.xml"));
    }

    // Details during a reconnect load (which runs under "Ready" while the
    // window's copy of the directory is empty): the message says the squad
    // will be removed, and it is.
    void aRemovalDuringAReconnectLoadHappens()
    {
        const QString dead = served("gone.xml");
        RecordingSeams seams;
        TfrmMain window(withDirectory({{"alive", served("alive.xml")}, {"dead", dead}}), seams);
        waitIdle(window, 2);
        ScriptedPeer stalling; // the directory's server, slow to answer
        stalling.expectLine();
        QVERIFY(window.DatabaseDoc.load(QString("http://127.0.0.1:%1/corvanet.xml").arg(stalling.port())));
        QVERIFY(window.DatabaseDoc.lastChild().isNull());
        QVERIFY(selectUrl(window, dead));
        window.tbtnDetailsClick();
        QTRY_COMPARE_WITH_TIMEOUT(seams.messages.size(), 1, 10000);
        QCOMPARE(seams.messages[0].text, QString("Squad not found.\r\nSquad will be removed from database..."));
        waitIdle(window, 1);
        QCOMPARE(listed(), QStringList{served("alive.xml")});
    }

    // While the main window publishes a removal, Add Squad does nothing and
    // Details, Database and Refresh are refused; at the end all is back.
    void nothingElseStartsWhileTheWindowPublishes()
    {
        RecordingSeams seams;
        TfrmMain window(
            withDirectory({{"alive", served("alive.xml")}, {"dead", served("gone.xml")}}), seams);
        waitIdle(window, 2);
        bool tried = false;
        window.publishOptions.lock.pollMs = 10;
        window.FtpClient->OnConnect = [&](QObject*) {
            tried = true;
            QVERIFY(window.publishing());
            QVERIFY(!window.miAdd->isEnabled());
            window.miAddClick(); // would open the dialog: must not
            QVERIFY(!QApplication::activeModalWidget());
            window.tbtnRefreshClick();
            QVERIFY(!window.tmrWaitDatabase->isActive());
        };
        QVERIFY(selectUrl(window, served("gone.xml")));
        window.tbtnDetailsClick();
        QTRY_COMPARE_WITH_TIMEOUT(seams.messages.size(), 1, 10000);
        waitIdle(window, 1);
        QVERIFY(tried);
        QVERIFY(!window.publishing());
    }

    void theDialogAddsASquadAndTheWindowSelectsIt()
    {
        RecordingSeams seams;
        TfrmMain window(withDirectory({{"alive", served("alive.xml")}}), seams);
        waitIdle(window, 1);

        // Already listed: OK without publishing, and selected after the reload.
        const QDateTime published = QFileInfo(directoryFile()).lastModified();
        addSquad(window, served("alive.xml"));
        waitIdle(window);
        QCOMPARE(QFileInfo(directoryFile()).lastModified(), published);
        QCOMPARE(window.SelectedSquadUrl, served("alive.xml"));
        QCOMPARE(selectedTexts(window.lbSquads).size(), 1);

        // New: added under its first name (none, or one under a root not
        // named "squad"), published, reloaded and selected.
        addSquad(window, served("noname.xml"), /*enter=*/true);
        waitIdle(window);
        addSquad(window, served("team.xml"));
        waitIdle(window);
        QCOMPARE(listTexts(window.lbSquads), QStringList({"", "alive", "Not A Squad"}));
        QCOMPARE(selectedTexts(window.lbSquads).value(0), QString("Not A Squad"));
        QVERIFY(readFile(directoryFile()).contains(served("noname.xml").toUtf8()));
        QVERIFY(!QFile::exists("a.tmp"));
        QCOMPARE(seams.cursor, UiSeams::crDefault);
        QVERIFY(seams.messages.isEmpty());

        // A listed address whose page is gone: told, removed and published.
        QFile::remove(served("noname.xml"));
        addSquad(window, served("noname.xml"));
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(seams.messages[0].text, QString("Bad file URL or incorrect data format."));
        QCOMPARE(seams.messages[0].caption, QString("Squad not found"));
        QVERIFY(!readFile(directoryFile()).contains("noname.xml"));
        QCOMPARE(window.status(), QString("Ready"));
        writeFile(served("noname.xml"), "<squad nick=\"N\"/>");

        // The address as typed, "http://": nothing loads, nothing listed.
        addSquad(window, "http://");
        QCOMPARE(seams.messages.size(), 2);
        QVERIFY(!window.tmrWaitDatabase->isActive());
    }

    // A page whose load cannot even start for want of a network says
    // nothing about the squad: it is told as a broken link, and a listed
    // entry stays.
    void aPageThatCannotLoadForWantOfANetworkIsNeverRemoved()
    {
        const QString far = QStringLiteral("http://squads.example.org/far.xml");
        RecordingSeams seams;
        TfrmMain window(withDirectory({{"alive", served("alive.xml")}, {"far", far}}), seams);
        waitIdle(window, 2);
        const QByteArray before = readFile(directoryFile());
        XmlAddress::setInterfaceProbe([] { return false; });
        addSquad(window, far);
        XmlAddress::setInterfaceProbe(nullptr);
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(seams.messages[0].text, QString("This is broken link to squad."));
        QCOMPARE(readFile(directoryFile()), before);
        QCOMPARE(window.status(), QString("Ready"));
    }

    // Escape, the close box and Cancel while the dialog publishes: the
    // dialog stays until the publish has ended, and then closes with OK.
    void theDialogCannotBeClosedWhileItPublishes()
    {
        RecordingSeams seams;
        TfrmMain window(withDirectory({{"alive", served("alive.xml")}}), seams);
        waitIdle(window, 1);
        int attempts = 0;
        window.FtpClient->OnConnect = [&](QObject*) {
            auto* dialog = qobject_cast<TfrmAddSquad*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->reject();
            dialog->close();
            dialog->btnCancel->click();
            QTest::keyClick(dialog, Qt::Key_Escape);
            QVERIFY(dialog->isVisible());
            ++attempts;
        };
        addSquad(window, served("noname.xml"));
        waitIdle(window, 2);
        QCOMPARE(attempts, 1);
        QCOMPARE(window.SelectedSquadUrl, served("noname.xml"));
        QVERIFY(readFile(directoryFile()).contains("noname.xml"));
        QVERIFY(seams.messages.isEmpty());
    }

    void cancelClosingAndASecondOkChangeNothing()
    {
        ScriptedPeer stalling; // reads the request for the page, never answers
        stalling.expectLine().run([] { QApplication::activeModalWidget()->close(); });
        RecordingSeams seams;
        TfrmMain window(withDirectory({{"alive", served("alive.xml")}}), seams);
        waitIdle(window, 1);
        const QByteArray before = readFile(directoryFile());

        runAddSquad(window, [](TfrmAddSquad& dialog) {
            dialog.edtUrl->setText("whatever");
            dialog.btnCancel->click();
        });
        // Closed while its OK waits for the page: abandoned.
        addSquad(window, QString("http://127.0.0.1:%1/s.xml").arg(stalling.port()));
        QVERIFY(stalling.finished());
        QCOMPARE(readFile(directoryFile()), before);
        QVERIFY(!window.tmrWaitDatabase->isActive());
        QCOMPARE(seams.cursor, UiSeams::crDefault);
        QVERIFY(seams.messages.isEmpty());

        // Two OKs in a row: the second arrives while the first waits and is
        // ignored, so the squad is added once.
        runAddSquad(window, [this](TfrmAddSquad& dialog) {
            dialog.edtUrl->setText(served("noname.xml"));
            QTimer::singleShot(0, &dialog, [&dialog] { dialog.btnOK->click(); });
            dialog.btnOK->click();
        });
        waitIdle(window);
        QCOMPARE(readFile(directoryFile()).count("noname.xml"), 1);
    }
};

QTEST_MAIN(TestPublishing)
#include "TestPublishing.moc"
