// Explicit FTPS: what the client sends to a server without TLS in each mode,
// and uploads in TLS, passive and active, to pyftpdlib's TLS handler, which
// refuses anything in clear and can ask for session reuse on data connections.

#include <QtTest>

#include "FtpScript.h"
#include "FtpsPeer.h"
#include "LoopbackFtpServer.h"
#include "TlsWebServer.h"

Q_DECLARE_METATYPE(TFtpTls)

namespace {
const QString kUser = QStringLiteral("lead");
const QString kPassword = QStringLiteral("s3cret");

// Byte i is i % 251, as ftpspeer.py makes its files.
QByteArray patterned(qsizetype size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        data[i] = char(i % 251);
    return data;
}

std::unique_ptr<TFtpClient> clientOf(const FtpsPeer& peer, TFtpTls mode = TFtpTls::Required)
{
    auto client = std::make_unique<TFtpClient>();
    client->Host = QStringLiteral("127.0.0.1");
    client->Port = peer.port();
    client->UserID = kUser;
    client->Password = kPassword;
    client->Passive = true;
    client->TimeOut = 3000;
    client->TlsMode = mode;
    return client;
}
} // namespace

class TestFtps : public QObject
{
    Q_OBJECT
    QTemporaryDir m_certs;
    QTemporaryDir m_root;
    QTemporaryDir m_local;

private slots:
    void initTestCase()
    {
        QVERIFY(makeTestCertificates(m_certs.path()));
        qputenv("SSL_CERT_FILE", QFile::encodeName(m_certs.filePath("ca.pem")));
    }

    // A server that refuses AUTH TLS, in whatever words: optional goes on in
    // clear; required never sends USER or PASS. A reply that is no refusal
    // and no acceptance fails in both.
    void serverWithoutTls_data()
    {
        QTest::addColumn<TFtpTls>("mode");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("sent");
        const QStringList clear{"AUTH TLS", "USER lead", "PASS s3cret", "QUIT"};
        const QStringList refused{"AUTH TLS", "QUIT"};
        for (const QByteArray answer :
             {"500 Unknown command", "502 Not implemented", "504 Not for this",
              "530 Please login with USER and PASS.", "421 Too many users", "534 Policy"}) {
            QTest::addRow("optional, %s", answer.left(3).constData())
                << TFtpTls::Optional << answer << QStringLiteral("<none>") << clear;
            QTest::addRow("required, %s", answer.left(3).constData())
                << TFtpTls::Required << answer
                << "TLS is required, but the server refused AUTH TLS: " +
                       QString::fromLatin1(answer)
                << refused;
        }
        QTest::newRow("optional, not a refusal")
            << TFtpTls::Optional << QByteArray("200 Whatever")
            << QStringLiteral("Unexpected reply to AUTH TLS: 200 Whatever") << refused;
        QTest::newRow("off") << TFtpTls::Off << QByteArray() << QStringLiteral("<none>")
                             << QStringList{"USER lead", "PASS s3cret", "QUIT"};
    }

    void serverWithoutTls()
    {
        QFETCH(TFtpTls, mode);
        QFETCH(QByteArray, answer);
        QFETCH(QString, error);
        ScriptedPeer peer;
        peer.send("220 Ready\r\n");
        if (!answer.isEmpty())
            peer.expectLine().send(answer + "\r\n");
        if (error == QLatin1String("<none>"))
            peer.expectLine()
                .send("331 Password required\r\n")
                .expectLine()
                .send("230 Logged in\r\n");
        peer.expectLine().send("221 Bye\r\n").close();
        const auto client = clientFor(peer);
        client->TlsMode = mode;
        QTEST(thrown([&] { client->Connect(); }), "error");
        if (client->Connected)
            client->Disconnect();
        QTRY_VERIFY2(peer.finished(), qPrintable(peer.failure()));
        QTEST(commands(peer), "sent");
        QVERIFY(!client->TlsActive());
    }

    // Passive and active uploads with TLS on both connections, through the
    // client and through squadnet, to a server that allows nothing in clear.
    void uploadsInTls_data()
    {
        QTest::addColumn<bool>("passive");
        QTest::addColumn<TFtpTls>("mode");
        QTest::newRow("passive, required") << true << TFtpTls::Required;
        QTest::newRow("active, required") << false << TFtpTls::Required;
        QTest::newRow("passive, optional") << true << TFtpTls::Optional;
    }

