#include "DirectoryLock.h"

#include <QRandomGenerator>

#include <algorithm>

#include "EventWait.h"
#include "FtpClient.h"

namespace {

const QString kLost = QStringLiteral("Another publisher took over the lock on the directory; nothing was published");

// Deeper nesting than this is not of our making.
constexpr int kMaxDepth = 8;

} // namespace

struct DirectoryLock::Candidate {
    QString path;
    bool isNew = false;
    qint64 size = 0;
    int depth = 0;
};

DirectoryLock::DirectoryLock(TFtpClient& client, const QString& remoteDirectory, const QString& token,
                             Timing timing)
    : m_client(client), m_clientAlive(&client), m_layout(remoteDirectory), m_token(token), m_timing(timing)
{
    m_progressWatch.setInterval(250);
    QObject::connect(&m_progressWatch, &QTimer::timeout, [this] {
        // Runs inside the publish's waits: nothing here throws.
        const quint64 moved = TSocketConn::bytesMovedInThread();
        if (moved != m_bytesSeen && m_heartbeat) {
            m_bytesSeen = moved;
            m_heartbeat->noteProgress();
        }
    });
}

DirectoryLock::~DirectoryLock() = default;

void DirectoryLock::step(const QString& name)
{
    if (onStep)
        onStep(name);
}

void DirectoryLock::pause(int milliseconds)
{
    bool over = false;
    QTimer::singleShot(milliseconds, [&over] { over = true; });
    spinUntil([&over] { return over; });
}

QString DirectoryLock::markerName(qint64 beat) const
{
    return m_token + QLatin1Char('.') + QString::number(beat);
}

QStringList DirectoryLock::holdersOf(const QStringList& markers)
{
    QStringList tokens;
    for (const QString& marker : markers)
        tokens << marker.section(QLatin1Char('.'), 0, 0);
    return tokens;
}

QStringList DirectoryLock::markersIn(const QStringList& names)
{
    QStringList markers;
    for (const QString& name : names) {
        QString token;
        qint64 beat = 0;
        if (LockLayout::parseMarker(name, token, beat))
            markers << name;
    }
    markers.sort();
    return markers;
}

QStringList DirectoryLock::markersNow()
{
    return markersIn(m_client.NameList(m_layout.folder()));
}

void DirectoryLock::acquire()
{
    QElapsedTimer waiting;
    waiting.start();
    QStringList watched;
    bool watching = false;
    QElapsedTimer unchanged;
    int refusedInARow = 0;
    for (;;) {
        if (m_client.MakeDirectory(m_layout.folder())) {
            if (holdNewLock())
                return;
            watching = false; // whatever we watched is gone
        } else {
            const QString refusal = QString::fromUtf8(m_client.LastReply).trimmed();
            step(QStringLiteral("look"));
            // Everything listed counts as a sign of life, not the markers
            // alone: a lock folder that was cleared and made again by a new
            // holder, not marked yet, must not look like the unmarked one
            // watched before (on the servers that list folders).
            QStringList listing = m_client.NameList(m_layout.folder());
            listing.sort();
            const QStringList markers = markersIn(listing);
            if (listing.contains(QLatin1String("owner")))
                listing += earlierLayoutSigns();
            if (markers.isEmpty() && !m_client.ChangeDirectory(m_layout.folder())) {
                // MKD failed, yet there is no lock: the account refuses us
                // the folder (or a holder released it just now, which a few
                // quick tries tell apart).
                if (++refusedInARow >= 5)
                    throw PublishError(QStringLiteral("The FTP account refuses to make the lock folder %1 (%2); "
                                                      "nothing was published")
                                           .arg(m_layout.folder(), refusal));
                continue;
            }
            if (markers.isEmpty())
                m_client.ChangeDirectory(QStringLiteral("/"));
            refusedInARow = 0;
            if (!watching || listing != watched) {
                // The lock changed hands (or was freed and taken): the queue
                // moves, so waiting starts afresh. A beat of the same holder
                // does not count.
                if (!watching || holdersOf(markers) != holdersOf(markersIn(watched)))
                    waiting.start();
                watched = listing;
                watching = true;
                unchanged.start();
            } else if (unchanged.elapsed() >= m_timing.leaseMs) {
                step(QStringLiteral("break"));
                if (markers.size() == 1 && takeOver(markers.constFirst()))
                    return;
                if (markers.size() != 1)
                    clearAbandoned(markers);
                watching = false;
                continue;
            }
        }
        if (waiting.elapsed() >= m_timing.giveUpMs)
            throw PublishError(QStringLiteral("The directory is locked by another publisher; nothing was published"));
        const int poll = std::max(1, m_timing.pollMs);
        pause(poll / 2 + int(QRandomGenerator::global()->bounded(poll + 1)));
    }
}

