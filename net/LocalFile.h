#pragma once

// LocalFile: opening the clients' working files for writing. The header and
// body files have fixed names in the working directory; whoever can put a
// symbolic link there under one of those names could otherwise make the
// program overwrite the file the link points to. A link in the place of the
// file is removed and the file created fresh; the file the link pointed to
// is never opened.

#include <QFile>

namespace LocalFile
{

// Opens `file` (its fileName() already set) write-only and truncated, created
// with mode 0600 when new, without following a symbolic link in its place.
// False when it cannot be opened.
bool openForWriting(QFile& file);

} // namespace LocalFile
