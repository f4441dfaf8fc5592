// squadnet add / squadnet remove: change the shared directory the way the
// window does, through the same publisher (lock, read the server's copy,
// apply, upload, rename). add checks the squad page first, as the Add Squad
// dialog does: it must load, and the entry's nick is the page's "name".
//
// Each prints one line saying what it did and exits 0, or prints the error
// and exits 1 (2 for a usage error).

#include <cstdio>
#include <exception>

#include "DirectoryPublisher.h"
#include "EventWait.h"
#include "FtpClient.h"
#include "SquadnetCommand.h"
#include "SquadnetInvocation.h"
#include "XmlDocument.h"

namespace {

int parse(const QString& command, const QStringList& arguments, SquadnetInvocation& out)
{
    return out.parse(command, arguments, {}, 1, 1, QStringLiteral("expected one squad page address"));
}

DirectoryChange::Outcome publish(const SquadnetInvocation& invocation, const DirectoryChange& change)
{
    TFtpClient client;
    DirectoryPublisher publisher(client, invocation.account, invocation.options);
    invocation.reportNotices(publisher);
    return publisher.publish(change);
}

int runAdd(const QStringList& arguments)
{
    SquadnetInvocation invocation;
    if (const int code = parse(QStringLiteral("add"), arguments, invocation))
        return code;
    const QString pageUrl = invocation.positional.constFirst();
    try {
        // The page check of the Add Squad dialog: the page must load.
        XmlDocument page;
        page.setStallTimeout(invocation.timeoutMs);
        if (page.load(pageUrl))
            spinUntil([&page] { return page.readyState() == 4; });
        if (page.lastChild().isNull()) {
            const bool gone = page.loadFailure() == XmlDocument::LoadFailure::Permanent;
            return invocation.fail(
                        (gone ? QStringLiteral("no squad page at %1: %2")
                              : QStringLiteral("the squad page %1 cannot be read now: %2"))
                            .arg(pageUrl, page.loadError()));
        }
        const QString nick = DirectoryChange::pageName(page);
        const DirectoryChange::Outcome outcome =
            publish(invocation, DirectoryChange::add(nick, pageUrl));
        if (outcome == DirectoryChange::Outcome::AlreadyListed)
            std::printf("already listed: %s\n", qPrintable(pageUrl));
        else
            std::printf("added \"%s\": %s\n", qPrintable(nick), qPrintable(pageUrl));
    } catch (const std::exception& error) {
        return invocation.fail(QString::fromUtf8(error.what()));
    }
    return 0;
}

int runRemove(const QStringList& arguments)
{
    SquadnetInvocation invocation;
    if (const int code = parse(QStringLiteral("remove"), arguments, invocation))
        return code;
    const QString pageUrl = invocation.positional.constFirst();
    try {
        const DirectoryChange::Outcome outcome =
            publish(invocation, DirectoryChange::remove(pageUrl));
        if (outcome == DirectoryChange::Outcome::NotListed)
            std::printf("not listed: %s\n", qPrintable(pageUrl));
        else
            std::printf("removed: %s\n", qPrintable(pageUrl));
    } catch (const std::exception& error) {
        return invocation.fail(QString::fromUtf8(error.what()));
    }
    return 0;
}

const std::string kOptions = std::string(SquadnetInvocation::accountUsage) + " PAGE_URL";

const SquadnetRegistrar addRegistrar("add", {runAdd, "add " + kOptions});
const SquadnetRegistrar removeRegistrar("remove", {runRemove, "remove " + kOptions});

} // namespace
