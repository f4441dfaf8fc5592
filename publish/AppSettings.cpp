#include "AppSettings.h"

#include "CorvanetSettings.h"

AppSettings AppSettings::compiledIn()
{
    AppSettings settings;
    settings.directoryUrl = QString::fromUtf8(CorvanetSettings::directoryUrl);
    settings.ftpHost = QString::fromUtf8(CorvanetSettings::ftpHost);
    settings.ftpPort = CorvanetSettings::ftpPort;
    settings.ftpUser = QString::fromUtf8(CorvanetSettings::ftpUser);
    settings.ftpTls = QString::fromUtf8(CorvanetSettings::ftpTls);
    for (const char* piece : CorvanetSettings::ftpPasswordPieces)
        settings.ftpPassword += QString::fromUtf8(piece);
    return settings;
}
