// squadnet history / squadnet restore: the directory's kept versions
// (DirectoryHistory), read without the lock, and the two ways back to an
// older state, both published as ordinary changes under the lock: one squad
// added again as it was listed before its removal, or a whole version
// published again (itself kept in the history, so that a restore can be
// undone by restoring the version before it).
//
// history prints one line per version, newest first; restore prints one
// line saying what it did. Both exit 0, or print the error and exit 1 (2 for
// a usage error).

#include <cstdio>
#include <exception>

#include "DirectoryHistory.h"
#include "DirectoryPublisher.h"
#include "FtpClient.h"
#include "SquadnetCommand.h"
#include "SquadnetInvocation.h"
#include "XmlDocument.h"

namespace
{

// Logs in for reading; the client logs out when it goes.
void connect(const SquadnetInvocation& invocation, TFtpClient& client)
{
    invocation.setUp(client);
    client.Connect();
    client.SetBinary();
}

void disconnect(TFtpClient& client)
{
    try {
        client.Disconnect();
    } catch (const std::exception&) {
        // Everything was read; a refused QUIT changes nothing.
    }
}

QString timeOf(const DirectoryHistory::Version& version)
{
    if (version.live)
        return QStringLiteral("(live, not kept yet)");
    return version.entry.time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"));
}

int runHistory(const QStringList& arguments)
{
    const QCommandLineOption limit(QStringLiteral("limit"), QString(), QStringLiteral("N"));
    SquadnetInvocation invocation;
    if (const int code =
            invocation.parse(QStringLiteral("history"), arguments, {limit}, 0, 0,
                             QStringLiteral("expected no argument besides the options")))
        return code;
    int count = 0;
    if (invocation.given.contains(QStringLiteral("limit"))) {
        bool ok = false;
        count = invocation.given.value(QStringLiteral("limit")).toInt(&ok);
        if (!ok || count < 1)
            return invocation.fail(QStringLiteral("invalid --limit '%1'")
                                       .arg(invocation.given.value(QStringLiteral("limit"))),
                                   2);
    }
    try {
        TFtpClient client;
        connect(invocation, client);
        DirectoryHistory history(client, invocation.options.remoteDirectory);
        const QList<DirectoryHistory::Step> steps = history.steps(count);
        disconnect(client);
        for (const DirectoryHistory::Step& step : steps)
            std::printf("%-8s %-23s %s\n", qPrintable(step.version.id()),
                        qPrintable(timeOf(step.version)),
                        qPrintable(DirectoryHistory::describe(step)));
    } catch (const std::exception& error) {
        return invocation.fail(QString::fromUtf8(error.what()));
    }
    return 0;
}

DirectoryChange::Outcome publish(const SquadnetInvocation& invocation,
                                 const DirectoryChange& change)
{
    TFtpClient client;
    DirectoryPublisher publisher(client, invocation.account, invocation.options);
    invocation.reportNotices(publisher);
    return publisher.publish(change);
}

int restoreSquad(const SquadnetInvocation& invocation, const QString& url)
{
    std::optional<DirectoryHistory::Removal> removal;
    bool listedNow = false;
    {
        TFtpClient client;
        connect(invocation, client);
        DirectoryHistory history(client, invocation.options.remoteDirectory);
        removal = history.lastRemovalOf(url, listedNow);
        disconnect(client);
    }
    if (listedNow) {
        std::printf("already listed: %s\n", qPrintable(url));
        return 0;
    }
    if (!removal)
        return invocation.fail(QStringLiteral("the kept history has no removal of %1").arg(url));
    // Added as an ordinary change: on the directory as it is when the lock
    // is ours, and not at all when someone listed it meanwhile.
    const QString nick = removal->squad.nick;
    if (publish(invocation, DirectoryChange::add(nick, url)) ==
        DirectoryChange::Outcome::AlreadyListed)
        std::printf("already listed: %s\n", qPrintable(url));
    else
        std::printf("restored \"%s\": %s\n", qPrintable(nick), qPrintable(url));
    return 0;
}

int restoreVersion(const SquadnetInvocation& invocation, const QString& id)
{
    QByteArray content;
    HistoryLayout::Entry entry;
    {
        TFtpClient client;
        connect(invocation, client);
        DirectoryHistory history(client, invocation.options.remoteDirectory);
        const std::optional<HistoryLayout::Entry> found = history.find(id);
        if (!found) {
            disconnect(client);
            return invocation.fail(QStringLiteral("the history has no version %1").arg(id));
        }
        entry = *found;
        content = history.content(entry);
        disconnect(client);
    }
    XmlDocument document;
    if (!document.loadXml(content) || !DirectoryChange::isDirectory(document))
        return invocation.fail(
            QStringLiteral("the version %1 is not a squad directory; nothing was published")
                .arg(id));
    if (publish(invocation, DirectoryChange::replace(content)) ==
        DirectoryChange::Outcome::Unchanged)
        std::printf("unchanged: the directory is version %s already\n", qPrintable(entry.id()));
    else
        std::printf("restored version %s: %d entries\n", qPrintable(entry.id()),
                    int(DirectoryHistory::squadsOf(content).size()));
    return 0;
}

int runRestore(const QStringList& arguments)
{
    const QCommandLineOption version(QStringLiteral("version"), QString(), QStringLiteral("ID"));
    SquadnetInvocation invocation;
    if (const int code =
            invocation.parse(QStringLiteral("restore"), arguments, {version}, 0, 1,
                             QStringLiteral("expected one squad page address or --version ID")))
        return code;
    const bool whole = invocation.given.contains(QStringLiteral("version"));
    if (whole == !invocation.positional.isEmpty())
        return invocation.fail(QStringLiteral("expected one squad page address or --version ID"),
                               2);
    try {
        return whole ? restoreVersion(invocation, invocation.given.value(QStringLiteral("version")))
                     : restoreSquad(invocation, invocation.positional.constFirst());
    } catch (const std::exception& error) {
        return invocation.fail(QString::fromUtf8(error.what()));
    }
}

const SquadnetRegistrar historyRegistrar(
    "history",
    {runHistory, std::string("history ") + SquadnetInvocation::accountUsage + " [--limit N]"});
const SquadnetRegistrar restoreRegistrar("restore",
                                         {runRestore, std::string("restore ") +
                                                          SquadnetInvocation::accountUsage +
                                                          " PAGE_URL|--version ID"});

} // namespace
