#pragma once

#include <QString>

// Where the shared directory lives and how it is published. The program uses
// the compiled-in values; tests build their own.
struct AppSettings {
    QString directoryUrl;
    QString ftpHost;
    int ftpPort = 21;
    QString ftpUser;
    QString ftpPassword;
    QString ftpTls; // "off", "optional" or "required"; anything else: off

    static AppSettings compiledIn();
};
