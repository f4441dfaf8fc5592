#include "LocalFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace
{

int openNoFollow(const QByteArray& path, int extraFlags)
{
    int fd;
    do {
        fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | extraFlags,
                    0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

bool LocalFile::openForWriting(QFile& file)
{
    const QByteArray path = QFile::encodeName(file.fileName());
    int fd = openNoFollow(path, O_TRUNC);
    if (fd < 0 && errno == ELOOP) {
        // The name is a symbolic link: the link goes, and the file is created
        // anew; O_EXCL fails rather than follow a link put back meanwhile.
        if (::unlink(path.constData()) == 0 || errno == ENOENT)
            fd = openNoFollow(path, O_EXCL);
    }
    if (fd < 0)
        return false;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}
