#pragma once

// One parser for the options of every squadnet command: "--timeout" for all
// of them, the FTP account ("--host", "--port", "--user", "--password-file",
// "--tls") for those that log in, and each command's own options, parsed
// together by one QCommandLineParser. A usage error is told as
// "squadnet COMMAND: TEXT" on standard error with status 2.
//
// Lives on the command's stack for the run; not thread-safe.

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <functional>

#include "FtpClient.h"

class SquadnetOptions
{
public:
    // "--timeout SECONDS" (also "--timeout=SECONDS"): the longest time
    // without a byte moving before the command gives up.
    static constexpr int defaultTimeoutSeconds = 30;
    static constexpr const char* timeoutUsage = "[--timeout SECONDS]";
    // "--tls off|optional|required" (also "--tls=MODE"): explicit FTPS as
    // TFtpClient::TlsMode; the default is the build's setting (CORVANET_FTP_TLS).
    static constexpr const char* tlsUsage = "[--tls off|optional|required]";

    // The FTP account's options and their defaults. With required set,
    // --host, --user and --password-file must be given.
    struct AccountDefaults {
        QString host;
        int port = 21;
        QString user;
        QString password;
        bool required = false;
    };

    explicit SquadnetOptions(QString command) : m_command(std::move(command)) {}

    // The FTP account's options: only the commands that log in take them.
    void addAccount(const AccountDefaults& defaults);
    // One of the command's own options, after the shared ones.
    void addOption(const QCommandLineOption& option);
    // Between min and max other arguments; tooFew (tooMany, when given)
    // says what is wanted otherwise.
    void setPositional(qsizetype min, qsizetype max, QString tooFew, QString tooMany = {});
    // A command whose usage errors tell other texts than the parser's:
    // parseError gives the text for a failed parse; usage, when not empty,
    // is printed as "usage: squadnet USAGE" after the parse's and the
    // positional arguments' errors.
    std::function<QString(const QCommandLineParser&)> parseError;
    QString usage;
    // The checks of the command's own options that come before the password
    // file is read: 0, or the exit code after the message was printed.
    std::function<int()> checkOwn;

    // Parses the arguments after the command's name. Returns 0 when the
    // invocation is ready, else the exit code after the message was printed.
    int parse(QStringList arguments);

    // Prints "squadnet COMMAND: TEXT" on standard error; returns code.
    int fail(const QString& text, int code = 1) const;

    const QString& command() const { return m_command; }
    const QStringList& positional() const { return m_positional; }
    int timeoutSeconds() const { return m_timeoutSeconds; }
    TFtpTls tls() const { return m_tls; }
    const QString& host() const { return m_host; }
    int port() const { return m_port; }
    const QString& user() const { return m_user; }
    const QString& password() const { return m_password; }
    // The command's own options, after a successful parse.
    bool isSet(const QCommandLineOption& option) const { return m_parser.isSet(option); }
    QString value(const QCommandLineOption& option) const { return m_parser.value(option); }

private:
    int usageError(const QString& text) const;

    QString m_command;
    QCommandLineParser m_parser;
    bool m_hasAccount = false;
    AccountDefaults m_defaults;
    QCommandLineOption m_hostOption{QStringLiteral("host"), QString(), QStringLiteral("H")};
    QCommandLineOption m_portOption{QStringLiteral("port"), QString(), QStringLiteral("P")};
    QCommandLineOption m_userOption{QStringLiteral("user"), QString(), QStringLiteral("U")};
    QCommandLineOption m_passwordOption{QStringLiteral("password-file"), QString(),
                                        QStringLiteral("F")};
    QList<QCommandLineOption> m_own;
    qsizetype m_minPositional = 0;
    qsizetype m_maxPositional = 0;
    QString m_tooFew;
    QString m_tooMany;

    QStringList m_positional;
    int m_timeoutSeconds = defaultTimeoutSeconds;
    TFtpTls m_tls = TFtpTls::Optional;
    QString m_host;
    int m_port = 21;
    QString m_user;
    QString m_password;
};
