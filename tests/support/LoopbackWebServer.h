#pragma once

// LoopbackWebServer: a static file server on 127.0.0.1 for tests.
//
// Runs Debian's python3 http.server on a port the system picks, serving one
// directory. start() waits until the server has told its port; stop() and the
// destructor end the process. It never listens on anything but loopback.

#include <QProcess>
#include <QString>

class LoopbackWebServer {
public:
    explicit LoopbackWebServer(const QString& rootDir);
    ~LoopbackWebServer();
    LoopbackWebServer(const LoopbackWebServer&) = delete;
    LoopbackWebServer& operator=(const LoopbackWebServer&) = delete;

    // Blocks until the server listens (true) or has failed to start (false).
    // A port of 0 lets the system pick one; a test that stopped the server
    // may start it again on the port it had.
    bool start(quint16 port = 0);
    // The server's request log ("GET /x HTTP/1.1" 304 -) goes to this file
    // from the next start on, appended.
    void setRequestLog(const QString& file) { m_requestLog = file; }
    void stop();
    quint16 port() const { return m_port; }
    // "http://127.0.0.1:PORT/" + path
    QString url(const QString& path) const;

private:
    QString m_rootDir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_requestLog;
};
