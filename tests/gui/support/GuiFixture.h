#pragma once

// The folders and servers of a window test: a temporary root that the
// loopback web server serves over HTTP and the FTP server's account holds,
// and a temporary folder that is the working directory while the test runs.
// A test class derives from QObject and from this; it starts in its
// initTestCase() the servers it needs. Servers end with the fixture.
// Everything here runs on the test's thread.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

#include "AppSettings.h"
#include "FaultHelpers.h"
#include "LoopbackFtpServer.h"
#include "LoopbackWebServer.h"

class GuiFixture
{
protected:
    // Both folders were made.
    bool foldersValid() const;

    // The path of a file in the served root.
    QString served(const QString& name) const;
    // The shared directory in the served root.
    QString directoryFile() const;
    // The directory's address: over HTTP once the web server was started,
    // else the file's path.
    QString directoryUrl() const;
    // Writes the directory listing these (nick, page address) pairs and
    // returns what was written.
    QByteArray writeDirectory(const QList<QPair<QString, QString>>& entries,
                              const QByteArray& prologue = {});

    // Settings of a window that loads the directory and publishes it to the
    // FTP server on this port, or by default to the fixture's own (port 21
    // while that was not started).
    AppSettings settings(quint16 ftpPort) const;
    AppSettings settings() const;

    // Starts the web server on the served root; its request log goes to
    // requestLog unless that is empty. False when it cannot start.
    bool startWeb(const QString& requestLog = {});
    // Starts an FTP server on the served root with the account of
    // PublishSettings.h and these options of ftpserver.py, in place of the
    // one the fixture had; a test check fails, with the reason, when it
    // cannot start.
    void startFtp(const QStringList& options = {});

    QTemporaryDir m_root;
    FaultHelpers::WorkingDir m_work;
    std::unique_ptr<LoopbackWebServer> m_web;
    std::unique_ptr<LoopbackFtpServer> m_ftp;
};
