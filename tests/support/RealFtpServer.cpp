#include "RealFtpServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QThread>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "TestSupport.h"

namespace
{

// The uid and gid the virtual users of ProFTPD and Pure-FTPd run as, and the
// local user vsftpd logs in: "daemon", which every Debian system has.
constexpr int kDaemonId = 1;

bool writeText(const QString& path, const QString& text, QFile::Permissions permissions = {})
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text.toUtf8()) < 0)
        return false;
    file.close();
    return permissions == QFile::Permissions() || file.setPermissions(permissions);
}

// A port on 127.0.0.1 where nothing listens just now.
quint16 freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

// Whether a server answers with its greeting on the port.
bool greets(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!probe.waitForConnected(1000))
        return false;
    const bool answered = probe.waitForReadyRead(3000) && probe.peek(3) == "220";
    probe.abort();
    return answered;
}

} // namespace

RealFtpServer::RealFtpServer(Kind kind, bool tls, const QString& certificateDir, Quirk quirk)
    : m_kind(kind), m_tls(tls), m_certificate(certificateDir + QStringLiteral("/good.pem")),
      m_quirk(quirk)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    // The server must not outlive a test that dies.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

RealFtpServer::~RealFtpServer()
{
    stop();
}

QString RealFtpServer::binaryRoot()
{
    return binaryPath(QStringLiteral("real-ftp-servers/root"));
}

bool RealFtpServer::prepare(QString* error)
{
    QProcess fetch;
    fetch.setProcessChannelMode(QProcess::MergedChannels);
    fetch.start(sourcePath(QStringLiteral("tests/support/fetch-ftp-servers")),
                {binaryPath(QStringLiteral("real-ftp-servers"))});
    if (!fetch.waitForFinished(300000) || fetch.exitStatus() != QProcess::NormalExit ||
        fetch.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("fetch-ftp-servers failed: ") +
                     QString::fromLocal8Bit(fetch.readAll());
        return false;
    }
    return true;
}

bool RealFtpServer::supports(Kind kind, Quirk quirk)
{
    switch (quirk) {
    case Quirk::None:
        return true;
    case Quirk::NoRenameOver:
    case Quirk::Tls12Only:
    case Quirk::AppendAllowed:
        return kind == Kind::Proftpd;
    case Quirk::NoAppend:
    case Quirk::NoSize:
        return kind == Kind::Vsftpd;
    }
    return false;
}

QString RealFtpServer::kindName(Kind kind)
{
    switch (kind) {
    case Kind::Vsftpd:
        return QStringLiteral("vsftpd");
    case Kind::Proftpd:
        return QStringLiteral("proftpd");
    case Kind::PureFtpd:
        return QStringLiteral("pure-ftpd");
    }
    return {};
}

QString RealFtpServer::quirkName(Quirk quirk)
{
    switch (quirk) {
    case Quirk::None:
        return QString();
    case Quirk::NoRenameOver:
        return QStringLiteral("no rename over");
    case Quirk::NoAppend:
        return QStringLiteral("no APPE");
    case Quirk::NoSize:
        return QStringLiteral("no SIZE");
    case Quirk::Tls12Only:
        return QStringLiteral("TLS 1.2");
    case Quirk::AppendAllowed:
        return QStringLiteral("APPE allowed");
    }
    return {};
}

QString RealFtpServer::user() const
{
    return m_kind == Kind::Vsftpd ? QStringLiteral("daemon") : QStringLiteral("corvanet");
}

QString RealFtpServer::accountDir() const
{
    return m_work ? m_work->filePath(QStringLiteral("account")) : QString();
}

QString RealFtpServer::log() const
{
    return lastOf(m_work ? m_work->filePath(QStringLiteral("server.log")) : QString());
}

QString RealFtpServer::output() const
{
    return m_work ? m_work->filePath(QStringLiteral("output.log")) : QString();
}

QString RealFtpServer::lastOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll().right(4000))
                                          : QString();
}

bool RealFtpServer::hashPassword(QString& hash)
{
    QProcess openssl;
    const QString salt = QString::number(QRandomGenerator::global()->generate64(), 36).left(8);
    openssl.start(QStringLiteral("openssl"), {"passwd", "-6", "-salt", salt, password()});
    if (!openssl.waitForFinished(10000) || openssl.exitCode() != 0) {
        m_error = QStringLiteral("openssl passwd failed");
        return false;
    }
    hash = QString::fromLatin1(openssl.readAllStandardOutput().trimmed());
    return hash.startsWith(QLatin1String("$6$"));
}

