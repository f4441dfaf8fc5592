#include "LockHeartbeat.h"

#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <mutex>

#include "EventWait.h"

qint64 LockHeartbeat::now()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct LockHeartbeat::Shared {
    Settings settings;
    LockLayout layout;
    QString token;
    std::atomic<qint64>& beat;
    std::atomic<bool> stop = false;
    std::atomic<bool> lost = false;
    std::atomic<bool> unavailable = false;
    std::atomic<qint64> lastProgress = 0;
    // The thread's client, for a cancel from the GUI thread; guarded by
    // the mutex, since the thread clears it as it ends.
    std::mutex mutex;
    TFtpClient* client = nullptr;

    Shared(Settings s, LockLayout l, QString t, std::atomic<qint64>& b)
        : settings(std::move(s)), layout(std::move(l)), token(std::move(t)), beat(b)
    {
    }

    void run();
};

void LockHeartbeat::Shared::run()
{
    TFtpClient client;
    settings.account.applyTo(client, settings.replyTimeOut, settings.replyTimeOut);
    {
        const std::lock_guard<std::mutex> guard(mutex);
        this->client = &client;
    }
    struct Forget {
        Shared& shared;
        ~Forget()
        {
            const std::lock_guard<std::mutex> guard(shared.mutex);
            shared.client = nullptr;
        }
    } forget{*this};

    try {
        client.Connect();
    } catch (const std::exception&) {
        unavailable = true;
        return;
    }
    // Something must wake the thread's loop to see stop in time.
    QTimer tick;
    tick.start(50);
    while (!stop) {
        const qint64 due = LockHeartbeat::now() + settings.beatMs;
        spinUntil([&] { return stop || LockHeartbeat::now() >= due; });
        if (stop)
            break;
        if (LockHeartbeat::now() - lastProgress > settings.progressMs)
            continue; // the publish is stuck: let the lock look as dead as it is
        qint64 count = beat;
        try {
            if (!renew(client, layout, token, count)) {
                lost = true;
                break;
            }
            beat = count;
        } catch (const std::exception&) {
            // A beat that failed on the way says nothing about the lock; the
            // next one tries again, on a new connection if this one ended.
            if (!client.Connected) {
                try {
                    client.Connect();
                } catch (const std::exception&) {
                }
            }
        }
    }
    // Leave quickly: the publisher waits for this thread.
    client.TimeOut = std::min(client.TimeOut, 2000);
    try {
        client.Disconnect();
    } catch (const std::exception&) {
        client.TSocketConn::Disconnect();
    }
}

bool LockHeartbeat::renew(TFtpClient& client, const LockLayout& layout, const QString& token, qint64& beat)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            client.Rename(layout.marker(token, beat), layout.marker(token, beat + 1));
            ++beat;
            return true;
        } catch (const FTPException&) {
            // Either the lock was taken over, or a beat whose reply never
            // came did rename the marker: look for it under any count.
        }
        bool found = false;
        for (const QString& name : client.NameList(layout.folder())) {
            QString owner;
            qint64 count = 0;
            if (LockLayout::parseMarker(name, owner, count) && owner == token) {
                found = count != beat;
                beat = count;
            }
        }
        if (!found)
            return false;
    }
    return false;
}

LockHeartbeat::LockHeartbeat(Settings settings, LockLayout layout, QString token, std::atomic<qint64>& beat)
    : m_shared(std::make_shared<Shared>(std::move(settings), std::move(layout), std::move(token), beat))
{
}

LockHeartbeat::~LockHeartbeat()
{
    endThread(false);
}

void LockHeartbeat::start()
{
    if (m_thread)
        return;
    noteProgress();
    std::shared_ptr<Shared> shared = m_shared;
    m_thread = QThread::create([shared] { shared->run(); });
    m_thread->start();
}

void LockHeartbeat::stop()
{
    endThread(true);
}

void LockHeartbeat::endThread(bool turnLoop)
{
    if (!m_thread)
        return;
    m_shared->stop = true;
    {
        // Cut short whatever the thread waits for (a login on a slow link, a
        // beat): a beat cut in the middle leaves the count to be found again
        // by the next renew().
        const std::lock_guard<std::mutex> guard(m_shared->mutex);
        if (TFtpClient* client = m_shared->client)
            QMetaObject::invokeMethod(client, [client] { client->Cancel(); }, Qt::QueuedConnection);
    }
    if (turnLoop) {
        // The end arrives as an event of this thread, which wakes its loop.
        bool ended = false;
        QObject here;
        QObject::connect(m_thread, &QThread::finished, &here, [&ended] { ended = true; });
        QThread* thread = m_thread;
        spinUntil([&] { return ended || thread->isFinished(); });
    }
    m_thread->wait();
    delete m_thread;
    m_thread = nullptr;
}

void LockHeartbeat::noteProgress()
{
    m_shared->lastProgress = LockHeartbeat::now();
}

bool LockHeartbeat::lost() const
{
    return m_shared->lost;
}

bool LockHeartbeat::unavailable() const
{
    return m_shared->unavailable;
}
