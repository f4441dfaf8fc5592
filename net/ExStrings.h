#pragma once

// TExStringList: the lines of a request header, in the order they go on the
// wire, each without its CR LF. A plain list of 8-bit lines with one addition:
// SetHeader, which sets, replaces or removes a "Name: value" line.

#include <QByteArray>
#include <QByteArrayList>

class TExStringList : public QByteArrayList {
public:
    // Finds the first line whose text before its first ":" equals name,
    // ignoring ASCII case (a line without ":" never matches). A non-empty
    // value turns that line, or a new line appended at the end, into
    // "name: value"; an empty value deletes that line if there is one.
    void SetHeader(const QByteArray& name, const QByteArray& value);

    // Index of the line SetHeader would change, or -1.
    qsizetype indexOfHeader(const QByteArray& name) const;
};
