#pragma once

// The one application-wide error report. Every event entry point (slot, timer,
// event override, lambda connected to a signal) runs its body through
// guarded(), so that no exception unwinds through Qt's own frames: an error
// that no handler caught ends the handler and is shown in a message box with
// its text, the application title as caption and the error icon.

#include <exception>
#include <utility>

class UiSeams;
class QString;

// Ends a handler that the user cancelled (Cancel during a wait): it unwinds
// like an error but is reported nowhere.
class OperationCancelled : public std::exception {
public:
    const char* what() const noexcept override { return "Cancelled"; }
};

namespace ErrorReport {

// The seams that show the report; the main window installs its own.
void setSeams(UiSeams* seams);
void report(const QString& text);
void reportCurrentException();

template <typename Body>
void guarded(Body&& body) noexcept
{
    try {
        std::forward<Body>(body)();
    } catch (...) {
        reportCurrentException();
    }
}

} // namespace ErrorReport
