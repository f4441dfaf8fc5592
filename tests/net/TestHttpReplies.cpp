// Replies and redirects against a scripted loopback server: what a reply
// stores and which events it fires, where a redirection leads and with which
// method and cookie, how long a chain may be, and a request ended from a
// handler.

#include <QtTest>

#include "HttpScript.h"

namespace
{

// A request to the scripted peer on its port: the Host line names it.
QByteArray getRequest(quint16 port, const QByteArray& path, const QByteArray& extraLines = {})
{
    return request("GET " + path, "127.0.0.1:" + QByteArray::number(port), extraLines);
}

// As serveReplies, with the request data each request carries.
void serveWithData(ScriptedPeer& peer, const QList<QByteArray>& replies, const QList<qint64>& data,
                   int i = 0)
{
    peer.expectLine().run([&peer, replies, data, i] {
        if (peer.lines().last() != "\r\n")
            return serveWithData(peer, replies, data, i);
        if (data[i] > 0)
            peer.expectBytes(data[i]);
        peer.send(replies[i]).close();
        if (i + 1 < replies.size())
            serveWithData(peer.acceptNext(), replies, data, i + 1);
    });
}

} // namespace

class TestHttpReplies : public QObject
{
    Q_OBJECT
private slots:
    void logoDownloadSendsExactlyTheseBytes()
    {
        HttpRig s;
        const QByteArray replyHeader =
            "HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 5\r\n\r\n";
        serveReplies(s.peer, {replyHeader + "JPEG!"});
        QStringList statuses;
        s.client.ReportLevel = 2;
        s.client.OnStatus = [&](QObject*, const QString& text) { statuses << text; };
        s.client.Port = 0;
        s.get("/pics/logo.jpg");
        QCOMPARE(s.peer.transcript(0), getRequest(s.peer.port(), "/pics/logo.jpg"));
        QCOMPARE(s.head(), replyHeader);
        QCOMPARE(s.body(), QByteArray("JPEG!"));
        QCOMPARE(s.client.ReplyCode, 200);
        QCOMPARE(s.client.TotalBytes, 5);
        QCOMPARE(s.events, QStringList{"success 0"});
        QCOMPARE(statuses, QStringList{"Transaction Completed"});
        QVERIFY(!s.client.Connected);
    }

    void errorRepliesFireEvents()
    {
        HttpRig s;
        serveReplies(s.peer, {"HTTP/1.0 404 Not Found\r\n\r\n<h1>gone</h1>",
                              "HTTP/1.0 401 Unauthorized\r\n\r\nwho?"});
        s.get("/gone.jpg");
        QCOMPARE(s.events, QStringList{"failure 0"});
        QCOMPARE(s.body(), QByteArray("<h1>gone</h1>"));
        s.get("/secret.jpg");
        QCOMPARE(s.events, (QStringList{"failure 0", "failure 0", "auth"}));
    }

    void headerSplitOverManyPackets()
    {
        HttpRig s;
        const QByteArray reply =
            "HTTP/1.0 200 OK\r\nSet-Cookie: k=v\r\nContent-Length: 4\r\n\r\nbody";
        for (int i = 0; i < 6; ++i) // the request's five lines and the empty one
            s.peer.expectLine();
        QList<QByteArray> parts;
        for (qsizetype at = 0; at < reply.size(); at += 3)
            parts << reply.mid(at, 3);
        s.peer.sendParts(parts, 1).close();
        s.get("/x.jpg");
        QCOMPARE(s.head() + s.body(), reply);
        QCOMPARE(s.client.ReceivedCookie, QByteArray("k=v"));
    }

