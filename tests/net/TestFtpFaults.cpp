// Control connections that carry something other than clean FTP replies: the
// FTP client must either read them as the protocol says or fail, and never
// take a peer that does not speak FTP for a server that logged us in.

#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "FtpScript.h"

namespace {

const QByteArray kContent(5000, 's');

// Answers every command line with answer(line) until QUIT, which it answers
// 221 before hanging up; an empty answer hangs up at once.
void answerLines(ScriptedPeer& peer, std::function<QByteArray(const QByteArray&)> answer)
{
    peer.expectLine().run([&peer, answer] {
        const QByteArray line = peer.lines().last().trimmed();
        const QByteArray reply = line == "QUIT" ? QByteArray("221 Goodbye") : answer(line);
        if (!reply.isEmpty())
            peer.send(reply + "\r\n");
        if (reply.isEmpty() || line == "QUIT")
            peer.close();
        else
            answerLines(peer, answer);
    });
}

} // namespace

class TestFtpFaults : public QObject {
    Q_OBJECT
    std::unique_ptr<ScriptedPeer> m_peer;
    std::unique_ptr<TFtpClient> m_client;
    QTemporaryDir m_dir;
    QString m_file;

    QString upload() { return thrown([&] { m_client->Upload(m_file, QStringLiteral("/corvanet.xml")); }); }

private slots:
    void init()
    {
        m_peer = std::make_unique<ScriptedPeer>();
        m_client = clientFor(*m_peer);
        m_client->TimeOut = 500; // a script that goes wrong must not hang the test
        m_file = m_dir.filePath(QStringLiteral("a.tmp"));
        QVERIFY(writeFile(m_file, kContent));
    }

    void cleanup()
    {
        m_client.reset();
        m_peer.reset();
    }

