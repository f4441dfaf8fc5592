#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <map>
#include <string>

#include "FtpClient.h"
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

// The first line of the file (or of standard input for "-"), without its line
// end, so that a password never shows in a process list. Returns false when
// the file cannot be read.
inline bool readPasswordFile(const QString& fileName, QString& password)
{
    QFile file;
    const bool opened = fileName == QLatin1String("-")
        ? file.open(stdin, QIODevice::ReadOnly)
        : (file.setFileName(fileName), file.open(QIODevice::ReadOnly));
    if (!opened)
        return false;
    QByteArray line = file.readLine();
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    password = QString::fromUtf8(line);
    return true;
}

// "--timeout SECONDS" (also "--timeout=SECONDS"), shared by the subcommands:
// the longest time without a byte moving before the command gives up.
struct SquadnetTimeout {
    static constexpr int defaultSeconds = 30;
    static constexpr const char* usage = "[--timeout SECONDS]";

    // Takes the option out of arguments. False (with error set) when its
    // value is missing or not a whole number of seconds from 1 to 86400.
    static bool take(QStringList& arguments, int& seconds, QString& error)
    {
        seconds = defaultSeconds;
        for (qsizetype i = 0; i < arguments.size(); ++i) {
            QString value;
            if (arguments.at(i) == QLatin1String("--timeout")) {
                if (i + 1 >= arguments.size()) {
                    error = QStringLiteral("--timeout needs a number of seconds");
                    return false;
                }
                value = arguments.at(i + 1);
                arguments.remove(i, 2);
            } else if (arguments.at(i).startsWith(QLatin1String("--timeout="))) {
                value = arguments.at(i).mid(10);
                arguments.remove(i, 1);
            } else {
                continue;
            }
            bool ok = false;
            seconds = value.toInt(&ok);
            if (!ok || seconds < 1 || seconds > 86400) {
                error = QStringLiteral("invalid --timeout '%1'").arg(value);
                return false;
            }
            --i;
        }
        return true;
    }
};

// "--tls off|optional|required" (also "--tls=MODE"), shared by the FTP
// subcommands: explicit FTPS as TFtpClient::TlsMode; the default is the
// program's build setting CORVANET_FTP_TLS.
struct SquadnetTls {
    static constexpr const char* usage = "[--tls off|optional|required]";

    // Takes the option out of arguments. False (with error set) when its
    // value is missing or not one of the three words.
    static bool take(QStringList& arguments, TFtpTls& mode, QString& error)
    {
        TFtpClient::parseTlsMode(QStringLiteral(CORVANET_FTP_TLS), mode);
        for (qsizetype i = 0; i < arguments.size(); ++i) {
            QString value;
            if (arguments.at(i) == QLatin1String("--tls")) {
                if (i + 1 >= arguments.size()) {
                    error = QStringLiteral("--tls needs off, optional or required");
                    return false;
                }
                value = arguments.at(i + 1);
                arguments.remove(i, 2);
            } else if (arguments.at(i).startsWith(QLatin1String("--tls="))) {
                value = arguments.at(i).mid(6);
                arguments.remove(i, 1);
            } else {
                continue;
            }
            if (!TFtpClient::parseTlsMode(value, mode)) {
                error =
                    QStringLiteral("--tls must be off, optional or required, not '%1'").arg(value);
                return false;
            }
            --i;
        }
        return true;
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
