#pragma once

// HistoryWriter: keeps every version of the directory that was live in the
// history folder beside it (names in HistoryLayout), as the journal of a
// publish that holds the lock.
//
//   begin():  lists the history (the one listing of the publish, which
//             pruning works from as well), making the folder when there is
//             none. A directory that is not the newest entry (the first
//             publish on the account, a publisher that died between its
//             rename and its commit, a copy someone wrote over the
//             directory) is kept first, so that nothing live is lost;
//   stage():  the new version goes into the holder's own folder under its
//             entry's name;
//   commit(): the directory's rename succeeded: that copy is renamed into
//             the history (no data moves) and what the retention drops is
//             deleted.
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

#include "HistoryLayout.h"
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

    void begin(const QByteArray& current) override;
    void stage(const QByteArray& next) override;
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
};
