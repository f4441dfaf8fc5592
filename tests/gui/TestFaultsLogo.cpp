// Logo servers that misbehave: the squad is shown, the logo step gives up
// within its time, and the window ends "Ready" with the default cursor, no
// logo, no message and no file of the bad reply left to be shown. Squad pages
// come from a real web server on loopback; the logo server is scripted.

#include <QLabel>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

#include "FaultHelpers.h"
#include "LoopbackWebServer.h"
#include "PageArea.h"
#include "ScriptedPeer.h"

using namespace FaultHelpers;

namespace
{

// The ways a logo server misbehaves; each scripts the peer.
using Behaviour = std::function<void(ScriptedPeer& peer)>;

// Reads one request header to its empty line, then runs then().
void afterRequest(ScriptedPeer& peer, std::function<void()> then)
{
    peer.expectLine().run([&peer, then] {
        if (peer.lines().last() != "\r\n")
            return afterRequest(peer, then);
        then();
    });
}


void redirectForever(ScriptedPeer& peer)
{
    afterRequest(peer, [&peer] {
        const QByteArray self = "http://127.0.0.1:" + QByteArray::number(peer.port()) + "/logo.jpg";
        peer.send("HTTP/1.0 302 Found\r\nLocation: " + self + "\r\n\r\n").close().acceptNext();
        redirectForever(peer);
    });
}


} // namespace

Q_DECLARE_METATYPE(Behaviour)

