#pragma once

// TThreadTimer: a component timer with the arming rules the connection
// object's time-out relies on.
//
// Setting Enabled or Interval to the value it already has changes nothing, so
// arming an armed timer does not restart its period. Any real change of
// Enabled, Interval or OnTimer stops the timer and starts it again, with the
// full Interval, when Interval is not 0, Enabled is true and OnTimer is
// assigned. It repeats every Interval milliseconds until disabled.
//
// OnTimer runs from the event loop: an exception it throws is caught and
// logged, never passed into Qt.

#include <QObject>
#include <QTimer>

#include <functional>

#include "NotifyEvent.h"

class TThreadTimer : public QObject
{
    Q_OBJECT
public:
    explicit TThreadTimer(QObject* owner = nullptr);

    bool Enabled() const { return m_enabled; }
    quint32 Interval() const { return m_interval; }
    const TNotifyEvent& OnTimer() const { return m_onTimer; }

    // Each of these throws Exception "No Timer" when the timer cannot be
    // started (an Interval beyond what the event loop's timers take).
    void SetEnabled(bool enabled);
    void SetInterval(quint32 interval);
    void SetOnTimer(TNotifyEvent handler);

    // Whether the underlying timer runs now.
    bool isRunning() const { return m_timer.isActive(); }

private:
    void updateTimer();
    void onTimeout();

    QTimer m_timer;
    bool m_enabled = true;
    quint32 m_interval = 1000;
    TNotifyEvent m_onTimer;
};
