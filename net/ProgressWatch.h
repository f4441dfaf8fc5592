#pragma once

// ProgressWatch: bounds work that waits in the event loop. It runs an action
// once a count of moved bytes has stood still for a limit (a stall), or,
// without a count, once the limit has passed (a deadline); and from then on
// again every few milliseconds, so that no later wait of the same work
// starts afresh: the work's own clean-up then ends as quickly.
//
// Lives on the stack around the work, on the thread that runs it; its timer
// stops with it. The action runs from the event loop inside the work's
// waits: what it throws is dropped there.

#include <QElapsedTimer>
#include <QTimer>

#include <functional>

class ProgressWatch
{
public:
    using Count = std::function<quint64()>;

    // limitMs <= 0: the watch never runs the action.
    ProgressWatch(qint64 limitMs, Count count, std::function<void()> action);
    ~ProgressWatch();
    ProgressWatch(const ProgressWatch&) = delete;
    ProgressWatch& operator=(const ProgressWatch&) = delete;

    // Whether the limit was reached (the action ran at least once).
    bool expired() const { return m_expired; }
    qint64 limitMs() const { return m_limitMs; }

    // The count most watches need: the bytes all connections of this
    // thread moved (an FTP upload's data connection keeps its control
    // connection's command alive).
    static Count thisThread();

private:
    void check();

    qint64 m_limitMs;
    Count m_count;
    std::function<void()> m_action;
    QElapsedTimer m_still;
    QTimer m_timer;
    quint64 m_seen = 0;
    bool m_expired = false;
};
