// The program's private working folder: where it is made, that only the user
// may enter it, that it goes at exit and after a crash, and that the folder
// the program was started in (the user's home, from a desktop launcher) keeps
// its files: the window's working files never replace a user's "temp.jpg"
// and are never written through a link.

#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FaultHelpers.h"
#include "LoopbackFtpServer.h"
#include "LoopbackWebServer.h"
#include "PublishSettings.h"
#include "WorkingFolder.h"

using namespace FaultHelpers;

namespace
{

constexpr char kStartARun[] = "--start-a-run";

int modeOf(const QString& path)
{
    struct stat info {
    };
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777)
                                                                    : -1;
}

QString canonical(const QString& path)
{
    return QFileInfo(path).canonicalFilePath();
}

void setOrUnset(const char* name, const QString& value)
{
    if (value.isNull())
        qunsetenv(name);
    else
        qputenv(name, value.toLocal8Bit());
}

} // namespace

class TestWorkingFolder : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    const QString m_saved = QDir::currentPath();
    const QByteArray m_savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray m_savedHome = qgetenv("HOME");

    QString home() const { return m_tmp.filePath("home"); }
    QString runtime() const { return m_tmp.filePath("runtime"); }

private slots:
    void init()
    {
        QVERIFY(m_tmp.isValid());
        QVERIFY(QDir().mkpath(home()) && QDir().mkpath(runtime()));
        QVERIFY(QDir::setCurrent(home())); // as a desktop launcher starts it
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime()));
        qunsetenv("XDG_CACHE_HOME");
        qputenv("HOME", QFile::encodeName(home()));
    }

    void cleanup()
    {
        QDir::setCurrent(m_saved);
        qputenv("XDG_RUNTIME_DIR", m_savedRuntime);
        qputenv("HOME", m_savedHome);
        qunsetenv("XDG_CACHE_HOME");
    }

    void aPrivateFolderWhileTheProgramRuns_data()
    {
        QTest::addColumn<QString>("runtimeDir"); // null: unset
        QTest::addColumn<QString>("cacheDir");   // null: unset
        QTest::addColumn<QString>("expected");   // the program folder, below the temporary folder
        QTest::newRow("runtime folder") << "runtime"
                                        << "cache"
                                        << "runtime/corvanet";
        QTest::newRow("no runtime folder") << QString() << "cache"
                                           << "cache/corvanet";
        QTest::newRow("relative runtime folder") << "relative"
                                                 << "cache"
                                                 << "cache/corvanet";
        QTest::newRow("neither") << QString() << QString() << "home/.cache/corvanet";
    }

    void aPrivateFolderWhileTheProgramRuns()
    {
        QFETCH(QString, runtimeDir);
        QFETCH(QString, cacheDir);
        QFETCH(QString, expected);
        const auto absolute = [this](const QString& name) {
            return name.isNull() || name == "relative" ? name : m_tmp.filePath(name);
        };
        setOrUnset("XDG_RUNTIME_DIR", absolute(runtimeDir));
        setOrUnset("XDG_CACHE_HOME", absolute(cacheDir));
        QString path;
        {
            const WorkingFolder folder;
            QVERIFY2(folder.isValid(), qPrintable(folder.errorString()));
            path = folder.path();
            QCOMPARE(path, m_tmp.filePath(expected) + "/" + QString::number(::getpid()));
            QCOMPARE(canonical(QDir::currentPath()), canonical(path));
            QCOMPARE(modeOf(path), 0700);
            QCOMPARE(modeOf(m_tmp.filePath(expected)), 0700);
            QVERIFY(writeFile("temp.jpg", "logo"));
        }
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(canonical(QDir::currentPath()), canonical(home()));
        QCOMPARE(QDir(home()).entryList(QDir::Files), QStringList());
    }

    // The folders of runs that ended without cleaning up go at the next
    // start; those of running programs, and anything else, stay.
    void foldersOfCrashedRunsGo()
    {
        QProcess ended;
        ended.start("true");
        QVERIFY(ended.waitForStarted());
        const qint64 deadPid = ended.processId();
        QVERIFY(ended.waitForFinished());
        const QString parent = runtime() + "/corvanet";
        const QString victim = m_tmp.filePath("victim");
        QVERIFY(writeFile(victim + "/keep.txt", "mine"));
        for (const qint64 pid : {deadPid, qint64(::getpid()), qint64(::getppid())})
            QVERIFY(writeFile(parent + "/" + QString::number(pid) + "/temp.jpg", "stale"));
        QVERIFY(writeFile(parent + "/notes/a.txt", "not a run"));
        QVERIFY(QFile::link(victim, parent + "/999999999"));
        // Runs that keep a lock: the lock decides, not the number (no process
        // has either of these numbers here).
        const QString living = parent + "/4000001", crashed = parent + "/4000002-1";
        QVERIFY(writeFile(living + "/.lock", "") && writeFile(living + "/temp.jpg", "alive"));
        QVERIFY(writeFile(crashed + "/.lock", "") && writeFile(crashed + "/temp.jpg", "stale"));
        const int held = ::open(QFile::encodeName(living + "/.lock").constData(), O_RDWR | O_CLOEXEC);
        QVERIFY(held >= 0 && ::flock(held, LOCK_EX | LOCK_NB) == 0);

        const WorkingFolder folder;
        ::close(held);
        QVERIFY(folder.isValid());
        QVERIFY(QFileInfo::exists(living + "/temp.jpg"));
        QVERIFY(!QFileInfo::exists(crashed));
        QVERIFY(!QFileInfo::exists(parent + "/" + QString::number(deadPid)));
        QVERIFY(!QFileInfo::exists("temp.jpg")); // its own number: a stale folder, made anew
        QVERIFY(QFileInfo::exists(parent + "/" + QString::number(::getppid()) + "/temp.jpg"));
        QVERIFY(QFileInfo::exists(parent + "/notes/a.txt"));
        QCOMPARE(readFile(victim + "/keep.txt"), QByteArray("mine"));
    }

    // A run in another process-number space (a container that shares the
    // runtime folder) sees no process of this run's number, and must still
    // leave its folder alone.
    void aRunElsewhereLeavesALivingFolder()
    {
        if (QProcess::execute("unshare", {"-rpf", "true"}) != 0)
            QSKIP("this machine does not let a user make a process-number space (unshare -rpf)");
        const WorkingFolder folder;
        QVERIFY(folder.isValid());
        QVERIFY(writeFile("temp.jpg", "logo"));
        QProcess other;
        other.start("unshare", {"-rpf", QCoreApplication::applicationFilePath(), QString::fromLatin1(kStartARun)});
        QVERIFY(other.waitForFinished(30000));
        QCOMPARE(other.exitCode(), 0);
        const QString otherPath = QString::fromLocal8Bit(other.readAllStandardOutput()).trimmed();
        QVERIFY2(otherPath.startsWith(runtime() + "/corvanet/"), qPrintable(otherPath));
        QVERIFY(otherPath != folder.path());
        QCOMPARE(readFile(folder.path() + "/temp.jpg"), QByteArray("logo"));
        QVERIFY(!QFileInfo::exists(otherPath));
    }

    // The window fetches a logo and publishes the directory; the user's
    // files in the start folder and the files links point to stay as they
    // were, in the start folder and in the private folder alike.
    void theUsersFilesAreUntouched()
    {
        QTemporaryDir www;
        LoopbackWebServer web(www.path());
        QVERIFY(web.start());
        QVERIFY(writeFile(www.filePath("logo.jpg"), jpeg(64, 32)));
        QVERIFY(writeFile(www.filePath("squad.xml"), squadPage("s", {web.url("logo.jpg")})));
        QVERIFY(writeFile(www.filePath("corvanet.xml"), directory({{"s", web.url("squad.xml")}})));
        const QString victim = m_tmp.filePath("victim.txt");
        QVERIFY(writeFile(victim, "precious"));
        QVERIFY(writeFile("temp.jpg", "the user's own picture"));
        for (const char* name : {"Head.txt", "a.tmp"})
            QVERIFY(QFile::link(victim, name));

        const WorkingFolder folder;
        QVERIFY(folder.isValid());
        // Saved, the directory replaces a link in its place.
        QVERIFY(QFile::link(victim, "a.tmp"));
        {
            LoopbackFtpServer ftp(www.path(), kUser, kPassword);
            QVERIFY2(ftp.start(), qPrintable(ftp.errorText()));
            RecordingSeams seams;
            TfrmMain window(publishSettings(web.url("corvanet.xml"), ftp.port()), seams);
            waitIdle(window, 1);
            openSquad(window, web.url("squad.xml"));
            QCOMPARE(logoSize(window), QSize(64, 32));
            QVERIFY(readFile("Head.txt").startsWith("HTTP/1."));
            window.publishChange(DirectoryChange::add("x", "http://x/x.xml"), false);
            QVERIFY(!QFileInfo("a.tmp").isSymLink());
            QVERIFY(readFile("a.tmp").contains("<squads>"));
        }
        QCOMPARE(readFile(victim), QByteArray("precious"));
        QCOMPARE(readFile(home() + "/temp.jpg"), QByteArray("the user's own picture"));
        for (const char* name : {"/Head.txt", "/a.tmp"})
            QVERIFY(QFileInfo(home() + name).isSymLink());
    }
};

// With kStartARun the test is one more run of the program: it makes its
// working folder, says where, and ends.
int main(int argc, char** argv)
{
    if (argc == 2 && qstrcmp(argv[1], kStartARun) == 0) {
        const WorkingFolder folder;
        std::printf("%s\n", qPrintable(folder.isValid() ? folder.path() : folder.errorString()));
        return folder.isValid() ? 0 : 1;
    }
    QApplication app(argc, argv);
    TestWorkingFolder test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestWorkingFolder.moc"
