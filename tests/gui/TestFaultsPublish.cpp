// Publishing the directory when things go wrong: FTP servers that refuse,
// vanish, stall, trickle or cut the upload off, a working directory that
// cannot be written and a disk that is full. Every case ends "Ready" with the
// default cursor, the error told once, and the published directory either
// the whole new one or the whole old one, never a part.

#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>

#include "FaultHelpers.h"
#include "LoopbackFtpServer.h"
#include "PublishSettings.h"
#include "ScriptedPeer.h"

using namespace FaultHelpers;

namespace
{

// Greets and accepts the login.
void login(ScriptedPeer& peer)
{
    peer.send("220 Ready\r\n")
        .expectLine()
        .send("331 Password required\r\n")
        .expectLine()
        .send("230 Logged in\r\n");
}

QByteArray passiveReply(quint16 port)
{
    return "227 Entering Passive Mode (127,0,0,1," + QByteArray::number(port >> 8) + "," +
           QByteArray::number(port & 0xFF) + ")\r\n";
}

// A listening socket on loopback that never accepts: the kernel completes
// the connection and nobody ever reads it. Its small receive buffer, which
// the connection inherits, keeps the kernel from reading much on our behalf
// either. (A QTcpServer would accept and read everything into memory.)
class NeverAccepts
{
public:
    NeverAccepts() : m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        const int small = 4096;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small) != 0 ||
            ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_fd, 1) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        m_port = ntohs(address.sin_port);
    }
    ~NeverAccepts()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    NeverAccepts(const NeverAccepts&) = delete;
    NeverAccepts& operator=(const NeverAccepts&) = delete;
    quint16 port() const { return m_port; }

private:
    int m_fd;
    quint16 m_port = 0;
};

// Makes a folder unwritable for this process for as long as it lives, root
// included: as root the permission bits alone stop nothing, so the
// capability that overrides them is dropped from the calling thread's
// effective set (it stays permitted and comes back at the end).
class UnwritableDir
{
public:
    explicit UnwritableDir(const QString& path) : m_path(path)
    {
        QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                        QFile::ExeGroup);
        if (geteuid() == 0)
            m_dropped = setOverride(false);
        QFile probe(QDir(path).filePath(QStringLiteral("probe")));
        m_works = !probe.open(QIODevice::WriteOnly);
        if (!m_works)
            probe.remove();
    }
    ~UnwritableDir()
    {
        if (m_dropped)
            setOverride(true);
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    bool works() const { return m_works; }

private:
    static bool setOverride(bool on)
    {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (syscall(SYS_capget, &header, data) != 0)
            return false;
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
            if (on)
                data[0].effective |= data[0].permitted & (1u << cap);
            else
                data[0].effective &= ~(1u << cap);
        }
        return syscall(SYS_capset, &header, data) == 0;
    }

    QString m_path;
    bool m_dropped = false;
    bool m_works = false;
};

} // namespace