    // A 302 to an absolute URL; its cookie goes with this and later requests.
    // A redirect the caller handles ends the call.
    void redirects()
    {
        HttpRig s;
        const QByteArray ok = "HTTP/1.0 200 OK\r\n\r\n", cookie = "Cookie: id=7; path=/\r\n";
        serveReplies(s.peer, {"HTTP/1.0 302 Found\r\nSet-Cookie: id=7; path=/\r\nLocation: " +
                                  s.url("/b/second.jpg").toUtf8() + "\r\n\r\nmoved",
                              ok + "logo", ok,
                              "HTTP/1.0 302 Found\r\nLocation: http://192.0.2.7/x\r\n\r\n"});
        s.get("/first.jpg");
        QCOMPARE(s.events, (QStringList{"redirect", "success 0"}));
        QCOMPARE(s.head(), ok);
        QCOMPARE(s.body(), QByteArray("logo"));
        QCOMPARE(s.client.RequestUrl, s.url("/b/second.jpg"));
        QCOMPARE(s.peer.transcript(1), getRequest(s.peer.port(), "/b/second.jpg", cookie));
        s.get("/later.jpg");
        QCOMPARE(s.peer.transcript(2), getRequest(s.peer.port(), "/later.jpg", cookie));

        s.client.OnRedirect = [](bool& handled) { handled = true; };
        s.get("/a.jpg");
        QCOMPARE(s.client.ReplyCode, 302);
        QCOMPARE(s.peer.connectionCount(), 4);
    }

