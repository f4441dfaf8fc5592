// Explicit FTPS: what the client sends to a server without TLS in each mode,
// and uploads in TLS, passive and active, to pyftpdlib's TLS handler, which
// refuses anything in clear and can ask for session reuse on data connections.

#include <QtTest>

#include "FtpScript.h"
#include "LoopbackFtpServer.h"
#include "TlsWebServer.h"

Q_DECLARE_METATYPE(TFtpTls)

namespace {
const QString kUser = QStringLiteral("lead");
const QString kPassword = QStringLiteral("s3cret");
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

    // A server that refuses AUTH TLS: optional goes on in clear after the
    // answers that mean "no TLS here"; required never sends USER or PASS.
    void serverWithoutTls_data()
    {
        QTest::addColumn<TFtpTls>("mode");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("sent");
        const QStringList clear{"AUTH TLS", "USER lead", "PASS s3cret", "QUIT"};
        const QStringList refused{"AUTH TLS", "QUIT"};
        for (const QByteArray answer :
             {"500 Unknown command", "502 Not implemented", "504 Not for this"}) {
            QTest::addRow("optional, %s", answer.left(3).constData())
                << TFtpTls::Optional << answer << QStringLiteral("<none>") << clear;
            QTest::addRow("required, %s", answer.left(3).constData())
                << TFtpTls::Required << answer
                << "TLS is required, but the server refused AUTH TLS: " +
                       QString::fromLatin1(answer)
                << refused;
        }
        QTest::newRow("optional, other refusal")
            << TFtpTls::Optional << QByteArray("421 Too many users")
            << QStringLiteral("421 Too many users") << refused;
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
