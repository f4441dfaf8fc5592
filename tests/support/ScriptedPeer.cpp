#include "ScriptedPeer.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace {
// sendFile() keeps at most this much queued in the socket object.
constexpr qint64 kFileWindow = 4 * 1024 * 1024;
constexpr qint64 kFileChunk = 1024 * 1024;
} // namespace

struct ScriptedPeer::Step {
    enum Kind {
        ExpectLine,
        ExpectBytes,
        ExpectClose,
        Discard,
        Send,
        SendFile,
        Pause,
        Close,
        Reset,
        AcceptNext,
        SwitchTo,
        ConnectTo,
        Run
    };
    Kind kind;
    QByteArray bytes;
    qint64 count = 0;
    QString path;
    std::function<quint16()> portSource;
    std::function<void()> action;
};

struct ScriptedPeer::Connection {
    QTcpSocket* socket = nullptr;
    QByteArray unread;
    QByteArray transcript;
    bool closed = false;
    bool discarding = false;
    std::unique_ptr<QFile> file; // being streamed by sendFile()
};

ScriptedPeer::ScriptedPeer(QObject* parent) : ScriptedPeer(QHostAddress(QHostAddress::LocalHost), parent) {}

ScriptedPeer::ScriptedPeer(const QHostAddress& address, QObject* parent)
    : QObject(parent), m_server(new QTcpServer(this)), m_address(address)
{
    connect(m_server, &QTcpServer::newConnection, this, &ScriptedPeer::onNewConnection);
    if (!m_server->listen(address, 0))
        fail(QStringLiteral("cannot listen: ") + m_server->errorString());
}

ScriptedPeer::~ScriptedPeer()
{
    for (auto& c : m_connections) {
        if (c->socket) {
            c->socket->disconnect(this);
            c->socket->abort();
        }
    }
}

quint16 ScriptedPeer::port() const
{
    return m_server->serverPort();
}

ScriptedPeer& ScriptedPeer::add(Step step)
{
    m_steps.push_back(std::move(step));
    scheduleAdvance();
    return *this;
}

ScriptedPeer& ScriptedPeer::expectLine()
{
    return add(Step{Step::ExpectLine, {}, 0, {}, {}, {}});
}

ScriptedPeer& ScriptedPeer::expectBytes(qint64 count)
{
    return add(Step{Step::ExpectBytes, {}, count, {}, {}, {}});
}

ScriptedPeer& ScriptedPeer::expectClose()
{
    return add(Step{Step::ExpectClose, {}, 0, {}, {}, {}});
}

ScriptedPeer& ScriptedPeer::discard()
{
    return add(Step{Step::Discard, {}, 0, {}, {}, {}});
}

ScriptedPeer& ScriptedPeer::send(const QByteArray& bytes)
{
    return add(Step{Step::Send, bytes, 0, {}, {}, {}});
}

ScriptedPeer& ScriptedPeer::sendParts(const QList<QByteArray>& parts, int pauseMs)
{
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0)
            pause(pauseMs);
        send(parts[i]);
    }
    return *this;
}

ScriptedPeer& ScriptedPeer::sendFile(const QString& path)
{
    return add(Step{Step::SendFile, {}, 0, path, {}, {}});
}

ScriptedPeer& ScriptedPeer::pause(int ms)
{
    return add(Step{Step::Pause, {}, ms, {}, {}, {}});
}

ScriptedPeer& ScriptedPeer::close()
{
    return add(Step{Step::Close, {}, 0, {}, {}, {}});
}

ScriptedPeer& ScriptedPeer::reset()
{
    return add(Step{Step::Reset, {}, 0, {}, {}, {}});
}

ScriptedPeer& ScriptedPeer::acceptNext()
{
    return add(Step{Step::AcceptNext, {}, 0, {}, {}, {}});
}

ScriptedPeer& ScriptedPeer::switchTo(int connection)
{
    return add(Step{Step::SwitchTo, {}, connection, {}, {}, {}});
}

