#pragma once

// The build-time settings (the CORVANET_* entries of CMake's cache). They are
// defined in a source that CMake generates from CorvanetSettings.cpp.in:
// each program links the set it is built with (the real one, or a test
// program's own).

namespace CorvanetSettings {
extern const char* const directoryUrl;
extern const char* const ftpHost;
extern const int ftpPort;
extern const char* const ftpUser;
extern const char* const ftpTls;
extern const char* const ftpPasswordPieces[5];
} // namespace CorvanetSettings
