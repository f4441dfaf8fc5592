#pragma once

#include <csignal>
#include <sys/resource.h>

// A full disk while it lives: no file of this process grows beyond `bytes`,
// and a write beyond fails instead of raising SIGXFSZ.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes) : m_handler(std::signal(SIGXFSZ, SIG_IGN))
    {
        if (getrlimit(RLIMIT_FSIZE, &m_saved) != 0)
            return;
        rlimit small = m_saved;
        small.rlim_cur = bytes;
        m_works = setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeLimit()
    {
        if (m_works)
            setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_handler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool works() const { return m_works; }

private:
    rlimit m_saved{};
    void (*m_handler)(int);
    bool m_works = false;
};
