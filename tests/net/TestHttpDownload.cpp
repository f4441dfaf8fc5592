// Downloads from a real web server on loopback, compared byte for byte with
// what curl fetches, and the "squadnet get" command as a whole program.

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include "HttpClient.h"
#include "LoopbackWebServer.h"
#include "TestSupport.h"

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

struct Run {
    int exitCode = -1;
    QByteArray stdErr;
};

Run runSquadnet(const QStringList& arguments, const QString& workingDirectory)
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(binaryPath(QStringLiteral("tools/squadnet")), arguments);
    Run run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.stdErr = process.readAllStandardError();
    return run;
}

// A port on 127.0.0.1 where nothing listens (just released).
quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

} // namespace

class TestHttpDownload : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void sameBytesAsCurl_data();
    void sameBytesAsCurl();
    void squadnetGetWritesTheDefaultFiles();
    void squadnetGetExitCodes();

private:
    QTemporaryDir m_www;
    std::unique_ptr<LoopbackWebServer> m_server;
};

void TestHttpDownload::initTestCase()
{
    QVERIFY(m_www.isValid());
    QRandomGenerator random(4711);
    const QList<qsizetype> sizes{0, 1, 65535, 65536, 65537, 3 * 1024 * 1024 + 17};
    for (const qsizetype size : sizes) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < size; ++i)
            bytes[i] = static_cast<char>(random.generate() & 0xFF);
        writeFile(m_www.filePath(QStringLiteral("f%1.bin").arg(size)), bytes);
    }
    writeFile(m_www.filePath(QStringLiteral("logo.jpg")), QByteArray("\xFF\xD8\xFF\xE0 not really"));
    m_server = std::make_unique<LoopbackWebServer>(m_www.path());
    QVERIFY2(m_server->start(), "the loopback web server did not start");
}

void TestHttpDownload::cleanupTestCase()
{
    m_server.reset();
}

void TestHttpDownload::sameBytesAsCurl_data()
{
    QTest::addColumn<QString>("name");
    for (const char* size : {"0", "1", "65535", "65536", "65537", "3145745"})
        QTest::newRow(size) << QStringLiteral("f%1.bin").arg(QLatin1String(size));
}

void TestHttpDownload::sameBytesAsCurl()
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
    const QByteArray expected = readAll(m_www.filePath(name));
    const QByteArray fromCurl = readAll(out.filePath("curl.bin"));
    const QByteArray ours = readAll(out.filePath("body.bin"));
    QCOMPARE(fromCurl.size(), expected.size());
    QCOMPARE(ours.size(), expected.size());
    QVERIFY(ours == fromCurl);
    QCOMPARE(client.contentLength(), expected.size());

    const QByteArray head = readAll(out.filePath(QStringLiteral("head.txt")));
    QVERIFY2(head.startsWith("HTTP/1.0 200 "), head.constData());
    QVERIFY(head.endsWith("\r\n\r\n"));
}

void TestHttpDownload::squadnetGetWritesTheDefaultFiles()
{
    QTemporaryDir cwd;
    const Run run = runSquadnet({QStringLiteral("get"), m_server->url("logo.jpg")}, cwd.path());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(readAll(cwd.filePath(QStringLiteral("temp.jpg"))),
             readAll(m_www.filePath(QStringLiteral("logo.jpg"))));
    QVERIFY(readAll(cwd.filePath(QStringLiteral("Head.txt"))).startsWith("HTTP/1.0 200 "));
}

void TestHttpDownload::squadnetGetExitCodes()
{
    QTemporaryDir cwd;
    // An error reply is a completed request: exit 0, the error page kept.
    Run run = runSquadnet({QStringLiteral("get"), m_server->url("missing.jpg"), "--body", "b.html",
                           "--header", "h.txt"},
                          cwd.path());
    QCOMPARE(run.exitCode, 0);
    QVERIFY(readAll(cwd.filePath(QStringLiteral("h.txt"))).startsWith("HTTP/1.0 404 "));
    QVERIFY(QFile::exists(cwd.filePath(QStringLiteral("b.html"))));

    run = runSquadnet({QStringLiteral("get"),
                       QStringLiteral("http://127.0.0.1:%1/x.jpg").arg(closedPort())},
                      cwd.path());
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.stdErr.contains("Connection"), run.stdErr.constData());

    run = runSquadnet({QStringLiteral("get"), QStringLiteral("https://127.0.0.1/x.jpg")}, cwd.path());
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.stdErr, QByteArray("HTTP Secure Socket is not supported\n"));

    run = runSquadnet({QStringLiteral("get")}, cwd.path());
    QCOMPARE(run.exitCode, 2);
    run = runSquadnet({QStringLiteral("get"), "a", "--body"}, cwd.path());
    QCOMPARE(run.exitCode, 2);
}

QTEST_GUILESS_MAIN(TestHttpDownload)
#include "TestHttpDownload.moc"
