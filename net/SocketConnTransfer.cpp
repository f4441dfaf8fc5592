// TSocketConn: sending and receiving, through the TLS session when one is
// active.

#include "SocketConn.h"

#include "LocalFile.h"
#include "SocketConnPrivate.h"

#include <QFile>

#include <cstring>

namespace
{

// The longest line ReadLn accepts, terminator included: one full buffer.
constexpr qsizetype kMaxLine = 65536;
// Write's length is 16-bit.
constexpr qsizetype kMaxWrite = 65535;

// Bytes moved through the connections of this thread, for watchdogs that look
// for a stalled transfer. Per thread, so that a helper connection on another
// thread (a publisher's heartbeat) never makes a stalled transfer look alive.
thread_local quint64 s_bytesMoved = 0;

// Counters of the classic layout are 32-bit and wrap; the arithmetic is done
// unsigned so that a transfer beyond 2 GiB wraps instead of overflowing.
qint32 addWrapping(qint32 counter, qint64 amount)
{
    return qint32(quint32(counter) + quint32(quint64(amount)));
}

} // namespace

SocketSys::Result TSocketConn::Private::sendBytes(const char* data, qint64 length)
{
    const SocketSys::Result r = tls ? tls->send(data, length) : SocketSys::send(fd, data, length);
    if (r.ok() && r.value > 0)
        s_bytesMoved += quint64(r.value);
    return r;
}

SocketSys::Result TSocketConn::Private::receiveBytes(char* data, qint64 length)
{
    const SocketSys::Result r =
        tls ? tls->receive(data, length) : SocketSys::receive(fd, data, length);
    if (r.ok() && r.value > 0)
        s_bytesMoved += quint64(r.value);
    return r;
}

SocketSys::Result TSocketConn::Private::peekBytes(char* data, qint64 length)
{
    return tls ? tls->peek(data, length) : SocketSys::peek(fd, data, length);
}

qint64 TSocketConn::Private::receiveWaiting(char* into, qint64 count)
{
    qint64 got = 0;
    while (got < count) {
        const SocketSys::Result r = receiveBytes(into + got, count - got);
        if (!r.ok() || r.value == 0)
            break;
        got += r.value;
    }
    return got;
}

quint64 TSocketConn::bytesMovedInThread()
{
    return s_bytesMoved;
}

bool TSocketConn::DataAvailable()
{
    ReportStatus(8, QStringLiteral("Data Available"));
    if (d->fd == SocketSys::kNoSocket)
        return false;
    char byte;
    const SocketSys::Result r = d->peekBytes(&byte, 1);
    return r.ok() && r.value >= 1;
}

// ---------------------------------------------------------------------------
// Sending

bool TSocketConn::Private::sendAll(const char* data, qint64 length, bool countAndNotify)
{
    const std::shared_ptr<bool> token = alive;
    qint64 remaining = length;
    while (remaining > 0 && !q->Canceled) {
        const SocketSys::Result r = sendBytes(data + (length - remaining), remaining);
        if (r.ok() && r.value == 0)
            break;
        if (!r.ok()) {
            q->CheckSocketError(r.error);
            // Would-block: wait for room instead of retrying at once.
            if (!waitForEvent(false, true))
                return false;
            continue;
        }
        remaining -= r.value;
        if (countAndNotify) {
            q->SentCount = addWrapping(q->SentCount, r.value);
            if (q->OnPacketSent) {
                q->OnPacketSent(q);
                if (!*token)
                    return false;
            }
            if (!pump())
                return false;
        }
    }
    return true;
}

