#include "HistoryWriter.h"

#include "DirectoryLock.h"
#include "FtpClient.h"

#include <algorithm>

HistoryWriter::HistoryWriter(TFtpClient& client, DirectoryLock& lock,
                             const QString& remoteDirectory, Settings settings)
    : m_client(client), m_lock(lock), m_layout(remoteDirectory), m_settings(std::move(settings))
{
}

void HistoryWriter::step(const QString& name)
{
    if (onStep)
        onStep(name);
}

QDateTime HistoryWriter::now() const
{
    return m_settings.clock ? m_settings.clock().toUTC() : QDateTime::currentDateTimeUtc();
}

void HistoryWriter::failUnlessLost(const QString& text)
{
    // Our folder is gone when the lock was taken over: that is no refusal
    // of the account, and the publish starts again from the lock.
    bool held = true;
    try {
        held = m_lock.stillHeld();
    } catch (const FTPException&) {
    }
    if (!held)
        throw LockLostError(QStringLiteral("Another publisher took over the lock on the directory; "
                                           "nothing was published"));
    fail(text);
}

void HistoryWriter::fail(const QString& text)
{
    m_available = false;
    m_staged = false;
    if (m_noticed)
        return;
    m_noticed = true;
    if (onNotice)
        onNotice(text);
}

bool HistoryWriter::openFolder()
{
    // An empty listing is an empty folder or none at all (servers answer
    // both alike). MKD tells: made, or refused because it is there (CWD
    // finds it) or because the account does not allow it (CWD does not).
    if (m_client.MakeDirectory(m_layout.folder()))
        return true;
    const QString refusal = QString::fromUtf8(m_client.LastReply).trimmed();
    if (m_client.ChangeDirectory(m_layout.folder())) {
        m_client.ChangeDirectory(QStringLiteral("/"));
        return true;
    }
    fail(QStringLiteral(
             "The FTP account refuses the history folder %1 (%2); the directory is published, "
             "but no history of it is kept")
             .arg(m_layout.folder(), refusal));
    return false;
}

void HistoryWriter::open()
{
    // The listing travels on the heartbeat's connection while ours reads
    // the directory.
    auto names = std::make_shared<QStringList>();
    const QString folder = m_layout.folder();
    m_listing = m_lock.runAside([folder, names](TFtpClient& client) { *names = client.NameList(folder); });
    m_listed = names;
}

void HistoryWriter::begin(const QByteArray& current, qint64 readMs)
{
    step(QStringLiteral("history"));
    m_readMs = readMs;
    m_readBytes = current.size();
    try {
        const QStringList names = m_lock.awaitAside(m_listing) ? *m_listed : m_client.NameList(m_layout.folder());
        m_listing.reset();
        m_entries = HistoryLayout::entriesOf(names);
        if (names.isEmpty() && !openFolder())
            return;
        m_available = true;
        if (m_entries.isEmpty() ||
            !m_entries.constLast().holds(HistoryLayout::hashOf(current), current.size()))
            keepNow(current);
    } catch (const FTPException& error) {
        failUnlessLost(
            QStringLiteral("The directory's history cannot be kept (%1); the directory is "
                           "published without it")
                .arg(error.message()));
    }
}

void HistoryWriter::keepNow(const QByteArray& content)
{
    // The directory is live already: into the history at once, through our
    // folder like every write of ours.
    step(QStringLiteral("keep"));
    const HistoryLayout::Entry entry = HistoryLayout::nextEntry(m_entries, now(), content);
    const QString pending = m_lock.pendingName(entry.name);
    m_client.StoreBytes(content, pending);
    m_client.Rename(pending, m_layout.path(entry.name));
    m_entries << entry;
}

void HistoryWriter::stage(const QByteArray& next)
{
    if (!m_available)
        return;
    step(QStringLiteral("stage"));
    m_pending = HistoryLayout::nextEntry(m_entries, now(), next);
    m_next = next;
    // As long again as the directory took to read, for its size: a copy
    // that goes quickly travels beside the upload; a long one would hold up
    // the heartbeat's beats, and goes after it on our connection.
    const qint64 expectedMs = m_readMs * next.size() / std::max<qint64>(1, m_readBytes);
    const QString pending = m_lock.pendingName(m_pending.name);
    m_staging = m_lock.runAside(
        [next, pending](TFtpClient& client) {
            if (!client.binary())
                client.SetBinary();
            client.StoreBytes(next, pending);
        },
        expectedMs);
    if (!m_staging) {
        staged();
        return;
    }
    // What the retention drops once this version is in goes meanwhile as
    // well; should the publish fail after all, those versions were due to
    // go with the next one.
    const QStringList dropped = droppedPaths(QList<HistoryLayout::Entry>(m_entries) << m_pending);
    if (!dropped.isEmpty()) {
        step(QStringLiteral("prune"));
        m_pruning = m_lock.runAside([dropped](TFtpClient& client) { deleteAll(client, dropped); });
    }
}

void HistoryWriter::staged()
{
    if (!m_available || m_staged)
        return;
    try {
        if (!m_lock.awaitAside(m_staging))
            m_client.StoreBytes(m_next, m_lock.pendingName(m_pending.name));
        m_staging.reset();
        m_next.clear();
        m_staged = true;
    } catch (const FTPException& error) {
        failUnlessLost(
            QStringLiteral("The new version of the directory cannot be kept in its history (%1); "
                           "the directory is published without it")
                .arg(error.message()));
    }
}

void HistoryWriter::commit()
{
    if (!m_available || !m_staged)
        return;
    step(QStringLiteral("commit"));
    m_staged = false;
    try {
        m_client.Rename(m_lock.pendingName(m_pending.name), m_layout.path(m_pending.name));
        m_entries << m_pending;
    } catch (const FTPException& error) {
        // The directory is published all the same; the next publish finds
        // it missing from the history and keeps it then.
        fail(QStringLiteral("The new version of the directory was not added to its history (%1)")
                 .arg(error.message()));
        return;
    }
    prune();
}

void HistoryWriter::prune()
{
    if (m_pruning && LockHeartbeat::done(m_pruning))
        return; // done beside the upload
    const QStringList dropped = droppedPaths(m_entries);
    if (dropped.isEmpty())
        return;
    step(QStringLiteral("prune"));
    deleteAll(m_client, dropped);
}

QStringList HistoryWriter::droppedPaths(const QList<HistoryLayout::Entry>& entries) const
{
    QStringList paths;
    for (const HistoryLayout::Entry& entry : HistoryLayout::toDrop(entries, now(), m_settings.retention))
        paths << m_layout.path(entry.name);
    return paths;
}

void HistoryWriter::deleteAll(TFtpClient& client, const QStringList& paths)
{
    for (const QString& path : paths) {
        try {
            client.Delete(path);
        } catch (const FTPException&) {
            // Gone already, or not ours to delete: the next prune tries again.
            if (!client.Connected)
                return;
        }
    }
}