// A lock of the program's earlier layout (an "owner" file holding the
// holder's token, appended to at each refresh, and its upload beside the
// directory) shows life by sizes, not names: they join what is watched, so
// that such a holder is waited for like any other while copies of both
// versions are in use. Taken for abandoned, it is cleared as an unmarked
// lock is.
QStringList DirectoryLock::earlierLayoutSigns()
{
    const QString owner = m_layout.folder() + QStringLiteral("/owner");
    QString token;
    try {
        const QByteArray content = m_client.Retrieve(owner, 4096);
        token = QString::fromUtf8(content.left(content.indexOf('\n')));
    } catch (const FTPException&) {
    }
    const auto size = [this](const QString& path) {
        const qint64 bytes = sizeOf(path);
        return bytes == kSizeUnknown ? QStringLiteral("?") : QString::number(bytes);
    };
    QStringList signs{QStringLiteral("owner:") + size(owner)};
    if (!token.isEmpty() && !token.contains(QLatin1Char('/')))
        signs << QStringLiteral("upload:") + size(m_layout.directory() + QLatin1Char('.') + token + QStringLiteral(".tmp"));
    return signs;
}

bool DirectoryLock::holdNewLock()
{
    m_madeFolder = true;
    // The lock is all but ours: the heartbeat logs in meanwhile. It beats
    // only once the lock is held (and a beat's time has passed).
    startHeartbeat();
    try {
        if (!m_client.MakeDirectory(m_layout.ownFolder(m_token))) {
            // The folder we made is gone again: someone cleared it as
            // abandoned while we were away. Start over.
            m_madeFolder = false;
            dropHeartbeat();
            return false;
        }
        m_madeOwn = true;
        try {
            m_client.StoreBytes(QByteArray(), m_layout.marker(m_token, 0));
        } catch (const FTPException&) {
            // Gone under us as well (a waiter that had watched an unmarked
            // lock folder for a lease cleared it, not knowing it was made
            // anew): start over. Otherwise the account refuses the marker.
            if (folderExists(m_layout.folder()))
                throw;
            m_madeFolder = m_madeOwn = false;
            dropHeartbeat();
            return false;
        }
        m_madeMarker = true;
        if (markersNow() == QStringList{markerName(0)}) {
            m_held = true;
            m_beat = 0;
            if (m_heartbeat)
                m_heartbeat->held();
            return true;
        }
        // Another marker in the folder we made: a publisher that was held up
        // between its steps put it there, and only one of us may hold the
        // lock. Both step back; the other's marker keeps the folder.
        step(QStringLiteral("yield"));
        m_client.Delete(m_layout.marker(m_token, 0));
        m_madeMarker = false;
        m_client.RemoveDirectory(m_layout.ownFolder(m_token));
        m_madeOwn = false;
        m_madeFolder = false;
        dropHeartbeat();
        return false;
    } catch (...) {
        release();
        throw;
    }
}

bool DirectoryLock::takeOver(const QString& marker)
{
    QString dead;
    qint64 count = 0;
    LockLayout::parseMarker(marker, dead, count);
    step(QStringLiteral("takeover"));
    // Renaming the very marker we watched: of several waiters only one
    // succeeds, and a holder that beat meanwhile made it fail.
    try {
        m_client.Rename(m_layout.folder() + QLatin1Char('/') + marker, m_layout.marker(m_token, 0));
    } catch (const FTPException&) {
        return false;
    }
    m_held = true;
    m_madeMarker = true;
    m_beat = 0;
    startHeartbeat();
    if (m_heartbeat)
        m_heartbeat->held();
    try {
        if (!m_client.MakeDirectory(m_layout.ownFolder(m_token)))
            throw PublishError(QStringLiteral("Cannot make the folder %1 on the FTP account (%2); nothing was published")
                                   .arg(m_layout.ownFolder(m_token), QString::fromUtf8(m_client.LastReply).trimmed()));
        m_madeOwn = true;
        inheritFrom(dead);
    } catch (...) {
        release();
        throw;
    }
    return true;
}

