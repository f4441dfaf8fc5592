#pragma once

// StaticWebServer: a throw-away web server on 127.0.0.1 serving the files of
// one directory, for tests that compare downloads with a reference client.
// It runs Debian's python3 http.server on a port the system picks, replies
// with HTTP/1.0 and closes each connection after the body, as the servers
// the client was written for do. Stopped when the object dies.

#include <QProcess>
#include <QString>

class StaticWebServer {
public:
    // Starts serving directory; waits (at most a few seconds) for the server
    // to announce its port. port() is 0 when it could not start.
    explicit StaticWebServer(const QString& directory);
    ~StaticWebServer();

    StaticWebServer(const StaticWebServer&) = delete;
    StaticWebServer& operator=(const StaticWebServer&) = delete;

    quint16 port() const { return m_port; }
    QString url(const QString& path) const;

private:
    QProcess m_process;
    quint16 m_port = 0;
};