ScriptedPeer& ScriptedPeer::connectTo(std::function<quint16()> portSource)
{
    return add(Step{Step::ConnectTo, {}, 0, {}, std::move(portSource), {}});
}

ScriptedPeer& ScriptedPeer::run(std::function<void()> action)
{
    return add(Step{Step::Run, {}, 0, {}, {}, std::move(action)});
}

bool ScriptedPeer::finished() const
{
    return m_failure.isEmpty() && m_next == m_steps.size();
}

QString ScriptedPeer::failure() const
{
    return m_failure;
}

QList<QByteArray> ScriptedPeer::lines() const
{
    return m_lines;
}

QByteArray ScriptedPeer::transcript(int connection) const
{
    if (connection < 0)
        return m_transcript;
    if (size_t(connection) >= m_connections.size())
        return QByteArray();
    return m_connections[size_t(connection)]->transcript;
}

qint64 ScriptedPeer::discarded() const
{
    return m_discarded;
}

int ScriptedPeer::connectionCount() const
{
    return int(m_connections.size());
}

void ScriptedPeer::fail(const QString& why)
{
    if (m_failure.isEmpty())
        m_failure = why;
}

ScriptedPeer::Connection* ScriptedPeer::current()
{
    if (m_current < 0 || size_t(m_current) >= m_connections.size())
        return nullptr;
    return m_connections[size_t(m_current)].get();
}

void ScriptedPeer::scheduleAdvance()
{
    QTimer::singleShot(0, this, &ScriptedPeer::advance);
}

void ScriptedPeer::onNewConnection()
{
    // Connections wait in the server's queue until an acceptNext() step.
    advance();
}

void ScriptedPeer::attach(QTcpSocket* socket)
{
    auto c = std::make_unique<Connection>();
    c->socket = socket;
    socket->setParent(this);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    Connection* raw = c.get();
    m_connections.push_back(std::move(c));
    connect(socket, &QTcpSocket::readyRead, this, [this, raw] {
        readFrom(*raw);
        advance();
    });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, raw] {
        feedFile(*raw);
        advance();
    });
    auto closed = [this, raw] {
        readFrom(*raw);
        raw->closed = true;
        advance();
    };
    connect(socket, &QTcpSocket::disconnected, this, closed);
    connect(socket, &QTcpSocket::errorOccurred, this, closed);
    readFrom(*raw);
}

void ScriptedPeer::readFrom(Connection& c)
{
    if (!c.socket->isOpen())
        return;
    const QByteArray data = c.socket->readAll();
    if (data.isEmpty())
        return;
    if (c.discarding) {
        m_discarded += data.size();
        return;
    }
    c.unread += data;
    c.transcript += data;
    m_transcript += data;
}

void ScriptedPeer::feedFile(Connection& c)
{
    if (!c.file)
        return;
    while (c.socket->bytesToWrite() < kFileWindow && c.socket->state() == QAbstractSocket::ConnectedState) {
        const QByteArray chunk = c.file->read(kFileChunk);
        if (chunk.isEmpty()) {
            c.file.reset();
            return;
        }
        c.socket->write(chunk);
    }
}

void ScriptedPeer::advance()
{
    // Steps emit signals that lead back here (abort() reports the close at
    // once); the outer call loops instead of recursing.
    if (m_advancing) {
        m_again = true;
        return;
    }
    m_advancing = true;
    do {
        m_again = false;
        while (m_failure.isEmpty() && m_next < m_steps.size()) {
            if (!runStep(m_steps[m_next]))
                break;
            ++m_next;
            m_stepStarted = false;
        }
    } while (m_again);
    m_advancing = false;
}

