#pragma once

// CallDeadline: bounds one call of a network client (a Get, a Connect, an
// Upload) as a whole.
//
// A client's TimeOut bounds each socket operation on its own: one line, one
// connect. The file send of an upload has no limit at all. So a server that
// answers every line just in time (a header trickled line by line, endless
// continuation lines, a redirect chain that is slow at every step) or that
// stops reading the upload keeps the call, and the window's busy status with
// it, going for ever. While a CallDeadline lives, the call it guards is
// aborted once its time is up, the way the client's own time-out does it
// (TimedOut, WaitDone, then the client's Abort), and again every few
// milliseconds after that, so that no later wait of the same call can start
// afresh. The call then ends with the cancel error of the wait it was in.
//
// Lives on the stack around the call (a ProgressWatch without a count). A
// client destroyed meanwhile is left alone. Never throws.

#include "ProgressWatch.h"

class TSocketConn;

class CallDeadline
{
public:
    // milliseconds <= 0: no deadline.
    CallDeadline(TSocketConn& client, int milliseconds);
    ~CallDeadline();
    CallDeadline(const CallDeadline&) = delete;
    CallDeadline& operator=(const CallDeadline&) = delete;

private:
    ProgressWatch m_watch;
};