void DirectoryLock::inheritFrom(const QString& deadToken)
{
    const QString deadFolder = m_layout.ownFolder(deadToken);
    const QString own = m_layout.ownFolder(m_token);
    for (const QString& name : m_client.NameList(deadFolder)) {
        bool isNew = false;
        qint64 size = 0;
        try {
            if (LockLayout::parseCandidate(name, isNew, size)) {
                m_client.Rename(deadFolder + QLatin1Char('/') + name, own + QLatin1Char('/') + name);
                m_inherited = true;
            } else {
                m_client.Delete(deadFolder + QLatin1Char('/') + name);
            }
        } catch (const FTPException&) {
        }
    }
    // The dead holder's folder must not stay where its commands could still
    // land. Empty, it goes; otherwise (an upload still being written, or
    // folders the listing does not show) it moves into ours.
    try {
        m_client.RemoveDirectory(deadFolder);
    } catch (const FTPException&) {
        try {
            m_client.Rename(deadFolder, own + QStringLiteral("/dead"));
            m_inherited = m_inheritedFolder = true;
        } catch (const FTPException&) {
            // Not there at all: it died before making it, or released it.
        }
    }
}

void DirectoryLock::clearAbandoned(const QStringList& markers)
{
    if (markers.isEmpty()) {
        // A lock folder without a marker holds nobody's work: a publisher
        // died between making it and marking it, or while releasing it.
        try {
            m_client.RemoveDirectory(m_layout.folder());
            return;
        } catch (const FTPException&) {
        }
    }
    // Several dead markers (or a folder that will not go): moving the whole
    // lock away takes every one of their folders out of reach at once.
    const QString stale = m_layout.stale(m_token);
    try {
        m_client.Rename(m_layout.folder(), stale);
    } catch (const FTPException&) {
        return; // someone else cleared it first
    }
    // An earlier layout's holder left its upload beside the directory.
    try {
        const QByteArray owner = m_client.Retrieve(stale + QStringLiteral("/owner"), 4096);
        const QString token = QString::fromUtf8(owner.left(owner.indexOf('\n')));
        if (!token.isEmpty() && !token.contains(QLatin1Char('/')))
            m_client.Delete(m_layout.directory() + QLatin1Char('.') + token + QStringLiteral(".tmp"));
    } catch (const FTPException&) {
    }
    QList<Candidate> candidates;
    for (const QString& marker : markers)
        candidates += candidatesIn(stale + QLatin1Char('/') + marker.section(QLatin1Char('.'), 0, 0), 0);
    if (!candidates.isEmpty() && sizeOf(m_layout.directory()) == -1)
        restoreFrom(candidates);
    for (const QString& marker : markers) {
        removeTree(stale + QLatin1Char('/') + marker.section(QLatin1Char('.'), 0, 0), 0);
        try {
            m_client.Delete(stale + QLatin1Char('/') + marker);
        } catch (const FTPException&) {
        }
    }
    removeTree(stale, 0);
}

QList<DirectoryLock::Candidate> DirectoryLock::candidatesIn(const QString& folder, int depth)
{
    QList<Candidate> found;
    for (const QString& name : m_client.NameList(folder)) {
        Candidate candidate;
        if (LockLayout::parseCandidate(name, candidate.isNew, candidate.size)) {
            candidate.path = folder + QLatin1Char('/') + name;
            candidate.depth = depth;
            found << candidate;
        }
    }
    if (depth < kMaxDepth && folderExists(folder + QStringLiteral("/dead")))
        found += candidatesIn(folder + QStringLiteral("/dead"), depth + 1);
    return found;
}

qint64 DirectoryLock::sizeOf(const QString& path)
{
    try {
        return m_client.Size(path);
    } catch (const FTPException&) {
        // SIZE refused (unknown, denied, or not in this mode).
        if (!m_client.Connected)
            throw;
        return kSizeUnknown;
    }
}

