// squadnet: runs one request of the program's own network clients, exactly as
// the main window does, on a QCoreApplication event loop.

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

#include "CorvanetSettings.h"
#include "SquadnetCommand.h"
#include "SquadnetOptions.h"

#ifndef CORVANET_VERSION
#error "CORVANET_VERSION: the package's version, set by the top-level CMakeLists.txt"
#endif

std::map<std::string, SquadnetCommandInfo>& squadnetCommands()
{
    static std::map<std::string, SquadnetCommandInfo> commands;
    return commands;
}

static void listCommands(FILE* out)
{
    for (const auto& [name, info] : squadnetCommands())
        std::fprintf(out, "  squadnet %s\n", info.usage.c_str());
}

// A usage error: the commands on stderr, status 2.
static int usage()
{
    std::fprintf(stderr, "usage:\n");
    listCommands(stderr);
    std::fprintf(stderr, "Try 'squadnet --help' for more information.\n");
    return 2;
}

static int help()
{
    std::printf("Usage: squadnet COMMAND [OPTION]... ARGUMENT...\n"
                "Runs one request of Qor Corvanet's own HTTP and FTP clients, set up as the\n"
                "window sets them up.\n\nCommands:\n");
    listCommands(stdout);
    std::printf("\nCommon options:\n"
                "  %-30s end when no byte has moved for that long (default %d)\n"
                "  %-30s explicit FTPS on the FTP account (upload, add, remove,\n"
                "  %-30s history, restore;\n"
                "  %-30s default: %s, the build's setting)\n"
                "  %-30s show this help and exit\n"
                "  %-30s show the version and exit\n"
                "\nExit status: 0 on success, 1 when the request failed, 2 on a usage error.\n"
                "See squadnet(1) for the details of each command.\n",
                "--timeout SECONDS", SquadnetOptions::defaultTimeoutSeconds,
                "--tls off|optional|required", "", "", CorvanetSettings::ftpTls, "-h, --help", "--version");
    return 0;
}

static int version()
{
    std::printf("squadnet %s\n"
                "Copyright (C) 2026 The Corvanet squad team.\n",
                CORVANET_VERSION);
    return 0;
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    if (arguments.isEmpty())
        return usage();
    const QString name = arguments.takeFirst();
    if (name == QLatin1String("--help") || name == QLatin1String("-h"))
        return help();
    if (name == QLatin1String("--version"))
        return version();
    auto it = squadnetCommands().find(name.toStdString());
    if (it == squadnetCommands().end()) {
        std::fprintf(stderr, "squadnet: unknown command '%s'\n", qPrintable(name));
        return usage();
    }
    return it->second.run(arguments);
}
