#pragma once

// DirectoryLock: lets one publisher at a time write the shared directory,
// with plain FTP commands only (names in LockLayout).
//
// Taking a free lock: MKD of the lock folder (atomic on every server: made or
// refused), MKD of our own folder in it, STOR of our marker, then a listing:
// any other marker there means two publishers got in through a race of
// leftovers, and both step back. A refused MKD with no lock folder there is
// the account's refusal, not a held lock: it fails within a few tries with
// the server's reply.
//
// Signs of life: the holder renames its marker to the next beat count between
// its steps and, through LockHeartbeat's second connection, every few seconds
// during long transfers. A waiter lists the lock folder at each look and
// counts on its own monotonic clock how long the listing has not changed; a
// new holder or a beat restarts the count. Server times and wall clocks are
// never compared.
//
// Taking over: a listing unchanged for a whole lease is a dead holder. The
// waiter renames that very marker to its own (only one of several waiters,
// and never a holder that beat meanwhile, gets it), makes its own folder,
// moves the dead holder's files into it and the dead holder's folder away,
// and only then reads the directory.
//
// A late holder never writes over a newer directory: it writes only into its
// own folder and replaces the directory by a rename from there. Paused past
// its lease, it finds its folder gone (the new holder moved it away before
// reading) and its commands fail instead of landing. Before the rename it
// renews its marker as a fence: the lock is still its own, its lease runs.
//
// A crash leaves the lock until a waiter takes it over a lease after the last
// sign of life. The holder's leftovers (an upload, and the directory it had
// moved aside) become the next holder's, who restores the directory from them
// when it is missing and removes them only once it is there.
//
// Every operation waits (the FTP client turns the event loop) and throws
// PublishError, LockLostError or the FTP client's errors.

#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "DirectoryChange.h"
#include "FtpAccount.h"
#include "LockHeartbeat.h"
#include "LockLayout.h"

class TFtpClient;

// The lock was taken over while we held it: nothing of ours was published.
// The publish may start again from the lock.
class LockLostError : public PublishError {
public:
    using PublishError::PublishError;
};

class DirectoryLock {
public:
    struct Timing {
        int leaseMs = 60000;    // no visible change for this long: abandoned
        int pollMs = 250;       // between two looks at a held lock (jittered)
        int giveUpMs = 180000;  // one holder keeping us waiting longer fails the publish
        int beatMs = 0;         // heartbeat period; 0: a sixth of the lease
        int progressMs = 30000; // the heartbeat stops after this long without a byte moving
    };

    DirectoryLock(TFtpClient& client, const QString& remoteDirectory, const QString& token, Timing timing);
    // Stops the heartbeat. Never touches the server: a lock left held runs
    // out by itself.
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    // Takes the lock, waiting for its holder to release it or look dead for a
    // lease. Throws PublishError when one holder, alive throughout, keeps it for
    // giveUpMs of our waiting, or when the account refuses to make the lock folder.
    void acquire();

    // Before acquire(): the account the heartbeat logs in to on a second
    // connection; its login starts once the lock folder is ours, to be ready by
    // the time the lock is held.
    void useHeartbeat(const FtpAccount& account, int replyTimeOut);
    void stopHeartbeat();

    // A sign of life from the GUI thread, and the fence before the rename: renames
    // our marker to the next count (stopping the heartbeat first). Throws
    // LockLostError when the marker is gone or the heartbeat found it gone.
    void renew();
    // Throws LockLostError when the heartbeat found the lock taken over.
    void checkNotLost() const;

    // After taking over from a dead holder: when the directory is missing, puts
    // back the newest whole copy dead holders left (their new directory, else the
    // one they had moved aside). Returns whether the directory is there now.
    bool restoreDirectory();
    // The directory is known to be there (it was read): removes what dead
    // holders left in our folder.
    void dropInherited();

    // The name our new directory of size bytes is uploaded under, and the
    // name the replaced directory goes to in the fallback rename.
    QString uploadName(qint64 size) const { return m_layout.upload(m_token, size); }
    QString asideName(qint64 size) const { return m_layout.aside(m_token, size); }
    // Where a version bound for the history waits in our folder.
    QString pendingName(const QString& entryName) const { return m_layout.pending(m_token, entryName); }
    // Whether the server still holds our marker (a listing).
    bool stillHeld();

    // Removes the lock while it is still ours: our files (never a directory moved
    // aside while the directory itself is missing), our folder, our marker, then
    // the lock folder if empty. Each removal names something only we have, so
    // nothing of a holder that took over is touched. Never throws; does nothing
    // once the client is destroyed (the lock then runs out by itself).
    void release();

    // Work for the heartbeat's connection while ours goes on (see
    // LockHeartbeat's errands): null when there is no heartbeat running, or
    // when the work is expected to take more than a quarter of a beat.
    std::shared_ptr<LockHeartbeat::Errand> runAside(std::function<void(TFtpClient& client)> work,
                                                    qint64 expectedMs = 0);
    // Waits for it in the event loop, taking back an errand not yet started. True
    // when it was done; false: the caller must do the work itself. Throws
    // EAbortError when our client is cancelled or destroyed meanwhile (the errand
    // is then cut short).
    bool awaitAside(const std::shared_ptr<LockHeartbeat::Errand>& errand);

    bool held() const { return m_held; }
    bool heartbeatUnavailable() const;
    // Set while the directory has been moved aside into our folder and the
    // new one is not in its place yet: release() keeps both then.
    void setDirectoryAside(bool aside) { m_directoryAside = aside; }

    // Called before each look at a held lock, and at "break", "takeover"
    // and "restore"; tests use it to watch the protocol.
    std::function<void(const QString& step)> onStep;

private:
    struct Candidate;
    static constexpr qint64 kSizeUnknown = -2; // the server does not answer SIZE

    QString markerName(qint64 beat) const;
    QStringList markersNow();
    static QStringList markersIn(const QStringList& names);
    QStringList earlierLayoutSigns();
    static QStringList holdersOf(const QStringList& markers);
    bool holdNewLock();
    bool takeOver(const QString& marker);
    void clearAbandoned(const QStringList& markers);
    void inheritFrom(const QString& deadToken);
    QList<Candidate> candidatesIn(const QString& folder, int depth);
    bool isWhole(const Candidate& candidate);
    bool restoreFrom(QList<Candidate> candidates);
    qint64 sizeOf(const QString& path);
    bool folderExists(const QString& path);
    void removeTree(const QString& folder, int depth);
    void pause(int milliseconds);
    int beatMs() const;
    void startHeartbeat();
    void dropHeartbeat();
    void step(const QString& name);

    TFtpClient& m_client;
    // The client may be destroyed during any of our waits (its window
    // closed): a failure's clean-up must not touch it then.
    QPointer<TFtpClient> m_clientAlive;
    LockLayout m_layout;
    QString m_token;
    Timing m_timing;
    bool m_held = false;
    bool m_madeFolder = false;  // the lock folder, while our marker is not in it yet
    bool m_madeOwn = false;     // our own folder
    bool m_madeMarker = false;  // our marker
    bool m_directoryAside = false;
    bool m_directoryPresent = false; // the directory was read under this lock
    bool m_inherited = false;       // files of dead holders are in our folder
    bool m_inheritedFolder = false; // and a dead holder's folder, as "dead"
    std::atomic<qint64> m_beat = 0;
    std::unique_ptr<LockHeartbeat> m_heartbeat;
    std::optional<FtpAccount> m_heartbeatAccount;
    int m_heartbeatTimeOut = 30000;
    QTimer m_progressWatch;
    quint64 m_bytesSeen = 0;
};
