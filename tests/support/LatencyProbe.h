#pragma once

// LatencyProbe: how long the event loop is held up while it lives. A timer
// asks to run every intervalMs; when it runs later than that, the window
// could not have answered a click for as long. worstMs() is the longest such
// delay seen, the figure the responsiveness tests print and bound.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>

class LatencyProbe : public QObject
{
public:
    explicit LatencyProbe(int intervalMs = 10) : m_interval(intervalMs)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.elapsed();
            m_worst = std::max(m_worst, now - m_last - m_interval);
            m_last = now;
        });
        reset();
        m_timer.start(m_interval);
    }

    // The delay of a tick that is still due counts as well.
    qint64 worstMs() const { return std::max(m_worst, m_clock.elapsed() - m_last - m_interval); }

    void reset()
    {
        m_clock.start();
        m_last = 0;
        m_worst = 0;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    int m_interval;
    qint64 m_last = 0;
    qint64 m_worst = 0;
};
