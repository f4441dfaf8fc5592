#pragma once

// The one way this program waits: it turns the Qt event loop until a
// condition holds. The loop blocks in the system until something happens (a
// socket becomes ready, a timer expires, input arrives, an event is posted),
// so a wait costs no processor time while nothing happens.
//
// RE-ENTRANCY: while a wait runs, every timer, slot and event handler of the
// thread may run, including ones that start further waits, change the state
// the condition reads, or destroy objects the waiting code uses. A caller must
// re-check whatever it relies on after a wait returns; objects that can be
// destroyed meanwhile are best checked through a QPointer or a shared "alive"
// flag, and the condition itself must not touch them without that check.
//
// Cancelling and time limits are conditions too: test a flag that a handler or
// a QTimer sets.

#include <functional>

// Turns the event loop, blocking while nothing is pending, until done() returns
// true; done() is checked before the first turn and after every turn. Returns
// true once done() holds; returns false at once when there is no application
// object (no loop could ever make the condition true). Timers and slots may
// re-enter (see above). Never throws by itself; an exception from done()
// propagates.
bool spinUntil(const std::function<bool()>& done);

// Handles the events pending now, without blocking. Timers and slots may
// re-enter, as in spinUntil().
void pumpPending();
