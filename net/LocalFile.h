#pragma once

// LocalFile: opening the clients' working files for writing. The header and
// body files have fixed names in the working directory; whoever can put a
// symbolic link there under one of those names could otherwise make the
// program overwrite the file the link points to. A link in the place of the
// file is refused: the open fails, and neither the link nor what it points
// to is touched.

#include <QFile>

namespace LocalFile
{

// Opens `file` (its fileName() already set) write-only and truncated, created
// with mode 0600 when new, never through a symbolic link in its place.
// False when it cannot be opened.
bool openForWriting(QFile& file);

} // namespace LocalFile