void TSocketConn::SendBuffer(const char* buffer, qsizetype length)
{
    ReportStatus(4, QStringLiteral("Sending Buffer"));
    Private::Operation operation(d.get());
    TimerOn();
    Private::TimerScope timerScope(d.get());
    if (!Canceled) {
        if (length == 0)
            length = qsizetype(std::strlen(buffer));
        if (!d->sendAll(buffer, length, false))
            throw EAbortError(QStringLiteral("Socket send aborted"));
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
}

void TSocketConn::Write(const QByteArray& text)
{
    ReportStatus(8, QStringLiteral("Write"));
    if (text.size() > kMaxWrite)
        throw ERangeError(QStringLiteral("Range check error"));
    // Sent as a zero-terminated text: up to its first NUL. The copy keeps
    // the bytes stable while the send waits and handlers run.
    const qsizetype nul = text.indexOf('\0');
    const QByteArray sent = nul < 0 ? text : text.left(nul);
    if (sent.isEmpty()) {
        SendBuffer("", 0);
        return;
    }
    SendBuffer(sent.constData(), sent.size());
}

void TSocketConn::Writeln(const QByteArray& text)
{
    ReportStatus(8, QStringLiteral("Writeln"));
    Write(text + "\r\n");
}

void TSocketConn::SendFile(const QString& fileName)
{
    ReportStatus(8, QStringLiteral("SendFile"));
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EFileError(QStringLiteral("Cannot open file %1").arg(fileName));
    Private::Operation operation(d.get());
    char* const buffer = d->io.get();
    while (!Canceled && !file.atEnd()) {
        const qint64 chunk = file.read(buffer, kChunk);
        if (chunk < 0)
            throw EFileError(QStringLiteral("Cannot read file %1").arg(fileName));
        if (chunk == 0)
            break;
        if (!d->sendAll(buffer, chunk, true))
            throw EAbortError(QStringLiteral("Socket send aborted"));
    }
    file.close();
    if (Canceled) {
        Canceled = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
}

// ---------------------------------------------------------------------------
// Receiving

void TSocketConn::Private::capture(const std::function<void(const char*, qint64)>& sink,
                                   const std::function<bool()>& full, const char* cancelText)
{
    const std::shared_ptr<bool> token = alive;
    char* const buffer = io.get();
    while (!q->Canceled && !full()) {
        const SocketSys::Result r = receiveBytes(buffer, kChunk);
        if (r.ok() && r.value > 0) {
            sink(buffer, r.value);
            q->ReceivedCount = addWrapping(q->ReceivedCount, r.value);
            if (q->OnPacketRecvd) {
                q->OnPacketRecvd(q);
                if (!*token)
                    throw EAbortError(QString::fromLatin1(cancelText));
            }
            q->TimerOn();
            if (!pump())
                throw EAbortError(QString::fromLatin1(cancelText));
            continue;
        }
        if (r.ok())
            break; // the peer closed
        q->LastErrorCode = r.error;
        if (r.error == SocketSys::kNotConnected)
            break; // the close notification already replaced the socket
        q->CheckSocketError(r.error);
        if (!waitForEvent(true, false))
            throw EAbortError(QString::fromLatin1(cancelText));
    }
}

QByteArray TSocketConn::Read(quint16 count)
{
    ReportStatus(8, QStringLiteral("Read( %1 )").arg(count));
    Private::Operation operation(d.get());
    const std::shared_ptr<bool> alive = d->alive;
    char* const buffer = d->io.get();
    qint64 take = count;
    if (count > 0) {
        // While fewer than count bytes wait, read readiness is asked for at
        // count bytes (SO_RCVLOWAT); otherwise the waiting bytes would wake
        // the loop again and again.
        bool lowWaterSet = false;
        auto resetLowWater = [&] {
            if (lowWaterSet && *alive && d->fd != SocketSys::kNoSocket && !d->tls)
                SocketSys::setReceiveLowWater(d->fd, 1);
            lowWaterSet = false;
        };
        try {
            while (!Canceled) {
                const SocketSys::Result r = d->peekBytes(buffer, kChunk);
                if (r.ok()) {
                    if (r.value >= count)
                        break;
                    if (r.value == 0) {
                        resetLowWater();
                        return QByteArray(); // the peer closed
                    }
                    if (SocketSys::peerHasClosed(d->fd) || (d->tls && d->tls->peerClosed())) {
                        // No more will come: hand over what is there rather
                        // than wait for ever.
                        take = r.value;
                        break;
                    }
                    // The low-water mark counts the socket's bytes, which
                    // under TLS are not the bytes asked for.
                    if (!lowWaterSet && !d->tls) {
                        SocketSys::setReceiveLowWater(d->fd, count);
                        lowWaterSet = true;
                    }
                } else {
                    CheckSocketError(r.error);
                }
                if (!d->waitForEvent(true, false))
                    throw EAbortError(QStringLiteral("Socket send aborted"));
            }
        } catch (...) {
            resetLowWater();
            throw;
        }
        resetLowWater();
    } else {
        const SocketSys::Result r = d->peekBytes(buffer, kChunk);
        if (!r.ok()) {
            CheckSocketError(r.error);
            return QByteArray();
        }
        take = r.value;
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
    const qint64 got = d->receiveWaiting(buffer, take);
    return QByteArray(buffer, got);
}

QByteArray TSocketConn::ReadLn()
{
    ReportStatus(8, QStringLiteral("ReadLn"));
    Private::Operation operation(d.get());
    TimerOn();
    Private::TimerScope timerScope(d.get());
    const QString cancelText = QStringLiteral("Socket readln aborted");
    char* const buffer = d->io.get();
    QByteArray line;
    for (;;) {
        if (Canceled) {
            Canceled = false;
            throw EAbortError(cancelText);
        }
        // The line never grows beyond one I/O buffer: peek only what fits.
        const qint64 room = kMaxLine - line.size();
        if (room == 0)
            throw ESockError(QStringLiteral("Socket readln line too long"));
        const SocketSys::Result r = d->peekBytes(buffer, room);
        if (r.ok() && r.value == 0)
            return QByteArray(); // the peer closed
        if (!r.ok()) {
            LastErrorCode = r.error;
            if (r.error == SocketSys::kNotConnected)
                return QByteArray(); // the close notification replaced the socket
            CheckSocketError(r.error);
            if (!d->waitForEvent(true, false))
                throw EAbortError(cancelText);
            continue;
        }
        // Earlier bytes of the line held no LF; search the new ones only.
        const char* lf = static_cast<const char*>(std::memchr(buffer, '\n', size_t(r.value)));
        const qint64 take = lf ? (lf - buffer) + 1 : r.value;
        const qint64 got = d->receiveWaiting(buffer, take);
        line.append(buffer, got);
        if (lf && got == take)
            return line;
        if (!d->pump())
            throw EAbortError(cancelText);
    }
}

QByteArray TSocketConn::Transaction(const QByteArray& command)
{
    ReportStatus(8, QStringLiteral("Transaction"));
    ReplyCode = 0;
    Writeln(command);
    LastReply = ReadLn();
    if (!LastReply.isEmpty()) {
        ReportStatus(1, QString::fromLatin1(LastReply));
        qint64 code = 0;
        int digits = 0;
        while (digits < 10 && digits < LastReply.size() && LastReply[digits] >= '0' &&
               LastReply[digits] <= '9') {
            code = code * 10 + (LastReply[digits] - '0');
            ++digits;
        }
        if (digits > 0) {
            if (code > 32767)
                throw ERangeError(QStringLiteral("Range check error"));
            ReplyCode = qint16(code);
        }
    }
    return LastReply;
}

void TSocketConn::CaptureFile(const QString& fileName)
{
    ReportStatus(8, QStringLiteral("CaptureFile"));
    ReceivedCount = 0;
    Private::Operation operation(d.get());
    TimerOn();
    Private::TimerScope timerScope(d.get());
    QFile file(fileName);
    if (!LocalFile::openForWriting(file))
        throw EFileError(QStringLiteral("Cannot create file %1").arg(fileName));
    d->capture(
        [&](const char* data, qint64 length) {
            if (file.write(data, length) != length)
                throw EFileError(QStringLiteral("Cannot write file %1").arg(fileName));
        },
        [] { return false; }, "Socket send aborted");
    // The last bytes may still sit in the file's buffer; a disk that refuses
    // them must not pass for a complete capture.
    if (!file.flush())
        throw EFileError(QStringLiteral("Cannot write file %1").arg(fileName));
    file.close();
    if (Canceled) {
        Canceled = false;
        throw EAbortError(QStringLiteral("Socket send aborted"));
    }
}

void TSocketConn::CaptureString(QByteArray& text, int limit)
{
    ReportStatus(8, QStringLiteral("Capture String"));
    ReceivedCount = 0;
    Private::Operation operation(d.get());
    TimerOn();
    Private::TimerScope timerScope(d.get());
    text.clear();
    // Whole chunks are appended: the text may end longer than the limit.
    d->capture([&](const char* data, qint64 length) { text.append(data, length); },
               [&] { return limit != -1 && text.size() >= limit; }, "Socket capture aborted");
    if (Canceled) {
        Canceled = false;
        throw EAbortError(QStringLiteral("Socket capture aborted"));
    }
}

void TSocketConn::ClearInput()
{
    ReportStatus(8, QStringLiteral("Clearing Input"));
    if (d->fd != SocketSys::kNoSocket)
        d->receiveBytes(d->io.get(), kChunk);
}
