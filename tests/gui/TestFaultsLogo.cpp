// Logo servers that misbehave: the squad is shown, the logo step gives up
// within its time, and the window ends "Ready" with the default cursor, no
// logo, no message and no file of the bad reply left to be shown. Squad pages
// come from a real web server on loopback; the logo server is scripted.

#include <QTemporaryDir>
#include <QTreeView>

#include "FaultHelpers.h"
#include "LoopbackWebServer.h"
#include "PageArea.h"
#include "PublishSettings.h"

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

class TestFaultsLogo : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    WorkingDir m_work;
    std::unique_ptr<LoopbackWebServer> m_web;

    // Opens the one squad listed, its picture at pictureUrl, and returns
    // once the logo step is over.
    void openSquad(TfrmMain& window, const QString& pictureUrl)
    {
        QVERIFY(writeFile(m_root.filePath("squads/s.xml"), squadPage("S", {pictureUrl})));
        waitIdle(window, 1);
        FaultHelpers::openSquad(window, m_web->url("squads/s.xml"));
        QCOMPARE(window.twSquadModel->topLevelCount(), 1); // the squad shows, logo or not
    }

    AppSettings settings() const { return publishSettings(m_web->url("corvanet.xml")); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid() && m_work.isValid());
        m_web = std::make_unique<LoopbackWebServer>(m_root.path());
        QVERIFY(m_web->start());
        QVERIFY(writeFile(m_root.filePath("corvanet.xml"),
                          directory({{"S", m_web->url("squads/s.xml")}})));
    }

    void badLogoServersEndInTime_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<int>("timeOut"); // of each fetch as a whole; 0: none
        const QByteArray ok = "HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\n";
        const QByteArray logo = jpeg(40, 30);
        const auto row = [](const char* name, const Reply& reply, int timeOut = 300) {
            QTest::newRow(name) << reply << timeOut;
        };

        row("accepts and never answers", [](ScriptedPeer&) {});
        // Each line comes well within the time-out of one read, so only a
        // limit on the request as a whole ends these.
        row("header trickled line by line", [ok](ScriptedPeer& peer) {
            peer.send(ok);
            sendForever(peer, "X-Slow: 1\r\n", 30);
        });
        row("body trickled byte by byte", [ok](ScriptedPeer& peer) {
            peer.send(ok + "\r\n");
            sendForever(peer, "\xFF", 30);
        });
        row("endless header", [ok](ScriptedPeer& peer) {
            peer.send(ok);
            sendForever(peer, QByteArray("X-Filler: " + QByteArray(240, 'f') + "\r\n").repeated(256), 1);
        });
        row("endless redirect chain", redirectToSelf);
        row("reset in the middle of the body", [ok, logo](ScriptedPeer& peer) {
            peer.send(ok + "Content-Length: " + QByteArray::number(logo.size()) + "\r\n\r\n" +
                      logo.left(logo.size() / 2))
                .pause(20)
                .reset();
        });
        // A whole, good picture, but not the billion bytes announced: the
        // transfer was cut short, so what arrived is no logo.
        row("a billion bytes announced, then closed", [ok, logo](ScriptedPeer& peer) {
            peer.send(ok + "Content-Length: 1000000000\r\n\r\n" + logo).close();
        });
        // No time limit at all: only the size of a logo ends these, long
        // before the disk is full.
        row("a body without end", [](ScriptedPeer& peer) {
            peer.send("HTTP/1.0 200 OK\r\n\r\n");
            sendForever(peer, QByteArray(64 * 1024, '\xFF'), 1);
        }, 0);
        row("a body announced beyond the limit", [](ScriptedPeer& peer) {
            peer.send("HTTP/1.0 200 OK\r\nContent-Length: 2000000\r\n\r\n");
            sendForever(peer, QByteArray(1024, '\xFF'), 20);
        }, 0);
    }

    void badLogoServersEndInTime()
    {
        QFETCH(Reply, reply);
        QFETCH(int, timeOut);
        ScriptedPeer peer;
        afterRequest(peer, [&] { reply(peer); });
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        window.HttpClient->TimeOut = timeOut;
        window.maxLogoBytes = 1024 * 1024;
        HangGuard guard(window, 20000);

        // While the logo step waits, the window is busy: the three tool
        // button actions are refused.
        bool refusedWhileBusy = false;
        peer.run([&] {
            refusedWhileBusy = window.status() == QLatin1String("Loading squad logo...");
            window.tbtnRefreshClick();
            window.tbtnDatabaseClick();
            refusedWhileBusy = refusedWhileBusy && !window.tmrWaitDatabase->isActive() &&
                               window.pgLeft->isPageVisible(window.tbshtDetails);
        });

        openSquad(window, logoAt(peer));
        QVERIFY(!guard.fired());
        expectSound(window, seams);
        QVERIFY(refusedWhileBusy);
        QVERIFY(seams.messages.isEmpty());
        QCOMPARE(logoSize(window), QSize());
        window.twSquad->setCurrentIndex(window.twSquadModel->index(0, 0)); // shows "temp.jpg" if there is one
        QCOMPARE(logoSize(window), QSize());
        QVERIFY(QFileInfo("temp.jpg").size() < 1024 * 1024); // the second attempt's 404 page, if anything
    }

    void aFullDiskWhileSavingTheLogoShowsNoLogo()
    {
        // The disk takes 2 KiB of any file and refuses the rest. The logo is
        // larger but small enough to sit in a file buffer until it is
        // flushed, which is where the refusal shows; it comes without a
        // Content-Length, so only the refusal tells that it was cut short.
        const QByteArray logo = jpeg(96, 72, true);
        QVERIFY(logo.size() > 4096 && logo.size() < 16 * 1024);
        auto serveLogo = [&logo](ScriptedPeer& peer) {
            afterRequest(peer, [&] { peer.send("HTTP/1.0 200 OK\r\n\r\n" + logo).close(); });
        };
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        waitIdle(window, 1);
        {
            FileSizeLimit diskFull(2048);
            QVERIFY(diskFull.works());
            ScriptedPeer full;
            serveLogo(full);
            openSquad(window, logoAt(full));
        }
        expectSound(window, seams);
        QVERIFY(seams.messages.isEmpty());
        QCOMPARE(logoSize(window), QSize()); // never the first 2 KiB of the picture
        QVERIFY(QFileInfo("temp.jpg").size() <= 2048);

        // With room again, the same squad shows its logo.
        ScriptedPeer roomy;
        serveLogo(roomy);
        openSquad(window, logoAt(roomy));
        QCOMPARE(logoSize(window), QSize(96, 72));
    }
};

QTEST_MAIN(TestFaultsLogo)
#include "TestFaultsLogo.moc"
