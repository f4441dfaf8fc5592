#include "CallDeadline.h"

#include "SocketConn.h"

namespace
{
// How often an expired call is aborted again, in case it reached a new wait.
constexpr int kReabortMs = 10;
} // namespace

CallDeadline::CallDeadline(TSocketConn& client, int milliseconds) : m_client(&client)
{
    if (milliseconds <= 0)
        return;
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { expire(); });
    m_timer.start(milliseconds);
}

CallDeadline::~CallDeadline()
{
    m_timer.stop();
}

void CallDeadline::expire()
{
    // Runs from the event loop inside the client's wait: nothing may throw.
    try {
        if (!m_expired) {
            m_expired = true;
            m_timer.setInterval(kReabortMs);
        }
        if (!m_client)
            return;
        m_client->TimedOut = true;
        m_client->WaitDone = true;
        m_client->Abort();
    } catch (...) {
    }
}
