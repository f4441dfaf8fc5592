// System -> Removed squads: the squads the directory's kept history shows
// removed, restored one at a time through the lock as Add Squad publishes,
// against a real FTP server on loopback; what the keyboard and a screen
// reader meet; closing the dialog, a second Restore and destroying the
// window while it loads or publishes; and the window's one notice when the
// account keeps no history.

#include <QAccessible>
#include <QHeaderView>
#include <QTreeView>

#include "DirectoryPublisher.h"
#include "FaultHelpers.h"
#include "GuiFixture.h"
#include "PublishSettings.h"
#include "RemovedSquadsFrm.h"
#include "RemovedSquadsModel.h"

using namespace FaultHelpers;

class TestRemovedSquads : public QObject, private GuiFixture
{
    Q_OBJECT

private:
    // The directory as the history begins, and what others removed since.
    void prepare(const QList<QPair<QString, QString>>& entries, const QStringList& removedSince)
    {
        QDir(served("corvanet.xml.history")).removeRecursively();
        writeDirectory(entries);
        TFtpClient client;
        DirectoryPublisher publisher(client, {"127.0.0.1", m_ftp->port(), kUser, kPassword}, {});
        for (const QString& url : removedSince)
            QCOMPARE(publisher.publish(DirectoryChange::remove(url)),
                     DirectoryChange::Outcome::Changed);
    }

    static int historyCount(const QTemporaryDir& root)
    {
        return int(QDir(root.filePath("corvanet.xml.history")).entryList(QDir::Files).size());
    }

    // Opens the dialog, lets act() work it and returns once it closed; a
    // failed check in act() closes it as well.
    static void runRemoved(TfrmMain& window, const std::function<void(TfrmRemovedSquads&)>& act)
    {
        bool ran = false;
        QTimer::singleShot(0, &window, [&] {
            const QPointer<TfrmRemovedSquads> dialog =
                qobject_cast<TfrmRemovedSquads*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            ran = true;
            act(*dialog);
            if (dialog && QTest::currentTestFailed())
                dialog->done(QDialog::Rejected);
        });
        window.miRemovedClick();
        QVERIFY(ran);
    }

    // Runs act once the dialog's read has begun, from inside its wait (a
    // test's own wait would only return once the read has ended).
    static void whenLoading(TfrmRemovedSquads& dialog, const std::function<void()>& act)
    {
        auto* poll = new QTimer(&dialog);
        connect(poll, &QTimer::timeout, &dialog, [poll, &dialog, act] {
            if (!dialog.loading())
                return;
            poll->stop();
            poll->deleteLater();
            act();
        });
        poll->start(5);
    }

    static bool loaded(const TfrmRemovedSquads& dialog)
    {
        return !dialog.loading() && !dialog.lblStatus->text().isEmpty() &&
               TestLanguage::sourceText(dialog.lblStatus->text()) !=
                   "Reading the directory's history...";
    }

    static QStringList rows(const TfrmRemovedSquads& dialog, int role)
    {
        QStringList values;
        for (int i = 0; i < dialog.model->rowCount(); ++i)
            values << dialog.model->index(i, 0).data(role).toString();
        return values;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(foldersValid());
        writeFile(served("alive.xml"), "<squad nick=\"L\"><name>Living Legends</name></squad>");
        writeFile(served("gone.xml"), "<squad nick=\"G\"><member>");
        startFtp();
    }

    void init()
    {
        freshCache();
        // A window destroyed in the middle of its publish leaves its lock,
        // which would hold the next test for a whole lease.
        QDir(served("corvanet.xml.lock")).removeRecursively();
    }