bool ScriptedPeer::runStep(Step& step)
{
    const bool needsConnection = step.kind != Step::AcceptNext && step.kind != Step::SwitchTo
        && step.kind != Step::ConnectTo && step.kind != Step::Run && step.kind != Step::Pause;
    if (needsConnection && !current()) {
        // The first connection is accepted by the first step that needs one.
        QTcpSocket* socket = m_server->nextPendingConnection();
        if (!socket)
            return false;
        attach(socket);
        m_current = int(m_connections.size()) - 1;
    }
    Connection* c = current();
    switch (step.kind) {
    case Step::ExpectLine: {
        const qsizetype lf = c->unread.indexOf('\n');
        if (lf < 0) {
            if (c->closed)
                fail(QStringLiteral("closed while a line was expected; got \"%1\"")
                         .arg(QString::fromLatin1(c->unread)));
            return false;
        }
        m_lines << c->unread.left(lf + 1);
        c->unread.remove(0, lf + 1);
        return true;
    }
    case Step::ExpectBytes:
        if (c->unread.size() < step.count) {
            if (c->closed)
                fail(QStringLiteral("closed after %1 of %2 expected bytes").arg(c->unread.size()).arg(step.count));
            return false;
        }
        c->unread.remove(0, step.count);
        return true;
    case Step::ExpectClose:
        return c->closed;
    case Step::Discard:
        if (!c->discarding) {
            c->discarding = true;
            m_discarded += c->unread.size();
            c->unread.clear();
        }
        readFrom(*c);
        return c->closed;
    case Step::Send:
        if (c->closed) {
            fail(QStringLiteral("closed before step %1 could send").arg(m_next));
            return false;
        }
        c->socket->write(step.bytes);
        c->socket->flush();
        return true;
    case Step::SendFile:
        if (!m_stepStarted) {
            m_stepStarted = true;
            c->file = std::make_unique<QFile>(step.path);
            if (!c->file->open(QIODevice::ReadOnly)) {
                fail(QStringLiteral("cannot open %1").arg(step.path));
                return false;
            }
            feedFile(*c);
        }
        if (c->closed) {
            c->file.reset();
            fail(QStringLiteral("closed while a file was being sent"));
            return false;
        }
        return !c->file; // queued completely
    case Step::Pause:
        if (!m_stepStarted) {
            m_stepStarted = true;
            m_pauseDone = false;
            QTimer::singleShot(int(step.count), this, [this] {
                m_pauseDone = true;
                advance();
            });
        }
        return m_pauseDone;
    case Step::Close:
        if (!c->closed)
            c->socket->disconnectFromHost();
        return true;
    case Step::Reset:
        if (!c->closed) {
            // Linger on with a time of 0: close() resets the connection.
            linger value{1, 0};
            ::setsockopt(int(c->socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &value, sizeof value);
            c->socket->abort();
            c->closed = true;
        }
        return true;
    case Step::AcceptNext: {
        QTcpSocket* socket = m_server->nextPendingConnection();
        if (!socket)
            return false;
        attach(socket);
        m_current = int(m_connections.size()) - 1;
        return true;
    }
    case Step::SwitchTo:
        if (step.count < 0 || size_t(step.count) >= m_connections.size()) {
            fail(QStringLiteral("no connection %1").arg(step.count));
            return false;
        }
        m_current = int(step.count);
        return true;
    case Step::ConnectTo: {
        if (!m_stepStarted) {
            m_stepStarted = true;
            auto* socket = new QTcpSocket(this);
            connect(socket, &QTcpSocket::connected, this, &ScriptedPeer::advance);
            connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
                advance();
            });
            socket->connectToHost(m_address, step.portSource());
            attach(socket);
            m_current = int(m_connections.size()) - 1;
        }
        Connection* made = current();
        if (made->socket->state() == QAbstractSocket::ConnectedState)
            return true;
        if (made->closed || made->socket->state() == QAbstractSocket::UnconnectedState)
            fail(QStringLiteral("could not connect: ") + made->socket->errorString());
        return false;
    }
    case Step::Run:
        step.action();
        return true;
    }
    return false;
}
