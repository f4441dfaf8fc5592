#pragma once

// Helpers shared by the fuzz targets.
//
// FUZZ_CHECK reports a fault by printing the broken condition and aborting:
// libFuzzer records a crash with its input, the replay runner fails the
// test. Expected failures of the code under test are no faults; a target
// catches exactly the exception types the code documents, so that anything
// else escapes and is reported too.
//
// FuzzSupport.cpp defines LLVMFuzzerInitialize for every target: it makes
// the one application object that the socket layer needs.

#include <QCoreApplication>
#include <QEvent>

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// Connection objects hand their old socket notifiers to deleteLater(). The
// fuzzer never returns to an event loop, so each iteration deletes them
// itself; otherwise they pile up as apparent leaks.
inline void flushDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
