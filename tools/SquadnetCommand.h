#pragma once

#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <map>
#include <string>

#include "SocketConn.h"

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
// stop() from the event loop that the clients' waits keep turning.
// Every connection of the thread counts, so an FTP upload's data connection
// keeps its control connection's command alive.
class SquadnetWatchdog
{
public:
    SquadnetWatchdog(int seconds, std::function<void()> stop)
        : m_limitMs(qint64(seconds) * 1000), m_stop(std::move(stop))
    {
        m_idle.start();
        m_timer.setInterval(int(std::clamp<qint64>(m_limitMs / 8, 10, 1000)));
        QObject::connect(&m_timer, &QTimer::timeout, [this] { check(); });
        m_timer.start();
    }
    bool fired() const { return m_fired; }
    QString message() const
    {
        return QStringLiteral("no data for %1 seconds: timed out").arg(m_limitMs / 1000);
    }

private:
    void check()
    {
        // Once fired, it stops again at every tick whatever moves: the
        // command's clean-up (a QUIT, a lock's removal) must not win a new
        // time-out of its own from a few bytes it sends.
        if (m_fired) {
            m_stop();
            return;
        }
        const quint64 moved = TSocketConn::bytesMovedInThread();
        if (moved != m_moved) {
            m_moved = moved;
            m_idle.restart();
        } else if (m_idle.hasExpired(m_limitMs)) {
            m_fired = true;
            // The clean-up's waits end within a few milliseconds, not a tick.
            m_timer.setInterval(10);
            m_stop();
        }
    }

    qint64 m_limitMs;
    std::function<void()> m_stop;
    QElapsedTimer m_idle;
    QTimer m_timer;
    quint64 m_moved = TSocketConn::bytesMovedInThread();
    bool m_fired = false;
};
