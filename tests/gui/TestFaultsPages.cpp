// Squad pages and directories that do not load as they should. A page that
// could not be read just now must not cost the squad its place in the shared
// directory; a page that is gone or is no document is removed as designed; a
// directory that fails to load is never published. Every case ends "Ready"
// with the default cursor.

#include <QTreeView>

#include "FaultHelpers.h"
#include "GuiFixture.h"
#include "LoopbackFtpServer.h"
#include "PageArea.h"
#include "PublishSettings.h"

using namespace FaultHelpers;

namespace
{

QString pageAt(const ScriptedPeer& peer)
{
    return QStringLiteral("http://127.0.0.1:%1/squads/s.xml").arg(peer.port());
}

} // namespace

// The served root is served over HTTP, and is the FTP account's root.
class TestFaultsPages : public QObject, private GuiFixture
{
    Q_OBJECT

private:
    QString alive() const { return m_web->url("squads/alive.xml"); }

private slots:
    void init() { freshCache(); }

    void initTestCase()
    {
        QVERIFY(foldersValid());
        QVERIFY(startWeb());
        QVERIFY(writeFile(served("squads/alive.xml"), squadPage("A")));
    }

    // How the document service tells a page that could not be read just now
    // from one that is gone is tested with the documents; here, what the
    // window does with each.
    void squadPagesThatFail_data()
    {
        QTest::addColumn<QByteArray>("reply"); // to every request, then the server closes
        QTest::addColumn<bool>("removed");
        const QByteArray body = "<!DOCTYPE html><html><body><h1>Sorry</h1>Account suspended<br></body></html>";
        const QByteArray html = "Content-Type: text/html\r\n\r\n" + body;
        const QByteArray sizedHtml =
            "Content-Type: text/html\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        // Not readable just now: the squad stays, nothing is published. A
        // page without a length may have been cut off by a dropped
        // connection, so its being no document proves nothing.
        QTest::newRow("503 error page") << "HTTP/1.0 503 Service Unavailable\r\n" + html << false;
        QTest::newRow("HTML page without length") << "HTTP/1.0 200 OK\r\n" + html << false;
        // Gone, or no document: the squad is removed and the directory published.
        QTest::newRow("404") << "HTTP/1.0 404 Not Found\r\n" + html << true;
        QTest::newRow("HTML error page served as the page") << "HTTP/1.0 200 OK\r\n" + sizedHtml << true;
    }

