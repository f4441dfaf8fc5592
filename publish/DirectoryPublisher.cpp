#include "DirectoryPublisher.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPointer>

#include "FtpClient.h"
#include "LockLayout.h"
#include "ReentryGuard.h"
#include "XmlDocument.h"

namespace {

const QString kLost = QStringLiteral("Another publisher took over the lock on the directory; nothing was published");

} // namespace

DirectoryPublisher::DirectoryPublisher(TFtpClient& client, Account account, Options options)
    : m_client(client),
      m_account(std::move(account)),
      m_options(std::move(options)),
      m_alive(std::make_shared<bool>(true))
{
}

DirectoryPublisher::~DirectoryPublisher()
{
    *m_alive = false;
}

void DirectoryPublisher::step(const QString& name)
{
    if (onStep)
        onStep(name);
}

DirectoryChange::Outcome DirectoryPublisher::publish(const DirectoryChange& change)
{
    if (m_busy)
        throw PublishError(QStringLiteral("A publish is running already"));
    const std::shared_ptr<bool> alive = m_alive;
    const ReentryGuard busy(m_busy, m_alive);

    m_noticed = false;
    for (int attempt = 0;; ++attempt) {
        try {
            return publishOnce(change);
        } catch (const LockLostError&) {
            if (!*alive || attempt >= m_options.lockRetries)
                throw;
        }
        step(QStringLiteral("retry"));
    }
}

DirectoryChange::Outcome DirectoryPublisher::publishOnce(const DirectoryChange& change)
{
    const std::shared_ptr<bool> alive = m_alive;
    const QPointer<TFtpClient> client(&m_client);
    m_account.applyTo(m_client, m_options.replyTimeOut, m_options.stallTimeOut);

    step(QStringLiteral("login"));
    m_client.Connect();
    if (!*alive || !client)
        throw EAbortError(QStringLiteral("Publishing cancelled"));
    if (!m_client.Connected)
        throw PublishError(QStringLiteral("Not connected after the login; nothing was published"));
    DirectoryChange::Outcome outcome;
    try {
        m_client.SetBinary();
        step(QStringLiteral("lock"));
        DirectoryLock lock(m_client, m_options.remoteDirectory, LockLayout::newToken(), m_options.lock);
        lock.onStep = onStep;
        lock.useHeartbeat(m_account, m_options.replyTimeOut);
        lock.acquire();
        try {
            outcome = publishLocked(change, lock);
        } catch (...) {
            if (*alive && client)
                releaseAfterFailure(lock);
            throw;
        }
    } catch (...) {
        // Leave no half-used session behind; the first error is the one
        // that tells what happened.
        if (*alive && client) {
            try {
                m_client.Disconnect();
            } catch (...) {
            }
        }
        throw;
    }
    m_client.Disconnect();
    return outcome;
}

DirectoryChange::Outcome DirectoryPublisher::publishLocked(const DirectoryChange& change, DirectoryLock& lock)
{
    const std::unique_ptr<PublishJournal> history = makeJournal(lock);
    if (history)
        history->open();

    step(QStringLiteral("read"));
    QElapsedTimer reading;
    reading.start();
    const QByteArray current = readDirectory(lock);
    const qint64 readMs = reading.elapsed();
    XmlDocument directory;
    if (!directory.loadXml(current))
        throw PublishError(QStringLiteral("The directory on the FTP account is not a well-formed document (%1); "
                                          "nothing was published")
                               .arg(directory.loadError()));
    if (!DirectoryChange::isDirectory(directory))
        throw PublishError(QStringLiteral("The file %1 on the FTP account is not a squad directory; "
                                          "nothing was published")
                               .arg(m_options.remoteDirectory));

    if (history)
        history->begin(current, readMs);

    DirectoryChange::Outcome outcome = change.applyTo(directory);
    if (change.kind() == DirectoryChange::Kind::Replace && change.content() == current)
        outcome = DirectoryChange::Outcome::Unchanged;
    if (outcome != DirectoryChange::Outcome::Changed) {
        step(QStringLiteral("release"));
        lock.release();
        return outcome;
    }

    // Without a heartbeat the steps themselves are the signs of life.
    if (lock.heartbeatUnavailable())
        lock.renew();
    lock.checkNotLost();

    step(QStringLiteral("upload"));
    const QByteArray bytes = newDirectory(change, directory);
    if (history)
        history->stage(bytes);
    const QString upload = lock.uploadName(bytes.size());
    try {
        if (m_options.localCopy.isEmpty())
            m_client.StoreBytes(bytes, upload);
        else
            m_client.Upload(m_options.localCopy, upload);
    } catch (const FTPException&) {
        // Our folder is gone when the lock was taken over from us.
        if (!lock.stillHeld())
            throw LockLostError(kLost);
        throw;
    }

    step(QStringLiteral("check"));
    verifyUpload(upload, bytes, lock);
    if (history)
        history->staged();
    // The fence: the lock is ours and its lease runs, as of now.
    lock.renew();

    step(QStringLiteral("rename"));
    renameOver(upload, lock, current.size());
    if (history)
        history->commit();
    step(QStringLiteral("release"));
    lock.release();
    return outcome;
}

