// The squad logo: which picture values are fetched, from where, and what is
// shown when the server hands back something that is no good logo. Pages and
// logos come from a real web server on loopback.

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTreeView>
#include <QtTest>

#include "LoopbackWebServer.h"
#include "MainFrm.h"
#include "RecordingSeams.h"
#include "TestSupport.h"

namespace {

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QByteArray jpeg(int width, int height, QRgb colour)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 90);
    return data;
}

QByteArray fixture(const QString& name)
{
    QFile file(sourcePath("tests/app/data/" + name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QSize logoSize(const TfrmMain& window)
{
    const QPixmap pixmap = window.imgLogo->pixmap();
    return pixmap.isNull() ? QSize() : pixmap.size();
}

} // namespace

class TestLogoStep : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_root;
    QTemporaryDir m_work;
    QString m_savedCwd;
    std::unique_ptr<LoopbackWebServer> m_web;
    quint16 m_closedPort = 0;
    QStringList m_pages;

    // A squad page served at squads/NAME.xml with these picture values.
    void addPage(const QString& name, const QStringList& pictures)
    {
        QByteArray xml = "<squad nick=\"" + name.toUtf8() + "\"><name>" + name.toUtf8() + "</name>";
        for (const QString& picture : pictures)
            xml += "<picture>" + picture.toUtf8().replace("&", "&amp;") + "</picture>";
        writeFile(m_root.filePath("squads/" + name + ".xml"), xml + "</squad>");
        m_pages << name;
    }

    // Opens the squad's details and waits until the logo step is over.
    void showSquad(TfrmMain& window, const QString& name)
    {
        window.tbtnDatabaseClick();
        const QString url = m_web->url("squads/" + name + ".xml");
        for (int i = 0; i < window.lbSquads->count(); ++i)
            if (window.lbSquads->item(i)->data(TfrmMain::SquadUrlRole).toString() == url)
                window.lbSquads->setCurrentRow(i);
        QCOMPARE(window.SelectedSquadUrl, url);
        window.tbtnDetailsClick();
        QCOMPARE(window.status(), QString("Loading squad details ..."));
        QTRY_VERIFY_WITH_TIMEOUT(!window.tmrWaitDetail->isActive(), 10000);
        QCOMPARE(window.status(), QString("Ready"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid() && m_work.isValid());
        m_savedCwd = QDir::currentPath();
        QDir::setCurrent(m_work.path());
        m_web = std::make_unique<LoopbackWebServer>(m_root.path());
        QVERIFY(m_web->start());
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        m_closedPort = closed.serverPort();
        closed.close();

        const QString base = m_web->url("");
        writeFile(m_root.filePath("logos/red.jpg"), jpeg(64, 32, qRgb(220, 0, 0)));
        writeFile(m_root.filePath("logos/blue.JPEG"), jpeg(48, 48, qRgb(0, 0, 220)));
        writeFile(m_root.filePath("logos/progressive.jpg"), fixture("progressive.jpg"));
        writeFile(m_root.filePath("logos/cmyk.jpg"), fixture("cmyk.jpg"));
        const QByteArray big = jpeg(200, 200, qRgb(0, 200, 0));
        writeFile(m_root.filePath("logos/truncated.jpg"), big.left(120));
        QByteArray huge = jpeg(16, 16, qRgb(1, 2, 3));
        const int sof = huge.indexOf("\xFF\xC0");
        QVERIFY(sof > 0);
        huge[sof + 5] = char(0xEA); huge[sof + 6] = char(0x60); // 60000 high
        huge[sof + 7] = char(0xEA); huge[sof + 8] = char(0x60); // 60000 wide
        writeFile(m_root.filePath("logos/huge.jpg"), huge);
        // The first attempt hands a relative value to the client as it is,
        // which takes its first part for a host: "localhost:1" is refused at
        // once, without a name query leaving the machine. The second attempt
        // finds the file below the page's folder.
        writeFile(m_root.filePath("squads/localhost:1/rel.jpg"), jpeg(30, 20, qRgb(9, 9, 9)));

        addPage("absolute", {base + "logos/red.jpg"});
        addPage("relative", {"localhost:1/rel.jpg"});
        addPage("lastwins", {base + "logos/red.jpg", base + "logos/blue.JPEG"});
        addPage("png", {base + "logos/red.png"});
        addPage("query", {base + "logos/red.jpg?size=2"});
        addPage("folderdot", {base + "logos.b/logo"});
        addPage("missing", {base + "logos/none.jpg"});
        addPage("refused", {QString("http://127.0.0.1:%1/logos/red.jpg").arg(m_closedPort)});
        addPage("progressive", {base + "logos/progressive.jpg"});
        addPage("cmyk", {base + "logos/cmyk.jpg"});
        addPage("truncated", {base + "logos/truncated.jpg"});
        addPage("huge", {base + "logos/huge.jpg"});
        addPage("nopicture", {});

        QByteArray directory = "<squads>";
        for (const QString& name : m_pages)
            directory += "<squad nick=\"" + name.toUtf8() + "\" web=\"" + m_web->url("squads/" + name + ".xml").toUtf8() + "\"/>";
        writeFile(m_root.filePath("corvanet.xml"), directory + "</squads>");
    }

    void cleanupTestCase()
    {
        m_web.reset();
        QDir::setCurrent(m_savedCwd);
    }

    void fetchesAndShowsTheLogo()
    {
        AppSettings settings;
        settings.directoryUrl = m_web->url("corvanet.xml");
        RecordingSeams seams;
        TfrmMain window(settings, seams);
        QTRY_VERIFY_WITH_TIMEOUT(window.lbSquads->count() == m_pages.size(), 10000);

        showSquad(window, "absolute");
        QCOMPARE(logoSize(window), QSize(64, 32));
        QVERIFY(QFile::exists("temp.jpg"));
        QVERIFY(QFile("Head.txt").open(QIODevice::ReadOnly));
        QCOMPARE(seams.cursor, UiSeams::crDefault);
        QVERIFY(seams.messages.isEmpty());

        showSquad(window, "relative");
        QCOMPARE(logoSize(window), QSize(30, 20));

        showSquad(window, "lastwins");
        QCOMPARE(logoSize(window), QSize(48, 48));

        for (const char* name : {"progressive", "cmyk"}) {
            showSquad(window, name);
            QCOMPARE(logoSize(window), QSize(40, 30));
        }
        QVERIFY(seams.messages.isEmpty());
    }

    void nonJpegNamesAreNotFetched()
    {
        AppSettings settings;
        settings.directoryUrl = m_web->url("corvanet.xml");
        RecordingSeams seams;
        TfrmMain window(settings, seams);
        QTRY_VERIFY_WITH_TIMEOUT(window.lbSquads->count() == m_pages.size(), 10000);

        for (const char* name : {"png", "query", "folderdot", "nopicture"}) {
            QFile::remove("Head.txt");
            showSquad(window, name);
            QVERIFY2(!QFile::exists("Head.txt"), name); // no request was made
            QCOMPARE(logoSize(window), QSize());
        }
    }

    void badLogosLeaveTheLogoEmptyAndTheWindowReady()
    {
        AppSettings settings;
        settings.directoryUrl = m_web->url("corvanet.xml");
        RecordingSeams seams;
        TfrmMain window(settings, seams);
        QTRY_VERIFY_WITH_TIMEOUT(window.lbSquads->count() == m_pages.size(), 10000);

        // Each follows a squad whose logo did show: the old logo must not
        // stay on the new squad's page.
        for (const char* name : {"missing", "refused", "truncated", "huge"}) {
            showSquad(window, "absolute");
            QCOMPARE(logoSize(window), QSize(64, 32));
            showSquad(window, name);
            QVERIFY2(logoSize(window).isEmpty(), name);
            QCOMPARE(seams.cursor, UiSeams::crDefault);
            window.twSquad->setCurrentIndex(window.twSquadModel->index(0, 0));
            QVERIFY2(logoSize(window).isEmpty(), name);
        }
        QVERIFY(seams.messages.isEmpty());
    }
};

QTEST_MAIN(TestLogoStep)
#include "TestLogoStep.moc"
