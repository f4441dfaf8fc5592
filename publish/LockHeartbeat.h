#pragma once

// LockHeartbeat: keeps a held lock visibly alive while the publisher's own
// connection is busy with a long transfer (reading or uploading a large
// directory over a slow link), on a second control connection of its own.
//
// Every beatMs it renames the holder's marker to the next beat count, which
// is what waiters watch. It beats only while the publish itself makes
// progress (noteProgress() within progressMs): a holder that has stopped
// moving bytes must look dead, or a hung program would hold the lock for
// ever. A marker that is no longer there means the lock was taken over; the
// heartbeat then stops and lost() says so.
//
// Threading: the second connection runs on a thread of its own with its own
// event loop, so that it beats while the GUI thread waits inside a transfer
// and is never held up by it. The beat count is shared with the lock through
// an atomic; the lock must not rename the marker itself while the heartbeat
// runs (stop() first). stop() waits in the GUI thread's event loop, so
// handlers may run meanwhile; the destructor stops without turning the loop.
// An account that refuses a second connection leaves the heartbeat
// unavailable() and nothing else changes: the lock then counts on the signs
// of life the publisher gives between its steps.

#include <QString>

#include <atomic>
#include <memory>

#include "FtpAccount.h"
#include "LockLayout.h"

class QThread;

class LockHeartbeat {
public:
    struct Settings {
        FtpAccount account;
        int replyTimeOut = 30000;
        int beatMs = 10000;
        int progressMs = 30000;
    };

    LockHeartbeat(Settings settings, LockLayout layout, QString token, std::atomic<qint64>& beat);
    ~LockHeartbeat();
    LockHeartbeat(const LockHeartbeat&) = delete;
    LockHeartbeat& operator=(const LockHeartbeat&) = delete;

    void start();
    // Ends the heartbeat, cutting short what it waits for. Waits in the
    // event loop until its thread has ended.
    void stop();
    // The publish moved a byte just now (called on the GUI thread).
    void noteProgress();

    bool lost() const;
    bool unavailable() const;
    // Renames the marker of token from beat to the next count: the sign of
    // life that waiters watch, and the proof that the lock is still held.
    // beat follows the marker. False when the marker is gone (the lock was
    // taken over). Waits. Throws the FTP client's errors otherwise.
    static bool renew(TFtpClient& client, const LockLayout& layout, const QString& token, qint64& beat);
    // Milliseconds on a monotonic clock, the same on every thread.
    static qint64 now();

private:
    struct Shared;
    void endThread(bool turnLoop);

    std::shared_ptr<Shared> m_shared;
    QThread* m_thread = nullptr;
};
