// https: the HTTP client in TLS against a loopback server whose certificates
// come from a test CA made for the run, trusted through SSL_CERT_FILE.

#include <QtTest>

#include "HttpScript.h"
#include "TlsWebServer.h"

class TestHttps : public QObject
{
    Q_OBJECT
    QTemporaryDir m_certs;
    QTemporaryDir m_www;
    QByteArray m_logo;

    QString url(const TlsWebServer& server, const QString& path, const QString& host = "127.0.0.1")
    {
        return QStringLiteral("https://%1:%2/%3").arg(host).arg(server.port()).arg(path);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(makeTestCertificates(m_certs.path()));
        // Read once, when the first TLS session starts.
        qputenv("SSL_CERT_FILE", QFile::encodeName(m_certs.filePath("ca.pem")));
        m_logo.resize(1 << 20);
        for (qsizetype i = 0; i < m_logo.size(); ++i)
            m_logo[i] = char(i * 7 + i / 4096);
        QVERIFY(writeFile(m_www.filePath("logo.jpg"), m_logo));
    }

    void goodCertificate_data()
    {
        QTest::addColumn<QString>("listen");
        QTest::addColumn<QString>("host");
        QTest::newRow("address") << "127.0.0.1"
                                 << "127.0.0.1";
        QTest::newRow("name") << "127.0.0.1"
                              << "localhost";
        QTest::newRow("IPv6") << "::1"
                              << "[::1]";
    }

    void goodCertificate()
    {
        QFETCH(QString, listen);
        QFETCH(QString, host);
        TlsWebServer server(m_www.path(), m_certs.path(), "good", listen);
        if (server.port() == 0)
            QSKIP("no https server on this address");
        HttpRig s;
        s.client.TimeOut = 10000;
        s.client.Get(url(server, "logo.jpg", host));
        QCOMPARE(s.client.ReplyCode, 200);
        QCOMPARE(s.body(), m_logo);
        QVERIFY(!s.client.Connected);
        QVERIFY(!s.client.TlsActive());
    }

    // A certificate the client cannot trust ends the request before it is
    // sent: nothing reaches the body or header file.
    void badCertificate_data()
    {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("error");
        const QString failed = "TLS certificate verification failed: ";
        QTest::newRow("untrusted")
            << "untrusted"
            << "127.0.0.1" << failed + "unable to get local issuer certificate";
        QTest::newRow("wrong host") << "wronghost"
                                    << "127.0.0.1" << failed + "IP address mismatch";
        QTest::newRow("wrong name") << "wronghost"
                                    << "localhost" << failed + "hostname mismatch";
        QTest::newRow("expired") << "expired"
                                 << "localhost" << failed + "certificate has expired";
        // Other spellings of 127.0.0.1 are that address, and the certificate
        // must name it.
        for (const char* spelling : {"127.1", "2130706433", "0x7f.0.0.1", "017700000001"})
            QTest::addRow("address spelt %s", spelling) << "wronghost" << spelling << failed + "IP address mismatch";
        // A host named only in the common name, as browsers refuse it.
        QTest::newRow("common name only") << "cnonly"
                                          << "localhost" << failed + "hostname mismatch";
    }

    void badCertificate()
    {
        QFETCH(QString, certificate);
        QFETCH(QString, host);
        TlsWebServer server(m_www.path(), m_certs.path(), certificate);
        QVERIFY(server.port() != 0);
        HttpRig s;
        s.client.TimeOut = 10000;
        const QString error = thrown([&] { s.client.Get(url(server, "logo.jpg", host)); });
        QTEST(error, "error");
        QVERIFY(error.contains("certificate"));
        QVERIFY(!QFile::exists(s.dir.filePath("temp.jpg")));
        QVERIFY(!QFile::exists(s.dir.filePath("Head.txt")));
        QVERIFY(!s.client.Connected);
    }

    // Hosts move their pages to https and back; the redirections cross.
    void redirectsBetweenHttpAndHttps()
    {
        TlsWebServer server(m_www.path(), m_certs.path(), "good");
        QVERIFY(server.port() != 0);
        HttpRig s;
        s.client.TimeOut = 10000;
        serveReplies(s.peer, {"HTTP/1.0 301 Moved\r\nLocation: " +
                                  url(server, "logo.jpg").toUtf8() + "\r\n\r\n",
                              "HTTP/1.0 200 OK\r\n\r\nplain"});
        s.get("/logo.jpg");
        QCOMPARE(s.body(), m_logo);
        s.client.Get(url(server, "redirect?" + s.url("/back.jpg")));
        QCOMPARE(s.body(), QByteArray("plain"));
        QCOMPARE(s.peer.connectionCount(), 2);
    }

    // The handshake waits in the event loop: what runs meanwhile may abort
    // it, try a second request, or destroy the client.
    void handshakeWait_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("second"); // what the second request threw
        QTest::newRow("abort") << "abort" << "";
        QTest::newRow("second request") << "second" << "A request is already running on this connection";
        QTest::newRow("destroyed") << "destroy" << "";
    }

    void handshakeWait()
    {
        QFETCH(QString, action);
        ScriptedPeer silent; // takes the client's hello and never answers
        auto* client = new THttpClient;
        client->TimeOut = 10000;
        client->InputFileMode = false;
        client->OutputFileMode = false;
        const QString url = QStringLiteral("https://127.0.0.1:%1/x.jpg").arg(silent.port());
        QString second;
        silent.expectBytes(5).run([&] {
            if (action == "destroy") {
                delete client;
                client = nullptr;
                return;
            }
            if (action == "second")
                second = thrown([&] { client->Get(url); });
            client->Abort();
        });
        QCOMPARE(thrown([&] { client->Get(url); }), QStringLiteral("TLS handshake canceled"));
        QTEST(second, "second");
        if (client)
            QVERIFY(!client->Connected && !client->TlsActive());
        delete client;
    }

    void squadnetGetOverHttps()
    {
        TlsWebServer server(m_www.path(), m_certs.path(), "good");
        QTemporaryDir cwd;
        QByteArray errors;
        QCOMPARE(runSquadnet({"get", url(server, "logo.jpg")}, {}, &errors, cwd.path()), 0);
        QCOMPARE(readFile(cwd.filePath("temp.jpg")), m_logo);
        TlsWebServer expired(m_www.path(), m_certs.path(), "expired");
        QCOMPARE(
            runSquadnet({"get", url(expired, "x.jpg"), "--body", "x.jpg"}, {}, &errors, cwd.path()),
            1);
        QVERIFY2(errors.contains("certificate has expired"), errors.constData());
        QVERIFY(!QFile::exists(cwd.filePath("x.jpg")));
    }

    // A server that resets the connection, once the request is in or in the
    // middle of the reply: the request fails with the reset, and the process
    // is never ended by SIGPIPE (the closing alert goes to a reset socket).
    void resetByTheServer_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("after the request") << "reset";
        QTest::newRow("1 MB into 10 MB") << "reset-after/1048576";
    }

    void resetByTheServer()
    {
        QFETCH(QString, path);
        TlsWebServer server(m_www.path(), m_certs.path(), "good");
        QTemporaryDir cwd;
        for (int i = 0; i < 3; ++i) {
            QByteArray errors;
            QCOMPARE(runSquadnet({"get", url(server, path)}, {}, &errors, cwd.path()), 1);
            QVERIFY2(errors.contains("Connection reset by peer") || errors.contains("closed"), errors.constData());
        }
    }
};

QTEST_GUILESS_MAIN(TestHttps)
#include "TestHttps.moc"
