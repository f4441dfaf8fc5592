#pragma once

#include <QString>

// The files the window and its dialogs write into the working folder (the
// current directory, private to this run).

// The copy of the directory that a publish uploads, written after the
// server's copy was read under the lock.
inline const QString kTmp = QStringLiteral("a.tmp");
