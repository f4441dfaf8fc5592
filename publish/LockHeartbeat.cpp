#include "LockHeartbeat.h"

#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <deque>
#include <mutex>

#include "EventWait.h"

qint64 LockHeartbeat::now()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

class LockHeartbeat::Errand
{
public:
    enum class State { Queued, Running, Done, Failed };
    std::function<void(TFtpClient&)> work;
    // Queued -> Running -> Done or Failed on the thread; Queued -> Failed
    // when taken back. Only one of the two leaves Queued.
    std::atomic<State> state = State::Queued;

    bool leave(State from, State to) { return state.compare_exchange_strong(from, to); }
};

struct LockHeartbeat::Shared {
    Settings settings;
    LockLayout layout;
    QString token;
    std::atomic<qint64>& beat;
    std::atomic<bool> stop = false;
    std::atomic<bool> held = false;
    std::atomic<bool> lost = false;
    std::atomic<bool> unavailable = false;
    std::atomic<qint64> lastProgress = 0;
    // The thread's client, for a cancel from the GUI thread; guarded by
    // the mutex, since the thread clears it as it ends.
    std::mutex mutex;
    TFtpClient* client = nullptr;
    // Errands not started yet, oldest first; closed once the thread no
    // longer takes any. The waker lives on the owner's thread.
    std::deque<std::shared_ptr<Errand>> errands;
    bool closed = false;
    QObject* waker = nullptr;

    Shared(Settings s, LockLayout l, QString t, std::atomic<qint64>& b)
        : settings(std::move(s)), layout(std::move(l)), token(std::move(t)), beat(b)
    {
    }

    void run();
    void runErrands(TFtpClient& client);
    bool errandsWaiting();
    void finish(const std::shared_ptr<Errand>& errand, Errand::State state);
    void close();
};

namespace {

// A connection that ended (a failed beat or errand) is made again for the
// next one.
void reconnectIfEnded(TFtpClient& client)
{
    if (client.Connected)
        return;
    try {
        client.Connect();
    } catch (const std::exception&) {
    }
}

} // namespace

bool LockHeartbeat::Shared::errandsWaiting()
{
    const std::lock_guard<std::mutex> guard(mutex);
    return !errands.empty();
}

void LockHeartbeat::Shared::finish(const std::shared_ptr<Errand>& errand, Errand::State state)
{
    // Called on the thread, which the waker outlives.
    errand->state = state;
    QMetaObject::invokeMethod(waker, [] {}, Qt::QueuedConnection);
}

void LockHeartbeat::Shared::runErrands(TFtpClient& client)
{
    for (;;) {
        std::shared_ptr<Errand> errand;
        {
            const std::lock_guard<std::mutex> guard(mutex);
            if (stop || errands.empty())
                return;
            errand = errands.front();
            errands.pop_front();
            if (!errand->leave(Errand::State::Queued, Errand::State::Running))
                continue; // taken back
        }
        Errand::State end = Errand::State::Done;
        try {
            errand->work(client);
        } catch (const std::exception&) {
            end = Errand::State::Failed;
        }
        finish(errand, end);
        if (end == Errand::State::Failed && !stop)
            reconnectIfEnded(client);
    }
}

void LockHeartbeat::Shared::close()
{
    const std::lock_guard<std::mutex> guard(mutex);
    closed = true;
    client = nullptr;
    for (const std::shared_ptr<Errand>& errand : errands) {
        if (errand->leave(Errand::State::Queued, Errand::State::Failed))
            finish(errand, Errand::State::Failed);
    }
    errands.clear();
}

void LockHeartbeat::Shared::run()
{
    TFtpClient client;
    settings.account.applyTo(client, settings.replyTimeOut, settings.replyTimeOut);
    {
        const std::lock_guard<std::mutex> guard(mutex);
        this->client = &client;
    }
    struct Close {
        Shared& shared;
        ~Close() { shared.close(); }
    } close{*this};

    try {
        client.Connect();
    } catch (const std::exception&) {
        unavailable = true;
        return;
    }
    // Something must wake the thread's loop to see stop in time.
    QTimer tick;
    tick.start(50);
    qint64 due = LockHeartbeat::now() + settings.beatMs;
    while (!stop) {
        runErrands(client);
        spinUntil([&] { return stop || LockHeartbeat::now() >= due || errandsWaiting(); });
        if (stop)
            break;
        if (LockHeartbeat::now() < due)
            continue; // an errand came
        due = LockHeartbeat::now() + settings.beatMs;
        if (!held)
            continue; // no marker of ours yet
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
            reconnectIfEnded(client);
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
    : m_shared(std::make_shared<Shared>(std::move(settings), std::move(layout), std::move(token), beat)),
      m_waker(std::make_unique<QObject>())
{
    m_shared->waker = m_waker.get();
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

void LockHeartbeat::held()
{
    m_shared->held = true;
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

std::shared_ptr<LockHeartbeat::Errand> LockHeartbeat::post(std::function<void(TFtpClient&)> work)
{
    auto errand = std::make_shared<Errand>();
    errand->work = std::move(work);
    const std::lock_guard<std::mutex> guard(m_shared->mutex);
    if (!m_thread || m_shared->closed || m_shared->stop) {
        errand->state = Errand::State::Failed;
        return errand;
    }
    m_shared->errands.push_back(errand);
    // Wake the thread's loop; before its login ends, it looks once that is done.
    if (TFtpClient* client = m_shared->client)
        QMetaObject::invokeMethod(client, [] {}, Qt::QueuedConnection);
    return errand;
}

bool LockHeartbeat::takeBack(const std::shared_ptr<Errand>& errand)
{
    return errand->leave(Errand::State::Queued, Errand::State::Failed);
}

bool LockHeartbeat::ended(const std::shared_ptr<Errand>& errand)
{
    const Errand::State state = errand->state;
    return state == Errand::State::Done || state == Errand::State::Failed;
}

bool LockHeartbeat::done(const std::shared_ptr<Errand>& errand)
{
    return errand->state == Errand::State::Done;
}

void LockHeartbeat::cancel(const std::shared_ptr<Errand>& errand)
{
    if (takeBack(errand))
        return;
    const std::lock_guard<std::mutex> guard(m_shared->mutex);
    if (errand->state == Errand::State::Running && m_shared->client) {
        TFtpClient* client = m_shared->client;
        QMetaObject::invokeMethod(client, [client] { client->Abort(); client->Cancel(); }, Qt::QueuedConnection);
    }
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
