#include "WorkingFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
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

} // namespace

WorkingFolder::WorkingFolder() : m_startFolder(QDir::currentPath())
{
    if (!create())
        m_path.clear();
}

WorkingFolder::~WorkingFolder()
{
    if (!isValid())
        return;
    QDir::setCurrent(m_startFolder);
    // removeRecursively removes a link, never what it points to.
    QDir(m_path).removeRecursively();
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
    m_path = parent + QLatin1Char('/') + QString::number(::getpid());
    if (!makePrivateFolder(m_path, &m_error))
        return false;
    if (!QDir::setCurrent(m_path)) {
        m_error = QCoreApplication::translate("WorkingFolder", "Cannot change into %1").arg(m_path);
        QDir(m_path).removeRecursively();
        return false;
    }
    return true;
}

void WorkingFolder::removeStaleFolders(const QString& parent)
{
    const QDir dir(parent);
    const qint64 self = ::getpid();
    for (const QString& name :
         dir.entryList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot | QDir::Hidden)) {
        bool number = false;
        const qint64 pid = name.toLongLong(&number);
        if (number && (pid == self || processGone(pid)))
            QDir(dir.filePath(name)).removeRecursively();
    }
}
