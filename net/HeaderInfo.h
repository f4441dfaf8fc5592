#pragma once

// THeaderInfo: the optional values of an HTTP request header. The client owns
// one and puts a line on every request for each value that is non-empty
// (User-Agent, From, Cookie, Referer, and Authorization when both UserId and
// Password are set). All values are 8-bit texts sent as they stand; the
// client refuses a value holding a line break or NUL before it connects.
//
// Cookie is also written by the client itself: a redirecting reply's cookie
// replaces it and is then sent on every later request until the caller
// changes it.

#include <QByteArray>

class THeaderInfo {
public:
    QByteArray LocalMailAddress;
    QByteArray LocalProgram;
    QByteArray Cookie;
    QByteArray Referer;
    QByteArray UserId;
    QByteArray Password;
};
