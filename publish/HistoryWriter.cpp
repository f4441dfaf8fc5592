#include "HistoryWriter.h"

#include "DirectoryLock.h"
#include "FtpClient.h"

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

void HistoryWriter::begin(const QByteArray& current)
{
    step(QStringLiteral("history"));
    try {
        const QStringList names = m_client.NameList(m_layout.folder());
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
    try {
        m_pending = HistoryLayout::nextEntry(m_entries, now(), next);
        m_client.StoreBytes(next, m_lock.pendingName(m_pending.name));
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
    const QList<HistoryLayout::Entry> dropped =
        HistoryLayout::toDrop(m_entries, now(), m_settings.retention);
    if (dropped.isEmpty())
        return;
    step(QStringLiteral("prune"));
    for (const HistoryLayout::Entry& entry : dropped) {
        try {
            m_client.Delete(m_layout.path(entry.name));
        } catch (const FTPException&) {
            // Gone already, or not ours to delete: the next prune tries again.
        }
    }
}
