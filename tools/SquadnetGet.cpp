// squadnet get: one Get with the HTTP client set up as the main window sets
// up its logo client, so a logo download can be tried from a shell.

#include <QFile>

#include <cstdio>
#include <exception>
#include <optional>

#include "HttpClient.h"
#include "SquadnetCommand.h"
#include "SquadnetOptions.h"

namespace
{

int runGet(const QStringList& arguments)
{
    SquadnetOptions parser(QStringLiteral("get"));
    const QCommandLineOption bodyOption(QStringLiteral("body"), QString(), QStringLiteral("FILE"),
                                        QStringLiteral("temp.jpg"));
    const QCommandLineOption headerOption(QStringLiteral("header"), QString(),
                                          QStringLiteral("FILE"), QStringLiteral("Head.txt"));
    parser.addOption(bodyOption);
    parser.addOption(headerOption);
    parser.setPositional(1, 1, QStringLiteral("no URL"), QStringLiteral("more than one URL"));
    parser.usage = QStringLiteral("get URL [--body FILE] [--header FILE] ") +
                   QLatin1String(SquadnetOptions::timeoutUsage);
    // Every option of get takes a file name.
    parser.parseError = [](const QCommandLineParser& failed) {
        return failed.unknownOptionNames().isEmpty() ? QStringLiteral("option needs a file name")
                                                     : QStringLiteral("unknown option");
    };
    if (const int code = parser.parse(arguments))
        return code;
    const QString url = parser.positional().constFirst();
    const QString bodyFile = parser.value(bodyOption);
    const QString headerFile = parser.value(headerOption);

    // The client may throw from its constructor (no socket), so everything
    // that touches it is inside the guard.
    std::optional<SquadnetWatchdog> watchdog;
    try {
        THttpClient client;
        watchdog.emplace(parser.timeoutSeconds(), [&client] { client.Abort(); });
        client.Body = QFile::encodeName(bodyFile);
        client.Header = QFile::encodeName(headerFile);
        client.InputFileMode = true;
        client.OutputFileMode = true;
        client.Port = 0;
        client.Host = url;
        client.Get(url);
    } catch (const std::exception& e) {
        // A watchdog's stop shows as the wait's cancel error; say why.
        if (watchdog && watchdog->fired())
            std::fprintf(stderr, "%s\n", qPrintable(watchdog->message()));
        else
            std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}

const SquadnetRegistrar registrar(
    "get",
    {runGet,
     "get URL [--body FILE] [--header FILE] [--timeout SECONDS]   HTTP GET as the logo download "
     "does"});

} // namespace
