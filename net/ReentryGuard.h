#pragma once

// ReentryGuard: one operation at a time on an object whose operations wait.
//
// A wait runs the event loop, where a handler may start a second operation
// on the same object; the two would share its connection and its state. The
// object keeps a busy flag, refuses an operation while it is set, and marks
// the running one with a guard:
//
//     if (m_busy)
//         throw Exception(...);
//     const ReentryGuard guard(m_busy, m_alive);
//
// The guard clears the flag when the operation ends, also by an exception,
// unless the object was destroyed during one of its waits (alive is set to
// false by the object's destructor; the guard keeps the token alive itself).
// Not for use across threads.

#include <memory>

class ReentryGuard
{
public:
    ReentryGuard(bool& busy, std::shared_ptr<bool> alive) : m_busy(busy), m_alive(std::move(alive))
    {
        m_busy = true;
    }
    ~ReentryGuard()
    {
        if (*m_alive)
            m_busy = false;
    }
    ReentryGuard(const ReentryGuard&) = delete;
    ReentryGuard& operator=(const ReentryGuard&) = delete;

private:
    bool& m_busy;
    std::shared_ptr<bool> m_alive;
};
