// Changing the shared directory: the dead-entry removal of the main window and
// the Add Squad dialog, each published to a real FTP server on loopback whose
// root is the folder the directory is read from.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "AddSquadFrm.h"
#include "FtpClient.h"
#include "LoopbackFtpServer.h"
#include "MainFrm.h"
#include "PublishSettings.h"
#include "RecordingSeams.h"

namespace {

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList listTexts(QListWidget* list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

} // namespace

class TestPublishing : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_root;    // served: the directory and the squad pages
    QTemporaryDir m_workDir; // the program's working directory
    QString m_savedCwd;
    std::unique_ptr<LoopbackFtpServer> m_ftp;

    QString page(const QString& name) const { return m_root.filePath(name); }
    QString directoryFile() const { return m_root.filePath("corvanet.xml"); }

    AppSettings settings(quint16 ftpPort) const { return publishSettings(directoryFile(), ftpPort); }

    void writeDirectory(const QList<QPair<QString, QString>>& entries)
    {
        QByteArray xml = "<?xml version=\"1.0\"?>\n<squads>\n";
        for (const auto& [nick, url] : entries)
            xml += "<squad nick=\"" + nick.toUtf8() + "\" web=\"" + url.toUtf8() + "\"/>\n";
        writeFile(directoryFile(), xml + "</squads>\n");
    }

    void waitReady(TfrmMain& window)
    {
        QTRY_VERIFY_WITH_TIMEOUT(!window.tmrWaitDatabase->isActive() && !window.tmrWaitDetail->isActive()
                                     && window.status() == QLatin1String("Ready"),
                                 15000);
    }

