#pragma once

// The build settings a window test runs with: its own directory address and
// the account of a loopback FTP server started by the test.

#include <QString>

#include "AppSettings.h"

inline const QString kUser = QStringLiteral("corvanet");
inline const QString kPassword = QStringLiteral("squadup");

inline AppSettings publishSettings(const QString& directoryUrl, quint16 ftpPort = 21)
{
    AppSettings s;
    s.directoryUrl = directoryUrl;
    s.ftpHost = QStringLiteral("127.0.0.1");
    s.ftpPort = ftpPort;
    s.ftpUser = kUser;
    s.ftpPassword = kPassword;
    return s;
}
