#pragma once

// What the subcommands that work on the shared directory (add, remove,
// history, restore) share: the FTP account, the directory's name on it, the
// lock's lease and the time-outs, all from the same options, and the way
// they report a failure.

#include <QCommandLineOption>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include "DirectoryPublisher.h"

struct SquadnetInvocation {
    // The options every one of them takes, for its usage line.
    static constexpr const char* accountUsage =
        "[--host H] [--port P] [--user U] [--password-file F|-] [--directory URL] "
        "[--tls off|optional|required] [--timeout SECONDS] [--lease SECONDS]";

    QString command;
    QStringList positional;
    DirectoryPublisher::Account account;
    DirectoryPublisher::Options options;
    int timeoutMs = 30000;
    // The command's own options that were given, by name: their values
    // (empty for a flag).
    QHash<QString, QString> given;

    // Parses the arguments after the command's name with SquadnetOptions:
    // the command's own options besides the shared ones and between minPositional and
    // maxPositional other arguments (positionalError says what is wanted
    // otherwise). Returns 0 when the invocation is ready, else the exit code
    // after the message has been printed.
    int parse(const QString& name, QStringList arguments, const QList<QCommandLineOption>& own,
              int minPositional, int maxPositional, const QString& positionalError);
    // Prints "squadnet COMMAND: TEXT" on standard error; returns code.
    int fail(const QString& text, int code = 1) const;
    // Sets a client up for the account, as the publisher does.
    void setUp(TFtpClient& client) const { account.applyTo(client, timeoutMs, timeoutMs); }
    // The history's notices go to standard error, one line each.
    void reportNotices(DirectoryPublisher& publisher) const;
};
