// Cancel during each kind of network wait: the directory load, a squad page,
// a logo fetch and a publish, by the status bar's button and by Esc. The
// wait ends at once, the window is "Ready", nothing is removed or published,
// and a second Cancel does nothing.

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>

#include "FaultHelpers.h"
#include "GuiFixture.h"
#include "PageArea.h"
#include "ScriptedPeer.h"
#include "WaitControls.h"

using namespace FaultHelpers;

// The served root holds the directory and the squad pages.
class TestCancel : public QObject, private GuiFixture
{
    Q_OBJECT

private:
    // Presses Cancel the way the row of the table says.
    static void cancel(TfrmMain& window, bool byButton)
    {
        if (byButton) {
            QPushButton* button = window.waitControls()->cancelButton();
            QVERIFY(button->isVisibleTo(&window) && button->isEnabled());
            button->click();
        } else {
            QTest::keyClick(&window, Qt::Key_Escape);
        }
    }

private slots:
    void init() { freshCache(); }

    void initTestCase()
    {
        QVERIFY(foldersValid());
        startFtp();
        writeFile(served("gone.xml"), "<squad nick=\"G\"><member>"); // loads nothing: dead
    }

    void endsEachKindOfLoad_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("byButton");
        for (const char* kind : {"directory", "page", "logo"}) {
            QTest::addRow("%s, button", kind) << QString(kind) << true;
            QTest::addRow("%s, Esc", kind) << QString(kind) << false;
        }
    }

    // The server reads the request and never answers; Cancel comes while the
    // window waits for it.
    void endsEachKindOfLoad()
    {
        QFETCH(QString, kind);
        QFETCH(bool, byButton);
        ScriptedPeer stalling;
        QElapsedTimer clock;
        bool cancelled = false;
        TfrmMain* shown = nullptr;
        stalling.expectLine().run([&] {
            clock.start();
            cancel(*shown, byButton);
            cancelled = true;
        });
        const QString stalled = QString("http://127.0.0.1:%1/x").arg(stalling.port());
        writeFile(served("logo.xml"), squadPage("LOGO", {stalled + ".jpg"}));

        RecordingSeams seams;
        AppSettings settings;
        settings.directoryUrl = kind == "directory" ? stalled + ".xml" : directoryFile();
        writeDirectory({{"squad", kind == "page" ? stalled + ".xml" : served("logo.xml")}});
        TfrmMain window(settings, seams);
        shown = &window;
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        if (kind != "directory") {
            waitIdle(window, 1);
            selectRow(window.lbSquads, 0);
            window.tbtnDetailsClick();
        }
        QTRY_VERIFY_WITH_TIMEOUT(cancelled, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(window.isReady(), 2000);
        // A latency probe with a generous bound: Cancel promises 200 ms.
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(seams.cursor, UiSeams::crDefault);
        QVERIFY(!window.tmrWaitDatabase->isActive() && !window.tmrWaitDetail->isActive());
        QVERIFY(!window.waitControls()->cancelButton()->isVisibleTo(&window));
        QVERIFY(seams.messages.isEmpty()); // a cancel is no failure to report

        // A second Cancel, while nothing waits, changes nothing.
        window.cancelWait();
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(window.isReady());
        if (kind == "page") {
            // The squad is still listed, and Details works again.
            QCOMPARE(listCount(window.lbSquads), 1);
            QVERIFY(readFile(directoryFile()).contains("/x.xml"));
            window.tbtnDetailsClick();
            QCOMPARE(window.status(), QString("Loading squad details ..."));
            window.cancelWait();
        }
        if (kind == "logo") {
            QCOMPARE(stalling.connectionCount(), 1); // no second address tried
            QVERIFY(window.pgLeft->isPageVisible(window.tbshtDetails));
        }
        if (kind == "directory") {
            window.tbtnRefreshClick(); // the button works again
            QCOMPARE(window.status(), QString("Loading database..."));
            window.cancelWait();
        }
        QVERIFY(window.isReady());
    }

    // Publishing stops at its next step when Cancel comes before the upload:
    // the directory is as it was and a later publish goes through.
    void aPublishCancelledBeforeItsUploadChangesNothing()
    {
        writeDirectory({{"dead", served("gone.xml")}});
        const QByteArray before = readFile(directoryFile());
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        waitIdle(window, 1);
        int cancels = 0;
        window.FtpClient->OnConnect = [&](QObject*) {
            window.cancelWait();
            window.cancelWait(); // a second one is the same cancel
            ++cancels;
        };
        openSquad(window, served("gone.xml"));
        QCOMPARE(cancels, 1);
        QCOMPARE(readFile(directoryFile()), before);
        QCOMPARE(seams.messages.size(), 1); // "Squad not found", no error
        QVERIFY(!window.publishing());
        QCOMPARE(seams.cursor, UiSeams::crDefault);

        // Nothing is left behind that stops the next publish (the lock).
        window.FtpClient->OnConnect = nullptr;
        window.tbtnDatabaseClick();
        openSquad(window, served("gone.xml"));
        QVERIFY(!readFile(directoryFile()).contains("gone.xml"));
    }

    // Once the upload has begun the publish runs to its end; Cancel is off
    // and the status bar says why, with the bytes sent.
    void aPublishWhoseUploadHasBegunIsNotCancelled()
    {
        writeDirectory({{"dead", served("gone.xml")}, {"alive", served("logo.xml")}});
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        waitIdle(window, 2);
        const auto progress = window.FtpClient->OnPacketSent;
        bool refused = false;
        window.FtpClient->OnPacketSent = [&](QObject* sender) {
            progress(sender);
            window.cancelWait();
            WaitControls* wait = window.waitControls();
            refused =
                !wait->cancelButton()->isEnabled() && !wait->progressLabel()->text().isEmpty();
        };
        QVERIFY(selectUrl(window, served("gone.xml")));
        window.tbtnDetailsClick();
        QTRY_VERIFY_WITH_TIMEOUT(
            seams.messages.size() == 1 && idle(window) && listCount(window.lbSquads) == 1, 15000);
        QVERIFY(refused);
        QVERIFY(!readFile(directoryFile()).contains("gone.xml"));
    }
};

QTEST_MAIN(TestCancel)
#include "TestCancel.moc"
