#pragma once

// Paths of the source and build trees, for tests that read data/ or start
// programs that the build made; the test CA of the TLS tests.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>

inline QString sourcePath(const QString& relative)
{
    return QStringLiteral(CORVANET_SOURCE_DIR "/") + relative;
}

inline QString binaryPath(const QString& relative)
{
    return QStringLiteral(CORVANET_BINARY_DIR "/") + relative;
}

// The bytes of a file; "<missing>" when it cannot be read, so that a missing
// file never passes for an empty one.
inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Writes a whole file, making its folder; true when every byte went in.
inline bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

// Makes the test CA and certificates (tests/support/testca.py) in dir; false
// when that fails. TLS tests trust the CA through SSL_CERT_FILE.
inline bool makeTestCertificates(const QString& dir)
{
    QProcess maker;
    maker.start(QStringLiteral("/usr/bin/python3"), {sourcePath(QStringLiteral("tests/support/testca.py")), dir});
    return maker.waitForFinished(60000) && maker.exitStatus() == QProcess::NormalExit && maker.exitCode() == 0;
}
