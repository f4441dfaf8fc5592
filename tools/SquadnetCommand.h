#pragma once

#include <QStringList>

#include <functional>
#include <map>
#include <string>

// A squadnet subcommand: gets the arguments after its name, returns the exit
// code. Each Squadnet*.cpp registers its command with a static registrar.
using SquadnetCommand = std::function<int(const QStringList& arguments)>;

struct SquadnetCommandInfo {
    SquadnetCommand run;
    std::string usage; // one line, shown by "squadnet --help"
};

std::map<std::string, SquadnetCommandInfo>& squadnetCommands();

struct SquadnetRegistrar {
    SquadnetRegistrar(const std::string& name, SquadnetCommandInfo info)
    {
        squadnetCommands()[name] = std::move(info);
    }
};
