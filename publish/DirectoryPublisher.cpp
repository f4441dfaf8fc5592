#include "DirectoryPublisher.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRandomGenerator>

#include "FtpClient.h"
#include "XmlDocument.h"

namespace {

// A name no other publisher picks: the lock's owner token and the suffix of
// our upload.
QString newToken()
{
    QRandomGenerator* random = QRandomGenerator::system();
    return QString::number(random->generate64(), 16).rightJustified(16, QLatin1Char('0'));
}

} // namespace

DirectoryPublisher::DirectoryPublisher(TFtpClient& client, Account account, Options options)
    : m_client(client),
      m_account(std::move(account)),
      m_options(std::move(options)),
      m_alive(std::make_shared<bool>(true))
{
}

DirectoryPublisher::~DirectoryPublisher()
{
    *m_alive = false;
}

void DirectoryPublisher::step(const QString& name)
{
    if (onStep)
        onStep(name);
}

DirectoryChange::Outcome DirectoryPublisher::publish(const DirectoryChange& change)
{
    if (m_busy)
        throw PublishError(QStringLiteral("A publish is running already"));
    const std::shared_ptr<bool> alive = m_alive;
    const QPointer<TFtpClient> client(&m_client);
    m_busy = true;
    struct NotBusy {
        std::shared_ptr<bool> alive;
        bool& busy;
        ~NotBusy()
        {
            if (*alive)
                busy = false;
        }
    } notBusy{alive, m_busy};

    m_token = newToken();
    m_client.Host = m_account.host;
    m_client.Port = m_account.port;
    m_client.UserID = m_account.user;
    m_client.Password = m_account.password;
    m_client.Passive = true;
    m_client.TlsMode = m_account.tls;
    m_client.TimeOut = m_options.replyTimeOut;
    m_client.StallTimeOut = m_options.stallTimeOut;

    step(QStringLiteral("login"));
    m_client.Connect();
    if (!*alive || !client)
        throw EAbortError(QStringLiteral("Publishing cancelled"));
    if (!m_client.Connected)
        throw PublishError(QStringLiteral("Not connected after the login; nothing was published"));
    DirectoryChange::Outcome outcome;
    try {
        outcome = publishLoggedIn(change);
    } catch (...) {
        // Leave no half-used session behind; the first error is the one
        // that tells what happened.
        if (*alive && client) {
            try {
                m_client.Disconnect();
            } catch (...) {
            }
        }
        throw;
    }
    m_client.Disconnect();
    return outcome;
}

DirectoryChange::Outcome DirectoryPublisher::publishLoggedIn(const DirectoryChange& change)
{
    const std::shared_ptr<bool> alive = m_alive;
    const QPointer<TFtpClient> client(&m_client);
    auto stillHere = [&] { return *alive && client; };

    m_client.SetBinary();
    step(QStringLiteral("lock"));
    DirectoryLock lock(m_client, m_options.remoteDirectory, m_token, m_options.lock);
    lock.onStep = onStep;
    lock.acquire();

    const QString upload = lock.uploadName();
    bool uploaded = false;
    try {
        step(QStringLiteral("read"));
        QByteArray current;
        try {
            current = m_client.Retrieve(m_options.remoteDirectory, XmlDocument::maxDocumentSize);
        } catch (const FTPException& error) {
            if (m_client.ReplyCode == 550)
                throw PublishError(QStringLiteral("There is no directory %1 on the FTP account (%2); nothing was published")
                                       .arg(m_options.remoteDirectory, error.message()));
            throw;
        }
        XmlDocument directory;
        if (!directory.loadXml(current))
            throw PublishError(QStringLiteral("The directory on the FTP account is not a well-formed document (%1); "
                                              "nothing was published")
                                   .arg(directory.loadError()));
        if (!DirectoryChange::isDirectory(directory))
            throw PublishError(QStringLiteral("The file %1 on the FTP account is not a squad directory; "
                                              "nothing was published")
                                   .arg(m_options.remoteDirectory));

        const DirectoryChange::Outcome outcome = change.applyTo(directory);
        if (outcome != DirectoryChange::Outcome::Changed) {
            step(QStringLiteral("release"));
            lock.release();
            return outcome;
        }

        step(QStringLiteral("upload"));
        qint64 expectedSize = 0;
        uploaded = true; // from here on a part of it may be on the server
        if (m_options.localCopy.isEmpty()) {
            const QByteArray bytes = directory.saveToBytes();
            expectedSize = bytes.size();
            m_client.StoreBytes(bytes, upload);
        } else {
            directory.save(m_options.localCopy);
            expectedSize = QFileInfo(m_options.localCopy).size();
            m_client.Upload(m_options.localCopy, upload);
        }

        step(QStringLiteral("check"));
        lock.refresh();
        lock.checkHeld();
        const qint64 stored = m_client.Size(upload);
        if (stored != expectedSize)
            throw PublishError(QStringLiteral("The server holds %1 bytes of the new directory instead of %2; "
                                              "nothing was published")
                                   .arg(stored)
                                   .arg(expectedSize));

        step(QStringLiteral("rename"));
        renameOver(upload);
        uploaded = false;
        step(QStringLiteral("release"));
        lock.release();
        return outcome;
    } catch (...) {
        if (stillHere()) {
            try {
                if (uploaded)
                    m_client.Delete(upload);
            } catch (...) {
            }
            lock.release();
        }
        throw;
    }
}

void DirectoryPublisher::renameOver(const QString& upload)
{
    const QString& target = m_options.remoteDirectory;
    try {
        m_client.Rename(upload, target);
        return;
    } catch (const FTPException&) {
        // Some servers never rename over an existing file ("550 Cannot create
        // a file when that file already exists."). Anything else (the upload
        // gone, no right to rename) fails the same way below.
        if (m_client.Size(target) < 0)
            throw;
    }
    const QString aside = target + QLatin1Char('.') + m_token + QStringLiteral(".old");
    m_client.Rename(target, aside);
    try {
        m_client.Rename(upload, target);
    } catch (...) {
        // Put the old directory back, so that readers find one.
        try {
            m_client.Rename(aside, target);
        } catch (...) {
        }
        throw;
    }
    try {
        m_client.Delete(aside);
    } catch (const FTPException&) {
    }
}
