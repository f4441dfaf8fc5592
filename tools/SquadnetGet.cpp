// squadnet get: one Get with the HTTP client set up as the main window sets
// up its logo client, so a logo download can be tried from a shell.

#include <QFile>
#include <QStringList>

#include <cstdio>
#include <exception>
#include <optional>

#include "HttpClient.h"
#include "SquadnetCommand.h"

namespace {

int usageError(const char* message)
{
    std::fprintf(stderr, "squadnet get: %s\n", message);
    std::fprintf(stderr, "usage: squadnet get URL [--body FILE] [--header FILE] %s\n",
                 SquadnetTimeout::usage);
    return 2;
}

int runGet(QStringList arguments)
{
    int timeoutSeconds = 0;
    QString timeoutError;
    if (!SquadnetTimeout::take(arguments, timeoutSeconds, timeoutError)) {
        std::fprintf(stderr, "squadnet get: %s\n", qPrintable(timeoutError));
        return 2;
    }
    QString url;
    QString bodyFile = QStringLiteral("temp.jpg");
    QString headerFile = QStringLiteral("Head.txt");
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("--body") || argument == QLatin1String("--header")) {
            if (i + 1 >= arguments.size())
                return usageError("option needs a file name");
            (argument == QLatin1String("--body") ? bodyFile : headerFile) = arguments.at(++i);
        } else if (argument.startsWith(QLatin1String("--"))) {
            return usageError("unknown option");
        } else if (url.isNull()) {
            url = argument;
        } else {
            return usageError("more than one URL");
        }
    }
    if (url.isNull())
        return usageError("no URL");

    // The client may throw from its constructor (no socket), so everything
    // that touches it is inside the guard.
    std::optional<SquadnetWatchdog> watchdog;
    try {
        THttpClient client;
        watchdog.emplace(timeoutSeconds, [&client] { client.Abort(); });
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