bool DirectoryLock::isWhole(const Candidate& candidate)
{
    const qint64 size = sizeOf(candidate.path);
    if (size != kSizeUnknown)
        return size == candidate.size;
    try {
        return m_client.Retrieve(candidate.path, candidate.size).size() == candidate.size;
    } catch (const std::exception&) {
        return false;
    }
}

bool DirectoryLock::restoreFrom(QList<Candidate> candidates)
{
    // The most recent holder's work first (it lies shallowest), and of its
    // files the new directory before the one it replaced.
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return a.depth != b.depth ? a.depth < b.depth : a.isNew && !b.isNew;
    });
    step(QStringLiteral("restore"));
    for (const Candidate& candidate : candidates) {
        if (!isWhole(candidate))
            continue;
        try {
            m_client.Rename(candidate.path, m_layout.directory());
            return true;
        } catch (const FTPException&) {
        }
    }
    return false;
}

bool DirectoryLock::restoreDirectory()
{
    if (!m_inherited)
        return false;
    return restoreFrom(candidatesIn(m_layout.ownFolder(m_token), 0));
}

void DirectoryLock::dropInherited()
{
    m_directoryPresent = true;
    if (!m_inherited)
        return;
    // Our own folder holds nothing of ours yet: all of it was inherited.
    const QString own = m_layout.ownFolder(m_token);
    for (const QString& name : m_client.NameList(own)) {
        try {
            m_client.Delete(own + QLatin1Char('/') + name);
        } catch (const FTPException&) {
        }
    }
    if (m_inheritedFolder)
        removeTree(own + QStringLiteral("/dead"), 1);
    m_inherited = m_inheritedFolder = false;
}

bool DirectoryLock::folderExists(const QString& path)
{
    // CWD, not a listing: several servers list only files.
    if (!m_client.ChangeDirectory(path))
        return false;
    m_client.ChangeDirectory(QStringLiteral("/"));
    return true;
}

void DirectoryLock::removeTree(const QString& folder, int depth)
{
    if (depth < kMaxDepth && folderExists(folder + QStringLiteral("/dead")))
        removeTree(folder + QStringLiteral("/dead"), depth + 1);
    for (const QString& name : m_client.NameList(folder)) {
        try {
            m_client.Delete(folder + QLatin1Char('/') + name);
        } catch (const FTPException&) {
            // A folder, on the servers that list folders.
            if (depth < kMaxDepth && name != QLatin1String("dead"))
                removeTree(folder + QLatin1Char('/') + name, depth + 1);
        }
    }
    try {
        m_client.RemoveDirectory(folder);
    } catch (const FTPException&) {
    }
}

void DirectoryLock::useHeartbeat(const FtpAccount& account, int replyTimeOut)
{
    m_heartbeatAccount = account;
    m_heartbeatTimeOut = replyTimeOut;
}

void DirectoryLock::startHeartbeat()
{
    if (m_heartbeat || !m_heartbeatAccount)
        return;
    LockHeartbeat::Settings settings;
    settings.account = *m_heartbeatAccount;
    settings.replyTimeOut = m_heartbeatTimeOut;
    settings.beatMs = beatMs();
    settings.progressMs = m_timing.progressMs;
    m_heartbeat = std::make_unique<LockHeartbeat>(settings, m_layout, m_token, m_beat);
    m_bytesSeen = TSocketConn::bytesMovedInThread();
    m_heartbeat->start();
    m_progressWatch.start();
}

void DirectoryLock::stopHeartbeat()
{
    m_progressWatch.stop();
    if (m_heartbeat)
        m_heartbeat->stop();
}

void DirectoryLock::dropHeartbeat()
{
    stopHeartbeat();
    m_heartbeat.reset();
}

int DirectoryLock::beatMs() const
{
    return m_timing.beatMs > 0 ? m_timing.beatMs : std::max(1, m_timing.leaseMs / 6);
}

std::shared_ptr<LockHeartbeat::Errand> DirectoryLock::runAside(std::function<void(TFtpClient&)> work,
                                                               qint64 expectedMs)
{
    if (!m_heartbeat || m_heartbeat->unavailable() || expectedMs > beatMs() / 4)
        return nullptr;
    return m_heartbeat->post(std::move(work));
}