    void squadPagesThatFail()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, removed);
        ScriptedPeer pageServer;
        pageServer.send(reply).close().acceptNext().send(reply).close();
        const QString page = pageAt(pageServer);
        ScriptedPeer ftpNever;
        LoopbackFtpServer ftp(m_root.path(), kUser, kPassword);
        if (removed)
            QVERIFY2(ftp.start(), qPrintable(ftp.errorText()));
        const QByteArray before = writeDirectory({{"S", page}, {"A", alive()}});
        RecordingSeams seams;
        TfrmMain window(settings(removed ? ftp.port() : ftpNever.port()), seams);
        waitIdle(window, 2);

        openSquad(window, page); // and, when it is removed, the publish and the reload
        expectSound(window, seams);
        QCOMPARE(seams.messages.size(), 1);
        if (removed) {
            QCOMPARE(seams.messages[0].text,
                     QStringLiteral("Squad not found.\r\nSquad will be removed from database..."));
            QCOMPARE(listTexts(window.lbSquads), QStringList({"A"}));
            QVERIFY(!readFile(directoryFile()).contains(page.toUtf8()));
        } else {
            QCOMPARE(seams.messages[0].text, QStringLiteral("This is broken link to squad."));
            QCOMPARE(seams.messages[0].caption, QStringLiteral("Connection failed"));
            QCOMPARE(ftpNever.connectionCount(), 0);
            QCOMPARE(readFile(directoryFile()), before);
            QCOMPARE(listTexts(window.lbSquads), QStringList({"A", "S"}));
            QCOMPARE(window.SelectedSquadUrl, page);
            QVERIFY(window.pgLeft->isPageVisible(window.tbshtDatabase));
            // Details turned "Add Squad ..." off until the list is shown
            // again, whatever the page did.
            QVERIFY(!window.miAdd->isEnabled());

            // Nor does the Add Squad dialog, given the address again.
            addSquad(window, page);
            QCOMPARE(seams.messages.size(), 2);
            QCOMPARE(seams.messages[1].text, QStringLiteral("This is broken link to squad."));
            QVERIFY(idle(window)); // no refresh after Abort
            QCOMPARE(seams.cursor, UiSeams::crDefault);
            QCOMPARE(ftpNever.connectionCount(), 0);
            QCOMPARE(readFile(directoryFile()), before);
        }

        // The window goes on as before: another squad opens.
        const auto told = seams.messages.size();
        openSquad(window, alive());
        QVERIFY(window.pgLeft->isPageVisible(window.tbshtDetails));
        QCOMPARE(seams.messages.size(), told);
    }

    void aTenMegabyteSquadPageIsShown()
    {
        QByteArray xml = "<squad nick=\"BIG\"><name>Big squad</name>";
        int members = 0;
        const QByteArray remark(300, 'r');
        for (; xml.size() < 10 * 1024 * 1024; ++members) {
            const QByteArray n = QByteArray::number(members);
            xml += "<member nick=\"m" + n + "\" id=\"" + n + "\"><name>Member " + n + "</name><remark>" +
                   remark + "</remark></member>\n";
        }
        QVERIFY(writeFile(served("squads/big.xml"), xml + "</squad>"));
        ScriptedPeer ftp;
        writeDirectory({{"BIG", m_web->url("squads/big.xml")}});
        RecordingSeams seams;
        TfrmMain window(settings(ftp.port()), seams);
        waitIdle(window, 1);

        openSquad(window, m_web->url("squads/big.xml"));
        expectSound(window, seams);
        QVERIFY(seams.messages.isEmpty());
        const QModelIndex squad = window.twSquadModel->index(0, 0);
        QCOMPARE(window.twSquadModel->rowCount(squad), members);
        const QModelIndex last = window.twSquadModel->index(members - 1, 0, squad);
        window.twSquad->setCurrentIndex(last);
        window.twSquad->scrollTo(last);
        QCOMPARE(window.stMNick->text(), QStringLiteral("m%1").arg(members - 1));
        QVERIFY(window.pgInfo->isPageVisible(window.tbshtMember));
    }

    void aDirectoryThatFailsToLoadIsNeverPublished()
    {
        // The list shows a good directory; then the server serves it with
        // its last entry cut off.
        writeFile(served("squads/dead.xml"), "<squad nick=\"D\"><member>");
        const QString dead = m_web->url("squads/dead.xml");
        const QByteArray good = writeDirectory({{"A", alive()}, {"B", alive() + "?b"}, {"D", dead}});
        LoopbackFtpServer ftp(m_root.path(), kUser, kPassword);
        QVERIFY2(ftp.start(), qPrintable(ftp.errorText()));
        RecordingSeams seams;
        TfrmMain window(settings(ftp.port()), seams);
        waitIdle(window, 3);
        const QByteArray truncated = good.left(good.lastIndexOf("<squad ") + 20);
        QVERIFY(writeFile(directoryFile(), truncated));

        window.tbtnRefreshClick();
        waitIdle(window);
        QCOMPARE(listTexts(window.lbSquads), QStringList({"A", "B", "D"})); // as it was
        QVERIFY(seams.messages.isEmpty());

        // A dead squad: told, but the directory on the account is no
        // document, and nothing is written over it.
        openSquad(window, dead);
        expectSound(window, seams);
        QCOMPARE(seams.messages.size(), 2);
        QVERIFY2(seams.messages[1].text.contains("nothing was published"), qPrintable(seams.messages[1].text));
        QCOMPARE(readFile(directoryFile()), truncated);
        seams.messages.removeLast();

        // Nor does the Add Squad dialog add to it.
        addSquad(window, alive() + "?new");
        QCOMPARE(seams.messages.size(), 2);
        QCOMPARE(seams.messages[1].text, QStringLiteral("Can't connect to internet."));
        QCOMPARE(readFile(directoryFile()), truncated);
        QCOMPARE(seams.cursor, UiSeams::crDefault);
    }
};

QTEST_MAIN(TestFaultsPages)
#include "TestFaultsPages.moc"
