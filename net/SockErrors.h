#pragma once

// Exceptions of the network clients. Every failure of the socket layer, the
// HTTP client and the FTP client is one of these (or a file error below); the
// message is the fixed English text the caller shows to the user.

#include <stdexcept>
#include <string>

#include <QString>

// The plain exception: checks such as "Not Connected" or "Empty URL".
class Exception : public std::runtime_error {
public:
    explicit Exception(const QString& message) : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};

class ESockError : public Exception {
public:
    using Exception::Exception;
};

// A wait that ended through Cancel, Abort or the time-out.
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

// A text that should have been an integer: "'%s' is not a valid integer value".
class EConvertError : public Exception {
public:
    using Exception::Exception;
    static EConvertError notAnInteger(const QString& text)
    {
        return EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
    }
};

// A value outside the range of the field that receives it.
class ERangeError : public Exception {
public:
    using Exception::Exception;
};

// A file that cannot be opened, created or written.
class EFileError : public Exception {
public:
    using Exception::Exception;
};
