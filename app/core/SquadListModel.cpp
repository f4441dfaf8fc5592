#include "SquadListModel.h"

#include <QByteArrayMatcher>

#include <algorithm>

SquadListModel::SquadListModel(QObject* parent) : QAbstractListModel(parent) {}

namespace
{

bool isAscii(const QString& text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

bool isAscii(QByteArrayView utf8)
{
    return std::all_of(utf8.cbegin(), utf8.cend(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

QString SquadListModel::fold(const QString& text)
{
    if (isAscii(text))
        return text.toLower();
    const QString decomposed = text.normalized(QString::NormalizationForm_KD);
    QString folded;
    folded.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        const QChar::Category category = c.category();
        if (category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
            category == QChar::Mark_Enclosing)
            continue;
        folded.append(c);
    }
    return folded.toCaseFolded();
}

void SquadListModel::Entries::add(qsizetype nickStart, qsizetype urlStart, int position)
{
    m_records.push_back({nickStart, urlStart, int(nicks.size() - nickStart),
                         int(urls.size() - urlStart), position});
}

void SquadListModel::Entries::reorder(const std::vector<int>& order)
{
    // Only the records move, the texts stay where they are; and they move
    // in place, cycle by cycle, rather than into a second vector, which
    // would be the largest allocation of the fill.
    std::vector<bool> placed(m_records.size(), false);
    for (size_t start = 0; start < order.size(); ++start) {
        if (placed[start])
            continue;
        const Record first = m_records[start];
        size_t at = start;
        for (size_t from = size_t(order[at]); from != start; from = size_t(order[at])) {
            m_records[at] = m_records[from];
            placed[at] = true;
            at = from;
        }
        m_records[at] = first;
        placed[at] = true;
    }
}

SquadListModel::Entry SquadListModel::entry(int entryIndex) const
{
    const Entries::Record& r = m_entries.m_records[size_t(entryIndex)];
    return {QString::fromUtf8(m_entries.nickOf(r)), QString::fromUtf8(m_entries.urlOf(r)),
            r.position};
}

void SquadListModel::setEntries(Entries entries)
{
    beginResetModel();
    m_entries = std::move(entries);
    m_entries.nicks.squeeze();
    m_entries.urls.squeeze();
    m_asciiText.clear();
    m_asciiStart.clear();
    m_asciiEntry.clear();
    m_folded.clear();
    m_foldedEntry.clear();
    qsizetype nickBytes = 0;
    for (const Entries::Record& r : m_entries.m_records)
        nickBytes += r.nickLength + 1;
    m_asciiText.reserve(nickBytes);
    m_asciiStart.reserve(size_t(m_entries.size()));
    m_asciiEntry.reserve(size_t(m_entries.size()));
    for (int i = 0; i < m_entries.size(); ++i) {
        const QByteArrayView nick = m_entries.nickOf(m_entries.m_records[size_t(i)]);
        if (isAscii(nick)) {
            const qsizetype at = m_asciiText.size();
            m_asciiStart.push_back(at);
            m_asciiEntry.push_back(i);
            m_asciiText.resize(at + nick.size() + 1);
            char* out = m_asciiText.data() + at;
            for (const char ascii : nick)
                *out++ = ascii >= 'A' && ascii <= 'Z' ? char(ascii - 'A' + 'a') : ascii;
            *out = '\0';
        } else {
            m_folded.push_back(fold(QString::fromUtf8(nick)));
            m_foldedEntry.push_back(i);
        }
    }
    applyFilter();
    endResetModel();
}

void SquadListModel::setFilter(const QString& text)
{
    if (text == m_filter)
        return;
    beginResetModel();
    m_filter = text;
    m_foldedFilter = fold(text);
    applyFilter();
    endResetModel();
}

void SquadListModel::applyFilter()
{
    m_rows.clear();
    if (m_foldedFilter.isEmpty())
        return;
    // A filter that folds to ASCII is searched for in the buffer of ASCII
    // nicks, one hit a nick; one that does not can match no ASCII nick.
    std::vector<int> asciiRows;
    // (XML text holds no NUL, so a filter with one, which could match across
    // two nicks of the buffer, matches nothing.)
    if (isAscii(m_foldedFilter) && !m_foldedFilter.contains(QChar(0))) {
        const QByteArrayMatcher matcher(m_foldedFilter.toLatin1());
        qsizetype at = 0;
        while ((at = matcher.indexIn(m_asciiText, at)) >= 0) {
            const auto next = std::upper_bound(m_asciiStart.cbegin(), m_asciiStart.cend(), at);
            asciiRows.push_back(m_asciiEntry[size_t(next - m_asciiStart.cbegin() - 1)]);
            if (next == m_asciiStart.cend())
                break;
            at = *next;
        }
    }
    std::vector<int> otherRows;
    for (size_t i = 0; i < m_folded.size(); ++i)
        if (m_folded[i].contains(m_foldedFilter))
            otherRows.push_back(m_foldedEntry[i]);
    m_rows.resize(asciiRows.size() + otherRows.size());
    std::merge(asciiRows.cbegin(), asciiRows.cend(), otherRows.cbegin(), otherRows.cend(),
               m_rows.begin());
}

int SquadListModel::rowOfEntry(int entryIndex) const
{
    if (entryIndex < 0 || entryIndex >= entryCount())
        return -1;
    if (m_foldedFilter.isEmpty())
        return entryIndex;
    // The rows keep the entries' order, so the row list is sorted.
    const auto it = std::lower_bound(m_rows.cbegin(), m_rows.cend(), entryIndex);
    return it != m_rows.cend() && *it == entryIndex ? int(it - m_rows.cbegin()) : -1;
}

int SquadListModel::entryOfRow(int row) const
{
    if (row < 0 || row >= rowCount())
        return -1;
    return m_foldedFilter.isEmpty() ? row : m_rows[size_t(row)];
}

int SquadListModel::entryOfUrl(const QString& url) const
{
    if (url.isEmpty())
        return -1;
    const QByteArray wanted = url.toUtf8();
    const std::vector<Entries::Record>& records = m_entries.m_records;
    int found = -1;
    for (size_t i = 0; i < records.size(); ++i) {
        if (m_entries.urlOf(records[i]) == wanted &&
            (found < 0 || records[i].position > records[size_t(found)].position))
            found = int(i);
    }
    return found;
}

int SquadListModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    return m_foldedFilter.isEmpty() ? entryCount() : int(m_rows.size());
}

QVariant SquadListModel::data(const QModelIndex& index, int role) const
{
    const int entryIndex = entryOfRow(index.isValid() ? index.row() : -1);
    if (entryIndex < 0)
        return QVariant();
    const Entries::Record& r = m_entries.m_records[size_t(entryIndex)];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return QString::fromUtf8(m_entries.nickOf(r));
    case UrlRole:
        return QString::fromUtf8(m_entries.urlOf(r));
    default:
        return QVariant();
    }
}
