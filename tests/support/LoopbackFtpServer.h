#pragma once

// A real FTP server on 127.0.0.1 for tests: Debian's pyftpdlib run by
// /usr/bin/python3 with tests/support/ftpserver.py. One account with write
// permission to rootDir; control and passive ports are picked by the system.
// The server process ends with stop(), with the destructor, or when the test
// process dies (the script exits when its standard input closes).

#include <QProcess>
#include <QString>
#include <QStringList>

class LoopbackFtpServer {
public:
    explicit LoopbackFtpServer(const QString& rootDir, const QString& user,
                               const QString& password);
    ~LoopbackFtpServer();
    LoopbackFtpServer(const LoopbackFtpServer&) = delete;
    LoopbackFtpServer& operator=(const LoopbackFtpServer&) = delete;

    // Starts the server and waits (blocking, without an event loop) until it
    // tells its port. False when it cannot start; errorText() then says why.
    bool start();
    void stop();
    quint16 port() const { return m_port; }
    // Before start(): explicit FTPS, required on control and data
    // connections, with this key and certificate (see testca.py); and the
    // address to listen on (127.0.0.1 unless set, ::1 say).
    void setCertificate(const QString& pemFile) { m_certificate = pemFile; }
    void setAddress(const QString& address) { m_address = address; }
    // Further arguments of ftpserver.py (see there), for the next start().
    QStringList options;
    // The holds of ftpserver.py: waits (turning the event loop) until the
    // server holds a command and returns it ("STOR /x"); empty after
    // timeoutMs. hold() adds one ("match=...;after=..."), go() lets every
    // held command go on.
    QString waitForHeld(int timeoutMs = 20000);
    void hold(const QString& rule);
    void go();
    QString errorText() const { return m_error; }

private:
    QString m_rootDir;
    QString m_user;
    QString m_password;
    QString m_certificate;
    QString m_address = QStringLiteral("127.0.0.1");
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};
