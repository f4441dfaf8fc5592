#pragma once

// The texts of TfrmMain's status line, as the program writes them: the
// status is kept in English and only shown translated (TfrmMain::setStatus),
// so these are the untranslated texts, marked for lupdate in the context
// "TfrmMain" where the catalogues keep them. Decisions compare the status
// with these, never with its translation.

#include <QCoreApplication>
#include <QString>

namespace StatusTexts
{

// Idle: Details, Database and Refresh act only under this status.
inline QString ready()
{
    return QStringLiteral(QT_TRANSLATE_NOOP("TfrmMain", "Ready"));
}

// No load of the directory could start; tmrTestConnection tries again.
inline QString connecting()
{
    return QStringLiteral(QT_TRANSLATE_NOOP("TfrmMain", "Connecting to internet..."));
}

// The network waits; each shows Cancel and its progress while it runs.
inline QString loadingDatabase()
{
    return QStringLiteral(QT_TRANSLATE_NOOP("TfrmMain", "Loading database..."));
}

inline QString loadingDetails()
{
    return QStringLiteral(QT_TRANSLATE_NOOP("TfrmMain", "Loading squad details ..."));
}

inline QString loadingLogo()
{
    return QStringLiteral(QT_TRANSLATE_NOOP("TfrmMain", "Loading squad logo..."));
}

inline QString uploading()
{
    return QStringLiteral(QT_TRANSLATE_NOOP("TfrmMain", "Uploading corvanet changes..."));
}

} // namespace StatusTexts
