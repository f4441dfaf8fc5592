#include "SquadnetInvocation.h"

#include <QCommandLineParser>
#include <QUrl>

#include <algorithm>
#include <cstdio>

#include "AppSettings.h"
#include "SquadnetCommand.h"

int SquadnetInvocation::fail(const QString& text, int code) const
{
    std::fprintf(stderr, "squadnet %s: %s\n", qPrintable(command), qPrintable(text));
    return code;
}

void SquadnetInvocation::reportNotices(DirectoryPublisher& publisher) const
{
    const QString name = command;
    publisher.onNotice = [name](const QString& text) {
        std::fprintf(stderr, "squadnet %s: %s\n", qPrintable(name), qPrintable(text));
    };
}

int SquadnetInvocation::parse(const QString& name, QStringList arguments,
                              const QList<QCommandLineOption>& own, int minPositional,
                              int maxPositional, const QString& positionalError)
{
    command = name;
    const AppSettings built = AppSettings::compiledIn();
    int timeoutSeconds = 0;
    QString error;
    if (!SquadnetTimeout::take(arguments, timeoutSeconds, error) ||
        !SquadnetTls::take(arguments, account.tls, error))
        return fail(error, 2);
    QCommandLineParser parser;
    const QCommandLineOption host(QStringLiteral("host"), QString(), QStringLiteral("H"),
                                  built.ftpHost);
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("P"),
                                  QString::number(built.ftpPort));
    const QCommandLineOption user(QStringLiteral("user"), QString(), QStringLiteral("U"),
                                  built.ftpUser);
    const QCommandLineOption passwordFile(QStringLiteral("password-file"), QString(),
                                          QStringLiteral("F"));
    const QCommandLineOption directory(QStringLiteral("directory"), QString(),
                                       QStringLiteral("URL"), built.directoryUrl);
    // The lock's lease: how long a lock may show no sign of life before a
    // waiter takes it for abandoned. Every publisher of one account must
    // use the same lease; the default is the window's.
    const QCommandLineOption lease(QStringLiteral("lease"), QString(), QStringLiteral("SECONDS"),
                                   QString::number(DirectoryLock::Timing().leaseMs / 1000));
    parser.addOptions({host, port, user, passwordFile, directory, lease});
    parser.addOptions(own);
    parser.addPositionalArgument(QStringLiteral("argument"), QString());
    if (!parser.parse(QStringList{QStringLiteral("squadnet ") + name} + arguments))
        return fail(parser.errorText(), 2);
    positional = parser.positionalArguments();
    if (positional.size() < minPositional || positional.size() > maxPositional)
        return fail(positionalError, 2);
    for (const QCommandLineOption& option : own) {
        if (parser.isSet(option))
            given.insert(option.names().constFirst(),
                         option.valueName().isEmpty() ? QString() : parser.value(option));
    }

    bool ok = false;
    const int portNumber = parser.value(port).toInt(&ok);
    if (!ok || portNumber < 1 || portNumber > 65535)
        return fail(QStringLiteral("invalid port '%1'").arg(parser.value(port)), 2);
    const int leaseSeconds = parser.value(lease).toInt(&ok);
    if (!ok || leaseSeconds < 1 || leaseSeconds > 3600)
        return fail(QStringLiteral("invalid --lease '%1'").arg(parser.value(lease)), 2);
    // The FTP account's root is the folder the directory's address serves.
    const QString fileName = QUrl(parser.value(directory)).fileName();
    if (fileName.isEmpty())
        return fail(QStringLiteral("the directory address names no file"), 2);

    account.host = parser.value(host);
    account.port = portNumber;
    account.user = parser.value(user);
    account.password = built.ftpPassword;
    if (parser.isSet(passwordFile) &&
        !readPasswordFile(parser.value(passwordFile), account.password))
        return fail(
            QStringLiteral("cannot read the password file '%1'").arg(parser.value(passwordFile)));
    timeoutMs = timeoutSeconds * 1000;
    options.remoteDirectory = QLatin1Char('/') + fileName;
    options.replyTimeOut = timeoutMs;
    options.stallTimeOut = timeoutMs;
    options.lock.leaseMs = leaseSeconds * 1000;
    options.lock.giveUpMs = std::max(DirectoryLock::Timing().giveUpMs, leaseSeconds * 3000);
    return 0;
}
