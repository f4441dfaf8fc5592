#pragma once

// DirectoryPublisher: writes one change into the shared squad directory on
// its FTP account; the main window, the Add Squad dialog and squadnet all
// publish through it.
//
// One publish, in this order:
//   1. log in (passive, binary);
//   2. take the lock and start its heartbeat (DirectoryLock.h); a lock taken
//      over from a dead holder restores a missing directory from its leftovers;
//   3. read the directory as the server holds it now, over FTP (a web server
//      or a cache may serve a stale or substituted copy);
//   4. check that it is a squad directory; if not, publish nothing;
//   5. hand it to the history (HistoryWriter), which keeps it unless it is its
//      newest version;
//   6. apply the change; stop when it changes nothing (squad already listed,
//      or not listed);
//   7. upload the new directory into the lock holder's own folder;
//   8. check that the server holds all of it (its size, or the bytes read back
//      without SIZE), and put the history's copy of it into our folder;
//   9. renew the lock (the fence), then rename the upload over the directory;
//      where the server will not rename over a file, move the directory aside
//      into our folder first, and back if the second rename fails;
//  10. move the history's copy into the history and prune it;
//  11. release the lock and log out.
// A lock taken over meanwhile ends the attempt with nothing published, and
// the publish starts again from step 2, at most twice: adding a listed squad
// or removing an unlisted one changes nothing, so no change applies twice.
//
// Failures and crashes: before step 9 the directory is untouched. A failure
// releases the lock (on a new connection if the old one ended); a crash
// leaves it to be taken over a lease after its last sign of life. Step 9's one
// rename shows readers the old or the new directory whole; only the fallback
// leaves them none, for the one command between its renames, and a crash
// there leaves both copies in our folder, for the next holder to restore from.
// A crash between steps 9 and 10 leaves the live directory out of the history
// until the next publish keeps it (step 5).
//
// Every FTP command waits in the event loop, so clicks and timers run
// meanwhile; a second publish() while one runs throws at once. Destroying the
// publisher (or its FTP client) mid-publish ends it with the client's cancel
// error, touching nothing of the publisher afterwards. Transfers fail only
// after stallTimeOut without progress, never after a fixed total time.

#include <QString>

#include <functional>
#include <memory>

#include "DirectoryChange.h"
#include "DirectoryLock.h"
#include "FtpAccount.h"
#include "FtpClient.h"
#include "HistoryWriter.h"

class XmlDocument;

class DirectoryPublisher {
public:
    using Account = FtpAccount;
    struct Options {
        QString remoteDirectory = QStringLiteral("/corvanet.xml");
        // When set, the new directory is saved to this local file (the caller
        // deletes it) and uploaded from it; otherwise it goes from memory.
        QString localCopy;
        int replyTimeOut = 30000; // each reply of the server
        int stallTimeOut = 30000; // a data transfer without progress
        DirectoryLock::Timing lock;
        // Attempts after a lock that was taken over from us.
        int lockRetries = 2;
        // The directory's history (HistoryWriter); off only where a caller
        // measures or tests publishing without it.
        bool keepHistory = true;
        HistoryWriter::Settings history;
    };

    // The client must outlive every publish(); its settings are set anew by
    // each one.
    DirectoryPublisher(TFtpClient& client, Account account, Options options);
    ~DirectoryPublisher();
    DirectoryPublisher(const DirectoryPublisher&) = delete;
    DirectoryPublisher& operator=(const DirectoryPublisher&) = delete;

    // Publishes the change: Changed when the server's directory now holds it,
    // AlreadyListed, NotListed or Unchanged when there was nothing to write.
    // Waits. Throws PublishError (nothing published; the message says why),
    // FTPException with the server's line, and the socket layer's errors.
    DirectoryChange::Outcome publish(const DirectoryChange& change);

    bool busy() const { return m_busy; }

    // Called at each step with its name ("login", "lock", "read", "upload",
    // "check", "rename", "release", "retry"; the lock's "look", "break",
    // "takeover", "yield", "restore"; the history's "history", "keep", "stage",
    // "commit", "prune"); tests use it to act in the middle.
    std::function<void(const QString& step)> onStep;
    // Called at most once per publish() when the history cannot be kept (say,
    // the account refuses its folder), with the reason; the publish goes on. It
    // runs inside the publish's waits with the lock held: record the text and
    // show it after publish() has returned.
    std::function<void(const QString& text)> onNotice;

private:
    DirectoryChange::Outcome publishOnce(const DirectoryChange& change);
    DirectoryChange::Outcome publishLocked(const DirectoryChange& change, DirectoryLock& lock);
    QByteArray newDirectory(const DirectoryChange& change, XmlDocument& directory);
    std::unique_ptr<PublishJournal> makeJournal(DirectoryLock& lock);
    void notice(const QString& text);
    QByteArray readDirectory(DirectoryLock& lock);
    void verifyUpload(const QString& upload, const QByteArray& sent, DirectoryLock& lock);
    void renameOver(const QString& upload, DirectoryLock& lock, qint64 oldSize);
    void releaseAfterFailure(DirectoryLock& lock);
    void step(const QString& name);

    TFtpClient& m_client;
    Account m_account;
    Options m_options;
    bool m_busy = false;
    bool m_noSize = false; // the server answers SIZE as an unknown command
    bool m_noticed = false; // in this publish()
    std::shared_ptr<bool> m_alive;
};
