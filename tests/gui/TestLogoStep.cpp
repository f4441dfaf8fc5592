// The squad logo: which picture values are fetched, from where, and what is
// shown when the server hands back no good logo or misbehaves. Whatever
// happens, the squad is shown, the logo step gives up within its time, and the
// window ends "Ready" with the default cursor, no message and no stale or
// broken logo. Pages and good logos come from a real web server on loopback;
// misbehaving logo servers are scripted.

#include <QTcpServer>
#include <QTreeView>

#include "FaultHelpers.h"
#include "GuiFixture.h"
#include "PageArea.h"

using namespace FaultHelpers;

namespace
{

// What a misbehaving logo server does once it has read a request.
using Reply = std::function<void(ScriptedPeer& peer)>;

// Reads one request header to its empty line, then runs then().
void afterRequest(ScriptedPeer& peer, std::function<void()> then)
{
    peer.expectLine().run([&peer, then] {
        if (peer.lines().last() != "\r\n")
            return afterRequest(peer, then);
        then();
    });
}

QString logoAt(const ScriptedPeer& peer)
{
    return QStringLiteral("http://127.0.0.1:%1/logo.jpg").arg(peer.port());
}

void redirectToSelf(ScriptedPeer& peer)
{
    peer.send("HTTP/1.0 302 Found\r\nLocation: " + logoAt(peer).toUtf8() + "\r\n\r\n").close().acceptNext();
    afterRequest(peer, [&peer] { redirectToSelf(peer); });
}

} // namespace

Q_DECLARE_METATYPE(Reply)

class TestLogoStep : public QObject, private GuiFixture
{
    Q_OBJECT

private slots:
    void init() { freshCache(); }

    void initTestCase()
    {
        QVERIFY(foldersValid());
        QVERIFY(startWeb());

        QVERIFY(writeFile(served("logos/red.jpg"), jpeg(64, 32)));
        QVERIFY(writeFile(served("logos/blue.JPEG"), jpeg(48, 48)));
        QVERIFY(writeFile(served("logos/progressive.jpg"), fixture("progressive.jpg")));
        QVERIFY(writeFile(served("logos/cmyk.jpg"), fixture("cmyk.jpg")));
        QVERIFY(writeFile(served("logos/truncated.jpg"), jpeg(200, 200).left(120)));
        QByteArray huge = jpeg(16, 16);
        const int sof = huge.indexOf("\xFF\xC0");
        QVERIFY(sof > 0);
        huge.replace(sof + 5, 4, "\xEA\x60\xEA\x60"); // 60000 high, 60000 wide
        QVERIFY(writeFile(served("logos/huge.jpg"), huge));
        // The first attempt hands a relative value to the client as it is,
        // which takes its first part for a host: "localhost:1" is refused at
        // once, without a name query leaving the machine. The second attempt
        // finds the file below the page's folder.
        QVERIFY(writeFile(served("squads/localhost:1/rel.jpg"), jpeg(30, 20)));

        QVERIFY(
            writeFile(served("squads/old.xml"), squadPage("old", {m_web->url("logos/red.jpg")})));
        QVERIFY(writeFile(directoryFile(), directory({{"old", m_web->url("squads/old.xml")},
                                                      {"new", m_web->url("squads/new.xml")}})));
    }

