// Downloads from a real web server on loopback, compared byte for byte with
// what curl fetches, and the "squadnet get" command as a whole program.

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include "HttpClient.h"
#include "LoopbackWebServer.h"
#include "NetTestSupport.h"

namespace {
const qsizetype kSizes[] = {0, 1, 65535, 65536, 65537, 3 * 1024 * 1024 + 17};
}

class TestHttpDownload : public QObject {
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
        QVERIFY(writeFile(m_www.filePath(QStringLiteral("logo.jpg")), "\xFF\xD8\xFF\xE0 not really"));
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
        curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-0"), QStringLiteral("-o"),
                                            out.filePath("curl.bin"), url});
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

    // A server that takes the connection and never answers: the command ends
    // after --timeout seconds without a byte instead of waiting for ever.
    void silentServerEndsTheCommand_data()
    {
        QTest::addColumn<QStringList>("arguments"); // %1: the server's port
        QTest::newRow("get") << QStringList{"get", "http://127.0.0.1:%1/x.jpg", "--timeout", "1"};
        QTest::newRow("upload") << QStringList{"upload", "--host", "127.0.0.1", "--port", "%1", "--user", "u",
                                               "--password-file", "-", "--timeout=1", "local.txt", "r.txt"};
    }

    void silentServerEndsTheCommand()
    {
        QFETCH(QStringList, arguments);
        QTcpServer silent; // the system accepts; nobody ever answers
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        arguments.replaceInStrings("%1", QString::number(silent.serverPort()));
        QTemporaryDir cwd;
        QVERIFY(writeFile(cwd.filePath("local.txt"), "data"));
        QByteArray errors;
        QCOMPARE(runSquadnet(arguments, "secret\n", &errors, cwd.path()), 1);
        QVERIFY2(errors.contains("no data for 1 seconds: timed out"), errors.constData());
        QCOMPARE(runSquadnet({"get", "http://127.0.0.1:1/", "--timeout", "0"}, {}, &errors), 2);
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