bool DirectoryLock::awaitAside(const std::shared_ptr<LockHeartbeat::Errand>& errand)
{
    if (!errand || LockHeartbeat::takeBack(errand))
        return false;
    const auto abandoned = [this] { return !m_clientAlive || m_clientAlive->Canceled; };
    spinUntil([&] { return LockHeartbeat::ended(errand) || abandoned(); });
    if (!LockHeartbeat::ended(errand)) {
        if (m_heartbeat)
            m_heartbeat->cancel(errand);
        throw EAbortError(QStringLiteral("Publishing cancelled"));
    }
    return LockHeartbeat::done(errand);
}

bool DirectoryLock::heartbeatUnavailable() const
{
    return !m_heartbeat || m_heartbeat->unavailable();
}

void DirectoryLock::checkNotLost() const
{
    if (m_heartbeat && m_heartbeat->lost())
        throw LockLostError(kLost);
}

void DirectoryLock::renew()
{
    stopHeartbeat();
    checkNotLost();
    qint64 beat = m_beat;
    if (!LockHeartbeat::renew(m_client, m_layout, m_token, beat))
        throw LockLostError(kLost);
    m_beat = beat;
}

bool DirectoryLock::stillHeld()
{
    QString token;
    qint64 beat = 0;
    for (const QString& name : markersNow()) {
        if (LockLayout::parseMarker(name, token, beat) && token == m_token)
            return true;
    }
    return false;
}

void DirectoryLock::release()
{
    if (!m_held && !m_madeFolder && !m_madeOwn && !m_madeMarker)
        return;
    try {
        stopHeartbeat();
    } catch (...) {
    }
    if (!m_clientAlive) {
        m_held = m_madeFolder = m_madeOwn = m_madeMarker = false;
        return;
    }
    // Whole copies of the directory stay while it may be missing: they are
    // what the next holder restores it from.
    const bool keepCandidates = m_directoryAside || !m_directoryPresent;
    const QString own = m_layout.ownFolder(m_token);
    try {
        if (m_madeOwn) {
            bool kept = false;
            for (const QString& name : m_client.NameList(own)) {
                bool isNew = false;
                qint64 size = 0;
                if (keepCandidates && LockLayout::parseCandidate(name, isNew, size)) {
                    kept = true;
                    continue;
                }
                try {
                    m_client.Delete(own + QLatin1Char('/') + name);
                } catch (const FTPException&) {
                }
            }
            if (!keepCandidates && m_inheritedFolder)
                removeTree(own + QStringLiteral("/dead"), 1);
            try {
                m_client.RemoveDirectory(own);
            } catch (const FTPException&) {
                // Kept for the next holder, or not ours any more (the lock
                // was taken over and our folder moved away): in both cases
                // the marker, if still ours, must stay or go accordingly.
                if (kept || !m_client.NameList(own).isEmpty()) {
                    m_held = m_madeFolder = m_madeOwn = m_madeMarker = false;
                    return;
                }
            }
        }
        if (m_madeMarker) {
            try {
                m_client.Delete(m_layout.marker(m_token, m_beat));
            } catch (const FTPException&) {
                // A beat whose reply was lost may have renamed it.
                QString token;
                qint64 beat = 0;
                bool ours = false;
                for (const QString& name : markersNow()) {
                    if (LockLayout::parseMarker(name, token, beat) && token == m_token) {
                        m_client.Delete(m_layout.marker(m_token, beat));
                        ours = true;
                    }
                }
                if (!ours) {
                    // The lock is someone else's now: its folder stays.
                    m_held = m_madeFolder = m_madeOwn = m_madeMarker = false;
                    return;
                }
            }
        }
        if (m_held || m_madeFolder) {
            // Only an empty folder can be removed, and an empty lock folder
            // holds nobody's lock.
            try {
                m_client.RemoveDirectory(m_layout.folder());
            } catch (const FTPException&) {
            }
        }
    } catch (...) {
        // A lock we could not remove runs out by itself.
    }
    m_held = m_madeFolder = m_madeOwn = m_madeMarker = false;
}
