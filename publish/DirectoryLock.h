#pragma once

// DirectoryLock: the lock that lets one publisher at a time write the shared
// directory, on nothing but plain FTP commands.
//
// The lock is the folder "<directory>.lock" (for "/corvanet.xml":
// "/corvanet.xml.lock"): MKD either makes it or is refused, atomically, on
// every common server. The holder writes the file "owner" into it, holding
// its token on the first line; every refresh appends a byte, so the file's
// size changes while the holder is alive. The holder uploads its new
// directory as "<directory>.<token>.tmp", whose size grows while it uploads.
//
// The lease, and why clocks never matter: no time of the server's and no
// wall-clock time is ever compared. A waiter watches what it can see (the
// owner file's size and the holder's upload's size) and takes the lock as
// abandoned when neither has changed for leaseMs by its own monotonic clock.
// The holder counts on its own monotonic clock from the start of its last
// refresh, and stops trusting the lock after two thirds of leaseMs: any
// change a waiter saw happened after that start, so no waiter can have
// broken the lock yet. A holder whose lease ran out does not rename and does
// not release (the lock may be someone else's by then).
//
// Breaking an abandoned lock renames the folder away to a name holding the
// breaker's token before it is removed, so that of several waiters that
// decide at once only one succeeds; the others see the fresh lock of the
// winner and wait for it. A holder checks before it renames that the owner
// file still holds its token.
//
// What a crash leaves: a crash while holding leaves the folder, which blocks
// the others for leaseMs after its last change; a crash while breaking
// leaves a "<directory>.lock.broken-<token>" folder, which nobody needs.
//
// Every operation waits (the FTP client turns the event loop) and throws the
// FTP client's errors, or PublishError.

#include <QElapsedTimer>
#include <QString>

#include <functional>

class TFtpClient;

class DirectoryLock {
public:
    struct Timing {
        int leaseMs = 60000;  // no visible change for this long: abandoned
        int pollMs = 250;     // between two looks at a held lock (jittered)
        int giveUpMs = 180000; // waiting longer than this fails the publish
    };

    DirectoryLock(TFtpClient& client, const QString& remoteDirectory, const QString& token,
                  Timing timing);
    ~DirectoryLock() = default;
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    // Takes the lock, waiting for a holder to release it or for its lease
    // to run out. Throws PublishError when giveUpMs passes first.
    void acquire();
    // Appends to the owner file: waiters see the holder alive, and the
    // holder's own lease starts again.
    void refresh();
    // Throws PublishError unless the lease still runs and the owner file
    // still names this holder.
    void checkHeld();
    // Removes the lock when it is still ours. Never throws.
    void release();

    bool held() const { return m_held; }
    // The name the holder uploads its new directory under.
    QString uploadName() const;
    static QString uploadNameFor(const QString& remoteDirectory, const QString& token);

    // Called before each look at a held lock and before breaking one; tests
    // use it to watch the protocol.
    std::function<void(const QString& step)> onStep;

private:
    bool leaseRunning() const;
    bool tryBreak(const QString& staleToken);
    QString ownerToken();
    void pause(int milliseconds);

    TFtpClient& m_client;
    QString m_directory;
    QString m_folder;
    QString m_owner;
    QString m_token;
    Timing m_timing;
    bool m_held = false;
    QElapsedTimer m_leaseClock; // from the start of the last refresh
};