bool RealFtpServer::writeConfiguration(QStringList& arguments)
{
    const QString work = m_work->path();
    const QString root = binaryRoot();
    const QString account = accountDir();
    const QString log = m_work->filePath(QStringLiteral("server.log"));
    switch (m_kind) {
    case Kind::Vsftpd: {
        // Its secure_chroot_dir must exist, be empty and not be writable.
        const QString empty = m_work->filePath(QStringLiteral("empty"));
        if (!QDir().mkpath(empty) ||
            !QFile::setPermissions(empty, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                              QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther))
            return false;
        QString conf =
            QStringLiteral(
                "listen=YES\nlisten_address=127.0.0.1\nlisten_port=%1\nbackground=NO\n"
                "anonymous_enable=NO\nlocal_enable=YES\npam_service_name=runuser\n"
                "write_enable=YES\nlocal_umask=022\nchroot_local_user=YES\nlocal_root=%2\n"
                "allow_writeable_chroot=YES\nnopriv_user=nobody\nsecure_chroot_dir=%3\n"
                "xferlog_enable=YES\nvsftpd_log_file=%4\nlog_ftp_protocol=YES\n")
                .arg(m_port)
                .arg(account, empty, log);
        if (m_tls)
            conf += QStringLiteral("ssl_enable=YES\nrsa_cert_file=%1\nrsa_private_key_file=%1\n"
                                   "force_local_logins_ssl=YES\nforce_local_data_ssl=YES\n")
                        .arg(m_certificate);
        if (m_quirk == Quirk::NoAppend)
            conf += QStringLiteral("cmds_denied=APPE\n");
        if (m_quirk == Quirk::NoSize)
            conf += QStringLiteral("cmds_denied=SIZE\n");
        const QString file = m_work->filePath(QStringLiteral("vsftpd.conf"));
        // vsftpd refuses a configuration file that others may write.
        if (!writeText(file, conf, QFile::ReadOwner | QFile::WriteOwner))
            return false;
        arguments = {root + QStringLiteral("/usr/sbin/vsftpd"), file};
        return true;
    }
    case Kind::Proftpd: {
        QString hash;
        if (!hashPassword(hash))
            return false;
        const QString users = m_work->filePath(QStringLiteral("ftpd.passwd"));
        const QString groups = m_work->filePath(QStringLiteral("ftpd.group"));
        if (!writeText(users,
                       QStringLiteral("corvanet:%1:%2:%2::%3:/bin/false\n")
                           .arg(hash)
                           .arg(kDaemonId)
                           .arg(account),
                       QFile::ReadOwner | QFile::WriteOwner) ||
            !writeText(groups, QStringLiteral("corvanet:x:%1:\n").arg(kDaemonId),
                       QFile::ReadOwner | QFile::WriteOwner))
            return false;
        QString conf =
            QStringLiteral(
                "ServerName \"corvanet test\"\nServerType standalone\nDefaultServer on\n"
                "Port %1\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\n"
                "User daemon\nGroup daemon\nPidFile %2/proftpd.pid\n"
                "ScoreboardFile %2/proftpd.scoreboard\nWtmpLog off\nUseReverseDNS off\n"
                "RequireValidShell off\nAuthOrder mod_auth_file.c\nAuthUserFile %3\n"
                "AuthGroupFile %4\nDefaultRoot ~\nUmask 022\nSystemLog %5\nTransferLog none\n"
                "DelayEngine off\nMaxInstances 100\nModulePath %6/usr/lib/proftpd\n")
                .arg(m_port)
                .arg(work, users, groups, log, root);
        // As Debian ships it: overwriting on, restarts and appends off; its
        // built-in default refuses to overwrite (RNTO onto a file too).
        conf += m_quirk == Quirk::NoRenameOver ? QStringLiteral("AllowOverwrite off\n")
                                               : QStringLiteral("AllowOverwrite on\n");
        if (m_quirk == Quirk::AppendAllowed || m_quirk == Quirk::NoRenameOver)
            conf += QStringLiteral("AllowStoreRestart on\n");
        if (m_tls) {
            conf +=
                QStringLiteral(
                    "LoadModule mod_tls.c\n<IfModule mod_tls.c>\nTLSEngine on\nTLSRequired on\n"
                    "TLSRSACertificateFile %1\nTLSRSACertificateKeyFile %1\nTLSVerifyClient off\n"
                    "TLSLog %2/tls.log\n")
                    .arg(m_certificate, work);
            if (m_quirk == Quirk::Tls12Only)
                conf += QStringLiteral("TLSProtocol TLSv1.2\n");
            conf += QStringLiteral("</IfModule>\n");
        }
        const QString file = m_work->filePath(QStringLiteral("proftpd.conf"));
        if (!writeText(file, conf))
            return false;
        arguments = {root + QStringLiteral("/usr/sbin/proftpd"), QStringLiteral("-n"),
                     QStringLiteral("-c"), file};
        return true;
    }
    case Kind::PureFtpd: {
        QString hash;
        if (!hashPassword(hash))
            return false;
        const QString users = m_work->filePath(QStringLiteral("pureftpd.passwd"));
        const QString database = m_work->filePath(QStringLiteral("pureftpd.pdb"));
        if (!writeText(users,
                       QStringLiteral("corvanet:%1:%2:%2::%3/./::::::::::::\n")
                           .arg(hash)
                           .arg(kDaemonId)
                           .arg(account),
                       QFile::ReadOwner | QFile::WriteOwner))
            return false;
        QProcess makeDb;
        makeDb.start(root + QStringLiteral("/usr/bin/pure-pw"), {"mkdb", database, "-f", users});
        if (!makeDb.waitForFinished(10000) || makeDb.exitCode() != 0) {
            m_error =
                QStringLiteral("pure-pw mkdb failed: ") + QString::fromLocal8Bit(makeDb.readAll());
            return false;
        }
        arguments = {root + QStringLiteral("/usr/sbin/pure-ftpd"), QStringLiteral("-S"),
                     QStringLiteral("127.0.0.1,%1").arg(m_port), QStringLiteral("-l"),
                     QStringLiteral("puredb:") + database,
                     // uid 1 is below the default minimum; no anonymous
                     // logins; everyone chrooted; no reverse look-ups.
                     QStringLiteral("-u"), QString::number(kDaemonId), QStringLiteral("-E"),
                     QStringLiteral("-A"), QStringLiteral("-H"), QStringLiteral("-U"),
                     QStringLiteral("022:022"), QStringLiteral("-c"), QStringLiteral("100"),
                     QStringLiteral("-g"), m_work->filePath(QStringLiteral("pure-ftpd.pid")),
                     QStringLiteral("-O"), QStringLiteral("clf:") + log};
        if (m_tls)
            arguments << QStringLiteral("-Y") << QStringLiteral("3") << QStringLiteral("-2")
                      << m_certificate;
        return true;
    }
    }
    return false;
}

