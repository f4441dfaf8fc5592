#pragma once

#include <QStringList>

#include <functional>
#include <map>
#include <string>

#include "ProgressWatch.h"

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

// Ends a command whose connections move no byte for the given time: calls
// stop() from the event loop that the clients' waits keep turning, and again
// every few milliseconds once it has (see ProgressWatch).
class SquadnetWatchdog
{
public:
    SquadnetWatchdog(int seconds, std::function<void()> stop)
        : m_watch(qint64(seconds) * 1000, ProgressWatch::thisThread(), std::move(stop))
    {
    }
    bool fired() const { return m_watch.expired(); }
    QString message() const
    {
        return QStringLiteral("no data for %1 seconds: timed out").arg(m_watch.limitMs() / 1000);
    }

private:
    ProgressWatch m_watch;
};
