// squadnet add / squadnet remove: change the shared directory the way the
// window does, through the same publisher (lock, read the server's copy,
// apply, upload, rename). add checks the squad page first, as the Add Squad
// dialog does: it must load, and the entry's nick is the page's "name".
//
// Each prints one line saying what it did and exits 0, or prints the error
// and exits 1 (2 for a usage error).

#include <QCommandLineParser>
#include <QFile>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "AppSettings.h"
#include "DirectoryPublisher.h"
#include "EventWait.h"
#include "FtpClient.h"
#include "SquadnetCommand.h"
#include "XmlDocument.h"

namespace {

struct Invocation {
    QString command;
    QString pageUrl;
    DirectoryPublisher::Account account;
    DirectoryPublisher::Options options;
    int timeoutMs = 30000;
};

int fail(const QString& command, const QString& text, int code = 1)
{
    std::fprintf(stderr, "squadnet %s: %s\n", qPrintable(command), qPrintable(text));
    return code;
}

// Parses the arguments; returns 0 when the invocation is ready, else the
// exit code after the message has been printed.
int parse(const QString& command, QStringList arguments, Invocation& out)
{
    const AppSettings built = AppSettings::compiledIn();
    int timeoutSeconds = 0;
    QString error;
    if (!SquadnetTimeout::take(arguments, timeoutSeconds, error) || !SquadnetTls::take(arguments, out.account.tls, error))
        return fail(command, error, 2);
    QCommandLineParser parser;
    const QCommandLineOption host(QStringLiteral("host"), QString(), QStringLiteral("H"), built.ftpHost);
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("P"),
                                  QString::number(built.ftpPort));
    const QCommandLineOption user(QStringLiteral("user"), QString(), QStringLiteral("U"), built.ftpUser);
    const QCommandLineOption passwordFile(QStringLiteral("password-file"), QString(), QStringLiteral("F"));
    const QCommandLineOption directory(QStringLiteral("directory"), QString(), QStringLiteral("URL"),
                                       built.directoryUrl);
    // The lock's lease: how long a lock may show no sign of life before a
    // waiter takes it for abandoned. Every publisher of one account must
    // use the same lease; the default is the window's.
    const QCommandLineOption lease(QStringLiteral("lease"), QString(), QStringLiteral("SECONDS"),
                                   QString::number(DirectoryLock::Timing().leaseMs / 1000));
    parser.addOptions({host, port, user, passwordFile, directory, lease});
    parser.addPositionalArgument(QStringLiteral("page"), QString());
    if (!parser.parse(QStringList{QStringLiteral("squadnet ") + command} + arguments))
        return fail(command, parser.errorText(), 2);
    if (parser.positionalArguments().size() != 1)
        return fail(command, QStringLiteral("expected one squad page address"), 2);

    bool ok = false;
    const int portNumber = parser.value(port).toInt(&ok);
    if (!ok || portNumber < 1 || portNumber > 65535)
        return fail(command, QStringLiteral("invalid port '%1'").arg(parser.value(port)), 2);
    const int leaseSeconds = parser.value(lease).toInt(&ok);
    if (!ok || leaseSeconds < 1 || leaseSeconds > 3600)
        return fail(command, QStringLiteral("invalid --lease '%1'").arg(parser.value(lease)), 2);
    // The FTP account's root is the folder the directory's address serves.
    const QString fileName = QUrl(parser.value(directory)).fileName();
    if (fileName.isEmpty())
        return fail(command, QStringLiteral("the directory address names no file"), 2);

    out.command = command;
    out.pageUrl = parser.positionalArguments().constFirst();
    out.account.host = parser.value(host);
    out.account.port = portNumber;
    out.account.user = parser.value(user);
    out.account.password = built.ftpPassword;
    if (parser.isSet(passwordFile) && !readPasswordFile(parser.value(passwordFile), out.account.password))
        return fail(command, QStringLiteral("cannot read the password file '%1'").arg(parser.value(passwordFile)));
    out.timeoutMs = timeoutSeconds * 1000;
    out.options.remoteDirectory = QLatin1Char('/') + fileName;
    out.options.replyTimeOut = out.timeoutMs;
    out.options.stallTimeOut = out.timeoutMs;
    out.options.lock.leaseMs = leaseSeconds * 1000;
    out.options.lock.giveUpMs = std::max(DirectoryLock::Timing().giveUpMs, leaseSeconds * 3000);
    return 0;
}

DirectoryChange::Outcome publish(const Invocation& invocation, const DirectoryChange& change)
{
    TFtpClient client;
    DirectoryPublisher publisher(client, invocation.account, invocation.options);
    return publisher.publish(change);
}

int runAdd(const QStringList& arguments)
{
    Invocation invocation;
    if (const int code = parse(QStringLiteral("add"), arguments, invocation))
        return code;
    try {
        // The page check of the Add Squad dialog: the page must load.
        XmlDocument page;
        page.setStallTimeout(invocation.timeoutMs);
        if (page.load(invocation.pageUrl))
            spinUntil([&page] { return page.readyState() == 4; });
        if (page.lastChild().isNull()) {
            const bool gone = page.loadFailure() == XmlDocument::LoadFailure::Permanent;
            return fail(invocation.command,
                        (gone ? QStringLiteral("no squad page at %1: %2")
                              : QStringLiteral("the squad page %1 cannot be read now: %2"))
                            .arg(invocation.pageUrl, page.loadError()));
        }
        const QString nick = DirectoryChange::pageName(page);
        const DirectoryChange::Outcome outcome =
            publish(invocation, DirectoryChange::add(nick, invocation.pageUrl));
        if (outcome == DirectoryChange::Outcome::AlreadyListed)
            std::printf("already listed: %s\n", qPrintable(invocation.pageUrl));
        else
            std::printf("added \"%s\": %s\n", qPrintable(nick), qPrintable(invocation.pageUrl));
    } catch (const std::exception& error) {
        return fail(invocation.command, QString::fromUtf8(error.what()));
    }
    return 0;
}

int runRemove(const QStringList& arguments)
{
    Invocation invocation;
    if (const int code = parse(QStringLiteral("remove"), arguments, invocation))
        return code;
    try {
        const DirectoryChange::Outcome outcome =
            publish(invocation, DirectoryChange::remove(invocation.pageUrl));
        if (outcome == DirectoryChange::Outcome::NotListed)
            std::printf("not listed: %s\n", qPrintable(invocation.pageUrl));
        else
            std::printf("removed: %s\n", qPrintable(invocation.pageUrl));
    } catch (const std::exception& error) {
        return fail(invocation.command, QString::fromUtf8(error.what()));
    }
    return 0;
}

const char* const kOptions = "[--host H] [--port P] [--user U] [--password-file F|-] [--directory URL] "
                             "[--tls off|optional|required] [--timeout SECONDS] [--lease SECONDS] PAGE_URL";

const SquadnetRegistrar addRegistrar("add", {runAdd, std::string("add ") + kOptions});
const SquadnetRegistrar removeRegistrar("remove", {runRemove, std::string("remove ") + kOptions});

} // namespace