    // The removals newest first, one per address and only of squads not
    // listed now; Restore brings the selected one back with its nick, as
    // an ordinary publish, and the list is read again; the window then
    // shows and selects it.
    void listsTheRemovedAndRestoresOne()
    {
        const QString alive = served("alive.xml");
        const QString was = QStringLiteral("http://squads.example.org/was.xml");
        const QString once = QStringLiteral("http://squads.example.org/once.xml");
        prepare({{"Alive", alive}, {"Was &amp; Co", was}, {"Once", once}}, {was, once});
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        waitIdle(window, 1);
        QVERIFY(window.miRemoved->isEnabled());

        int before = historyCount(m_root);
        runRemoved(window, [&](TfrmRemovedSquads& dialog) {
            QTRY_VERIFY_WITH_TIMEOUT(loaded(dialog), 15000);
            QCOMPARE(rows(dialog, RemovedSquadsModel::UrlRole), (QStringList{once, was}));
            QCOMPARE(rows(dialog, RemovedSquadsModel::NickRole), (QStringList{"Once", "Was & Co"}));
            const QModelIndex when = dialog.model->index(0, RemovedSquadsModel::RemovedColumn);
            QVERIFY(when.data(RemovedSquadsModel::RemovedAtRole).toDateTime().isValid());
            QVERIFY(!when.data().toString().isEmpty());
            QCOMPARE(dialog.lblStatus->text(),
                     QCoreApplication::translate("TfrmRemovedSquads",
                                                 "Removed squads not listed now: %1")
                         .arg(2));
            // The newest is current and the list has the keyboard.
            QCOMPARE(dialog.lvRemoved->currentIndex().row(), 0);

            dialog.lvRemoved->setCurrentIndex(dialog.model->index(1, 0));
            dialog.btnRestore->click();
            QTRY_VERIFY_WITH_TIMEOUT(loaded(dialog), 15000);
            QCOMPARE(rows(dialog, RemovedSquadsModel::UrlRole), QStringList{once});
            QCOMPARE(dialog.restored(), QStringList{was});
            dialog.btnClose->click();
        });
        QVERIFY(readFile(directoryFile())
                    .contains("nick=\"Was &amp; Co\" web=\"" + was.toUtf8() + "\""));
        QCOMPARE(historyCount(m_root), before + 1);
        QVERIFY(!QFile::exists("a.tmp"));
        waitIdle(window, 2);
        QCOMPARE(window.SelectedSquadUrl, was);
        QCOMPARE(selectedTexts(window.lbSquads), QStringList{"Was & Co"});
        QCOMPARE(seams.cursor, UiSeams::crDefault);
        QVERIFY(seams.messages.isEmpty());
        QVERIFY(!QApplication::activeModalWidget());
    }

    // Mnemonics, Enter and Escape; the view's name says what it lists, and
    // the status line keeps its text as its name.
    void keyboardAndScreenReader()
    {
        const QString was = QStringLiteral("http://squads.example.org/was.xml");
        prepare({{"Alive", served("alive.xml")}, {"Was", was}}, {was});
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        waitIdle(window, 1);
        QVERIFY(window.miRemoved->text().contains('&'));
        runRemoved(window, [&](TfrmRemovedSquads& dialog) {
            QTRY_VERIFY_WITH_TIMEOUT(loaded(dialog), 15000);
            QCOMPARE(dialog.lblList->buddy(), dialog.lvRemoved);
            for (QPushButton* button : {dialog.btnRestore, dialog.btnClose})
                QVERIFY(button->text().contains('&'));
            QVERIFY(dialog.btnRestore->isDefault());
            QAccessibleInterface* view = QAccessible::queryAccessibleInterface(dialog.lvRemoved);
            QCOMPARE(TestLanguage::sourceText(view->text(QAccessible::Name)),
                     QString("Removed squads"));
            QAccessibleInterface* status = QAccessible::queryAccessibleInterface(dialog.lblStatus);
            QCOMPARE(status->text(QAccessible::Name), dialog.lblStatus->text());
            QCOMPARE(TestLanguage::sourceText(status->text(QAccessible::Description)),
                     QString("Status"));
            QCOMPARE(dialog.lvRemoved->model()->headerData(0, Qt::Horizontal).toString().isEmpty(),
                     false);

            // Enter restores the current row.
            dialog.lvRemoved->setFocus();
            QTest::keyClick(dialog.lvRemoved, Qt::Key_Return);
            QTRY_VERIFY_WITH_TIMEOUT(loaded(dialog) && dialog.restored() == QStringList{was},
                                     15000);
            QCOMPARE(dialog.model->rowCount(), 0);
            QVERIFY(!dialog.btnRestore->isEnabled());
            QTest::keyClick(&dialog, Qt::Key_Escape);
        });
        QVERIFY(readFile(directoryFile()).contains(was.toUtf8()));
    }

    // Closing the dialog while it reads the history ends the read at once;
    // destroying the window meanwhile ends it too, and nothing is touched
    // afterwards.
    void closedOrDestroyedWhileItLoads()
    {
        const QString was = QStringLiteral("http://squads.example.org/was.xml");
        prepare({{"Alive", served("alive.xml")}, {"Was", was}}, {was});
        startFtp({"--delay", "400"}); // every reply late: the read takes seconds
        RecordingSeams seams;
        {
            TfrmMain window(settings(), seams);
            waitIdle(window, 1);
            bool closed = false;
            runRemoved(window, [&](TfrmRemovedSquads& dialog) {
                whenLoading(dialog, [&] {
                    QVERIFY(!dialog.btnRestore->isEnabled());
                    dialog.btnRestore->click(); // nothing to restore yet
                    dialog.reject();
                    closed = true;
                });
            });
            QVERIFY(closed);
            // The read ended with the dialog: no version of the history was
            // fetched (each would have been kept as a local copy).
            QCOMPARE(QDir(window.offlineCache().folder() + "/history").entryList(QDir::Files),
                     QStringList());
            QVERIFY(seams.messages.isEmpty());
            QVERIFY(idle(window));
        }

        auto* window = new TfrmMain(settings(), seams);
        const QPointer<TfrmMain> guard(window);
        waitIdle(*window, 1);
        QTimer::singleShot(0, window, [&] {
            auto* dialog = qobject_cast<TfrmRemovedSquads*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            whenLoading(*dialog, [window] { QTimer::singleShot(0, [window] { delete window; }); });
        });
        window->miRemovedClick();
        QVERIFY(!guard);
        QVERIFY(seams.messages.isEmpty());
        startFtp();
    }

