#include "WorkingFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <QRandomGenerator>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// An absolute path from the environment, or empty: the base folder rules
// ignore relative ones.
QString absoluteFromEnvironment(const char* name)
{
    const QString value = qEnvironmentVariable(name);
    return QDir::isAbsolutePath(value) ? value : QString();
}

// Makes `path` a folder of this user only, mode 0700. An existing folder is
// taken when it is a real folder (no link) that this user owns.
bool makePrivateFolder(const QString& path, QString* error)
{
    const QByteArray name = QFile::encodeName(path);
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
        *error = QCoreApplication::translate("WorkingFolder", "Cannot create %1: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat info {
    };
    if (::lstat(name.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid()) {
        *error = QCoreApplication::translate("WorkingFolder", "%1 is no folder of this user").arg(path);
        return false;
    }
    // mkdir's mode passes through the umask; the folder must end exactly 0700.
    if ((info.st_mode & 07777) != 0700 && ::chmod(name.constData(), 0700) != 0) {
        *error = QCoreApplication::translate("WorkingFolder", "Cannot make %1 private: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

bool processGone(qint64 pid)
{
    return pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

// The lock file in a run's folder; its living run holds it locked.
const char kLockName[] = ".lock";

// Opens (creating it with create) and locks the lock file of folder without
// waiting. The open handle holds the lock, or -1 when the file cannot be
// opened or a living run holds it; *held says which.
int lockFolder(const QString& folder, bool create, bool* held = nullptr)
{
    const QByteArray name = QFile::encodeName(folder + QLatin1Char('/') + QLatin1String(kLockName));
    const int fd =
        ::open(name.constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0600);
    if (held)
        *held = false;
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (held)
            *held = errno == EWOULDBLOCK;
        ::close(fd);
        return -1;
    }
    return fd;
}

QString randomSuffix()
{
    return QString::number(QRandomGenerator::system()->generate64(), 36);
}

} // namespace

WorkingFolder::WorkingFolder() : m_startFolder(QDir::currentPath())
{
    if (!create())
        m_path.clear();
}

WorkingFolder::~WorkingFolder()
{
    if (isValid()) {
        QDir::setCurrent(m_startFolder);
        // removeRecursively removes a link, never what it points to.
        QDir(m_path).removeRecursively();
    }
    // Unlocked only once the folder is gone, so that no one else takes it
    // for a crashed run's meanwhile.
    if (m_lock >= 0)
        ::close(m_lock);
}

QString WorkingFolder::programFolder()
{
    QString base = absoluteFromEnvironment("XDG_RUNTIME_DIR");
    if (base.isEmpty()) {
        base = absoluteFromEnvironment("XDG_CACHE_HOME");
        if (base.isEmpty())
            base = QDir::homePath() + QStringLiteral("/.cache");
    }
    return base + QStringLiteral("/corvanet");
}

bool WorkingFolder::create()
{
    const QString parent = programFolder();
    // The cache folder may not exist yet on a new account.
    const QString base = QFileInfo(parent).path();
    if (!QDir().mkpath(base)) {
        m_error = QCoreApplication::translate("WorkingFolder", "Cannot create %1").arg(base);
        return false;
    }
    if (!makePrivateFolder(parent, &m_error))
        return false;
    removeStaleFolders(parent);
    // Made and locked under a name of its own, then renamed into place: no
    // other run ever sees this run's folder without its lock.
    const QString fresh = parent + QStringLiteral("/.new-%1-%2").arg(::getpid()).arg(randomSuffix());
    if (!makePrivateFolder(fresh, &m_error))
        return false;
    m_lock = lockFolder(fresh, true);
    if (m_lock < 0) {
        m_error = QCoreApplication::translate("WorkingFolder", "Cannot lock %1: %2")
                      .arg(fresh, QString::fromLocal8Bit(std::strerror(errno)));
        QDir(fresh).removeRecursively();
        return false;
    }
    // A living run in another process-number space (a container) may hold
    // a folder of this number: the next free name is taken then.
    const QString number = QString::number(::getpid());
    for (int n = 0; m_path.isEmpty(); ++n) {
        const QString name = parent + QLatin1Char('/') + (n == 0 ? number : number + QLatin1Char('-') + QString::number(n));
        if (::renameat2(AT_FDCWD, QFile::encodeName(fresh).constData(), AT_FDCWD, QFile::encodeName(name).constData(),
                        RENAME_NOREPLACE)
            == 0) {
            m_path = name;
        } else if (errno != EEXIST || n >= 1000) {
            m_error = QCoreApplication::translate("WorkingFolder", "Cannot create %1: %2")
                          .arg(name, QString::fromLocal8Bit(std::strerror(errno)));
            QDir(fresh).removeRecursively();
            return false;
        }
    }
    if (!QDir::setCurrent(m_path)) {
        m_error = QCoreApplication::translate("WorkingFolder", "Cannot change into %1").arg(m_path);
        QDir(m_path).removeRecursively();
        return false;
    }
    return true;
}

void WorkingFolder::removeStaleFolders(const QString& parent)
{
    // A run's folder ("12345", "12345-1"), one being made (".new-...") or
    // being removed (".gone-...").
    static const QRegularExpression runName(QStringLiteral("^(\\d+)(-\\d+)?$"));
    const QDir dir(parent);
    const qint64 self = ::getpid();
    for (const QString& name :
         dir.entryList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QRegularExpressionMatch run = runName.match(name);
        const bool transient = name.startsWith(QLatin1String(".new-")) || name.startsWith(QLatin1String(".gone-"));
        if (!run.hasMatch() && !transient)
            continue;
        const QString folder = dir.filePath(name);
        // The lock a living run holds decides: its process number may mean
        // nothing here (another process-number space sees other numbers).
        bool held = false;
        const int lock = lockFolder(folder, false, &held);
        if (lock < 0) {
            // No lock file: a folder of a run that kept none, judged by its
            // number as such runs were; a folder being made has its lock
            // within moments and stays.
            const bool lockless = !held && !QFileInfo::exists(folder + QLatin1Char('/') + QLatin1String(kLockName));
            const qint64 pid = run.captured(1).toLongLong();
            if (lockless && run.hasMatch() && run.captured(2).isEmpty() && (pid == self || processGone(pid)))
                QDir(folder).removeRecursively();
            continue;
        }
        // Moved aside while locked, so that the name is free at once and no
        // run that takes it meanwhile loses its files to this removal.
        const QString gone = dir.filePath(QStringLiteral(".gone-%1-%2").arg(self).arg(randomSuffix()));
        QDir(::rename(QFile::encodeName(folder).constData(), QFile::encodeName(gone).constData()) == 0 ? gone : folder)
            .removeRecursively();
        ::close(lock);
    }
}
