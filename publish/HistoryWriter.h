#pragma once

// HistoryWriter: keeps every version of the directory that was live in the
// history folder beside it (names in HistoryLayout), as the journal of a
// publish that holds the lock.
//
//   open():   the listing of the history starts, on the heartbeat's
//             connection while ours reads the directory;
//   begin():  takes that listing (the one of the publish, which pruning
//             works from as well), making the folder when there is none. A directory that is not the newest entry (the first
//             publish on the account, a publisher that died between its
//             rename and its commit, a copy someone wrote over the
//             directory) is kept first, so that nothing live is lost;
//   stage():  the new version goes into the holder's own folder under its
//             entry's name, beside the upload when it is quick to send;
//   staged(): ...and is there by now;
//   commit(): the directory's rename succeeded: that copy is renamed into
//             the history (no data moves) and what the retention drops is
//             deleted (beside the upload already, when the copy went there).
//
// Everything goes through the holder's folder and into the history by a
// rename, as the directory itself does: a holder paused past its lease
// finds its folder moved away, so it can never add a version that was not
// live, nor an entry under a number that a later holder has used. A copy
// that never made it (a crash before commit) stays in the dead holder's
// folder, which the next holder clears; the live directory is then not the
// newest entry, and that holder keeps it.
//
// The clock names entries only; no decision of the lock depends on it.
// An account that refuses the history folder or its writes gets one notice
// per publish, and the publish goes on without history; a write that fails
// because the lock was taken over from us throws LockLostError instead, as
// the publisher's own steps do.

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

#include "HistoryLayout.h"
#include "LockHeartbeat.h"
#include "PublishJournal.h"

class DirectoryLock;
class TFtpClient;

class HistoryWriter : public PublishJournal
{
public:
    struct Settings {
        // UTC now; unset: the system clock. Tests give their own times.
        std::function<QDateTime()> clock;
        HistoryLayout::Retention retention;
    };

    HistoryWriter(TFtpClient& client, DirectoryLock& lock, const QString& remoteDirectory,
                  Settings settings);

    void open() override;
    void begin(const QByteArray& current, qint64 readMs) override;
    void stage(const QByteArray& next) override;
    void staged() override;
    void commit() override;

    // Whether the history is being kept by this publish.
    bool available() const { return m_available; }
    // Called at most once, with why no history (or not all of it) is kept.
    std::function<void(const QString& text)> onNotice;
    // "history", "keep", "stage", "commit", "prune": tests act in between.
    std::function<void(const QString& step)> onStep;

private:
    bool openFolder();
    void keepNow(const QByteArray& content);
    void prune();
    // Where the versions go that the retention drops from entries.
    QStringList droppedPaths(const QList<HistoryLayout::Entry>& entries) const;
    static void deleteAll(TFtpClient& client, const QStringList& paths);
    void fail(const QString& text);
    void failUnlessLost(const QString& text);
    void step(const QString& name);
    QDateTime now() const;

    TFtpClient& m_client;
    DirectoryLock& m_lock;
    HistoryLayout m_layout;
    Settings m_settings;
    QList<HistoryLayout::Entry> m_entries; // oldest first
    bool m_available = false;
    bool m_noticed = false;
    bool m_staged = false;
    HistoryLayout::Entry m_pending;
    QByteArray m_next;
    qint64 m_readMs = 0;
    qint64 m_readBytes = 0;
    // The work given to the heartbeat's connection, while it runs.
    std::shared_ptr<LockHeartbeat::Errand> m_listing;
    std::shared_ptr<QStringList> m_listed;
    std::shared_ptr<LockHeartbeat::Errand> m_staging;
    std::shared_ptr<LockHeartbeat::Errand> m_pruning;
};
