// Downloads: from a real web server on loopback, compared byte for byte with
// what curl fetches; into working files on a full disk or replaced by a link;
// and the "squadnet get" command as a whole program.

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include "FileSizeLimit.h"
#include "HttpScript.h"
#include "LoopbackWebServer.h"

namespace
{
const qsizetype kSizes[] = {0, 1, 65535, 65536, 65537, 3 * 1024 * 1024 + 17};
}

class TestHttpDownload : public QObject
{
    Q_OBJECT
    QTemporaryDir m_www;
    std::unique_ptr<LoopbackWebServer> m_server;

private slots:
    void initTestCase()
    {
        QRandomGenerator random(4711);
        for (const qsizetype size : kSizes) {
            QByteArray bytes(size, Qt::Uninitialized);
            for (qsizetype i = 0; i < size; ++i)
                bytes[i] = static_cast<char>(random.generate() & 0xFF);
            QVERIFY(writeFile(m_www.filePath(QStringLiteral("f%1.bin").arg(size)), bytes));
        }
        QVERIFY(
            writeFile(m_www.filePath(QStringLiteral("logo.jpg")), "\xFF\xD8\xFF\xE0 not really"));
        m_server = std::make_unique<LoopbackWebServer>(m_www.path());
        QVERIFY2(m_server->start(), "the loopback web server did not start");
    }

    void cleanupTestCase() { m_server.reset(); }

    void sameBytesAsCurl_data()
    {
        QTest::addColumn<QString>("name");
        for (const qsizetype size : kSizes)
            QTest::addRow("%lld", qlonglong(size)) << QStringLiteral("f%1.bin").arg(size);
    }

    void sameBytesAsCurl()
    {
        QFETCH(QString, name);
        QTemporaryDir out;
        const QString url = m_server->url(name);
        QProcess curl;
        curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-0"),
                                            QStringLiteral("-o"), out.filePath("curl.bin"), url});
        QVERIFY(curl.waitForFinished(30000));
        QCOMPARE(curl.exitCode(), 0);

        THttpClient client;
        client.Body = QFile::encodeName(out.filePath(QStringLiteral("body.bin")));
        client.Header = QFile::encodeName(out.filePath(QStringLiteral("head.txt")));
        client.InputFileMode = true;
        client.OutputFileMode = true;
        client.Host = url;
        client.Get(url);
        QCOMPARE(client.ReplyCode, 200);
        const QByteArray expected = readFile(m_www.filePath(name));
        const QByteArray fromCurl = readFile(out.filePath("curl.bin"));
        const QByteArray ours = readFile(out.filePath("body.bin"));
        QCOMPARE(fromCurl.size(), expected.size());
        QCOMPARE(ours.size(), expected.size());
        QVERIFY(ours == fromCurl);
        QCOMPARE(client.contentLength(), expected.size());
        const QByteArray head = readFile(out.filePath(QStringLiteral("head.txt")));
        QVERIFY2(head.startsWith("HTTP/1.0 200 ") && head.endsWith("\r\n\r\n"), head.constData());
    }

    void aFullDiskIsAnError_data()
    {
        // The disk takes 64 bytes of any file: the header of the first two
        // rows fits and their body does not; the third's header does not.
        QTest::addColumn<QByteArray>("reply");
        const QByteArray body(100, 'b');
        QTest::newRow("body to the close") << "HTTP/1.0 200 OK\r\n\r\n" + body;
        QTest::newRow("body of a known length")
            << "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n" + body;
        QTest::newRow("header") << "HTTP/1.0 200 OK\r\nX-Filler: " + QByteArray(80, 'f') +
                                       "\r\n\r\nbody";
    }

    void aFullDiskIsAnError()
    {
        // Every write beyond the limit fails (EFBIG): the bytes must not be
        // reported as stored. A small body is the hard case: it fits in a
        // file buffer and fails only when flushed.
        QFETCH(QByteArray, reply);
        HttpRig c;
        QString error;
        {
            FileSizeLimit diskFull(64);
            QVERIFY(diskFull.works());
            error = getAnsweredBy(c, reply);
        }
        QVERIFY2(error.startsWith(QStringLiteral("Cannot write file ")), qPrintable(error));
        QVERIFY(!c.client.Connected);
    }

    // The working files have fixed names; a link put in the place of one is
    // refused, and neither it nor what it points to is written. A file made
    // anew is the user's alone.
    void aLinkInThePlaceOfAWorkingFileIsRefused_data()
    {
        QTest::addColumn<QString>("link");
        QTest::newRow("body") << "temp.jpg";
        QTest::newRow("header") << "Head.txt";
    }

    void aLinkInThePlaceOfAWorkingFileIsRefused()
    {
        QFETCH(QString, link);
        HttpRig c;
        QTemporaryDir elsewhere;
        const QString victim = elsewhere.filePath("victim");
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("precious") == 8);
        file.close();
        QVERIFY(QFile::link(victim, c.dir.filePath(link)));
        const QString error = getAnsweredBy(c, "HTTP/1.0 200 OK\r\n\r\nbody");
        QVERIFY2(error.startsWith(QStringLiteral("Cannot create file ")), qPrintable(error));
        QVERIFY(!c.client.Connected);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("precious"));
        QVERIFY(QFileInfo(c.dir.filePath(link)).isSymLink());
        if (link == QLatin1String("temp.jpg")) // the header came first
            QCOMPARE(QFileInfo(c.dir.filePath("Head.txt")).permissions() &
                         (QFile::ReadGroup | QFile::ReadOther | QFile::WriteOther),
                     QFile::Permissions());
    }

    void squadnetGet()
    {
        QTemporaryDir cwd;
        const auto get = [&](const QStringList& arguments, QByteArray* errors = nullptr) {
            return runSquadnet(QStringList{"get"} + arguments, {}, errors, cwd.path());
        };
        // The default files.
        QCOMPARE(get({m_server->url("logo.jpg")}), 0);
        QCOMPARE(readFile(cwd.filePath("temp.jpg")), readFile(m_www.filePath("logo.jpg")));
        QVERIFY(readFile(cwd.filePath("Head.txt")).startsWith("HTTP/1.0 200 "));

        // An error reply is a completed request: exit 0, the error page kept.
        QCOMPARE(get({m_server->url("missing.jpg"), "--body", "b.html", "--header", "h.txt"}), 0);
        QVERIFY(readFile(cwd.filePath("h.txt")).startsWith("HTTP/1.0 404 "));
        QVERIFY(QFile::exists(cwd.filePath("b.html")));

        QByteArray errors;
        QCOMPARE(get({QStringLiteral("http://127.0.0.1:%1/x.jpg").arg(unusedPort())}, &errors), 1);
        QVERIFY2(errors.contains("Connection"), errors.constData());
        QCOMPARE(get({"http://127.0.0.1:0/x.jpg"}, &errors), 1);
        QCOMPARE(errors, QByteArray("Port 0 is out of range\n"));
        QCOMPARE(get({}), 2);
        QCOMPARE(get({"a", "--body"}), 2);
    }
};

QTEST_GUILESS_MAIN(TestHttpDownload)
#include "TestHttpDownload.moc"
