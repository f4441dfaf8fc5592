#include "ExStrings.h"

qsizetype TExStringList::indexOfHeader(const QByteArray& name) const
{
    for (qsizetype i = 0; i < size(); ++i) {
        const QByteArray& line = at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        if (line.first(colon).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

void TExStringList::SetHeader(const QByteArray& name, const QByteArray& value)
{
    const qsizetype index = indexOfHeader(name);
    if (value.isEmpty()) {
        if (index >= 0)
            removeAt(index);
        return;
    }
    QByteArray line = name + ": " + value;
    if (index >= 0)
        (*this)[index] = std::move(line);
    else
        append(std::move(line));
}
