#pragma once

// Paths of the source and build trees, for tests that read data/ or start
// programs that the build made.
#include <QString>

inline QString sourcePath(const QString& relative)
{
    return QStringLiteral(CORVANET_SOURCE_DIR "/") + relative;
}

inline QString binaryPath(const QString& relative)
{
    return QStringLiteral(CORVANET_BINARY_DIR "/") + relative;
}
