#pragma once

// What the publishing tests share: an FTP account folder on disk served by
// the loopback test server, directories written and read on it, and
// squadnet writers run as processes of their own, so that a test can stop or
// kill one at a chosen command.

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

#include "LoopbackFtpServer.h"
#include "TestSupport.h"

namespace publishtest {

inline const QString kUser = QStringLiteral("corvanet");
inline const QString kPassword = QStringLiteral("squadup");

using ::readFile;
using ::writeFile;

// A directory listing one squad per address, with the nick "n".
QByteArray directoryOf(const QStringList& urls);
// The "web" addresses of a directory's entries, in document order.
QStringList listed(const QByteArray& xml);
// Every name under root, folders and files, relative and sorted.
QStringList treeOf(const QString& root);

// An account folder on disk and the test FTP server in front of it.
class Account {
public:
    // With a certificate (key and certificate, see testca.py) the server
    // requires explicit FTPS.
    explicit Account(const QStringList& serverOptions = {}, const QString& certificate = {});
    bool started() const { return m_started; }
    QString errorText() const { return m_server->errorText(); }
    LoopbackFtpServer& server() { return *m_server; }
    quint16 port() const { return m_server->port(); }
    QString path(const QString& name) const { return m_root.filePath(name); }
    QByteArray directory() const { return readFile(path(QStringLiteral("corvanet.xml"))); }
    bool setDirectory(const QByteArray& content) const
    {
        return writeFile(path(QStringLiteral("corvanet.xml")), content);
    }
    // What is on the account besides the directory and its history.
    QStringList leftovers() const;
    // The names in the history folder, sorted (the order of the versions),
    // and their contents in that order.
    QStringList history() const;
    QList<QByteArray> historyContents() const;
    // A squad page in the account folder, and its file: address.
    QString page(int number);

    // "squadnet COMMAND" against this account, started now. leaseSeconds
    // is the lock's lease; extra arguments go first, pageUrl (unless empty)
    // last.
    std::unique_ptr<QProcess> squadnet(const QString& command, const QString& pageUrl, int leaseSeconds,
                                       const QStringList& extra = {});

private:
    QTemporaryDir m_root;
    QTemporaryDir m_work;
    std::unique_ptr<LoopbackFtpServer> m_server;
    bool m_started = false;
};

// Waits for a squadnet process and returns its exit code (-1 when it did not
// end in time or crashed); its output goes to output.
int finished(QProcess& process, QByteArray* output = nullptr, int timeoutMs = 60000);

} // namespace publishtest
