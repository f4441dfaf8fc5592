#pragma once

// DirectoryRetry: loads the squad directory again, quietly, until one load
// succeeds and the window takes it.
//
// While the window shows the directory's offline copy (or nothing, after a
// load that failed) it keeps working under "Ready", and these loads must
// never stand in its way: each runs on a document of its own, so the list,
// the busy status and DatabaseDoc stay as they are, and no failure is ever
// reported. Attempts follow each other after a delay that doubles from
// firstDelayMs up to maxDelayMs; an attempt that cannot even start counts as
// a failed one.
//
// A document that loaded is handed over in two steps: loaded() once, at
// once (the window records the copy that the load wrote, so that the cache
// never holds a body without its record), then take() at every poll until
// it returns true: the window takes the list only while it is idle, never
// in the middle of a user's action. stop() abandons everything, an attempt
// in flight included; the window calls it before a load of its own, which
// writes the same copy. The hooks run from this object's timers, through
// ErrorReport::guarded().

#include <QObject>
#include <QTimer>

#include <functional>

#include "XmlDocument.h"

class DirectoryRetry : public QObject
{
    Q_OBJECT
public:
    struct Hooks {
        // Starts a load of the directory into the document; false when it
        // cannot start.
        std::function<bool(XmlDocument&)> start;
        // A load has succeeded (the document has a root).
        std::function<void(const XmlDocument&)> loaded;
        // Whether the window takes the loaded document now.
        std::function<bool(const XmlDocument&)> take;
    };

    static constexpr int defaultFirstDelayMs = 3000;
    static constexpr int defaultMaxDelayMs = 60000;
    static constexpr int defaultPollMs = 100;

    explicit DirectoryRetry(Hooks hooks, QObject* parent = nullptr);
    ~DirectoryRetry() override;

    // The schedule; tests shorten it. Applies from the next schedule() on.
    void setDelays(int firstDelayMs, int maxDelayMs);
    // How often a running load is looked at, and a loaded document offered.
    void setPollInterval(int milliseconds);

    // Starts the schedule: the first attempt after the first delay. Does
    // nothing while the schedule runs already.
    void schedule();
    // Starts an attempt now; false, and nothing scheduled, when it cannot
    // start (the caller keeps its own polling).
    bool tryNow();
    // Abandons the running attempt, a document not yet taken and the
    // schedule; the next schedule() starts again at the first delay.
    void stop();

    // Scheduled, loading, or holding a document the window has not taken.
    bool isActive() const { return m_state != State::Idle; }
    bool isLoading() const { return m_state == State::Loading; }
    // Attempts since the last schedule() or tryNow() that started afresh.
    int attempts() const { return m_attempts; }
    // The wait before the next attempt, or the one running was started after.
    int currentDelay() const { return m_delay; }

private:
    enum class State { Idle, Waiting, Loading, Holding };

    void attempt();
    void poll();
    void failed();
    bool startLoad();

    Hooks m_hooks;
    XmlDocument m_document;
    QTimer m_next; // single shot: the next attempt
    QTimer m_poll;
    State m_state = State::Idle;
    int m_firstDelay = defaultFirstDelayMs;
    int m_maxDelay = defaultMaxDelayMs;
    int m_delay = 0;
    int m_attempts = 0;
};
