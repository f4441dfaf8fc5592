#include "DirectoryRetry.h"

#include "ErrorReport.h"

#include <algorithm>

DirectoryRetry::DirectoryRetry(Hooks hooks, QObject* parent)
    : QObject(parent), m_hooks(std::move(hooks))
{
    m_next.setSingleShot(true);
    m_poll.setInterval(defaultPollMs);
    // A hook that throws is reported once; the retries end with it rather
    // than reporting the same error at every poll.
    auto guardedStep = [this](void (DirectoryRetry::*step)()) {
        ErrorReport::guarded([this, step] {
            try {
                (this->*step)();
            } catch (...) {
                stop();
                throw;
            }
        });
    };
    connect(&m_next, &QTimer::timeout, this,
            [guardedStep] { guardedStep(&DirectoryRetry::attempt); });
    connect(&m_poll, &QTimer::timeout, this, [guardedStep] { guardedStep(&DirectoryRetry::poll); });
}

DirectoryRetry::~DirectoryRetry()
{
    stop();
}

void DirectoryRetry::setDelays(int firstDelayMs, int maxDelayMs)
{
    m_firstDelay = std::max(1, firstDelayMs);
    m_maxDelay = std::max(m_firstDelay, maxDelayMs);
}

void DirectoryRetry::setPollInterval(int milliseconds)
{
    m_poll.setInterval(std::max(1, milliseconds));
}

void DirectoryRetry::schedule()
{
    if (m_state != State::Idle)
        return;
    m_attempts = 0;
    m_delay = m_firstDelay;
    m_state = State::Waiting;
    m_next.start(m_delay);
}

bool DirectoryRetry::tryNow()
{
    if (m_state == State::Loading || m_state == State::Holding)
        return true;
    if (m_state == State::Idle) {
        m_attempts = 0;
        m_delay = m_firstDelay;
    }
    if (!startLoad())
        return false; // a schedule that ran goes on as it was
    m_next.stop();
    m_state = State::Loading;
    m_poll.start();
    return true;
}

void DirectoryRetry::stop()
{
    m_next.stop();
    m_poll.stop();
    if (m_state == State::Loading)
        m_document.abort();
    // A document the window took is shared with its own; a later load here
    // must not reload that one.
    m_document = XmlDocument();
    m_state = State::Idle;
}

bool DirectoryRetry::startLoad()
{
    ++m_attempts;
    return m_hooks.start(m_document);
}

void DirectoryRetry::attempt()
{
    if (m_state != State::Waiting)
        return;
    if (!startLoad()) {
        failed();
        return;
    }
    m_state = State::Loading;
    m_poll.start();
}

void DirectoryRetry::failed()
{
    m_poll.stop();
    m_delay = std::min(m_delay * 2, m_maxDelay);
    m_state = State::Waiting;
    m_next.start(m_delay);
}

void DirectoryRetry::poll()
{
    if (m_state == State::Loading) {
        if (m_document.readyState() != 4)
            return;
        // A document that loaded always has a root.
        if (m_document.lastChild().isNull()) {
            failed();
            return;
        }
        m_state = State::Holding;
        m_hooks.loaded(m_document);
    }
    // The hooks may have stopped this object (a load of the window's own).
    if (m_state != State::Holding)
        return;
    const XmlDocument document = m_document;
    if (!m_hooks.take(document) || m_state != State::Holding)
        return;
    m_poll.stop();
    m_document = XmlDocument();
    m_state = State::Idle;
}
