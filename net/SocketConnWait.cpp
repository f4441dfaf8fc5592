// TSocketConn in the event loop: the socket notifiers, the waits of the
// operations and the time-out timer.

#include "SocketConn.h"

#include "EventWait.h"
#include "SocketConnPrivate.h"
#include "ThreadTimer.h"

// ---------------------------------------------------------------------------
// Notifiers

void TSocketConn::Private::makeNotifiers()
{
    readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, q);
    readNotifier->setEnabled(false);
    writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, q);
    writeNotifier->setEnabled(false);
    // Nothing may unwind into Qt: every exception of a notification is
    // dropped here, as the classic socket message handler drops them.
    QObject::connect(readNotifier, &QSocketNotifier::activated, q, [this] {
        try {
            onReadable();
        } catch (...) {
        }
    });
    QObject::connect(writeNotifier, &QSocketNotifier::activated, q, [this] {
        try {
            onWritable();
        } catch (...) {
        }
    });
}

void TSocketConn::Private::releaseNotifiers()
{
    for (QSocketNotifier* n : {readNotifier, writeNotifier}) {
        if (!n)
            continue;
        n->setEnabled(false);
        n->disconnect();
        n->setParent(nullptr);
        n->deleteLater();
    }
    readNotifier = nullptr;
    writeNotifier = nullptr;
}

void TSocketConn::Private::armIdle()
{
    if (busy == 0 && readNotifier && (q->Connected || listening))
        readNotifier->setEnabled(true);
}

void TSocketConn::Private::disarm()
{
    if (readNotifier)
        readNotifier->setEnabled(false);
    if (writeNotifier)
        writeNotifier->setEnabled(false);
}

void TSocketConn::Private::onReadable()
{
    if (!readNotifier)
        return;
    readNotifier->setEnabled(false);
    ++serial;
    if (handshaking)
        return;
    if (listening) {
        // A connection offered. A deferred listen reports it as the
        // completion message, which ends the accept wait.
        q->LastEventOk = true;
        q->Connected = true;
        if (deferredListen)
            q->WaitDone = true;
        else if (q->OnAcceptReady)
            q->OnAcceptReady(q);
        return;
    }
    char byte;
    const SocketSys::Result r = peekBytes(&byte, 1);
    if (r.ok() && r.value > 0) {
        q->LastEventOk = true;
        eventError = 0;
        if (q->OnReadReady)
            q->OnReadReady(q);
        return;
    }
    if (!r.ok() && r.error == SocketSys::kWouldBlock) {
        readNotifier->setEnabled(true);
        return;
    }
    // End of stream or a failed connection: the close notification. With
    // data still waiting nothing happens; the reads drain it first.
    q->LastEventOk = r.ok();
    eventError = r.error;
    if (!q->DataAvailable())
        q->RequestCloseSocket();
}

void TSocketConn::Private::onWritable()
{
    if (!writeNotifier)
        return;
    writeNotifier->setEnabled(false);
    ++serial;
    if (connecting) {
        connecting = false;
        connectCompleted(SocketSys::pendingError(fd));
    }
}

// ---------------------------------------------------------------------------
// Waits

bool TSocketConn::Private::waitForEvent(bool readable, bool writable)
{
    const std::shared_ptr<bool> token = alive;
    if (readable && readNotifier && (q->Connected || listening))
        readNotifier->setEnabled(true);
    if (writable && writeNotifier)
        writeNotifier->setEnabled(true);
    Private* const self = this;
    const quint64 start = serial;
    const bool outerReadWait = readWait;
    readWait = readable;
    const bool looped = spinUntil([&] {
        if (!*token)
            return true;
        return self->serial != start || self->q->Canceled;
    });
    if (!*token)
        return false;
    readWait = outerReadWait;
    disarm();
    // Without an application object no notification can ever arrive;
    // the operation ends as if cancelled rather than hanging.
    if (!looped)
        q->Canceled = true;
    return true;
}

bool TSocketConn::Private::pump()
{
    const std::shared_ptr<bool> token = alive;
    pumpPending();
    return *token;
}

// ---------------------------------------------------------------------------
// Time-out

void TSocketConn::TimerOn()
{
    ReportStatus(8, QStringLiteral("Timer On"));
    TimedOut = false;
    d->timer->SetInterval(quint32(TimeOut));
    d->timer->SetEnabled(true);
}

void TSocketConn::TimerOff()
{
    ReportStatus(8, QStringLiteral("Timer Off"));
    if (d->timer)
        d->timer->SetEnabled(false);
}