class TestFaultsPublish : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root; // served: the directory and the squad pages
    QTemporaryDir m_work; // the program's working directory
    QString m_savedCwd;

    QString directoryFile() const { return m_root.filePath("corvanet.xml"); }
    QString deadPage() const { return m_root.filePath("gone.xml"); }

    AppSettings settings(quint16 ftpPort) const { return publishSettings(directoryFile(), ftpPort); }

    // The directory lists a dead squad and some live ones (extra of them,
    // to make the upload as long as a test needs).
    QByteArray writeDirectory(int extra = 2, const QByteArray& prologue = {})
    {
        QList<QPair<QString, QString>> entries{{"dead", deadPage()}};
        for (int i = 0; i < extra; ++i)
            entries.append({QStringLiteral("live %1").arg(i),
                            m_root.filePath(QStringLiteral("live%1.xml").arg(i))});
        const QByteArray xml = directory(entries, prologue);
        writeFile(directoryFile(), xml);
        return xml;
    }

    // Opens the dead squad: "Squad not found.", its removal and the publish.
    void openDeadSquad(TfrmMain& window, RecordingSeams& seams)
    {
        speedUp(window);
        QTRY_VERIFY_WITH_TIMEOUT(idle(window) && window.lbSquads->count() > 0, 10000);
        QVERIFY(selectUrl(window, deadPage()));
        window.tbtnDetailsClick();
        QTRY_VERIFY_WITH_TIMEOUT(!seams.messages.isEmpty(), 10000);
        QCOMPARE(seams.messages[0].text,
                 QStringLiteral("Squad not found.\r\nSquad will be removed from database..."));
        QTRY_VERIFY_WITH_TIMEOUT(idle(window), 10000);
    }

    // A failed publish: told once in the error report, "Ready", the default
    // cursor, no session left, no reload; the directory as it was.
    void expectFailedPublish(TfrmMain& window, const RecordingSeams& seams,
                             const QByteArray& before)
    {
        expectSound(window, seams);
        QCOMPARE(seams.messages.size(), 2);
        QCOMPARE(seams.messages[1].icon, UiSeams::Icon::Error);
        QVERIFY(!window.tmrWaitDatabase->isActive());
        QCOMPARE(readFile(directoryFile()), before);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid() && m_work.isValid());
        m_savedCwd = QDir::currentPath();
        QDir::setCurrent(m_work.path());
        QVERIFY(writeFile(deadPage(), "<squad nick=\"G\"><member>")); // there, but no document
    }

    void cleanupTestCase() { QDir::setCurrent(m_savedCwd); }

    void cleanup() { QFile::remove(m_work.filePath("a.tmp")); }

    void refusedLogin()
    {
        LoopbackFtpServer ftp(m_root.path(), kUser, QStringLiteral("another"));
        QVERIFY2(ftp.start(), qPrintable(ftp.errorText()));
        const QByteArray before = writeDirectory();
        RecordingSeams seams;
        TfrmMain window(settings(ftp.port()), seams);
        HangGuard guard(window, 20000);
        openDeadSquad(window, seams);
        QVERIFY(!guard.fired());
        expectFailedPublish(window, seams, before);
        QVERIFY2(seams.messages[1].text.startsWith(QStringLiteral("530 ")),
                 qPrintable(seams.messages[1].text));
    }

    void serverGoneBetweenLoginAndUpload()
    {
        LoopbackFtpServer ftp(m_root.path(), kUser, kPassword);
        QVERIFY2(ftp.start(), qPrintable(ftp.errorText()));
        const QByteArray before = writeDirectory();
        RecordingSeams seams;
        TfrmMain window(settings(ftp.port()), seams);
        window.FtpClient->TimeOut = 1000;
        window.FtpClient->OnConnect = [&ftp](QObject*) { ftp.stop(); };
        HangGuard guard(window, 20000);
        openDeadSquad(window, seams);
        QVERIFY(!guard.fired());
        expectFailedPublish(window, seams, before);
    }

    void anUploadCutOffHalfWayLeavesTheOldDirectory()
    {
        // The upload stops after its first block, as when the line drops:
        // the server keeps what it got, which must never become the
        // directory that everybody loads.
        LoopbackFtpServer ftp(m_root.path(), kUser, kPassword);
        QVERIFY2(ftp.start(), qPrintable(ftp.errorText()));
        const QByteArray before = writeDirectory(5000);
        QVERIFY(before.size() > 4 * 64 * 1024);
        RecordingSeams seams;
        TfrmMain window(settings(ftp.port()), seams);
        window.FtpClient->OnPacketSent = [&window](QObject*) { window.FtpClient->Abort(); };
        HangGuard guard(window, 20000);
        openDeadSquad(window, seams);
        QVERIFY(!guard.fired());
        expectFailedPublish(window, seams, before);
        QCOMPARE(seams.messages[1].text, QStringLiteral("Socket send aborted"));

        // The next publish goes through whole: the removal is there, and the
        // upload's temporary name is gone.
        window.FtpClient->OnPacketSent = nullptr;
        seams.messages.clear();
        QVERIFY(selectUrl(window, deadPage()));
        window.tbtnDetailsClick();
        QTRY_VERIFY_WITH_TIMEOUT(seams.messages.size() == 1 && idle(window), 10000);
        const QByteArray after = readFile(directoryFile());
        QVERIFY(!after.contains("gone.xml"));
        QCOMPARE(after.count("<squad "), 5000);
        QVERIFY(!QFile::exists(m_root.filePath("corvanet.xml.tmp")));
        QCOMPARE(window.lbSquads->count(), 5000);
    }

    void dataConnectionResetMidUpload()
    {
        // The server resets the data connection after a few bytes and says
        // so: the upload failed and nothing is renamed into place.
        ScriptedPeer peer;
        login(peer);
        peer.expectLine()
            .send(passiveReply(peer.port()))
            .acceptNext()
            .switchTo(0)
            .expectLine()
            .send("150 Ok to send data\r\n")
            .switchTo(1)
            .expectBytes(1000)
            .reset()
            .switchTo(0)
            .send("426 Connection closed; transfer aborted\r\n")
            .expectLine()
            .send("221 Goodbye\r\n")
            .close();
        writeDirectory(200);
        const QByteArray before = readFile(directoryFile());
        RecordingSeams seams;
        TfrmMain window(settings(peer.port()), seams);
        window.FtpClient->TimeOut = 1000;
        HangGuard guard(window, 20000);
        openDeadSquad(window, seams);
        QVERIFY(!guard.fired());
        expectFailedPublish(window, seams, before);
        QVERIFY(!peer.transcript(0).contains("RNFR"));
        QTRY_VERIFY(peer.finished());
    }

    void serversThatStallEndInTime_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("accepts and never answers") << 0;
        QTest::newRow("greeting trickled line by line") << 1;
        QTest::newRow("stops reading the upload") << 2;
    }

    void serversThatStallEndInTime()
    {
        QFETCH(int, kind);
        ScriptedPeer peer;
        NeverAccepts neverAccepts;
        QVERIFY(neverAccepts.port() != 0);
        QByteArray prologue;
        std::function<void()> trickle = [&] {
            peer.send("220-Still here\r\n").pause(30).run(trickle);
        };
        if (kind == 0) {
            peer.expectBytes(1);
        } else if (kind == 1) {
            trickle();
        } else {
            // More than the sending socket's buffer grows to, so that the
            // send has to wait for a reader that never comes.
            prologue = "<!-- " + QByteArray(6 * 1024 * 1024, '-').replace("--", "- ") + " -->\n";
            login(peer);
            peer.expectLine()
                .send(passiveReply(neverAccepts.port()))
                .expectLine()
                .send("150 Ok\r\n");
        }
        const QByteArray before = writeDirectory(2, prologue);
        RecordingSeams seams;
        TfrmMain window(settings(peer.port()), seams);
        window.FtpClient->TimeOut = 300;
        window.minUploadRate = 1LL << 40; // no extra time for the size
        HangGuard guard(window, 20000);
        openDeadSquad(window, seams);
        QVERIFY(!guard.fired());
        expectFailedPublish(window, seams, before);
    }

    void unwritableWorkingDirectory()
    {
        ScriptedPeer ftp; // must never be contacted
        const QByteArray before = writeDirectory();
        RecordingSeams seams;
        TfrmMain window(settings(ftp.port()), seams);
        speedUp(window);
        QTRY_VERIFY_WITH_TIMEOUT(idle(window) && window.lbSquads->count() > 0, 10000);
        UnwritableDir unwritable(m_work.path());
        if (!unwritable.works())
            QSKIP("cannot make a folder unwritable here");
        openDeadSquad(window, seams);
        expectFailedPublish(window, seams, before);
        QVERIFY2(seams.messages[1].text.startsWith(QStringLiteral("Cannot write \"a.tmp\"")),
                 qPrintable(seams.messages[1].text));
        QCOMPARE(ftp.connectionCount(), 0);
    }

    void diskFullWhileSavingTheDirectory()
    {
        ScriptedPeer ftp; // must never be contacted
        const QByteArray before = writeDirectory(100);
        RecordingSeams seams;
        TfrmMain window(settings(ftp.port()), seams);
        speedUp(window);
        QTRY_VERIFY_WITH_TIMEOUT(idle(window) && window.lbSquads->count() > 0, 10000);

        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = before.size() / 2;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        openDeadSquad(window, seams);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        expectFailedPublish(window, seams, before);
        QVERIFY2(seams.messages[1].text.startsWith(QStringLiteral("Cannot write \"a.tmp\"")),
                 qPrintable(seams.messages[1].text));
        QCOMPARE(ftp.connectionCount(), 0);
        QVERIFY(!QFile::exists("a.tmp")); // no half-written file either
    }
};

QTEST_MAIN(TestFaultsPublish)
#include "TestFaultsPublish.moc"
