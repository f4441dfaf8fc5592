#pragma once

// Helpers shared by the fuzz targets.
//
// A fuzz target reports a fault by ending the process: FUZZ_CHECK prints the
// broken condition and aborts, which libFuzzer records as a crash (with the
// input that caused it) and the replay runner as a failed test. Expected
// failures of the code under test (its exceptions) are never faults; a
// target catches exactly the exception types the code documents, so that
// anything else escapes and is reported too.

#include <QCoreApplication>
#include <QEvent>

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzzFailure(const char* condition, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fuzzFailure(#condition, __FILE__, __LINE__);                                           \
    } while (0)

// The socket layer pumps the event loop between reads; without an
// application object its waits end as if cancelled. One application object
// serves every iteration.
inline void ensureApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "corvanet-fuzz";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv); // lives until the process ends
}

// Connection objects hand their old socket notifiers to deleteLater(). The
// fuzzer never returns to an event loop that would delete them, so each
// iteration deletes them itself; otherwise they pile up as apparent leaks.
inline void flushDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