    // Runs the Add Squad dialog: types the address and presses OK (or
    // Enter), and returns the main window's state afterwards.
    void runDialog(TfrmMain& window, const QString& url, bool useEnter = false)
    {
        QTimer::singleShot(0, this, [url, useEnter] {
            auto* dialog = qobject_cast<TfrmAddSquad*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->edtUrl->setText(url);
            if (useEnter)
                QTest::keyClick(dialog->edtUrl, Qt::Key_Return);
            else
                dialog->btnOK->click();
        });
        window.miAddClick();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid() && m_workDir.isValid());
        m_savedCwd = QDir::currentPath();
        QDir::setCurrent(m_workDir.path());
        m_ftp = std::make_unique<LoopbackFtpServer>(m_root.path(), kUser, kPassword);
        QVERIFY2(m_ftp->start(), qPrintable(m_ftp->errorText()));
        writeFile(page("alive.xml"), "<squad nick=\"L\"><name>Living Legends</name></squad>");
        writeFile(page("noname.xml"), "<squad nick=\"N\"/>");
        writeFile(page("team.xml"), "<team><name>Not A Squad</name></team>");
        // A page that is there but loads nothing: the squad is dead.
        writeFile(page("gone.xml"), "<squad nick=\"G\"><member>");
    }

    void cleanupTestCase()
    {
        m_ftp.reset();
        QDir::setCurrent(m_savedCwd);
    }

    void aDeadSquadIsRemovedOnceAndTheDirectoryPublished()
    {
        const QString dead = page("gone.xml");
        writeDirectory({{"first", dead}, {"second", dead}, {"alive", page("alive.xml")}});
        RecordingSeams seams;
        TfrmMain window(settings(m_ftp->port()), seams);
        waitReady(window);
        QCOMPARE(listTexts(window.lbSquads), QStringList({"alive", "first", "second"}));

        window.lbSquads->setCurrentRow(1);
        window.tbtnDetailsClick();
        QTRY_VERIFY_WITH_TIMEOUT(!seams.messages.isEmpty(), 5000);
        QCOMPARE(seams.messages[0].text, QString("Squad not found.\r\nSquad will be removed from database..."));
        // Published, then reloaded from the directory's address.
        waitReady(window);
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(listTexts(window.lbSquads), QStringList({"alive", "second"}));
        QVERIFY(!QFile::exists("a.tmp"));
        QCOMPARE(seams.cursor, UiSeams::crDefault);
        QVERIFY(seams.cursorHistory.contains(UiSeams::crHourGlass));
        QVERIFY(!window.FtpClient->Connected);
    }

    void aDeadSquadNotListedRepublishesTheDirectoryUnchanged()
    {
        writeDirectory({{"alive", page("alive.xml")}, {"dead", page("gone.xml")}});
        RecordingSeams seams;
        TfrmMain window(settings(m_ftp->port()), seams);
        waitReady(window);
        window.lbSquads->setCurrentRow(1);
        window.tbtnDetailsClick();
        window.SelectedSquadUrl = page("elsewhere.xml");
        QTRY_VERIFY_WITH_TIMEOUT(!seams.messages.isEmpty(), 5000);
        waitReady(window);
        QCOMPARE(listTexts(window.lbSquads), QStringList({"alive", "dead"}));
        QVERIFY(readFile(directoryFile()).contains("gone.xml"));
    }

    void anUnreachableFtpServerLeavesTheWindowReadyAndTheFileBehind()
    {
        writeDirectory({{"dead", page("gone.xml")}});
        const QByteArray before = readFile(directoryFile());
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 nobody = closed.serverPort();
        closed.close();

        RecordingSeams seams;
        TfrmMain window(settings(nobody), seams);
        waitReady(window);
        window.lbSquads->setCurrentRow(0);
        window.tbtnDetailsClick();
        QTRY_COMPARE_WITH_TIMEOUT(seams.messages.size(), 2, 5000);
        QCOMPARE(seams.messages[1].text, QString("10061:Connection refused"));
        QCOMPARE(seams.messages[1].icon, UiSeams::Icon::Error);
        QCOMPARE(window.status(), QString("Ready"));
        QCOMPARE(seams.cursor, UiSeams::crDefault); // no hourglass left behind
        QVERIFY(QFile::exists("a.tmp"));
        QVERIFY(!window.tmrWaitDatabase->isActive()); // no reload
        QCOMPARE(readFile(directoryFile()), before);
        QFile::remove("a.tmp");
    }

    void theDialogAddsASquadAndTheWindowSelectsIt()
    {
        writeDirectory({{"alive", page("alive.xml")}});
        RecordingSeams seams;
        TfrmMain window(settings(m_ftp->port()), seams);
        waitReady(window);

        // Already listed: OK without publishing, and selected after the reload.
        const QDateTime published = QFileInfo(directoryFile()).lastModified();
        runDialog(window, page("alive.xml"));
        waitReady(window);
        QCOMPARE(QFileInfo(directoryFile()).lastModified(), published);
        QCOMPARE(window.SelectedSquadUrl, page("alive.xml"));
        QCOMPARE(window.lbSquads->selectedItems().size(), 1);

        // New: added under its first name, published, reloaded and selected.
        runDialog(window, page("noname.xml"), /*useEnter=*/true);
        waitReady(window);
        runDialog(window, page("team.xml"));
        waitReady(window);
        QCOMPARE(listTexts(window.lbSquads), QStringList({"", "alive", "Not A Squad"}));
        QCOMPARE(window.lbSquads->selectedItems().value(0)->text(), QString("Not A Squad"));
        const QByteArray stored = readFile(directoryFile());
        QVERIFY(stored.contains(page("noname.xml").toUtf8()));
        QVERIFY(!QFile::exists("a.tmp"));
        QCOMPARE(seams.cursor, UiSeams::crDefault);
        QVERIFY(seams.messages.isEmpty());

        // A listed address whose page is gone: told, removed and published.
        QFile::remove(page("noname.xml"));
        runDialog(window, page("noname.xml"));
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(seams.messages[0].text, QString("Bad file URL or incorrect data format."));
        QCOMPARE(seams.messages[0].caption, QString("Squad not found"));
        QVERIFY(!readFile(directoryFile()).contains("noname.xml"));
        QCOMPARE(window.status(), QString("Ready"));
        writeFile(page("noname.xml"), "<squad nick=\"N\"/>");

        // The address as typed, "http://": nothing loads, nothing listed.
        runDialog(window, "http://");
        QCOMPARE(seams.messages.size(), 2);
        QVERIFY(!window.tmrWaitDatabase->isActive());
    }

    void cancelAndASecondOkChangeNothing()
    {
        writeDirectory({{"alive", page("alive.xml")}});
        RecordingSeams seams;
        TfrmMain window(settings(m_ftp->port()), seams);
        waitReady(window);
        const QByteArray before = readFile(directoryFile());

        QTimer::singleShot(0, this, [] {
            auto* dialog = qobject_cast<TfrmAddSquad*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->edtUrl->setText("whatever");
            dialog->btnCancel->click();
        });
        window.miAddClick();
        QCOMPARE(readFile(directoryFile()), before);
        QVERIFY(!window.tmrWaitDatabase->isActive());

        // Two OKs in a row: the second arrives while the first waits and is
        // ignored, so the squad is added once.
        QTimer::singleShot(0, this, [this] {
            auto* dialog = qobject_cast<TfrmAddSquad*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->edtUrl->setText(page("noname.xml"));
            QTimer::singleShot(0, dialog, [dialog] { dialog->btnOK->click(); });
            dialog->btnOK->click();
        });
        window.miAddClick();
        waitReady(window);
        QCOMPARE(readFile(directoryFile()).count("noname.xml"), 1);
    }
};

QTEST_MAIN(TestPublishing)
#include "TestPublishing.moc"
