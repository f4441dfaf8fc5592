// Control connections that carry something other than clean FTP replies: the
// FTP client must either read them as the protocol says or fail, and never
// take a peer that does not speak FTP for a server that logged us in.

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "FtpClient.h"
#include "FtpScriptPeer.h"

namespace {

template <class F>
QString thrown(F&& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return QStringLiteral("<none>");
}

} // namespace

class TestFtpFaults : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FtpScriptPeer> m_peer;
    std::unique_ptr<TFtpClient> m_client;
    QTemporaryDir m_dir;
    QString m_file;

private slots:
    void init()
    {
        m_peer = std::make_unique<FtpScriptPeer>();
        QVERIFY(m_peer->listen());
        m_client = std::make_unique<TFtpClient>();
        m_client->Host = QStringLiteral("127.0.0.1");
        m_client->Port = m_peer->port();
        m_client->UserID = QStringLiteral("corvanet");
        m_client->Password = QStringLiteral("squadup");
        m_client->Passive = true;
        m_client->TimeOut = 500; // a script that goes wrong must not hang the test
        m_file = m_dir.filePath(QStringLiteral("a.tmp"));
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(5000, 's'));
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
        const QByteArray http = "HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\n"
                                "Content-Length: 0\r\nConnection: close\r\n";
        QTest::newRow("HTTP greeting") << http << QByteArray();
        QTest::newRow("text greeting") << QByteArray("Welcome!") << QByteArray();
        QTest::newRow("code cut by a NUL") << QByteArray("2\0" "20 Ready", 10) << QByteArray();
        QTest::newRow("USER answered by text") << QByteArray("220 Ready") << QByteArray("hello there");
        QTest::newRow("USER answered by a code out of range") << QByteArray("220 Ready") << QByteArray("2300 ok");
    }

    void peersThatDoNotSpeakFtpAreRefused()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(QByteArray, userReply);
        m_peer->greeting = greeting;
        if (!userReply.isEmpty())
            m_peer->reply("USER", userReply);
        const QString error = thrown([&] { m_client->Connect(); });
        QVERIFY2(error != QLatin1String("<none>"), "logged in to a peer that does not speak FTP");
        QVERIFY(!m_client->Connected);
        QVERIFY(!m_peer->commands.contains(QStringLiteral("PASS squadup")));
    }

    void oddButValidRepliesAreRead()
    {
        // Bare three-digit lines, and a greeting with a NUL and terminal
        // control bytes in its text: the codes are what counts.
        m_peer->greeting = QByteArray("220 Ready\0\x1b[2J\x07", 15);
        m_peer->reply("USER", "331");
        m_peer->reply("PASS", "230");
        m_peer->closingReply = "226";
        m_client->Connect();
        QVERIFY(m_client->Connected);
        m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
        QCOMPARE(m_peer->data.size(), 5000);

        // A refusal whose text carries the same bytes is still a refusal.
        m_peer->reply("STOR", QByteArray("553 No\0 \x1b[31mway", 16));
        const QString error = thrown([&] { m_client->Upload(m_file, QStringLiteral("/corvanet.xml")); });
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
        closing += "226 Done";
        m_peer->closingReply = closing;
        m_client->Connect();
        m_client->Upload(m_file, QStringLiteral("/corvanet.xml"));
        QCOMPARE(m_client->ReplyCode, qint16(226));
        m_client->Disconnect(); // throws if it read a 226 line as the answer to QUIT
        QCOMPARE(m_peer->commands.last(), QStringLiteral("QUIT"));

        // A single line longer than the buffer cannot be read: the upload is
        // not confirmed, so it is no success.
        FtpScriptPeer longLine;
        QVERIFY(longLine.listen());
        longLine.closingReply = "226 " + QByteArray(70000, 'x');
        m_client->Port = longLine.port();
        m_client->Connect();
        QCOMPARE(thrown([&] { m_client->Upload(m_file, QStringLiteral("/corvanet.xml")); }),
                 QStringLiteral("Socket readln line too long"));
    }

    void renameRefusalsAreFailures()
    {
        m_client->Connect();
        m_peer->reply("RNFR", "350 Ready for destination name");
        m_peer->reply("RNTO", "250 Renamed");
        m_client->Rename(QStringLiteral("/corvanet.xml.tmp"), QStringLiteral("/corvanet.xml"));
        QCOMPARE(m_peer->commands.mid(m_peer->commands.size() - 2),
                 QStringList({"RNFR /corvanet.xml.tmp", "RNTO /corvanet.xml"}));

        m_peer->reply("RNFR", "550 No such file");
        QCOMPARE(thrown([&] { m_client->Rename("/gone.tmp", "/corvanet.xml"); }),
                 QStringLiteral("550 No such file"));
        QCOMPARE(m_peer->commands.last(), QStringLiteral("RNFR /gone.tmp")); // no RNTO

        m_peer->reply("RNFR", "350 Ready for destination name");
        m_peer->reply("RNTO", "553 Not allowed");
        QCOMPARE(thrown([&] { m_client->Rename("/a.tmp", "/corvanet.xml"); }),
                 QStringLiteral("553 Not allowed"));
        QCOMPARE(thrown([&] { m_client->Rename("/a.tmp", "/x\r\nDELE /corvanet.xml"); }),
                 QStringLiteral("File name contains a line break or NUL character"));
        QVERIFY(m_client->Connected);

        m_peer->reply("RNFR", FtpScriptPeer::kClose);
        QCOMPARE(thrown([&] { m_client->Rename("/a.tmp", "/corvanet.xml"); }),
                 QStringLiteral("Control connection closed by the server"));
    }
};

QTEST_GUILESS_MAIN(TestFtpFaults)
#include "TestFtpFaults.moc"