    void peersThatDoNotSpeakFtpAreRefused_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<QByteArray>("userReply");
        // A web server that talks first; the rest of its reply would be read
        // as the answers to USER and PASS.
        QTest::newRow("HTTP greeting") << QByteArray("HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\n"
                                                     "Content-Length: 0\r\nConnection: close\r\n\r\n")
                                       << QByteArray("530 never asked");
        QTest::newRow("code cut by a NUL") << QByteArray("2\0" "20 Ready\r\n", 12) << QByteArray("331 Password");
        QTest::newRow("USER answered by text") << QByteArray("220 Ready\r\n") << QByteArray("hello there");
        QTest::newRow("USER answered by a code out of range")
            << QByteArray("220 Ready\r\n") << QByteArray("2300 ok");
    }

    void peersThatDoNotSpeakFtpAreRefused()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(QByteArray, userReply);
        m_peer->send(greeting);
        answerLines(*m_peer, [userReply](const QByteArray& line) {
            return line.startsWith("USER ") ? userReply : QByteArray("230 Logged in");
        });
        QVERIFY2(thrown([&] { m_client->Connect(); }) != QLatin1String("<none>"),
                 "logged in to a peer that does not speak FTP");
        QVERIFY(!m_client->Connected);
        for (const QByteArray& line : m_peer->lines())
            QVERIFY2(!line.startsWith("PASS "), "the password went to a peer that does not speak FTP");
    }

    void oddButValidRepliesAreRead()
    {
        // Bare three-digit lines, and a greeting with a NUL and terminal
        // control bytes in its text: the codes are what counts.
        m_peer->send(QByteArray("220 Ready\0\x1b[2J\x07\r\n", 17)).expectLine().send("331\r\n").expectLine()
            .send("230\r\n");
        serveStore(*m_peer, true, 1, "226\r\n");
        // A refusal whose text carries the same bytes is still a refusal.
        m_peer->expectLine().send(QByteArray("553 No\0 \x1b[31mway\r\n", 18));
        m_client->Connect();
        QCOMPARE(upload(), QStringLiteral("<none>"));
        QCOMPARE(m_peer->transcript(1), kContent);
        const QString error = upload(); // PASV refused with the odd text
        QVERIFY2(error.startsWith(QStringLiteral("553 No")), qPrintable(error));
        QVERIFY(m_client->Connected);
    }

    void continuationLinesAcrossTheBufferBoundary()
    {
        // A closing reply of some 150 KiB in short lines: the socket layer's
        // 64 KiB buffer ends in the middle of a line, more than once. The
        // whole reply must be consumed, so that QUIT reads its own answer.
        QByteArray closing = "226-Transfer complete; the squads on this server:\r\n";
        for (int i = 0; closing.size() < 150 * 1024; ++i)
            closing += " squad " + QByteArray::number(i) + " is listed here\r\n";
        closing += "226 Done\r\n";
        m_peer->send("220 Ready\r\n").expectLine().send("230 Logged in\r\n");
        serveStore(*m_peer, true, 1, closing).expectLine().send("221 Goodbye\r\n").close();
        m_client->Connect();
        QCOMPARE(upload(), QStringLiteral("<none>"));
        QCOMPARE(m_client->ReplyCode, qint16(226));
        m_client->Disconnect(); // throws if it read a 226 line as the answer to QUIT
        QCOMPARE(m_peer->lines().last(), QByteArray("QUIT\r\n"));
        QTRY_VERIFY(m_peer->finished());

        // A single line longer than the buffer cannot be read: the upload is
        // not confirmed, so it is no success.
        ScriptedPeer longLine;
        longLine.send("220 Ready\r\n").expectLine().send("230 Logged in\r\n");
        serveStore(longLine, true, 1, "226 " + QByteArray(70000, 'x') + "\r\n");
        m_client->Port = longLine.port();
        m_client->Connect();
        QCOMPARE(upload(), QStringLiteral("Socket readln line too long"));
    }

    void renameRefusalsAreFailures()
    {
        m_peer->send("220 Ready\r\n").expectLine().send("230 Logged in\r\n");
        QList<QByteArray> replies{"350 Ready for destination name", "250 Renamed", // renamed
                                  "550 No such file",                              // RNFR refused
                                  "350 Ready for destination name", "553 Not allowed"}; // RNTO refused
        answerLines(*m_peer, [replies](const QByteArray&) mutable {
            return replies.isEmpty() ? QByteArray() : replies.takeFirst();
        });
        m_client->Connect();
        m_client->Rename(QStringLiteral("/corvanet.xml.tmp"), QStringLiteral("/corvanet.xml"));
        QCOMPARE(m_peer->lines().mid(1),
                 (QList<QByteArray>{"RNFR /corvanet.xml.tmp\r\n", "RNTO /corvanet.xml\r\n"}));

        const auto rename = [&](const char* from, const char* to) {
            return thrown([&] { m_client->Rename(from, to); });
        };
        QCOMPARE(rename("/gone.tmp", "/corvanet.xml"), QStringLiteral("550 No such file"));
        QCOMPARE(m_peer->lines().last(), QByteArray("RNFR /gone.tmp\r\n")); // no RNTO after it
        QCOMPARE(rename("/a.tmp", "/corvanet.xml"), QStringLiteral("553 Not allowed"));
        QCOMPARE(rename("/a.tmp", "/x\r\nDELE /corvanet.xml"),
                 QStringLiteral("File name contains a line break or NUL character"));
        QVERIFY(m_client->Connected);
        // The server hangs up instead of answering.
        QCOMPARE(rename("/a.tmp", "/corvanet.xml"), QStringLiteral("Control connection closed by the server"));
    }

    // Active mode: another program connects to the data port before the
    // server does. One at another address is refused and the server gets
    // the file; one at the server's own address cannot be told from it, but
    // the server's connection then comes second, and the upload fails
    // however the server answers, since the file went elsewhere.
    void activeDataPortTakesOnlyTheServer_data()
    {
        QTest::addColumn<QString>("intruderAddress");
        QTest::addColumn<QString>("error");
        QTest::newRow("from another address") << "127.0.0.2" << "<none>";
        QTest::newRow("from the server's address")
            << "127.0.0.1"
            << "A second connection reached the data port: the data may have gone to another program, not to "
               "the server";
    }

    void activeDataPortTakesOnlyTheServer()
    {
        QFETCH(QString, intruderAddress);
        QFETCH(QString, error);
        QTcpSocket intruder;
        QVERIFY(intruder.bind(QHostAddress(intruderAddress), 0));
        serveLogin(*m_peer).expectLine().run([&] {
            intruder.connectToHost(QHostAddress::LocalHost, portOf(m_peer->lines().last()));
            QVERIFY(intruder.waitForConnected(5000));
        });
        m_peer->send("200 PORT ok\r\n").expectLine().send("150 Opening\r\n");
        m_peer->connectTo([this] { return portOf(m_peer->lines().value(m_peer->lines().size() - 2)); })
            .expectClose()
            .switchTo(0)
            .send("226 Transfer complete\r\n");
        m_client->TimeOut = 5000;
        m_client->Passive = false;
        m_client->Connect();
        int successes = 0;
        m_client->OnSuccess = [&](TCmdType) { ++successes; };
        QStringList statuses;
        m_client->ReportLevel = 1;
        m_client->OnStatus = [&](QObject*, const QString& text) { statuses << text; };
        QTEST(upload(), "error");
        QTRY_VERIFY2(m_peer->finished(), qPrintable(m_peer->failure()));
        intruder.waitForReadyRead(100);
        if (error == QLatin1String("<none>")) {
            QCOMPARE(m_peer->transcript(1), kContent);
            QCOMPARE(intruder.readAll(), QByteArray());
            QVERIFY(statuses.contains("Refused a data connection from " + intruderAddress));
            QCOMPARE(successes, 1);
        } else {
            QCOMPARE(m_peer->transcript(1), QByteArray());
            QCOMPARE(successes, 0);
        }
        QVERIFY(m_client->findChildren<TSocketConn*>().isEmpty());
    }

    // While the client waits for the server's data connection, an Abort
    // ends the wait, and destroying the client ends it without touching it;
    // the port goes with the transfer either way.
    void waitingForTheDataConnection_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("Abort") << false;
        QTest::newRow("destroyed") << true;
    }

    void waitingForTheDataConnection()
    {
        QFETCH(bool, destroy);
        serveLogin(*m_peer).expectLine().send("200 PORT ok\r\n").expectLine().send("150 Opening\r\n").run([&] {
            QTimer::singleShot(50, [&] {
                if (destroy)
                    m_client.reset();
                else
                    m_client->Abort();
            });
        });
        m_client->TimeOut = 5000;
        m_client->Passive = false;
        m_client->Connect();
        TFtpClient* const client = m_client.get();
        QVERIFY(!thrown([&] { client->Upload(m_file, QStringLiteral("/corvanet.xml")); }).isEmpty());
        QCOMPARE(!m_client, destroy);
        if (m_client)
            QVERIFY(m_client->findChildren<TSocketConn*>().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFtpFaults)
#include "TestFtpFaults.moc"