    void showsOnlyAGoodLogo_data()
    {
        // In the picture values "{web}" stands for the web server, "{peer}"
        // for the scripted logo server and "{closed}" for a port nobody
        // listens on.
        QTest::addColumn<QStringList>("pictures");
        QTest::addColumn<QSize>("logo"); // invalid: none
        QTest::addColumn<bool>("requested");
        QTest::addColumn<Reply>("reply"); // of the scripted logo server
        QTest::addColumn<int>("timeOut"); // of each fetch as a whole; 0: none, -1: the window's
        const auto row = [](const char* name, const QStringList& pictures, QSize logo = {},
                            bool requested = true, const Reply& reply = {}, int timeOut = -1) {
            QTest::newRow(name) << pictures << logo << requested << reply << timeOut;
        };

        row("absolute", {"{web}logos/blue.JPEG"}, {48, 48});
        row("relative to the page", {"localhost:1/rel.jpg"}, {30, 20});
        row("the last picture wins", {"{web}logos/red.jpg", "{web}logos/blue.JPEG"}, {48, 48});
        row("progressive", {"{web}logos/progressive.jpg"}, {40, 30});
        row("CMYK", {"{web}logos/cmyk.jpg"}, {40, 30});
        // The extension rule: only ".jpg" and ".jpeg" at the very end.
        row("png", {"{web}logos/red.png"}, {}, false);
        row("query", {"{web}logos/red.jpg?size=2"}, {}, false);
        row("dot in a folder", {"{web}logos.b/logo"}, {}, false);
        row("no picture", {}, {}, false);
        // The server's HTML error page lands in temp.jpg.
        row("404", {"{web}logos/none.jpg"});
        row("both attempts fail", {"{closed}logos/red.jpg"});
        row("truncated", {"{web}logos/truncated.jpg"});
        row("60000 x 60000", {"{web}logos/huge.jpg"});

        const QByteArray ok = "HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\n";
        const QByteArray logo = jpeg(40, 30);
        const auto server = [&row](const char* name, const Reply& reply, int timeOut = 300) {
            row(name, {"{peer}"}, {}, true, reply, timeOut);
        };
        server("accepts and never answers", [](ScriptedPeer&) {});
        // Each line comes well within the time-out of one read, so only a
        // limit on the request as a whole ends these.
        server("header trickled line by line", [ok](ScriptedPeer& peer) {
            peer.send(ok);
            sendForever(peer, "X-Slow: 1\r\n", 30);
        });
        server("body trickled byte by byte", [ok](ScriptedPeer& peer) {
            peer.send(ok + "\r\n");
            sendForever(peer, "\xFF", 30);
        });
        server("endless header", [ok](ScriptedPeer& peer) {
            peer.send(ok);
            sendForever(peer, QByteArray("X-Filler: " + QByteArray(240, 'f') + "\r\n").repeated(256), 1);
        });
        server("endless redirect chain", redirectToSelf);
        server("reset in the middle of the body", [ok, logo](ScriptedPeer& peer) {
            peer.send(ok + "Content-Length: " + QByteArray::number(logo.size()) + "\r\n\r\n" +
                      logo.left(logo.size() / 2))
                .pause(20)
                .reset();
        });
        // A whole, good picture, but not the billion bytes announced: the
        // transfer was cut short, so what arrived is no logo.
        server("a billion bytes announced, then closed", [ok, logo](ScriptedPeer& peer) {
            peer.send(ok + "Content-Length: 1000000000\r\n\r\n" + logo).close();
        });
        // No time limit at all: only the size of a logo ends these, long
        // before the disk is full.
        server("a body without end", [](ScriptedPeer& peer) {
            peer.send("HTTP/1.0 200 OK\r\n\r\n");
            sendForever(peer, QByteArray(64 * 1024, '\xFF'), 1);
        }, 0);
        server("a body announced beyond the limit", [](ScriptedPeer& peer) {
            peer.send("HTTP/1.0 200 OK\r\nContent-Length: 2000000\r\n\r\n");
            sendForever(peer, QByteArray(1024, '\xFF'), 20);
        }, 0);
    }

