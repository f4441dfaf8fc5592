#pragma once

// Small rules for text that goes onto the wire: values that must stay one
// line of a command or header, and IPv6 literals in and out of brackets.
// Pure functions, safe on any thread.

#include <QByteArrayView>
#include <QString>

namespace WireText
{

// Whether text holds CR, LF or NUL: any of them would end a command or a
// header line early, or cut it short.
bool holdsLineBreakOrNul(QByteArrayView text);
bool holdsLineBreakOrNul(QStringView text);

// A host as an address or a Host value writes it: an IPv6 literal (any
// host with a colon) in brackets, anything else as it is.
QString bracketed(const QString& host);

// A host name without the brackets an IPv6 literal may carry.
QString unbracketed(const QString& host);

} // namespace WireText
