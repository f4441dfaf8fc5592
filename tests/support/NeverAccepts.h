#pragma once

#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A listening socket on loopback that never accepts: the kernel completes
// the connection and nobody ever reads it. Its small receive buffer, which
// the connection inherits, keeps the kernel from reading much on our behalf
// either. (A QTcpServer would accept and read everything into memory.)
class NeverAccepts
{
public:
    NeverAccepts() : m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        const int small = 4096;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small) != 0 ||
            ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_fd, 1) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        m_port = ntohs(address.sin_port);
    }
    ~NeverAccepts()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    NeverAccepts(const NeverAccepts&) = delete;
    NeverAccepts& operator=(const NeverAccepts&) = delete;
    quint16 port() const { return m_port; }

private:
    int m_fd;
    quint16 m_port = 0;
};
