#include "ReplyFeed.h"

#include "FuzzSupport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

ReplyFeed::ReplyFeed(QByteArrayView input)
{
    if (input.size() > maxInput)
        return;
    int ends[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) == 0);
    m_near = ends[0];
    m_far = ends[1];
    const int room = int(2 * maxInput);
    ::setsockopt(m_far, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    qsizetype written = 0;
    while (written < input.size()) {
        const ssize_t n = ::send(m_far, input.data() + written, size_t(input.size() - written),
                                 MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        // The buffer is sized for maxInput; a system that still refuses part
        // of it would change the stream, so the input is dropped instead.
        if (n <= 0) {
            ::close(std::exchange(m_near, -1));
            ::close(std::exchange(m_far, -1));
            return;
        }
        written += n;
    }
    ::shutdown(m_far, SHUT_WR);
}

ReplyFeed::~ReplyFeed()
{
    if (m_near >= 0)
        ::close(m_near);
    if (m_far >= 0)
        ::close(m_far);
}

int ReplyFeed::takeNearEnd()
{
    return std::exchange(m_near, -1);
}
