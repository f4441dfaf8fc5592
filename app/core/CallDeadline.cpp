#include "CallDeadline.h"

#include <QPointer>

#include "SocketConn.h"

CallDeadline::CallDeadline(TSocketConn& client, int milliseconds)
    : m_watch(milliseconds, {}, [guarded = QPointer<TSocketConn>(&client)] {
          // Ends the call the way the client's own time-out does.
          if (!guarded)
              return;
          guarded->TimedOut = true;
          guarded->WaitDone = true;
          guarded->Abort();
      })
{
}

CallDeadline::~CallDeadline() = default;
