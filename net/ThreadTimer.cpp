#include "ThreadTimer.h"

#include "SockErrors.h"

#include <QDebug>

#include <limits>

TThreadTimer::TThreadTimer(QObject* owner) : QObject(owner)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &TThreadTimer::onTimeout);
}

void TThreadTimer::SetEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    updateTimer();
}

void TThreadTimer::SetInterval(quint32 interval)
{
    if (interval == m_interval)
        return;
    m_interval = interval;
    updateTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent handler)
{
    m_onTimer = std::move(handler);
    updateTimer();
}

void TThreadTimer::updateTimer()
{
    m_timer.stop();
    if (m_interval == 0 || !m_enabled || !m_onTimer)
        return;
    if (m_interval > quint32(std::numeric_limits<int>::max()))
        throw Exception(QStringLiteral("No Timer"));
    m_timer.start(int(m_interval));
}

void TThreadTimer::onTimeout()
{
    // Called by Qt: nothing may unwind into it. The handler may destroy this
    // timer (through its owner); the copy keeps the callable alive meanwhile.
    const TNotifyEvent handler = m_onTimer;
    if (!handler)
        return;
    try {
        handler(this);
    } catch (const std::exception& e) {
        qWarning("Timer handler failed: %s", e.what());
    } catch (...) {
        qWarning("Timer handler failed");
    }
}
