// The FTP client and the squadnet upload command against a real FTP server on
// loopback. The client sends no TYPE command, so the server stores in ASCII
// type and may turn CR LF into LF: the files here hold no CR, like the squad
// directory they stand for, and must arrive byte for byte.

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "FtpClient.h"
#include "LoopbackFtpServer.h"
#include "NetTestSupport.h"
#include "ScriptedPeer.h"

namespace {

const QString kUser = QStringLiteral("squadlead");
const QString kPassword = QStringLiteral("squadup");

// Text-like content without CR: lines of varying length over all other bytes.
QByteArray content(qint64 size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i) {
        const char c = char((i * 31 + i / 977) & 0xff);
        data[i] = c == '\r' ? '\n' : c;
    }
    return data;
}

} // namespace

class TestFtpServer : public QObject {
    Q_OBJECT
    QTemporaryDir m_root;
    QTemporaryDir m_local;
    std::unique_ptr<LoopbackFtpServer> m_server;

    std::unique_ptr<TFtpClient> newClient(bool passive)
    {
        auto client = std::make_unique<TFtpClient>();
        client->Host = QStringLiteral("127.0.0.1");
        client->Port = m_server->port();
        client->UserID = kUser;
        client->Password = kPassword;
        client->Passive = passive;
        return client;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid() && m_local.isValid());
        m_server = std::make_unique<LoopbackFtpServer>(m_root.path(), kUser, kPassword);
        QVERIFY2(m_server->start(), qPrintable(m_server->errorText()));
    }

    void cleanupTestCase() { m_server->stop(); }

    void uploadsWholeFiles_data()
    {
        QTest::addColumn<bool>("passive");
        QTest::addColumn<qint64>("size");
        for (const bool passive : {true, false})
            for (const qint64 size : {0, 1, 65535, 65536, 65537, 3 * 1024 * 1024 + 7, 64 * 1024 * 1024})
                QTest::addRow("%s %lld", passive ? "passive" : "active", size) << passive << size;
    }

    // The publish sequence, as the program runs it: Connect, Upload only when
    // connected, Disconnect.
    void uploadsWholeFiles()
    {
        QFETCH(bool, passive);
        QFETCH(qint64, size);
        const QByteArray data = content(size);
        const QString local = m_local.filePath(QStringLiteral("a.tmp"));
        QVERIFY(writeFile(local, data));
        const auto client = newClient(passive);
        int successes = 0;
        client->OnSuccess = [&](TCmdType type) { successes += type == TCmdType::Upload; };
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

    void squadnetUpload()
    {
        const QString local = m_local.filePath(QStringLiteral("cli.xml"));
        const QByteArray data = content(300000);
        QVERIFY(writeFile(local, data));
        const QString passwordFile = m_local.filePath(QStringLiteral("password"));
        QVERIFY(writeFile(passwordFile, kPassword.toUtf8() + "\r\nsecond line\n"));
        const QStringList account{"upload", "--host", "127.0.0.1", "--port", QString::number(m_server->port()),
                                  "--user", kUser};
        QByteArray errors;

        // Passive with the password from a file (first line, without CR LF).
        QCOMPARE(runSquadnet(account + QStringList{"--password-file", passwordFile, local, "/p.xml"}), 0);
        QCOMPARE(readFile(m_root.filePath(QStringLiteral("p.xml"))), data);
        // Active with the password on standard input.
        QCOMPARE(runSquadnet(account + QStringList{"--password-file", "-", "--active", local, "/a.xml"},
                             kPassword.toUtf8() + "\n"),
                 0);
        QCOMPARE(readFile(m_root.filePath(QStringLiteral("a.xml"))), data);

        // A refused login: the server's reply on stderr. (What the client does
        // on a refused login is in TestFtpClient::refusedLogins.)
        QCOMPARE(runSquadnet(account + QStringList{"--password-file", "-", local, "/w.xml"}, "wrong\n", &errors),
                 1);
        QVERIFY2(errors.contains("530"), errors.constData());
        QVERIFY(!QFile::exists(m_root.filePath(QStringLiteral("w.xml"))));

        // Usage errors: no password option, a missing file argument.
        QCOMPARE(runSquadnet(account + QStringList{local, "/x.xml"}), 2);
        QCOMPARE(runSquadnet(account + QStringList{"--password-file", passwordFile, local}), 2);
    }

    // A server that takes the connection and never answers: the command ends
    // at its --timeout. Giving up is final: whatever the server does with the
    // QUIT that follows (here it answers with bytes that never end a line)
    // wins no time-out of its own.
    void squadnetUploadEndsAtItsTimeout()
    {
        ScriptedPeer silent;
        std::function<void()> trickle = [&] { silent.send(" ").pause(200).run(trickle); };
        silent.expectLine().run(trickle);
        const QString local = m_local.filePath(QStringLiteral("silent.xml"));
        QVERIFY(writeFile(local, content(100)));
        QProcess squadnet;
        squadnet.start(binaryPath(QStringLiteral("tools/squadnet")),
                       {"upload", "--host", "127.0.0.1", "--port", QString::number(silent.port()), "--user", kUser,
                        "--password-file", "-", "--timeout", "1", local, "/silent.xml"});
        QVERIFY(squadnet.waitForStarted(5000));
        squadnet.write(kPassword.toUtf8() + "\n");
        squadnet.closeWriteChannel();
        // A bound on a hang, not a measure of time: the command ends or not.
        QTRY_VERIFY_WITH_TIMEOUT(squadnet.state() == QProcess::NotRunning, 30000);
        QCOMPARE(squadnet.exitCode(), 1);
        const QByteArray errors = squadnet.readAllStandardError();
        QVERIFY2(errors.contains("no data for 1 seconds: timed out"), errors.constData());
        QCOMPARE(silent.transcript(), QByteArray("QUIT\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestFtpServer)
#include "TestFtpServer.moc"
