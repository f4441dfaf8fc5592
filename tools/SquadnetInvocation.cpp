#include "SquadnetInvocation.h"

#include <QUrl>

#include <algorithm>
#include <cstdio>

#include "AppSettings.h"
#include "SquadnetOptions.h"

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
    SquadnetOptions parser(name);
    parser.addAccount({built.ftpHost, built.ftpPort, built.ftpUser, built.ftpPassword, false});
    const QCommandLineOption directory(QStringLiteral("directory"), QString(),
                                       QStringLiteral("URL"), built.directoryUrl);
    // The lock's lease: how long a lock may show no sign of life before a
    // waiter takes it for abandoned. Every publisher of one account must
    // use the same lease; the default is the window's.
    const QCommandLineOption lease(QStringLiteral("lease"), QString(), QStringLiteral("SECONDS"),
                                   QString::number(DirectoryLock::Timing().leaseMs / 1000));
    parser.addOption(directory);
    parser.addOption(lease);
    for (const QCommandLineOption& option : own)
        parser.addOption(option);
    parser.setPositional(minPositional, maxPositional, positionalError);
    int leaseSeconds = 0;
    QString fileName;
    parser.checkOwn = [&] {
        bool ok = false;
        leaseSeconds = parser.value(lease).toInt(&ok);
        if (!ok || leaseSeconds < 1 || leaseSeconds > 3600)
            return fail(QStringLiteral("invalid --lease '%1'").arg(parser.value(lease)), 2);
        // The FTP account's root is the folder the directory's address serves.
        fileName = QUrl(parser.value(directory)).fileName();
        if (fileName.isEmpty())
            return fail(QStringLiteral("the directory address names no file"), 2);
        return 0;
    };
    if (const int code = parser.parse(arguments))
        return code;
    positional = parser.positional();
    for (const QCommandLineOption& option : own) {
        if (parser.isSet(option))
            given.insert(option.names().constFirst(),
                         option.valueName().isEmpty() ? QString() : parser.value(option));
    }

    account.host = parser.host();
    account.port = parser.port();
    account.user = parser.user();
    account.password = parser.password();
    account.tls = parser.tls();
    timeoutMs = parser.timeoutSeconds() * 1000;
    options.remoteDirectory = QLatin1Char('/') + fileName;
    options.replyTimeOut = timeoutMs;
    options.stallTimeOut = timeoutMs;
    options.lock.leaseMs = leaseSeconds * 1000;
    options.lock.giveUpMs = std::max(DirectoryLock::Timing().giveUpMs, leaseSeconds * 3000);
    return 0;
}
