// squadnet upload: stores one file on an FTP account the way the program
// publishes its directory: passive unless --active, Connect, Upload only when
// the login left the client connected, then Disconnect. The password is read
// from a file (or standard input with "-") so that it never shows in a
// process list.

#include <QCommandLineParser>
#include <QFile>
#include <QTextStream>

#include <cstdio>
#include <exception>
#include <optional>

#include "FtpClient.h"
#include "SquadnetCommand.h"

namespace {

int fail(const QString& text)
{
    std::fprintf(stderr, "squadnet upload: %s\n", qPrintable(text));
    return 1;
}

int usageError(const QString& text)
{
    std::fprintf(stderr, "squadnet upload: %s\n", qPrintable(text));
    return 2;
}

int runUpload(QStringList arguments)
{
    int timeoutSeconds = 0;
    QString timeoutError;
    if (!SquadnetTimeout::take(arguments, timeoutSeconds, timeoutError))
        return usageError(timeoutError);
    TFtpTls tls = TFtpTls::Optional;
    QString tlsError;
    if (!SquadnetTls::take(arguments, tls, tlsError))
        return usageError(tlsError);
    QCommandLineParser parser;
    const QCommandLineOption hostOption(QStringLiteral("host"), QString(), QStringLiteral("H"));
    const QCommandLineOption portOption(QStringLiteral("port"), QString(), QStringLiteral("P"),
                                        QStringLiteral("21"));
    const QCommandLineOption userOption(QStringLiteral("user"), QString(), QStringLiteral("U"));
    const QCommandLineOption passwordOption(QStringLiteral("password-file"), QString(),
                                            QStringLiteral("F"));
    const QCommandLineOption activeOption(QStringLiteral("active"));
    parser.addOptions({hostOption, portOption, userOption, passwordOption, activeOption});
    parser.addPositionalArgument(QStringLiteral("local"), QString());
    parser.addPositionalArgument(QStringLiteral("remote"), QString());

    if (!parser.parse(QStringList{QStringLiteral("squadnet upload")} + arguments))
        return usageError(parser.errorText());
    const QStringList files = parser.positionalArguments();
    if (files.size() != 2)
        return usageError(QStringLiteral("expected LOCAL and REMOTE"));
    if (!parser.isSet(hostOption) || !parser.isSet(userOption) || !parser.isSet(passwordOption))
        return usageError(QStringLiteral("--host, --user and --password-file are required"));
    bool portOk = false;
    const int port = parser.value(portOption).toInt(&portOk);
    if (!portOk || port < 1 || port > 65535)
        return usageError(QStringLiteral("invalid port '%1'").arg(parser.value(portOption)));

    QString password;
    if (!readPasswordFile(parser.value(passwordOption), password))
        return fail(QStringLiteral("cannot read the password file '%1'")
                        .arg(parser.value(passwordOption)));

    std::optional<SquadnetWatchdog> watchdog;
    try {
        TFtpClient client;
        // Abort ends a data transfer; Cancel ends a wait for a reply.
        watchdog.emplace(timeoutSeconds, [&client] {
            client.Abort();
            client.Cancel();
        });
        client.Host = parser.value(hostOption);
        client.Port = port;
        client.UserID = parser.value(userOption);
        client.Password = password;
        client.Passive = !parser.isSet(activeOption);
        client.TlsMode = tls;
        client.Connect();
        const bool connected = client.Connected;
        if (connected)
            client.Upload(files.at(0), files.at(1));
        client.Disconnect();
        if (!connected)
            return fail(QStringLiteral("not connected after login"));
    } catch (const std::exception& error) {
        if (watchdog && watchdog->fired())
            return fail(watchdog->message());
        return fail(QString::fromStdString(error.what()));
    }
    return 0;
}

const SquadnetRegistrar
    registrar("upload",
              {runUpload, "upload --host H [--port P] --user U --password-file F|- [--active] "
                          "[--tls off|optional|required] [--timeout SECONDS] LOCAL REMOTE"});

} // namespace
