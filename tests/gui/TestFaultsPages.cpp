// Squad pages and directories that do not load as they should. A page that
// could not be read just now must not cost the squad its place in the shared
// directory; a page that is gone or is no document is removed as designed; a
// directory that fails to load is never published. Every case ends "Ready"
// with the default cursor.

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

#include "AddSquadFrm.h"
#include "FaultHelpers.h"
#include "LoopbackFtpServer.h"
#include "LoopbackWebServer.h"
#include "PageArea.h"
#include "PublishSettings.h"
#include "ScriptedPeer.h"

using namespace FaultHelpers;

namespace
{

using Behaviour = std::function<void(ScriptedPeer& peer)>;


} // namespace

Q_DECLARE_METATYPE(Behaviour)

class TestFaultsPages : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root; // served over HTTP, and the FTP account's root
    QTemporaryDir m_work;
    QString m_savedCwd;
    std::unique_ptr<LoopbackWebServer> m_web;

    AppSettings settings(quint16 ftpPort) const { return publishSettings(m_web->url("corvanet.xml"), ftpPort); }

    QByteArray writeDirectory(const QList<QPair<QString, QString>>& entries)
    {
        const QByteArray xml = directory(entries);
        writeFile(m_root.filePath("corvanet.xml"), xml);
        return xml;
    }

    void waitListed(TfrmMain& window, int count)
    {
        speedUp(window);
        QTRY_VERIFY_WITH_TIMEOUT(idle(window) && window.lbSquads->count() == count, 10000);
    }

    void openSquad(TfrmMain& window, const QString& url)
    {
        QVERIFY(selectUrl(window, url));
        window.tbtnDetailsClick();
        QCOMPARE(window.status(), QStringLiteral("Loading squad details ..."));
        QTRY_VERIFY_WITH_TIMEOUT(idle(window), 10000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid() && m_work.isValid());
        m_savedCwd = QDir::currentPath();
        QDir::setCurrent(m_work.path());
        m_web = std::make_unique<LoopbackWebServer>(m_root.path());
        QVERIFY(m_web->start());
        QVERIFY(writeFile(m_root.filePath("squads/alive.xml"), squadPage("A")));
    }

    void cleanupTestCase()
    {
        m_web.reset();
        QDir::setCurrent(m_savedCwd);
    }

    void pagesThatCannotBeReadNowKeepTheSquad_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        const QByteArray html =
            "<!DOCTYPE html><html><body><h1>Service Unavailable</h1><br></body></html>";
        QTest::newRow("accepts and never answers")
            << Behaviour([](ScriptedPeer& peer) { peer.expectLine(); });
        QTest::newRow("reset in the middle") << Behaviour([](ScriptedPeer& peer) {
            peer.send("HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n<squad nick=\"S\"><member")
                .pause(20)
                .reset();
        });
        QTest::newRow("503 error page") << Behaviour([html](ScriptedPeer& peer) {
            peer.send("HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/html\r\n\r\n" + html)
                .close();
        });
        QTest::newRow("trickled") << Behaviour([](ScriptedPeer& peer) {
            peer.send("HTTP/1.0 200 OK\r\nContent-Type: application/xml\r\n\r\n<squad nick=\"S\">");
            sendForever(peer, "<member/>", 20);
        });
        QTest::newRow("refused") << Behaviour(); // nobody listens
    }

    void pagesThatCannotBeReadNowKeepTheSquad()
    {
        QFETCH(Behaviour, behaviour);
        ScriptedPeer pageServer;
        QString page = QStringLiteral("http://127.0.0.1:%1/squads/s.xml").arg(pageServer.port());
        std::unique_ptr<ScriptedPeer> refused;
        if (behaviour) {
            behaviour(pageServer);
        } else {
            refused = std::make_unique<ScriptedPeer>();
            page = QStringLiteral("http://127.0.0.1:%1/squads/s.xml").arg(refused->port());
            refused.reset(); // the port is free again
        }
        ScriptedPeer ftp; // must never be contacted: nothing is published
        const QByteArray before =
            writeDirectory({{"S", page}, {"A", m_web->url("squads/alive.xml")}});
        RecordingSeams seams;
        TfrmMain window(settings(ftp.port()), seams);
        window.DetailDoc.setStallTimeout(200);
        window.DetailDoc.setLoadTimeout(400);
        waitListed(window, 2);

        openSquad(window, page);
        expectSound(window, seams);
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(seams.messages[0].text, QStringLiteral("This is broken link to squad."));
        QCOMPARE(seams.messages[0].caption, QStringLiteral("Connection failed"));
        QCOMPARE(ftp.connectionCount(), 0);
        QCOMPARE(readFile(m_root.filePath("corvanet.xml")), before);
        QCOMPARE(listTexts(window.lbSquads), QStringList({"A", "S"}));
        QCOMPARE(window.SelectedSquadUrl, page);
        QVERIFY(window.pgLeft->isPageVisible(window.tbshtDatabase));
        QVERIFY(window.miAdd->isEnabled());

        // The window goes on as before: another squad opens.
        openSquad(window, m_web->url("squads/alive.xml"));
        QVERIFY(window.pgLeft->isPageVisible(window.tbshtDetails));
        QCOMPARE(seams.messages.size(), 1);
    }

    void theAddSquadDialogKeepsASquadItCannotReadNow()
    {
        // A listed squad whose server has a bad minute: the dialog says so,
        // removes nothing and publishes nothing.
        ScriptedPeer pageServer;
        pageServer
            .send("HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/html\r\n\r\n<html>busy")
            .close();
        const QString page =
            QStringLiteral("http://127.0.0.1:%1/squads/s.xml").arg(pageServer.port());
        ScriptedPeer ftp;
        const QByteArray before = writeDirectory({{"S", page}});
        RecordingSeams seams;
        TfrmMain window(settings(ftp.port()), seams);
        waitListed(window, 1);
        QTimer::singleShot(0, this, [page] {
            auto* dialog = qobject_cast<TfrmAddSquad*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->edtUrl->setText(page);
            dialog->btnOK->click();
        });
        window.miAddClick();
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(seams.messages[0].text, QStringLiteral("This is broken link to squad."));
        QCOMPARE(seams.messages[0].caption, QStringLiteral("Connection failed"));
        QCOMPARE(seams.cursor, UiSeams::crDefault);
        QCOMPARE(ftp.connectionCount(), 0);
        QCOMPARE(readFile(m_root.filePath("corvanet.xml")), before);
        QVERIFY(!window.tmrWaitDatabase->isActive()); // no refresh after Abort
        QCOMPARE(window.status(), QStringLiteral("Ready"));
    }

    void pagesThatAreGoneOrNoDocumentAreRemoved_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content"); // empty: not there at all (404)
        QTest::newRow("404") << "missing.xml" << QByteArray();
        QTest::newRow("HTML error page served as the page")
            << "error.xml"
            << QByteArray("<html><head><title>Error</title></head><body>Account "
                          "suspended<br></body></html>");
    }

    void pagesThatAreGoneOrNoDocumentAreRemoved()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        if (!content.isEmpty())
            QVERIFY(writeFile(m_root.filePath("squads/" + name), content));
        LoopbackFtpServer ftp(m_root.path(), kUser, kPassword);
        QVERIFY2(ftp.start(), qPrintable(ftp.errorText()));
        const QString page = m_web->url("squads/" + name);
        writeDirectory({{"S", page}, {"A", m_web->url("squads/alive.xml")}});
        RecordingSeams seams;
        TfrmMain window(settings(ftp.port()), seams);
        waitListed(window, 2);

        openSquad(window, page);
        QTRY_VERIFY_WITH_TIMEOUT(idle(window) && window.lbSquads->count() == 1,
                                 10000); // published and reloaded
        expectSound(window, seams);
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(seams.messages[0].text,
                 QStringLiteral("Squad not found.\r\nSquad will be removed from database..."));
        QCOMPARE(listTexts(window.lbSquads), QStringList({"A"}));
        QVERIFY(!readFile(m_root.filePath("corvanet.xml")).contains(name.toUtf8()));
    }

    void aTenMegabyteSquadPageIsShown()
    {
        QByteArray xml = "<squad nick=\"BIG\"><name>Big squad</name>";
        int members = 0;
        const QByteArray remark(300, 'r');
        while (xml.size() < 10 * 1024 * 1024) {
            xml += "<member nick=\"m" + QByteArray::number(members) + "\" id=\"" +
                   QByteArray::number(members) + "\"><name>Member " + QByteArray::number(members) +
                   "</name><remark>" + remark + "</remark></member>\n";
            ++members;
        }
        QVERIFY(writeFile(m_root.filePath("squads/big.xml"), xml + "</squad>"));
        ScriptedPeer ftp;
        writeDirectory({{"BIG", m_web->url("squads/big.xml")}});
        RecordingSeams seams;
        TfrmMain window(settings(ftp.port()), seams);
        waitListed(window, 1);

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
        writeFile(m_root.filePath("squads/dead.xml"), "<squad nick=\"D\"><member>");
        const QByteArray good = writeDirectory({{"A", m_web->url("squads/alive.xml")},
                                                {"B", m_web->url("squads/alive.xml?b")},
                                                {"D", m_web->url("squads/dead.xml")}});
        ScriptedPeer ftp; // must never be contacted
        RecordingSeams seams;
        TfrmMain window(settings(ftp.port()), seams);
        waitListed(window, 3);
        const QByteArray truncated = good.left(good.lastIndexOf("<squad ") + 20);
        QVERIFY(writeFile(m_root.filePath("corvanet.xml"), truncated));

        window.tbtnRefreshClick();
        QTRY_VERIFY_WITH_TIMEOUT(idle(window), 10000);
        QCOMPARE(listTexts(window.lbSquads), QStringList({"A", "B", "D"})); // as it was
        QVERIFY(seams.messages.isEmpty());

        // A dead squad: told and removed, but the directory that did not
        // load cannot be published; nothing leaves the machine.
        openSquad(window, m_web->url("squads/dead.xml"));
        QTRY_VERIFY_WITH_TIMEOUT(idle(window), 10000);
        expectSound(window, seams);
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(ftp.connectionCount(), 0);
        QCOMPARE(readFile(m_root.filePath("corvanet.xml")), truncated);

        // Nor does the Add Squad dialog add to it.
        QTimer::singleShot(0, this, [this] {
            auto* dialog = qobject_cast<TfrmAddSquad*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->edtUrl->setText(m_web->url("squads/alive.xml?new"));
            dialog->btnOK->click();
        });
        window.miAddClick();
        QCOMPARE(seams.messages.size(), 2);
        QCOMPARE(seams.messages[1].text, QStringLiteral("Can't connect to internet."));
        QCOMPARE(ftp.connectionCount(), 0);
        QCOMPARE(seams.cursor, UiSeams::crDefault);
        writeFile(m_root.filePath("corvanet.xml"), good);
    }

    void aTrickledDirectoryEndsAndKeepsTheList()
    {
        // The first load is whole; the refresh trickles for ever.
        ScriptedPeer server;
        const QByteArray good = directory({{"A", m_web->url("squads/alive.xml")}});
        server.send("HTTP/1.0 200 OK\r\nContent-Type: application/xml\r\n\r\n" + good)
            .close()
            .acceptNext()
            .send("HTTP/1.0 200 OK\r\nContent-Type: application/xml\r\n\r\n<squads>");
        sendForever(server, "<squad nick=\"x\" web=\"y\"/>", 20);
        ScriptedPeer ftp;
        AppSettings s = settings(ftp.port());
        s.directoryUrl = QStringLiteral("http://127.0.0.1:%1/corvanet.xml").arg(server.port());
        RecordingSeams seams;
        TfrmMain window(s, seams);
        waitListed(window, 1);
        window.DatabaseDoc.setLoadTimeout(400);

        window.tbtnRefreshClick();
        QCOMPARE(window.status(), QStringLiteral("Loading database..."));
        QTRY_VERIFY_WITH_TIMEOUT(idle(window), 10000);
        expectSound(window, seams);
        QCOMPARE(listTexts(window.lbSquads), QStringList({"A"}));
        QVERIFY(seams.messages.isEmpty());
    }
};

QTEST_MAIN(TestFaultsPages)
#include "TestFaultsPages.moc"
