#include "ProgressWatch.h"

#include <algorithm>
#include <climits>

#include "SocketConn.h"

namespace
{
// How often an expired watch runs its action again, in case the work
// reached a new wait.
constexpr int kRepeatMs = 10;
} // namespace

ProgressWatch::ProgressWatch(qint64 limitMs, Count count, std::function<void()> action)
    : m_limitMs(limitMs), m_count(std::move(count)), m_action(std::move(action))
{
    if (m_limitMs <= 0)
        return;
    if (m_count)
        m_seen = m_count();
    m_still.start();
    // Never early: a deadline looked at too soon would wait a second limit.
    m_timer.setTimerType(Qt::PreciseTimer);
    // A stall is looked for a few times within its limit; a deadline's
    // first look is at its end.
    m_timer.setInterval(m_count ? int(std::clamp<qint64>(m_limitMs / 8, kRepeatMs, 1000))
                                : int(std::min<qint64>(m_limitMs, INT_MAX)));
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { check(); });
    m_timer.start();
}

ProgressWatch::~ProgressWatch()
{
    m_timer.stop();
}

void ProgressWatch::check()
{
    try {
        if (!m_expired) {
            if (m_count) {
                const quint64 seen = m_count();
                if (seen != m_seen) {
                    m_seen = seen;
                    m_still.restart();
                    return;
                }
            }
            if (!m_still.hasExpired(m_limitMs))
                return;
            m_expired = true;
            m_timer.setInterval(kRepeatMs);
        }
        m_action();
    } catch (...) {
    }
}

ProgressWatch::Count ProgressWatch::thisThread()
{
    return [] { return TSocketConn::bytesMovedInThread(); };
}
