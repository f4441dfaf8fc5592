// The logo policy decides by the address a squad page was read from. A name
// may stand for a public and a local address at once: a page served from the
// public one must not reach the local one with its logo, however the name is
// looked up afterwards.
//
// The name needs two addresses and the page a public one, so the test runs in
// a network and mount namespace of its own (unshare -rnm, no root needed):
// its loopback carries 192.0.2.10 besides 127.0.0.1, and a hosts file of its
// own gives squads.test both. Nothing leaves the namespace. Where no such
// namespace can be made the test is skipped.

#include <QHostAddress>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "FaultHelpers.h"
#include "PublishSettings.h"
#include "XmlAddress.h"

using namespace FaultHelpers;

namespace
{

constexpr char kInside[] = "CORVANET_TEST_TWO_ADDRESSES";
const QHostAddress kPublic(QStringLiteral("192.0.2.10"));

// Serves one reply per connection, each after the request's blank line.
void serve(ScriptedPeer& peer, const QList<QByteArray>& replies, int i = 0)
{
    peer.expectLine().run([&peer, replies, i] {
        if (peer.lines().last() != "\r\n")
            return serve(peer, replies, i);
        peer.send(replies[i]).close();
        if (i + 1 < replies.size())
            serve(peer.acceptNext(), replies, i + 1);
    });
}

QByteArray reply(const QByteArray& status, const QByteArray& body)
{
    return "HTTP/1.0 " + status + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

} // namespace

class TestPageAddress : public QObject
{
    Q_OBJECT

private:
    WorkingDir m_work;

private slots:
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        // Only the namespace's loopback is up; the page's host is no
        // loopback name, and must still be asked for.
        XmlAddress::setInterfaceProbe([] { return true; });
    }

    void theFetchedAddressDecides_data()
    {
        QTest::addColumn<QString>("pageAddress");
        QTest::addColumn<bool>("logoFetched");
        QTest::newRow("page from the public address") << "192.0.2.10" << false;
        QTest::newRow("page from the loopback address") << "127.0.0.1" << true;
    }

    void theFetchedAddressDecides()
    {
        QFETCH(QString, pageAddress);
        QFETCH(bool, logoFetched);
        ScriptedPeer logos;
        serve(logos, {reply("200 OK", jpeg(64, 32))});
        const QString logo = QStringLiteral("http://127.0.0.1:%1/logo.jpg").arg(logos.port());

        ScriptedPeer pages{QHostAddress(pageAddress)};
        QVERIFY2(pages.failure().isEmpty(), qPrintable(pages.failure()));
        const QString page = QStringLiteral("http://squads.test:%1/squad.xml").arg(pages.port());
        // The page, then the logo named relative to it (where the window
        // looks when the logo's own address gave nothing).
        serve(pages, {reply("200 OK", squadPage("two", {logo})), reply("404 Not Found", "")});

        ScriptedPeer directories;
        serve(directories, {reply("200 OK", directory({{"two", page}}))});
        RecordingSeams seams;
        TfrmMain window(
            publishSettings(QStringLiteral("http://127.0.0.1:%1/corvanet.xml").arg(directories.port())), seams);
        waitIdle(window, 1);
        openSquad(window, page);

        QCOMPARE(window.DetailDoc.fetchedFrom(), QHostAddress(pageAddress));
        QCOMPARE(window.stSName->text(), QStringLiteral("two squad"));
        QCOMPARE(logos.connectionCount(), logoFetched ? 1 : 0);
        QCOMPARE(logoSize(window), logoFetched ? QSize(64, 32) : QSize());
        QVERIFY(seams.messages.isEmpty());
    }
};

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet(kInside)) {
        if (std::system("unshare -rnm true >/dev/null 2>&1") != 0) {
            std::printf("SKIP: this machine does not let a user make a network namespace (unshare -rnm)\n");
            return 77;
        }
        // The address, the hosts file, then this very test again inside.
        const char* script = "PATH=$PATH:/usr/sbin:/sbin; "
                             "ip link set lo up && ip addr add 192.0.2.10/32 dev lo && "
                             "hosts=$(mktemp) && printf '127.0.0.1 squads.test\\n192.0.2.10 squads.test\\n' >\"$hosts\" && "
                             "mount --bind \"$hosts\" /etc/hosts && rm -f \"$hosts\" && exec \"$@\"";
        std::vector<char*> args{const_cast<char*>("unshare"), const_cast<char*>("-rnm"),
                                const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                                const_cast<char*>(script), const_cast<char*>("sh")};
        char self[4096];
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0)
            return 1;
        self[n] = '\0';
        args.push_back(self);
        for (int i = 1; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        ::setenv(kInside, "1", 1);
        ::execvp("unshare", args.data());
        std::perror("unshare");
        return 1;
    }
    QApplication app(argc, argv);
    TestPageAddress test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestPageAddress.moc"