bool RealFtpServer::start()
{
    stop();
    m_error.clear();
    if (!QFile::exists(binaryRoot() + QStringLiteral("/.packages")) && !prepare(&m_error))
        return false;
    if (m_kind == Kind::Vsftpd && ::geteuid() != 0) {
        m_error = QStringLiteral("vsftpd logs its local user in only when started as root");
        return false;
    }
    m_work = std::make_unique<QTemporaryDir>();
    // The server's user must reach the account folder and write into it.
    const QFile::Permissions open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                    QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                    QFile::ExeOther;
    if (!m_work->isValid() || !QFile::setPermissions(m_work->path(), open) ||
        !QDir().mkpath(accountDir()) ||
        !QFile::setPermissions(accountDir(), open | QFile::WriteGroup | QFile::WriteOther)) {
        m_error = QStringLiteral("cannot make the account folder");
        return false;
    }
    // A port that was free when probed may be taken by the time the server
    // binds it: then another one is tried.
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = freePort();
        QStringList arguments;
        if (!writeConfiguration(arguments)) {
            if (m_error.isEmpty())
                m_error = QStringLiteral("cannot write the configuration of ") + kindName(m_kind);
            return false;
        }
        // Into a file, never a pipe: a server whose output nobody reads
        // (a test blocked in a wait without the event loop, the benchmark's
        // server starter) stalls once the pipe is full, at every line it
        // logs afterwards.
        m_process.setStandardOutputFile(output());
        m_process.start(arguments.takeFirst(), arguments);
        if (!m_process.waitForStarted(5000)) {
            m_error = m_process.errorString();
            return false;
        }
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            if (greets(m_port))
                return true;
            QThread::msleep(50);
        }
        m_error = kindName(m_kind) + QStringLiteral(" did not start: ") + lastOf(output()) +
                  log();
        stop();
    }
    return false;
}

void RealFtpServer::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    m_port = 0;
}
