// The FTP client and the squadnet upload command against a real FTP server on
// loopback. The client sends no TYPE command, so the server stores in ASCII
// type and may turn CR LF into LF: the files here hold no CR, like the squad
// directory they stand for, and must arrive byte for byte.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "FtpClient.h"
#include "LoopbackFtpServer.h"
#include "TestSupport.h"

namespace {

const QString kUser = QStringLiteral("squadlead");
const QString kPassword = QStringLiteral("squadup");

// Text-like content without CR: lines of varying length over all other bytes.
QByteArray content(qint64 size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i) {
        char c = char((i * 31 + i / 977) & 0xff);
        if (c == '\r')
            c = '\n';
        data[i] = c;
    }
    return data;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestFtpServer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void uploadsWholeFiles_data();
    void uploadsWholeFiles();
    void refusesWrongPassword();
    void squadnetExitCodes();

private:
    TFtpClient* newClient(bool passive);
    int runSquadnet(const QStringList& arguments, const QByteArray& input, QByteArray* errors);

    QTemporaryDir m_root;
    QTemporaryDir m_local;
    std::unique_ptr<LoopbackFtpServer> m_server;
    std::unique_ptr<TFtpClient> m_client;
};

void TestFtpServer::initTestCase()
{
    QVERIFY(m_root.isValid() && m_local.isValid());
    m_server = std::make_unique<LoopbackFtpServer>(m_root.path(), kUser, kPassword);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorText()));
}

void TestFtpServer::cleanupTestCase()
{
    m_client.reset();
    m_server->stop();
}

TFtpClient* TestFtpServer::newClient(bool passive)
{
    m_client = std::make_unique<TFtpClient>();
    m_client->Host = QStringLiteral("127.0.0.1");
    m_client->Port = m_server->port();
    m_client->UserID = kUser;
    m_client->Password = kPassword;
    m_client->Passive = passive;
    return m_client.get();
}

void TestFtpServer::uploadsWholeFiles_data()
{
    QTest::addColumn<bool>("passive");
    QTest::addColumn<qint64>("size");
    const qint64 sizes[] = {0, 1, 65535, 65536, 65537, 3 * 1024 * 1024 + 7, 64 * 1024 * 1024};
    for (const bool passive : {true, false})
        for (const qint64 size : sizes)
            QTest::addRow("%s %lld", passive ? "passive" : "active", size) << passive << size;
}

// The publish sequence, as the program runs it: Connect, Upload only when
// connected, Disconnect.
void TestFtpServer::uploadsWholeFiles()
{
    QFETCH(bool, passive);
    QFETCH(qint64, size);
    const QByteArray data = content(size);
    const QString local = m_local.filePath(QStringLiteral("a.tmp"));
    QVERIFY(writeFile(local, data));

    TFtpClient* client = newClient(passive);
    int successes = 0;
    client->OnSuccess = [&](TCmdType type) {
        QCOMPARE(type, TCmdType::Upload);
        ++successes;
    };
    client->Connect();
    QVERIFY(client->Connected);
    client->Upload(local, QStringLiteral("/corvanet.xml"));
    QCOMPARE(client->TotalBytes, qint32(size));
    client->Disconnect();
    QVERIFY(!client->Connected);
    QCOMPARE(successes, 1);

    const QByteArray stored = readFile(m_root.filePath(QStringLiteral("corvanet.xml")));
    QCOMPARE(stored.size(), data.size());
    QVERIFY(stored == data);
}

void TestFtpServer::refusesWrongPassword()
{
    TFtpClient* client = newClient(true);
    client->Password = QStringLiteral("wrong");
    int failures = 0;
    client->OnConnectionFailed = [&](QObject*) { ++failures; };
    try {
        client->Connect();
        QFAIL("Connect accepted a wrong password");
    } catch (const FTPException& error) {
        QVERIFY2(error.message().startsWith(QLatin1String("530")), error.what());
    }
    QCOMPARE(failures, 1);
    QVERIFY(!client->Connected);
}

int TestFtpServer::runSquadnet(const QStringList& arguments, const QByteArray& input,
                               QByteArray* errors)
{
    QProcess process;
    process.start(binaryPath(QStringLiteral("tools/squadnet")),
                  QStringList{QStringLiteral("upload")} + arguments);
    if (!process.waitForStarted(5000))
        return -1;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000))
        return -2;
    if (errors)
        *errors = process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -3;
}

void TestFtpServer::squadnetExitCodes()
{
    const QString local = m_local.filePath(QStringLiteral("cli.xml"));
    const QByteArray data = content(300000);
    QVERIFY(writeFile(local, data));
    const QString passwordFile = m_local.filePath(QStringLiteral("password"));
    QVERIFY(writeFile(passwordFile, kPassword.toUtf8() + "\r\nsecond line\n"));
    const QString port = QString::number(m_server->port());
    const QStringList account{QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                              QStringLiteral("--port"), port, QStringLiteral("--user"), kUser};
    QByteArray errors;

    // Passive with the password from a file (first line, without CR LF).
    QCOMPARE(runSquadnet(account + QStringList{"--password-file", passwordFile, local, "/p.xml"},
                         {}, &errors),
             0);
    QCOMPARE(readFile(m_root.filePath(QStringLiteral("p.xml"))), data);

    // Active with the password on standard input.
    QCOMPARE(runSquadnet(account + QStringList{"--password-file", "-", "--active", local, "/a.xml"},
                         kPassword.toUtf8() + "\n", &errors),
             0);
    QCOMPARE(readFile(m_root.filePath(QStringLiteral("a.xml"))), data);

    // A refused login: the server's reply on stderr.
    QCOMPARE(runSquadnet(account + QStringList{"--password-file", "-", local, "/w.xml"},
                         "wrong\n", &errors),
             1);
    QVERIFY2(errors.contains("530"), errors.constData());
    QVERIFY(!QFile::exists(m_root.filePath(QStringLiteral("w.xml"))));

    // Usage errors: no password option, a missing file argument.
    QCOMPARE(runSquadnet(account + QStringList{local, "/x.xml"}, {}, &errors), 2);
    QCOMPARE(runSquadnet(account + QStringList{"--password-file", passwordFile, local}, {}, &errors), 2);
}

QTEST_GUILESS_MAIN(TestFtpServer)
#include "TestFtpServer.moc"
