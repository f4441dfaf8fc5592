#include "DirectoryLock.h"

#include <QRandomGenerator>
#include <QTimer>

#include "DirectoryChange.h"
#include "EventWait.h"
#include "FtpClient.h"

namespace {

// What a waiter can see of a held lock. Equal snapshots over the whole lease
// mean that its holder is gone.
struct Snapshot {
    qint64 ownerSize = -1;  // -1: no owner file (yet, or any more)
    QString token;          // from the owner file's first line
    qint64 uploadSize = -1; // of the holder's upload; -1: none
    bool operator==(const Snapshot&) const = default;
};

} // namespace

DirectoryLock::DirectoryLock(TFtpClient& client, const QString& remoteDirectory, const QString& token,
                             Timing timing)
    : m_client(client),
      m_directory(remoteDirectory),
      m_folder(remoteDirectory + QStringLiteral(".lock")),
      m_owner(remoteDirectory + QStringLiteral(".lock/owner")),
      m_token(token),
      m_timing(timing)
{
}

QString DirectoryLock::uploadNameFor(const QString& remoteDirectory, const QString& token)
{
    return remoteDirectory + QLatin1Char('.') + token + QStringLiteral(".tmp");
}

QString DirectoryLock::uploadName() const
{
    return uploadNameFor(m_directory, m_token);
}

bool DirectoryLock::leaseRunning() const
{
    return m_leaseClock.isValid() && m_leaseClock.elapsed() < qint64(m_timing.leaseMs) * 2 / 3;
}

void DirectoryLock::pause(int milliseconds)
{
    bool over = false;
    QTimer::singleShot(milliseconds, [&over] { over = true; });
    spinUntil([&over] { return over; });
}

QString DirectoryLock::ownerToken()
{
    QByteArray content;
    try {
        content = m_client.Retrieve(m_owner, 4096);
    } catch (const FTPException&) {
        return QString(); // gone meanwhile
    }
    const qsizetype end = content.indexOf('\n');
    return end < 0 ? QString() : QString::fromUtf8(content.left(end));
}

void DirectoryLock::acquire()
{
    QElapsedTimer waiting;
    waiting.start();
    Snapshot last;
    bool watching = false;
    QElapsedTimer unchanged;
    for (;;) {
        QElapsedTimer started;
        started.start();
        if (m_client.MakeDirectory(m_folder)) {
            m_leaseClock = started;
            m_held = true;
            m_client.StoreBytes(m_token.toUtf8() + '\n', m_owner);
            return;
        }

        if (onStep)
            onStep(QStringLiteral("look"));
        Snapshot now;
        now.ownerSize = m_client.Size(m_owner);
        if (now.ownerSize >= 0)
            now.token = watching && now.ownerSize == last.ownerSize && !last.token.isEmpty() ? last.token
                                                                                            : ownerToken();
        if (!now.token.isEmpty())
            now.uploadSize = m_client.Size(uploadNameFor(m_directory, now.token));

        if (!watching || !(now == last)) {
            last = now;
            watching = true;
            unchanged.start();
        } else if (unchanged.elapsed() >= m_timing.leaseMs) {
            if (onStep)
                onStep(QStringLiteral("break"));
            tryBreak(last.token);
            watching = false;
            continue;
        }
        if (waiting.elapsed() >= m_timing.giveUpMs)
            throw PublishError(QStringLiteral("The directory is locked by another publisher; nothing was published"));
        const int poll = std::max(1, m_timing.pollMs);
        pause(poll / 2 + int(QRandomGenerator::global()->bounded(poll + 1)));
    }
}

bool DirectoryLock::tryBreak(const QString& staleToken)
{
    // Only one of several waiters that decide at once gets the folder: the
    // others' RNFR finds it gone, or finds the winner's fresh lock, which
    // they have not watched for a lease and so do not break.
    const QString broken = m_folder + QStringLiteral(".broken-") + m_token;
    try {
        m_client.Rename(m_folder, broken);
    } catch (const FTPException&) {
        return false;
    }
    try {
        m_client.Delete(broken + QStringLiteral("/owner"));
    } catch (const FTPException&) {
    }
    try {
        m_client.RemoveDirectory(broken);
    } catch (const FTPException&) {
    }
    if (!staleToken.isEmpty()) {
        try {
            m_client.Delete(uploadNameFor(m_directory, staleToken));
        } catch (const FTPException&) {
        }
    }
    return true;
}

void DirectoryLock::refresh()
{
    if (!leaseRunning())
        throw PublishError(QStringLiteral("The lock on the directory ran out; nothing was published"));
    QElapsedTimer started;
    started.start();
    m_client.StoreBytes(QByteArrayLiteral("+"), m_owner, true);
    m_leaseClock = started;
}

void DirectoryLock::checkHeld()
{
    if (!leaseRunning())
        throw PublishError(QStringLiteral("The lock on the directory ran out; nothing was published"));
    if (ownerToken() != m_token)
        throw PublishError(QStringLiteral("Another publisher took over the lock on the directory; nothing was published"));
}

void DirectoryLock::release()
{
    if (!m_held)
        return;
    m_held = false;
    if (!leaseRunning())
        return; // it may be someone else's by now
    try {
        m_client.Delete(m_owner);
        m_client.RemoveDirectory(m_folder);
    } catch (...) {
        // A lock we could not remove runs out by itself.
    }
}
