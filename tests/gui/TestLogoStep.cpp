// The squad logo: which picture values are fetched, from where, and what is
// shown when the server hands back something that is no good logo. Pages and
// logos come from a real web server on loopback.

#include <QTcpServer>
#include <QTemporaryDir>
#include <QTreeView>

#include "FaultHelpers.h"
#include "LoopbackWebServer.h"

using namespace FaultHelpers;

class TestLogoStep : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_root;
    WorkingDir m_work;
    std::unique_ptr<LoopbackWebServer> m_web;

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid() && m_work.isValid());
        m_web = std::make_unique<LoopbackWebServer>(m_root.path());
        QVERIFY(m_web->start());

        QVERIFY(writeFile(m_root.filePath("logos/red.jpg"), jpeg(64, 32)));
        QVERIFY(writeFile(m_root.filePath("logos/blue.JPEG"), jpeg(48, 48)));
        QVERIFY(writeFile(m_root.filePath("logos/progressive.jpg"), fixture("progressive.jpg")));
        QVERIFY(writeFile(m_root.filePath("logos/cmyk.jpg"), fixture("cmyk.jpg")));
        QVERIFY(writeFile(m_root.filePath("logos/truncated.jpg"), jpeg(200, 200).left(120)));
        QByteArray huge = jpeg(16, 16);
        const int sof = huge.indexOf("\xFF\xC0");
        QVERIFY(sof > 0);
        huge.replace(sof + 5, 4, "\xEA\x60\xEA\x60"); // 60000 high, 60000 wide
        QVERIFY(writeFile(m_root.filePath("logos/huge.jpg"), huge));
        // The first attempt hands a relative value to the client as it is,
        // which takes its first part for a host: "localhost:1" is refused at
        // once, without a name query leaving the machine. The second attempt
        // finds the file below the page's folder.
        QVERIFY(writeFile(m_root.filePath("squads/localhost:1/rel.jpg"), jpeg(30, 20)));

        QVERIFY(writeFile(m_root.filePath("squads/old.xml"),
                          squadPage("old", {m_web->url("logos/red.jpg")})));
        QVERIFY(writeFile(m_root.filePath("corvanet.xml"),
                          directory({{"old", m_web->url("squads/old.xml")},
                                     {"new", m_web->url("squads/new.xml")}})));
    }

    void showsOnlyAGoodJpegLogo_data()
    {
        QTest::addColumn<QStringList>("pictures");
        QTest::addColumn<QSize>("logo"); // invalid: none
        QTest::addColumn<bool>("fetched");
        const QString base = m_web->url("logos/");
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString refused = QString("http://127.0.0.1:%1/logos/red.jpg").arg(closed.serverPort());
        closed.close();

        QTest::newRow("absolute") << QStringList{base + "blue.JPEG"} << QSize(48, 48) << true;
        QTest::newRow("relative to the page") << QStringList{"localhost:1/rel.jpg"} << QSize(30, 20) << true;
        QTest::newRow("the last picture wins")
            << QStringList{base + "red.jpg", base + "blue.JPEG"} << QSize(48, 48) << true;
        QTest::newRow("progressive") << QStringList{base + "progressive.jpg"} << QSize(40, 30) << true;
        QTest::newRow("CMYK") << QStringList{base + "cmyk.jpg"} << QSize(40, 30) << true;
        // The extension rule: only ".jpg" and ".jpeg" at the very end.
        QTest::newRow("png") << QStringList{base + "red.png"} << QSize() << false;
        QTest::newRow("query") << QStringList{base + "red.jpg?size=2"} << QSize() << false;
        QTest::newRow("dot in a folder") << QStringList{m_web->url("logos.b/logo")} << QSize() << false;
        QTest::newRow("no picture") << QStringList() << QSize() << false;
        // The server's HTML error page lands in temp.jpg.
        QTest::newRow("404") << QStringList{base + "none.jpg"} << QSize() << true;
        QTest::newRow("both attempts fail") << QStringList{refused} << QSize() << true;
        QTest::newRow("truncated") << QStringList{base + "truncated.jpg"} << QSize() << true;
        QTest::newRow("60000 x 60000") << QStringList{base + "huge.jpg"} << QSize() << true;
    }

    void showsOnlyAGoodJpegLogo()
    {
        QFETCH(QStringList, pictures);
        QFETCH(QSize, logo);
        QFETCH(bool, fetched);
        QVERIFY(writeFile(m_root.filePath("squads/new.xml"), squadPage("new", pictures)));
        AppSettings settings;
        settings.directoryUrl = m_web->url("corvanet.xml");
        RecordingSeams seams;
        TfrmMain window(settings, seams);
        waitIdle(window, 2);

        // A squad whose logo showed comes first: its logo must never stay on
        // the next squad's page.
        openSquad(window, m_web->url("squads/old.xml"));
        QCOMPARE(logoSize(window), QSize(64, 32));
        QFile::remove("Head.txt");
        openSquad(window, m_web->url("squads/new.xml"));
        QCOMPARE(logoSize(window), logo);
        QCOMPARE(QFile::exists("Head.txt"), fetched); // the reply's header, when a request was made
        if (logo.isValid())
            QVERIFY(QFile::exists("temp.jpg"));
        window.twSquad->setCurrentIndex(window.twSquadModel->index(0, 0)); // shows "temp.jpg" again
        QCOMPARE(logoSize(window), logo);
        QCOMPARE(seams.cursor, UiSeams::crDefault);
        QVERIFY(seams.messages.isEmpty());
    }
};

QTEST_MAIN(TestLogoStep)
#include "TestLogoStep.moc"
