// Publishing the directory when things go wrong: FTP servers that refuse,
// vanish, stall, trickle or cut the upload off, a working directory that
// cannot be written and a disk that is full. Every case ends "Ready" with the
// default cursor, the error told once, and the published directory either
// the whole new one or the whole old one, never a part.

#include <QTcpServer>

#include <arpa/inet.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <optional>

#include "FaultHelpers.h"
#include "GuiFixture.h"
#include "LoopbackFtpServer.h"
#include "PublishSettings.h"

using namespace FaultHelpers;

namespace
{

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

enum Fault { NobodyListens, LoginRefused, GoneAfterConnect, NeverAnswers, TrickledGreeting };

} // namespace

// The served root holds the directory and the squad pages.
class TestFaultsPublish : public QObject, private GuiFixture
{
    Q_OBJECT

private:
    QString deadPage() const { return served("gone.xml"); }

    // The directory lists a dead squad and some live ones (extra of them,
    // to make the upload as long as a test needs).
    QByteArray writeDirectory(int extra = 2, const QByteArray& prologue = {})
    {
        QList<QPair<QString, QString>> entries{{"dead", deadPage()}};
        for (int i = 0; i < extra; ++i)
            entries.append(
                {QStringLiteral("live %1").arg(i), served(QStringLiteral("live%1.xml").arg(i))});
        return GuiFixture::writeDirectory(entries, prologue);
    }

    // Opens the dead squad: "Squad not found.", its removal and the publish.
    void openDeadSquad(TfrmMain& window, RecordingSeams& seams)
    {
        waitIdle(window);
        openSquad(window, deadPage());
        QVERIFY(!seams.messages.isEmpty());
        QCOMPARE(seams.messages[0].text,
                 QStringLiteral("Squad not found.\r\nSquad will be removed from database..."));
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
    void init() { freshCache(); }

    void initTestCase()
    {
        QVERIFY(foldersValid());
        QVERIFY(writeFile(deadPage(), "<squad nick=\"G\"><member>")); // there, but no document
    }

    void cleanup() { QFile::remove(m_work.filePath("a.tmp")); }

    void ftpServersThatFail_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("error"); // a pattern of the message
        QTest::newRow("nobody listens") << int(NobodyListens) << "^10061:Connection refused$";
        QTest::newRow("login refused") << int(LoginRefused) << "^530 ";
        QTest::newRow("gone between Connect and Upload") << int(GoneAfterConnect) << "";
        QTest::newRow("accepts and never answers") << int(NeverAnswers) << "";
        QTest::newRow("greeting trickled line by line") << int(TrickledGreeting) << "";
    }

    void ftpServersThatFail()
    {
        QFETCH(int, fault);
        QFETCH(QString, error);
        ScriptedPeer peer;
        quint16 port = peer.port();
        LoopbackFtpServer ftp(m_root.path(), kUser, fault == LoginRefused ? "another" : kPassword);
        std::function<void()> trickle = [&] {
            peer.send("220-Still here\r\n").pause(30).run(trickle);
        };
        switch (fault) {
        case NobodyListens: {
            QTcpServer closed; // closed again at once
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            port = closed.serverPort();
            break;
        }
        case LoginRefused:
        case GoneAfterConnect:
            QVERIFY2(ftp.start(), qPrintable(ftp.errorText()));
            port = ftp.port();
            break;
        case NeverAnswers:
            peer.expectBytes(1);
            break;
        case TrickledGreeting:
            trickle();
            break;
        }
        const QByteArray before = writeDirectory(2);
        RecordingSeams seams;
        TfrmMain window(settings(port), seams);
        if (fault == GoneAfterConnect)
            window.FtpClient->TimeOut = 1000;
        if (fault == GoneAfterConnect)
            window.FtpClient->OnConnect = [&ftp](QObject*) { ftp.stop(); };
        if (fault == NeverAnswers || fault == TrickledGreeting)
            window.FtpClient->TimeOut = 300;
        HangGuard guard(window, 20000);
        openDeadSquad(window, seams);
        QVERIFY(!guard.fired());
        expectFailedPublish(window, seams, before);
        QVERIFY2(QRegularExpression(error).match(seams.messages[1].text).hasMatch(),
                 qPrintable(seams.messages[1].text));
        QVERIFY(!peer.transcript(0).contains("RNFR")); // nothing renamed into place
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
        openSquad(window, deadPage());
        QCOMPARE(seams.messages.size(), 1);
        const QByteArray after = readFile(directoryFile());
        QVERIFY(!after.contains("gone.xml"));
        QCOMPARE(after.count("<squad "), 5000);
        QVERIFY(!QFile::exists(served("corvanet.xml.tmp")));
        QCOMPARE(listCount(window.lbSquads), 5000);
    }

    void anUnwritableTmpIsNeverUploaded_data()
    {
        QTest::addColumn<bool>("diskFull");
        QTest::newRow("working directory not writable") << false;
        QTest::newRow("disk full") << true;
    }

    void anUnwritableTmpIsNeverUploaded()
    {
        QFETCH(bool, diskFull);
        LoopbackFtpServer ftp(m_root.path(), kUser, kPassword);
        QVERIFY2(ftp.start(), qPrintable(ftp.errorText()));
        const QByteArray before = writeDirectory(100);
        RecordingSeams seams;
        TfrmMain window(settings(ftp.port()), seams);
        waitIdle(window, 101);
        {
            std::optional<UnwritableDir> unwritable;
            std::optional<FileSizeLimit> limit;
            if (diskFull) {
                limit.emplace(before.size() / 2);
                QVERIFY(limit->works());
            } else if (!unwritable.emplace(m_work.path()).works()) {
                QSKIP("cannot make a folder unwritable here");
            }
            openDeadSquad(window, seams);
        }
        expectFailedPublish(window, seams, before);
        QVERIFY2(seams.messages[1].text.startsWith(QStringLiteral("Cannot write \"a.tmp\"")),
                 qPrintable(seams.messages[1].text));
        QVERIFY(!QFile::exists("a.tmp")); // no half-written file either
        // Nothing was uploaded, and the lock was given back; the history
        // holds the directory that is live as its newest version.
        QCOMPARE(QDir(m_root.path()).entryList({"corvanet.xml*"}, QDir::AllEntries),
                 (QStringList{"corvanet.xml", "corvanet.xml.history"}));
        const QDir history(served("corvanet.xml.history"));
        QCOMPARE(readFile(history.filePath(history.entryList(QDir::Files, QDir::Name).constLast())), before);
    }
};

QTEST_MAIN(TestFaultsPublish)
#include "TestFaultsPublish.moc"
