#pragma once

#include <QString>
#include <stdexcept>

// Raised by every failing call of the XML document service, with the
// service's description of what went wrong.
class EOleException : public std::runtime_error {
public:
    explicit EOleException(const QString& description)
        : std::runtime_error(description.toStdString())
    {
    }
    QString description() const { return QString::fromStdString(what()); }
};
