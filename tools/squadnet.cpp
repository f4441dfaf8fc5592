// squadnet: runs one request of the program's own network clients, exactly as
// the main window does, on a QCoreApplication event loop.

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

#include "SquadnetCommand.h"

std::map<std::string, SquadnetCommandInfo>& squadnetCommands()
{
    static std::map<std::string, SquadnetCommandInfo> commands;
    return commands;
}

static int usage(FILE* out)
{
    std::fprintf(out, "usage:\n");
    for (const auto& [name, info] : squadnetCommands())
        std::fprintf(out, "  squadnet %s\n", info.usage.c_str());
    return out == stdout ? 0 : 2;
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    if (arguments.isEmpty())
        return usage(stderr);
    const QString name = arguments.takeFirst();
    if (name == QLatin1String("--help") || name == QLatin1String("-h"))
        return usage(stdout);
    auto it = squadnetCommands().find(name.toStdString());
    if (it == squadnetCommands().end()) {
        std::fprintf(stderr, "squadnet: unknown command '%s'\n", qPrintable(name));
        return usage(stderr);
    }
    return it->second.run(arguments);
}
