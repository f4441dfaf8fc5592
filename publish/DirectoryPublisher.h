#pragma once

// DirectoryPublisher: writes one change into the shared squad directory on
// its FTP account. The main window, the Add Squad dialog and squadnet all
// publish through it.
//
// One publish, in this order:
//   1. log in (passive, binary);
//   2. take the lock (DirectoryLock);
//   3. read the directory as it is on the server now, over FTP (a web
//      server or a cache may serve a stale or substituted copy);
//   4. check that it is a squad directory; if not, publish nothing;
//   5. apply the change; when it changes nothing (the squad is listed
//      already, or not listed), stop here;
//   6. upload the new directory under a name of this publisher's own;
//   7. refresh the lock, check that it is still ours and that the server
//      holds the whole upload (its size);
//   8. rename the upload over the directory; where the server refuses to
//      rename over an existing file, rename the directory aside first and
//      back again if the second rename fails;
//   9. release the lock and log out.
//
// What a failure or a crash at each step leaves behind: before step 8 the
// directory is untouched (a crash may leave our upload, and the lock until
// its lease runs out); step 8 replaces the directory in one rename, so
// readers see the old or the new directory whole. Only the fallback of
// step 8 leaves readers without a directory, for the one command between
// its two renames; a crash right there leaves it under
// "<directory>.<token>.old".
//
// Waits: every FTP command waits in the event loop, so clicks and timers run
// meanwhile. A second publish() while one runs throws at once. Destroying
// the publisher (or its FTP client) during a publish ends it with the
// client's cancel error; nothing of the publisher is touched afterwards.
// Transfers fail only when no byte has moved for stallTimeOut, never after a
// fixed total time.

#include <QString>

#include <functional>
#include <memory>

#include "DirectoryChange.h"
#include "DirectoryLock.h"
#include "FtpClient.h"

class DirectoryPublisher {
public:
    struct Account {
        QString host;
        int port = 21;
        QString user;
        QString password;
        TFtpTls tls = TFtpTls::Off; // explicit FTPS (see TFtpClient::TlsMode)
    };
    struct Options {
        QString remoteDirectory = QStringLiteral("/corvanet.xml");
        // When set, the new directory is saved to this local file and
        // uploaded from it (the caller deletes it); otherwise it goes from
        // memory.
        QString localCopy;
        int replyTimeOut = 30000; // each reply of the server
        int stallTimeOut = 30000; // a data transfer without progress
        DirectoryLock::Timing lock;
    };

    // The client must outlive every publish(); its settings are set anew by
    // each one.
    DirectoryPublisher(TFtpClient& client, Account account, Options options);
    ~DirectoryPublisher();
    DirectoryPublisher(const DirectoryPublisher&) = delete;
    DirectoryPublisher& operator=(const DirectoryPublisher&) = delete;

    // Publishes the change. Returns Changed when the directory on the server
    // now holds it, AlreadyListed or NotListed when there was nothing to
    // write. Waits. Throws PublishError (nothing published, the message says
    // why), FTPException with the server's line, and the socket layer's
    // errors.
    DirectoryChange::Outcome publish(const DirectoryChange& change);

    bool busy() const { return m_busy; }

    // Called at each step with its name ("login", "lock", "read", "upload",
    // "check", "rename", "release", and the lock's "look" and "break");
    // tests use it to act in the middle.
    std::function<void(const QString& step)> onStep;

private:
    DirectoryChange::Outcome publishLoggedIn(const DirectoryChange& change);
    void renameOver(const QString& upload);
    void step(const QString& name);

    TFtpClient& m_client;
    Account m_account;
    Options m_options;
    QString m_token;
    bool m_busy = false;
    std::shared_ptr<bool> m_alive;
};