    // A Location is read against the address that sent it (RFC 3986): the
    // query, empty segments and the server's port stay, dot segments go; the
    // request's URL is then the new one.
    void redirectTargets_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QString>("location"); // %1: the peer's port
        QTest::addColumn<QByteArray>("second");
        const QByteArray found = "302 Found";
        QTest::newRow("empty segment") << found << "/a//b.jpg" << QByteArray("/a//b.jpg");
        QTest::newRow("an address in the query")
            << found << "/p?u=http://h/z" << QByteArray("/p?u=http://h/z");
        QTest::newRow("up a folder") << found << "../up.jpg" << QByteArray("/dir/up.jpg");
        QTest::newRow("a name beside the page")
            << QByteArray("301 Moved") << "next.jpg" << QByteArray("/dir/page/next.jpg");
        QTest::newRow("only a query") << found << "?v=2" << QByteArray("/dir/page/logo.jpg?v=2");
        QTest::newRow("network path")
            << found << "//127.0.0.1:%1/other.jpg" << QByteArray("/other.jpg");
    }

    void redirectTargets()
    {
        QFETCH(QByteArray, status);
        QFETCH(QString, location);
        QFETCH(QByteArray, second);
        HttpRig s;
        location.replace(QLatin1String("%1"), QString::number(s.peer.port()));
        serveReplies(
            s.peer,
            {"HTTP/1.0 " + status + "\r\nLocation: " + location.toUtf8() + "\r\n\r\n", kOk});
        s.get("/dir/page/logo.jpg");
        QCOMPARE(s.peer.connectionCount(), 2);
        QCOMPARE(s.peer.transcript(1), getRequest(s.peer.port(), second));
        QCOMPARE(s.client.RequestUrl, s.url(second.constData()));
        QCOMPARE(s.body(), QByteArray("ok"));
    }

    void redirectChainsAreBounded_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("302 to itself")
            << QByteArray("HTTP/1.0 302 Found\r\nLocation: /loop.jpg\r\n\r\n");
        QTest::newRow("303 without location") << QByteArray("HTTP/1.0 303 See Other\r\n\r\n");
        QTest::newRow("302 without location") << QByteArray("HTTP/1.0 302 Found\r\n\r\n");
        QTest::newRow("302 with an earlier location") << QByteArray("HTTP/1.0 302 Found\r\n\r\n");
    }

    void redirectChainsAreBounded()
    {
        QFETCH(QByteArray, reply);
        HttpRig s;
        QList<QByteArray> replies(THttpClient::MaxRedirects + 1, reply);
        const bool earlierLocation = QByteArray(QTest::currentDataTag()).contains("earlier");
        if (earlierLocation)
            replies.prepend("HTTP/1.0 302 Found\r\nLocation: /next.jpg\r\n\r\n");
        serveReplies(s.peer, replies);
        const QString error = thrown([&] { s.get("/loop.jpg"); });
        if (reply.contains("Location")) {
            QCOMPARE(error, QStringLiteral("Too many redirects"));
            QCOMPARE(s.peer.connectionCount(), THttpClient::MaxRedirects + 1);
        } else {
            // Neither the server's root nor the target of an earlier reply.
            QCOMPARE(error, QStringLiteral("Redirect without a location"));
            QCOMPARE(s.peer.connectionCount(), earlierLocation ? 2 : 1);
        }
        QVERIFY(!s.client.Connected);
    }

    // 303 asks for the other resource with GET; 307 and 308 repeat the
    // request, data and all, at the new place.
    void redirectMethods_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("second");
        QTest::addColumn<qint64>("secondData");
        const QByteArray post = "POST /b HTTP/1.0\r\nHost: 127.0.0.1:%P\r\n" + kAccept +
                                kContentType + "Content-Length: 3\r\n\r\na=1";
        QTest::newRow("303") << QByteArray("303 See Other") << request("GET /b") << qint64(0);
        QTest::newRow("307") << QByteArray("307 Temporary Redirect") << post << qint64(3);
        QTest::newRow("308") << QByteArray("308 Permanent Redirect") << post << qint64(3);
    }

    void redirectMethods()
    {
        QFETCH(QByteArray, status);
        QFETCH(qint64, secondData);
        HttpRig s;
        s.client.OutputFileMode = false;
        s.client.EncodeFormData = false;
        serveWithData(s.peer, {"HTTP/1.0 " + status + "\r\nLocation: /b\r\n\r\n", kOk},
                      {3, secondData});
        s.client.Post(s.url("/a"), "a=1");
        QFETCH(QByteArray, second);
        QCOMPARE(s.peer.transcript(1), second.replace("%P", QByteArray::number(s.peer.port())));
        QCOMPARE(s.body(), QByteArray("ok"));
    }

    // A cookie set during a redirection goes back to its own host only, then
    // and later; the same server under another name is another host.
    void cookieStaysWithItsHost()
    {
        HttpRig s;
        const QString other = QStringLiteral("http://localhost:%1").arg(s.peer.port());
        serveReplies(s.peer, {"HTTP/1.0 302 Found\r\nSet-Cookie: id=7\r\nLocation: " +
                                  other.toUtf8() + "/b.jpg\r\n\r\n",
                              kOk, kOk, kOk});
        s.get("/a.jpg");
        const QByteArray port = QByteArray::number(s.peer.port());
        QCOMPARE(s.peer.transcript(1), request("GET /b.jpg", "localhost:" + port));
        s.client.Get(other + "/c.jpg");
        QCOMPARE(s.peer.transcript(2), request("GET /c.jpg", "localhost:" + port));
        s.get("/d.jpg");
        QCOMPARE(s.peer.transcript(3),
                 request("GET /d.jpg", "127.0.0.1:" + port, "Cookie: id=7\r\n"));
    }

    void abortFromAHandler()
    {
        HttpRig s;
        s.peer.expectLine().run([&] { s.client.Abort(); });
        s.client.TimeOut = 0;
        QCOMPARE(thrown<EAbortError>([&] { s.get("/x.jpg"); }),
                 QStringLiteral("Socket readln aborted"));
        QVERIFY(!s.client.Connected);

        // A request started from a handler while one runs is refused.
        QString reentered;
        HttpRig t;
        serveReplies(t.peer, {"HTTP/1.0 200 OK\r\n\r\n" + QByteArray(200000, 'z')});
        t.client.OnPacketRecvd = [&](QObject*) {
            if (reentered.isEmpty())
                reentered = thrown([&] { t.client.Get(t.url("/other.jpg")); });
        };
        t.get("/x.jpg");
        QCOMPARE(reentered, QStringLiteral("A request is already running on this connection"));
        QCOMPARE(t.body().size(), 200000);

        // Destroyed while it waits: the call ends with the cancel error and the
        // cycle touches nothing of the freed client.
        ScriptedPeer peer;
        auto* client = new THttpClient;
        peer.expectLine().run([&] { delete client; });
        const QString url = QStringLiteral("http://127.0.0.1:%1/x.jpg").arg(peer.port());
        QCOMPARE(thrown<EAbortError>([&] { client->Get(url); }),
                 QStringLiteral("Socket readln aborted"));
    }
};

QTEST_GUILESS_MAIN(TestHttpReplies)
#include "TestHttpReplies.moc"