std::unique_ptr<PublishJournal> DirectoryPublisher::makeJournal(DirectoryLock& lock)
{
    if (!m_options.keepHistory)
        return nullptr;
    auto writer = std::make_unique<HistoryWriter>(m_client, lock, m_options.remoteDirectory, m_options.history);
    writer->onStep = onStep;
    writer->onNotice = [this](const QString& text) { notice(text); };
    return writer;
}

QByteArray DirectoryPublisher::newDirectory(const DirectoryChange& change, XmlDocument& directory)
{
    // A restored version goes up byte for byte: it is that version again,
    // and the history knows it by its hash.
    const bool replace = change.kind() == DirectoryChange::Kind::Replace;
    if (m_options.localCopy.isEmpty())
        return replace ? change.content() : directory.saveToBytes();
    if (replace) {
        QFile copy(m_options.localCopy);
        if (!copy.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || copy.write(change.content()) != change.content().size())
            throw PublishError(QStringLiteral("Cannot write %1; nothing was published").arg(m_options.localCopy));
    } else {
        directory.save(m_options.localCopy);
    }
    QFile saved(m_options.localCopy);
    if (!saved.open(QIODevice::ReadOnly))
        throw PublishError(QStringLiteral("Cannot read back %1; nothing was published").arg(m_options.localCopy));
    return saved.readAll();
}

void DirectoryPublisher::notice(const QString& text)
{
    // Once per publish(), however many attempts the lock took.
    if (m_noticed)
        return;
    m_noticed = true;
    if (onNotice)
        onNotice(text);
}

QByteArray DirectoryPublisher::readDirectory(DirectoryLock& lock)
{
    QByteArray current;
    try {
        current = m_client.Retrieve(m_options.remoteDirectory, XmlDocument::maxDocumentSize);
    } catch (const FTPException& error) {
        if (m_client.ReplyCode != 550)
            throw;
        // A holder that died between the two renames of the fallback left
        // the directory in its folder, which is ours now.
        if (!lock.restoreDirectory())
            throw PublishError(QStringLiteral("There is no directory %1 on the FTP account (%2); nothing was published")
                                   .arg(m_options.remoteDirectory, error.message()));
        current = m_client.Retrieve(m_options.remoteDirectory, XmlDocument::maxDocumentSize);
    }
    lock.dropInherited();
    return current;
}

void DirectoryPublisher::verifyUpload(const QString& upload, const QByteArray& sent, DirectoryLock& lock)
{
    if (!m_noSize) {
        try {
            const qint64 stored = m_client.Size(upload);
            if (stored == sent.size())
                return;
            if (stored < 0 && !lock.stillHeld())
                throw LockLostError(kLost);
            throw PublishError(QStringLiteral("The server holds %1 bytes of the new directory instead of %2; "
                                              "nothing was published")
                                   .arg(stored)
                                   .arg(sent.size()));
        } catch (const FTPException&) {
            // Refused (unknown, denied, or not in this mode): without SIZE
            // the upload is read back instead. A connection that ended fails
            // the reading back as well.
            m_noSize = true;
        }
    }
    // No SIZE on this server: read the upload back instead.
    if (m_client.Retrieve(upload, sent.size()) != sent)
        throw PublishError(QStringLiteral("The server holds another file than the new directory sent; "
                                          "nothing was published"));
}

void DirectoryPublisher::renameOver(const QString& upload, DirectoryLock& lock, qint64 oldSize)
{
    const QString& target = m_options.remoteDirectory;
    try {
        m_client.Rename(upload, target);
        return;
    } catch (const FTPException& error) {
        // Our upload is gone when the lock was taken over from us.
        if (!lock.stillHeld())
            throw LockLostError(kLost);
        // Some servers never rename over an existing file ("550 Cannot create
        // a file when that file already exists."). Anything else (no right
        // to rename) fails the same way below, with the first reply.
        const QString aside = lock.asideName(oldSize);
        try {
            m_client.Rename(target, aside);
        } catch (const FTPException&) {
            throw error;
        }
    }
    lock.setDirectoryAside(true);
    try {
        m_client.Rename(upload, target);
    } catch (...) {
        // Put the old directory back, so that readers find one.
        try {
            m_client.Rename(lock.asideName(oldSize), target);
            lock.setDirectoryAside(false);
        } catch (...) {
        }
        throw;
    }
    lock.setDirectoryAside(false);
    try {
        m_client.Delete(lock.asideName(oldSize));
    } catch (const FTPException&) {
    }
}

void DirectoryPublisher::releaseAfterFailure(DirectoryLock& lock)
{
    // The failure may have ended the control connection (a reset, a time-out,
    // the server's 421), or left it out of step: a transfer cut off before
    // its closing reply leaves the server to answer for it later, and
    // servers still busy with it take the next data connection for the old
    // one. The lock must not outlive the failure for a whole lease, so it is
    // released on a fresh connection.
    try {
        if (m_client.Connected)
            m_client.TSocketConn::Disconnect();
        m_client.Connect();
        m_client.SetBinary();
    } catch (...) {
        return;
    }
    step(QStringLiteral("release"));
    lock.release();
}
