// squadnet upload: stores one file on an FTP account the way the program
// publishes its directory: passive unless --active, Connect, Upload only when
// the login left the client connected, then Disconnect. The password is read
// from a file (or standard input with "-") so that it never shows in a
// process list.

#include <cstdio>
#include <exception>
#include <optional>

#include "FtpClient.h"
#include "SquadnetCommand.h"
#include "SquadnetOptions.h"

namespace
{

int runUpload(const QStringList& arguments)
{
    SquadnetOptions parser(QStringLiteral("upload"));
    parser.addAccount({QString(), 21, QString(), QString(), true});
    const QCommandLineOption activeOption(QStringLiteral("active"));
    parser.addOption(activeOption);
    parser.setPositional(2, 2, QStringLiteral("expected LOCAL and REMOTE"));
    if (const int code = parser.parse(arguments))
        return code;
    const QStringList& files = parser.positional();

    std::optional<SquadnetWatchdog> watchdog;
    try {
        TFtpClient client;
        // Abort ends a data transfer; Cancel ends a wait for a reply.
        watchdog.emplace(parser.timeoutSeconds(), [&client] {
            client.Abort();
            client.Cancel();
        });
        client.Host = parser.host();
        client.Port = parser.port();
        client.UserID = parser.user();
        client.Password = parser.password();
        client.Passive = !parser.isSet(activeOption);
        client.TlsMode = parser.tls();
        client.Connect();
        const bool connected = client.Connected;
        if (connected)
            client.Upload(files.at(0), files.at(1));
        client.Disconnect();
        if (!connected)
            return parser.fail(QStringLiteral("not connected after login"));
    } catch (const std::exception& error) {
        if (watchdog && watchdog->fired())
            return parser.fail(watchdog->message());
        return parser.fail(QString::fromStdString(error.what()));
    }
    return 0;
}

const SquadnetRegistrar
    registrar("upload",
              {runUpload, "upload --host H [--port P] --user U --password-file F|- [--active] "
                          "[--tls off|optional|required] [--timeout SECONDS] LOCAL REMOTE"});

} // namespace