    // While a restore publishes: a second Restore, Escape, Close and the
    // close box change nothing, the squad is added once and the dialog
    // stays until the publish has ended.
    void aSecondRestoreOrAClosingWhileItPublishes()
    {
        const QString was = QStringLiteral("http://squads.example.org/was.xml");
        prepare({{"Alive", served("alive.xml")}, {"Was", was}}, {was});
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        waitIdle(window, 1);
        const int before = historyCount(m_root);
        int attempts = 0;
        runRemoved(window, [&](TfrmRemovedSquads& dialog) {
            QTRY_VERIFY_WITH_TIMEOUT(loaded(dialog), 15000);
            window.FtpClient->OnConnect = [&](QObject*) {
                ++attempts;
                QVERIFY(window.publishing());
                QVERIFY(!dialog.btnRestore->isEnabled());
                dialog.btnRestore->click();
                dialog.btnRestoreClick();
                QTest::keyClick(&dialog, Qt::Key_Escape);
                dialog.btnClose->click();
                dialog.close();
                QVERIFY(dialog.isVisible());
            };
            dialog.btnRestore->click();
            window.FtpClient->OnConnect = nullptr;
            QTRY_VERIFY_WITH_TIMEOUT(loaded(dialog), 15000);
            dialog.reject();
        });
        QCOMPARE(attempts, 1);
        QCOMPARE(readFile(directoryFile()).count(was.toUtf8()), 1);
        QCOMPARE(historyCount(m_root), before + 1);
        QVERIFY(seams.messages.isEmpty());
    }

    // The window destroyed while the dialog's restore publishes: the
    // publish ends, and neither the dialog nor the window is touched again.
    void destroyedWhileItPublishes()
    {
        const QString was = QStringLiteral("http://squads.example.org/was.xml");
        prepare({{"Alive", served("alive.xml")}, {"Was", was}}, {was});
        RecordingSeams seams;
        auto* window = new TfrmMain(settings(), seams);
        const QPointer<TfrmMain> guard(window);
        waitIdle(*window, 1);
        QTimer::singleShot(0, window, [&] {
            auto* dialog = qobject_cast<TfrmRemovedSquads*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            QTRY_VERIFY_WITH_TIMEOUT(loaded(*dialog), 15000);
            window->FtpClient->OnConnect = [window](QObject*) {
                QTimer::singleShot(0, [window] { delete window; });
            };
            dialog->btnRestore->click();
        });
        window->miRemovedClick();
        QTRY_VERIFY_WITH_TIMEOUT(!guard, 5000);
        // Nothing was published in its place, and the lock is gone with it
        // or runs out by itself; the directory is whole either way.
        XmlDocument document;
        QVERIFY(document.loadXml(readFile(directoryFile())));
    }

    // An account that refuses the history folder: the window publishes and
    // says so once in the run, not at every publish.
    void theWindowSaysOnceThatNoHistoryIsKept()
    {
        startFtp({"--rule", "match=MKD /corvanet.xml.history;reply=550 Permission denied."});
        QDir(served("corvanet.xml.history")).removeRecursively();
        writeDirectory({{"alive", served("alive.xml")}});
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        waitIdle(window, 1);
        for (const QString name : {"one.xml", "two.xml"}) {
            writeFile(served(name), "<squad><name>" + name.toUtf8() + "</name></squad>");
            addSquad(window, served(name));
            waitIdle(window);
        }
        QCOMPARE(listCount(window.lbSquads), 3);
        QCOMPARE(seams.messages.size(), 1);
        QVERIFY2(seams.messages[0].text.startsWith(
                     "The directory was published, but its earlier versions are not kept.") &&
                     seams.messages[0].text.contains("550 Permission denied."),
                 qPrintable(seams.messages[0].text));
        QCOMPARE(seams.messages[0].icon, UiSeams::Icon::Warning);
        QVERIFY(!QFileInfo::exists(served("corvanet.xml.history")));
        startFtp();
    }
};

QTEST_MAIN(TestRemovedSquads)
#include "TestRemovedSquads.moc"
