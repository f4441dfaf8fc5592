#pragma once

// The socket layer's error numbers and texts in the classic numbering
// (10000 + the system's code, 11001-11004 for the resolver). Pure functions
// of their arguments: safe on any thread.

#include <QString>

namespace SocketErrorText
{

// Resolver outcomes.
constexpr int kHostNotFound = 11001;
constexpr int kLookupFailed = 11003;
constexpr int kNoAddressRecord = 11004;

// "10061:Connection refused" for a code of the table, "Unknown Error No. N"
// for any other, empty for 0.
QString text(int code);

} // namespace SocketErrorText