    void uploadsInTls()
    {
        QFETCH(bool, passive);
        QFETCH(TFtpTls, mode);
        LoopbackFtpServer server(m_root.path(), kUser, kPassword);
        server.setCertificate(m_certs.filePath("good.pem"));
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        QByteArray data(3 * 1024 * 1024 + 7, Qt::Uninitialized);
        for (qsizetype i = 0; i < data.size(); ++i)
            data[i] = char(i % 251);
        const QString local = m_local.filePath("a.tmp");
        QVERIFY(writeFile(local, data));

        TFtpClient client;
        client.Host = QStringLiteral("127.0.0.1");
        client.Port = server.port();
        client.UserID = kUser;
        client.Password = kPassword;
        client.Passive = passive;
        client.TimeOut = 20000;
        client.TlsMode = mode;
        client.Connect();
        QVERIFY(client.Connected);
        QVERIFY(client.TlsActive());
        client.Upload(local, QStringLiteral("/tls.xml"));
        client.Disconnect();
        QCOMPARE(readFile(m_root.filePath("tls.xml")).size(), data.size());
        QCOMPARE(readFile(m_root.filePath("tls.xml")), data);

        const QStringList account{
            "upload",  "--host", "127.0.0.1",       "--port", QString::number(server.port()),
            "--user",  kUser,    "--password-file", "-",      "--tls",
            "required"};
        QCOMPARE(runSquadnet(account + QStringList{passive ? "--timeout=20" : "--active", local,
                                                   "/cli.xml"},
                             kPassword.toUtf8() + "\n"),
                 0);
        QCOMPARE(readFile(m_root.filePath("cli.xml")), data);
        QByteArray errors;
        QCOMPARE(runSquadnet(account + QStringList{"--tls", "off", local, "/off.xml"},
                             kPassword.toUtf8() + "\n", &errors),
                 1);
        QVERIFY(!QFile::exists(m_root.filePath("off.xml")));
        QCOMPARE(runSquadnet(account + QStringList{"--tls", "sometimes", local, "/x.xml"}), 2);
    }

    // A server that accepted AUTH TLS and then does not speak TLS: nothing
    // more is said, in clear least of all, even where TLS is optional.
    void noFallBackOnceAccepted()
    {
        ScriptedPeer peer;
        peer.send("220 Ready\r\n").expectLine().send("234 Proceed\r\n").send("220 not TLS at all\r\n").close();
        const auto client = clientFor(peer);
        client->TlsMode = TFtpTls::Optional;
        client->TimeOut = 3000;
        QVERIFY(thrown([&] { client->Connect(); }).startsWith(QLatin1String("TLS handshake failed")));
        QVERIFY(!client->Connected);
        QCOMPARE(commands(peer), QStringList{"AUTH TLS"});
    }

    // Every data connection resumes the control connection's session, in
    // TLS 1.2 and 1.3, for as many transfers as a login makes; a server that
    // checks refuses any other ("522 ... session reuse required").
    void everyDataConnectionResumes_data()
    {
        QTest::addColumn<QString>("version");
        QTest::newRow("TLS 1.2") << "1.2";
        QTest::newRow("TLS 1.3") << "1.3";
    }

    void everyDataConnectionResumes()
    {
        QFETCH(QString, version);
        FtpsPeer peer({"--cert", m_certs.filePath("good.pem"), "--tls-max", version, "--require-reuse"});
        QVERIFY(peer.port() != 0);
        const auto client = clientOf(peer);
        QByteArray got;
        qint64 size = 0;
        for (int i = 0; i < 3; ++i) {
            const QByteArray data = patterned(1000 + i);
            const QString name = QStringLiteral("/f%1").arg(i);
            QCOMPARE(thrown([&] {
                         client->Connect();
                         client->StoreBytes(data, name);
                         got = client->Retrieve(name, 1 << 20);
                         size = client->Size(name);
                     }),
                     QStringLiteral("<none>"));
            QCOMPARE(got, data);
            QCOMPARE(size, qint64(data.size()));
        }
        client->Disconnect();
    }

