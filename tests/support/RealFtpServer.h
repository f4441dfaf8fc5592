#pragma once

// RealFtpServer: one of Debian's FTP servers (vsftpd, ProFTPD, Pure-FTPd) on
// 127.0.0.1 for tests and benchmarks, with one account whose root is a
// folder of its own.
//
// The binaries come from tests/support/fetch-ftp-servers, unpacked under the
// build folder (prepare()); nothing is installed, no system-wide daemon or
// /etc configuration is used or touched. Each server runs in the foreground
// with a configuration written at start, on a free control port, its passive
// data ports picked by the system. The server process gets SIGKILL when the
// process that started it dies.
//
// Accounts, without touching /etc/passwd or /etc/pam.d:
// - vsftpd: the local user "daemon", chrooted into the account folder, logged
//   in through the PAM service "runuser" (pam_rootok: any password, since the
//   server checks it as root); so it needs to be started as root.
// - ProFTPD: a virtual user in an AuthUserFile of its own, uid/gid of
//   "daemon".
// - Pure-FTPd: a virtual user in a PureDB of its own, uid/gid of "daemon".
// Files land owned by "daemon"; the account folder is world-writable.
//
// TLS: explicit FTPS required on control and data connections, with the
// server's own defaults otherwise: vsftpd's require_ssl_reuse=YES and default
// ssl_ciphers, ProFTPD's mod_tls without TLSOptions (session reuse required),
// Pure-FTPd -Y 3. The certificate is good.pem of the test CA (testca.py).
//
// Every call blocks (no event loop): use it from a test's set-up, not from
// inside a wait of the code under test.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class RealFtpServer
{
public:
    enum class Kind { Vsftpd, Proftpd, PureFtpd };
    // Behaviours of hosting servers the publisher has to survive.
    enum class Quirk {
        None,
        NoRenameOver, // RNTO onto an existing file refused (ProFTPD AllowOverwrite off)
        NoAppend,     // APPE refused (vsftpd cmds_denied)
        NoSize,       // SIZE refused (vsftpd cmds_denied)
        Tls12Only,    // TLS 1.2 at most (ProFTPD TLSProtocol)
        AppendAllowed // ProFTPD with AllowStoreRestart on (APPE works)
    };

    // certificateDir: where testca.py made its files (used with tls only).
    RealFtpServer(Kind kind, bool tls, const QString& certificateDir, Quirk quirk = Quirk::None);
    ~RealFtpServer();
    RealFtpServer(const RealFtpServer&) = delete;
    RealFtpServer& operator=(const RealFtpServer&) = delete;

    // Fetches and unpacks the servers once per build folder. False with
    // *error set when that fails (no package lists, no network to Debian).
    static bool prepare(QString* error);
    // Where the binaries are unpacked.
    static QString binaryRoot();
    // Whether this kind of server supports the quirk (can be configured so).
    static bool supports(Kind kind, Quirk quirk);
    static QString kindName(Kind kind);
    static QString quirkName(Quirk quirk);

    // Writes the configuration and starts the server; true once it answers
    // on its control port. False with errorText() otherwise.
    bool start();
    void stop();

    quint16 port() const { return m_port; }
    QString user() const;
    QString password() const { return QStringLiteral("squadup"); }
    // The account's root on disk.
    QString accountDir() const;
    QString errorText() const { return m_error; }
    // The server's log so far (for a failure's message).
    QString log() const;

private:
    bool writeConfiguration(QStringList& arguments);
    // What the server writes to its standard output and error.
    QString output() const;
    static QString lastOf(const QString& path);
    bool hashPassword(QString& hash);

    Kind m_kind;
    bool m_tls;
    QString m_certificate;
    Quirk m_quirk;
    std::unique_ptr<QTemporaryDir> m_work;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};
