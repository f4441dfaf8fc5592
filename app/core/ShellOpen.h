#pragma once

// The desktop shell's "Open", narrowed to what a squad page may ask for. The
// addresses come from untrusted squad pages, so only mail and web addresses
// get through: "mailto:" without a "?" part, http, https and ftp URLs, and a
// bare host name (opened as a web address, as desktop shells have always
// done). Everything else (file:, other schemes, paths, text beginning with
// "-", control characters) is dropped without a message. Nothing goes through
// a command shell.

#include <QUrl>
#include <optional>

class QString;

// The URL that would be opened for this text, or nothing when it is dropped.
std::optional<QUrl> shellTarget(const QString& text);

// Opens the text's target with QDesktopServices; a dropped text does nothing.
void shellOpen(const QString& text);