    // The server's closing alert in the same read as the last bytes still
    // ends the download, and the data connection is closed before the
    // closing reply, which such a server sends only after that.
    void closingAlertWithTheLastData_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("one record") << 3000;
        QTest::newRow("many records") << 300000;
    }

    void closingAlertWithTheLastData()
    {
        QFETCH(int, size);
        FtpsPeer peer({"--cert", m_certs.filePath("good.pem"), "--alert-with-data", "--file",
                       QStringLiteral("d.xml=%1").arg(size)});
        const auto client = clientOf(peer);
        for (int i = 0; i < 2; ++i) {
            QByteArray got;
            QCOMPARE(thrown([&] {
                         client->Connect();
                         got = client->Retrieve(QStringLiteral("/d.xml"), 1 << 20);
                     }),
                     QStringLiteral("<none>"));
            QCOMPARE(got, patterned(size));
        }
        client->Disconnect();
    }

    // A data connection that the server ends (FIN, then a reset) in the
    // middle of an upload is an error of the upload, never the end of the
    // process by SIGPIPE.
    void resetInTheMiddleOfAnUpload_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("FTPS") << true;
        QTest::newRow("plain") << false;
    }

    void resetInTheMiddleOfAnUpload()
    {
        QFETCH(bool, tls);
        QStringList options{"--reset-after", QString::number(1 << 20)};
        if (tls)
            options << "--cert" << m_certs.filePath("good.pem");
        FtpsPeer peer(options);
        const QString local = m_local.filePath("big.tmp");
        QVERIFY(writeFile(local, patterned(16 << 20)));
        QByteArray errors;
        const int code = runSquadnet({"upload", "--host", "127.0.0.1", "--port", QString::number(peer.port()),
                                      "--user", kUser, "--password-file", "-", "--tls", tls ? "required" : "off",
                                      "--timeout", "10", local, "/big.xml"},
                                     kPassword.toUtf8() + "\n", &errors);
        QVERIFY2(code == 1, errors.constData());
        QVERIFY2(errors.contains("Connection reset by peer") || errors.contains("Can't send after socket shutdown")
                     || errors.contains("426 "),
                 errors.constData());
    }

    // A certificate the client cannot trust ends the login before USER: one
    // of an unknown CA, one for another host while the address is spelt
    // otherwise than dotted, one naming its host in the common name only.
    void untrustedServer_data()
    {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("error");
        QTest::newRow("unknown CA") << "untrusted"
                                    << "127.0.0.1" << "unable to get local issuer certificate";
        QTest::newRow("other host, short address") << "wronghost"
                                                   << "127.1" << "IP address mismatch";
        QTest::newRow("common name only") << "cnonly"
                                          << "localhost" << "hostname mismatch";
    }

    void untrustedServer()
    {
        QFETCH(QString, certificate);
        QFETCH(QString, host);
        QFETCH(QString, error);
        LoopbackFtpServer server(m_root.path(), kUser, kPassword);
        server.setCertificate(m_certs.filePath(certificate + ".pem"));
        QVERIFY2(server.start(), qPrintable(server.errorText()));
        TFtpClient client;
        client.Host = host;
        client.Port = server.port();
        client.UserID = kUser;
        client.Password = kPassword;
        client.TimeOut = 20000;
        client.TlsMode = TFtpTls::Optional;
        QStringList statuses;
        client.ReportLevel = 1;
        client.OnStatus = [&](QObject*, const QString& text) { statuses << text; };
        const QString thrownError = thrown([&] { client.Connect(); });
        QCOMPARE(thrownError, "TLS certificate verification failed: " + error);
        QVERIFY(!client.Connected);
        QVERIFY(!statuses.contains(QStringLiteral("USER ") + kUser));
    }

    void extendedPassivePort_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("port"); // 0: refused
        QTest::newRow("usual") << QByteArray("229 Entering Extended Passive Mode (|||6446|)\r\n")
                               << 6446;
        QTest::newRow("other delimiter") << QByteArray("229 ok (!!!65535!)") << 65535;
        QTest::newRow("port 0") << QByteArray("229 (|||0|)") << 0;
        QTest::newRow("beyond 65535") << QByteArray("229 (|||65536|)") << 0;
        QTest::newRow("an address given is ignored") << QByteArray("229 (|2|::1|6446|)") << 6446;
        QTest::newRow("no parenthesis") << QByteArray("229 |||6446|") << 0;
    }

    void extendedPassivePort()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, port);
        int got = 0;
        const QString error =
            thrown<FTPException>([&] { got = TFtpClient::extendedPassivePort(reply); });
        QCOMPARE(got, port);
        QCOMPARE(error == QLatin1String("<none>"), port != 0);
    }

    // On IPv6 the data connections use EPSV and EPRT.
    void uploadsOverIPv6_data()
    {
        QTest::addColumn<bool>("passive");
        QTest::newRow("EPSV") << true;
        QTest::newRow("EPRT") << false;
    }

    void uploadsOverIPv6()
    {
        QFETCH(bool, passive);
        LoopbackFtpServer server(m_root.path(), kUser, kPassword);
        server.setCertificate(m_certs.filePath("good.pem"));
        server.setAddress(QStringLiteral("::1"));
        if (!server.start())
            QSKIP("no IPv6 loopback here");
        const QString local = m_local.filePath("six.tmp");
        QVERIFY(writeFile(local, "over IPv6"));
        TFtpClient client;
        client.Host = QStringLiteral("[::1]");
        client.Port = server.port();
        client.UserID = kUser;
        client.Password = kPassword;
        client.Passive = passive;
        client.TimeOut = 20000;
        client.TlsMode = TFtpTls::Required;
        client.Connect();
        client.Upload(local, QStringLiteral("/six.xml"));
        client.Disconnect();
        QCOMPARE(readFile(m_root.filePath("six.xml")), QByteArray("over IPv6"));
    }
};

QTEST_GUILESS_MAIN(TestFtps)
#include "TestFtps.moc"