class TestFaultsLogo : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    QTemporaryDir m_work;
    QString m_savedCwd;
    std::unique_ptr<LoopbackWebServer> m_web;

    // Builds a window listing one squad whose picture is at pictureUrl,
    // opens the squad and returns once the logo step is over.
    void openSquad(TfrmMain& window, const QString& pictureUrl)
    {
        QVERIFY(writeFile(m_root.filePath("squads/s.xml"), squadPage("S", {pictureUrl})));
        QTRY_VERIFY_WITH_TIMEOUT(idle(window) && window.lbSquads->count() == 1, 10000);
        QVERIFY(selectUrl(window, m_web->url("squads/s.xml")));
        window.tbtnDetailsClick();
        QCOMPARE(window.status(), QStringLiteral("Loading squad details ..."));
        QTRY_VERIFY_WITH_TIMEOUT(idle(window), 10000);
        QCOMPARE(window.twSquadModel->topLevelCount(), 1); // the squad shows, logo or not
    }

    AppSettings settings() const
    {
        AppSettings s;
        s.directoryUrl = m_web->url("corvanet.xml");
        return s;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid() && m_work.isValid());
        m_savedCwd = QDir::currentPath();
        QDir::setCurrent(m_work.path());
        m_web = std::make_unique<LoopbackWebServer>(m_root.path());
        QVERIFY(m_web->start());
        QVERIFY(writeFile(m_root.filePath("corvanet.xml"),
                          directory({{"S", m_web->url("squads/s.xml")}})));
    }

    void cleanupTestCase()
    {
        m_web.reset();
        QDir::setCurrent(m_savedCwd);
    }

    void badLogoServersEndInTime_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        const QByteArray ok = "HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\n";
        const QByteArray logo = jpeg(40, 30);

        QTest::newRow("accepts and never answers")
            << Behaviour([](ScriptedPeer& peer) { peer.expectLine(); });
        // Each line comes well within the time-out of one read, so only a
        // limit on the request as a whole ends these.
        QTest::newRow("header trickled line by line") << Behaviour([ok](ScriptedPeer& peer) {
            afterRequest(peer, [&peer, ok] {
                peer.send(ok);
                sendForever(peer, "X-Slow: 1\r\n", 30);
            });
        });
        QTest::newRow("body trickled byte by byte") << Behaviour([ok](ScriptedPeer& peer) {
            afterRequest(peer, [&peer, ok] {
                peer.send(ok + "\r\n");
                sendForever(peer, "\xFF", 30);
            });
        });
        QTest::newRow("endless header") << Behaviour([ok](ScriptedPeer& peer) {
            afterRequest(peer, [&peer, ok] {
                peer.send(ok);
                QByteArray lines;
                for (int i = 0; i < 256; ++i)
                    lines += "X-Filler: " + QByteArray(240, 'f') + "\r\n";
                sendForever(peer, lines, 1);
            });
        });
        QTest::newRow("endless redirect chain")
            << Behaviour([](ScriptedPeer& peer) { redirectForever(peer); });
        QTest::newRow("reset in the middle of the body")
            << Behaviour([ok, logo](ScriptedPeer& peer) {
                   afterRequest(peer, [&peer, ok, logo] {
                       peer.send(ok + "Content-Length: " + QByteArray::number(logo.size()) +
                                 "\r\n\r\n" + logo.left(logo.size() / 2))
                           .pause(20)
                           .reset();
                   });
               });
        // A whole, good picture, but not the billion bytes announced: the
        // transfer was cut short, so what arrived is no logo.
        QTest::newRow("a billion bytes announced, then closed")
            << Behaviour([ok, logo](ScriptedPeer& peer) {
                   afterRequest(peer, [&peer, ok, logo] {
                       peer.send(ok + "Content-Length: 1000000000\r\n\r\n" + logo).close();
                   });
               });
    }

    void badLogoServersEndInTime()
    {
        QFETCH(Behaviour, behaviour);
        ScriptedPeer peer;
        behaviour(peer);
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        speedUp(window);
        window.HttpClient->TimeOut = 300;
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

        openSquad(window, QStringLiteral("http://127.0.0.1:%1/logo.jpg").arg(peer.port()));
        QVERIFY(!guard.fired());
        expectSound(window, seams);
        QVERIFY(refusedWhileBusy);
        QVERIFY(seams.messages.isEmpty());
        QCOMPARE(logoSize(window), QSize());
        window.twSquad->setCurrentIndex(
            window.twSquadModel->index(0, 0)); // shows "temp.jpg" if there is one
        QCOMPARE(logoSize(window), QSize());

        window.tbtnRefreshClick();
        QCOMPARE(window.status(), QStringLiteral("Loading database..."));
        QTRY_VERIFY_WITH_TIMEOUT(idle(window), 10000);
    }

    void aBodyThatNeverEndsIsCutOff()
    {
        // No time limit at all: only the size of a logo ends this one, long
        // before the disk is full.
        ScriptedPeer peer;
        afterRequest(peer, [&peer] {
            peer.send("HTTP/1.0 200 OK\r\n\r\n");
            sendForever(peer, QByteArray(64 * 1024, '\xFF'), 1);
        });
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        speedUp(window);
        window.HttpClient->TimeOut = 0;
        window.maxLogoBytes = 1024 * 1024;
        HangGuard guard(window, 20000);
        openSquad(window, QStringLiteral("http://127.0.0.1:%1/logo.jpg").arg(peer.port()));
        QVERIFY(!guard.fired());
        expectSound(window, seams);
        QVERIFY(QFileInfo("temp.jpg").size() <
                1024 * 1024); // the second attempt's 404 page, if anything

        // Announced beyond the limit: cut off with the first bytes.
        ScriptedPeer announcing;
        afterRequest(announcing, [&announcing] {
            announcing.send("HTTP/1.0 200 OK\r\nContent-Length: 2000000\r\n\r\n");
            sendForever(announcing, QByteArray(1024, '\xFF'), 20);
        });
        openSquad(window, QStringLiteral("http://127.0.0.1:%1/logo.jpg").arg(announcing.port()));
        QVERIFY(!guard.fired());
        expectSound(window, seams);
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
        auto serveLogo = [&logo](ScriptedPeer& peer) {
            afterRequest(peer,
                         [&peer, &logo] { peer.send("HTTP/1.0 200 OK\r\n\r\n" + logo).close(); });
        };
        RecordingSeams seams;
        TfrmMain window(settings(), seams);
        speedUp(window);
        QTRY_VERIFY_WITH_TIMEOUT(idle(window) && window.lbSquads->count() == 1, 10000);

        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto oldHandler =
            std::signal(SIGXFSZ, SIG_IGN); // a refused write, not a dead process
        rlimit small = saved;
        small.rlim_cur = 2048;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        ScriptedPeer full;
        serveLogo(full);
        openSquad(window, QStringLiteral("http://127.0.0.1:%1/logo.jpg").arg(full.port()));
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        expectSound(window, seams);
        QVERIFY(seams.messages.isEmpty());
        QCOMPARE(logoSize(window), QSize()); // never the first 2 KiB of the picture
        QVERIFY(QFileInfo("temp.jpg").size() <= 2048);

        // With room again, the same squad shows its logo.
        ScriptedPeer roomy;
        serveLogo(roomy);
        openSquad(window, QStringLiteral("http://127.0.0.1:%1/logo.jpg").arg(roomy.port()));
        QCOMPARE(logoSize(window), QSize(96, 72));
    }
};

QTEST_MAIN(TestFaultsLogo)
#include "TestFaultsLogo.moc"
