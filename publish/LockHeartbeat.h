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
//
// Errands: the second connection idles between beats, so short work that
// need not wait for the publisher's own connection (reading the history,
// storing its copy) can run on it meanwhile, in the order posted, on the
// heartbeat's thread. An errand holds up the beats while it runs: post only
// what takes a small part of a beat. Whatever becomes of the heartbeat, an
// errand ends: done, or failed, or taken back before it started, and the
// poster then does the work on its own connection.

#include <QString>

#include <atomic>
#include <functional>
#include <memory>

#include "FtpAccount.h"
#include "LockLayout.h"

class QObject;
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

    // Logs in on the second connection; beats start once held() is called.
    void start();
    // The lock is ours now (its marker is there): beats may start.
    void held();
    // Ends the heartbeat, cutting short what it waits for. Waits in the
    // event loop until its thread has ended.
    void stop();
    // The publish moved a byte just now (called on the GUI thread).
    void noteProgress();

    class Errand;
    // Queues work for the second connection. The work runs on the
    // heartbeat's thread: it may use the client it is given and what it
    // owns (copies, shared results), nothing else; it throws to fail.
    std::shared_ptr<Errand> post(std::function<void(TFtpClient& client)> work);
    // Takes the errand back when it has not started: true then, and it
    // never runs.
    static bool takeBack(const std::shared_ptr<Errand>& errand);
    // Whether the errand has ended (done or not), and whether it was done.
    static bool ended(const std::shared_ptr<Errand>& errand);
    static bool done(const std::shared_ptr<Errand>& errand);
    // Takes the errand back, or cuts it short when it runs now.
    void cancel(const std::shared_ptr<Errand>& errand);

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
    // Lives on the owner's thread: an errand's end is posted to it, which
    // wakes the owner's event loop.
    std::unique_ptr<QObject> m_waker;
};