    void showsOnlyAGoodLogo()
    {
        QFETCH(QStringList, pictures);
        QFETCH(QSize, logo);
        QFETCH(bool, requested);
        QFETCH(Reply, reply);
        QFETCH(int, timeOut);
        ScriptedPeer peer;
        QTcpServer closed; // closed again at once
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString nobody = QString("http://127.0.0.1:%1/").arg(closed.serverPort());
        closed.close();
        pictures.replaceInStrings("{web}", m_web->url(""))
            .replaceInStrings("{peer}", logoAt(peer))
            .replaceInStrings("{closed}", nobody);
        QVERIFY(writeFile(served("squads/new.xml"), squadPage("new", pictures)));
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        window.maxLogoBytes = 1024 * 1024;
        waitIdle(window, 2);

        // A squad whose logo showed comes first: its logo must never stay on
        // the next squad's page.
        openSquad(window, m_web->url("squads/old.xml"));
        QCOMPARE(logoSize(window), QSize(64, 32));
        QFile::remove("Head.txt");
        if (timeOut >= 0)
            window.HttpClient->TimeOut = timeOut;
        // While the logo step waits, the window is busy: the three tool
        // button actions are refused.
        bool refusedWhileBusy = false;
        if (reply) {
            afterRequest(peer, [&] { reply(peer); });
            peer.run([&] {
                refusedWhileBusy = window.status() == QLatin1String("Loading squad logo...");
                window.tbtnRefreshClick();
                window.tbtnDatabaseClick();
                refusedWhileBusy = refusedWhileBusy && !window.tmrWaitDatabase->isActive() &&
                                   window.pgLeft->isPageVisible(window.tbshtDetails);
            });
        }
        HangGuard guard(window, 20000);

        openSquad(window, m_web->url("squads/new.xml"));
        QVERIFY(!guard.fired());
        expectSound(window, seams);
        QCOMPARE(refusedWhileBusy, bool(reply));
        QCOMPARE(window.twSquadModel->topLevelCount(), 1); // the squad shows, logo or not
        QCOMPARE(logoSize(window), logo);
        if (!requested)
            QVERIFY2(!QFile::exists("Head.txt"), "no request was made");
        if (logo.isValid()) // the reply's header and the logo were saved
            QVERIFY(QFile::exists("Head.txt") && QFile::exists("temp.jpg"));
        window.twSquad->setCurrentIndex(window.twSquadModel->index(0, 0)); // shows "temp.jpg" again
        QCOMPARE(logoSize(window), logo);
        QVERIFY(QFileInfo("temp.jpg").size() < 1024 * 1024); // the second attempt's 404 page, if anything
        QVERIFY(seams.messages.isEmpty());
    }

    void aFullDiskWhileSavingTheLogoShowsNoLogo()
    {
        // The disk takes 2 KiB of any file and refuses the rest. The logo is
        // larger but small enough to sit in a file buffer until it is
        // flushed, which is where the refusal shows; it comes without a
        // Content-Length, so only the refusal tells that it was cut short.
        const QByteArray logo = jpeg(96, 72, true);
        QVERIFY(logo.size() > 4096 && logo.size() < 16 * 1024);
        const auto openWithLogo = [&](TfrmMain& window, ScriptedPeer& peer) {
            afterRequest(peer, [&] { peer.send("HTTP/1.0 200 OK\r\n\r\n" + logo).close(); });
            QVERIFY(writeFile(served("squads/new.xml"), squadPage("new", {logoAt(peer)})));
            openSquad(window, m_web->url("squads/new.xml"));
        };
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        waitIdle(window, 2);
        {
            FileSizeLimit diskFull(2048);
            QVERIFY(diskFull.works());
            ScriptedPeer full;
            openWithLogo(window, full);
        }
        expectSound(window, seams);
        QVERIFY(seams.messages.isEmpty());
        QCOMPARE(logoSize(window), QSize()); // never the first 2 KiB of the picture
        QVERIFY(QFileInfo("temp.jpg").size() <= 2048);

        // With room again, the same squad shows its logo.
        ScriptedPeer roomy;
        openWithLogo(window, roomy);
        QCOMPARE(logoSize(window), QSize(96, 72));
    }
};

QTEST_MAIN(TestLogoStep)
#include "TestLogoStep.moc"
