#include "LocalFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

bool LocalFile::openForWriting(QFile& file)
{
    const QByteArray path = QFile::encodeName(file.fileName());
    int fd;
    do {
        fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}
