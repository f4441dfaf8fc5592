#include "HistoryLayout.h"

#include <QCryptographicHash>
#include <QHash>

#include <algorithm>

namespace
{

const QString kTimeFormat = QStringLiteral("yyyyMMdd'T'HHmmss'Z'");
constexpr qint64 kDay = 86400;

bool digitsOnly(QStringView text, qsizetype maxLength, qint64& value)
{
    if (text.isEmpty() || text.size() > maxLength)
        return false;
    value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + (c.unicode() - '0');
    }
    return true;
}

bool lowerHex(QStringView text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
               (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
    });
}

} // namespace

HistoryLayout::HistoryLayout(const QString& remoteDirectory) : m_directory(remoteDirectory) {}

QString HistoryLayout::entryName(qint64 sequence, const QDateTime& time, const QString& hash,
                                 qint64 size)
{
    return QStringLiteral("%1-%2-%3-%4.xml")
        .arg(sequence, 8, 10, QLatin1Char('0'))
        .arg(time.toUTC().toString(kTimeFormat), hash)
        .arg(size);
}

bool HistoryLayout::parseEntry(const QString& name, Entry& entry)
{
    if (!name.endsWith(QLatin1String(".xml")))
        return false;
    const QList<QStringView> parts = QStringView(name).chopped(4).split(QLatin1Char('-'));
    if (parts.size() != 4 || parts[0].size() < 8 || parts[2].size() != 16 || !lowerHex(parts[2]))
        return false;
    Entry parsed;
    if (!digitsOnly(parts[0], 15, parsed.sequence) || !digitsOnly(parts[3], 15, parsed.size))
        return false;
    // Date and time apart and then as UTC: read as one, the text would be
    // taken for local time, and a time that a daylight-saving change skips
    // would not parse.
    const QStringView stamp = parts[1];
    if (stamp.size() != 16 || stamp[8] != QLatin1Char('T') || stamp[15] != QLatin1Char('Z'))
        return false;
    // By hand: every publish parses the whole listing.
    qint64 ymd = 0;
    qint64 hms = 0;
    if (!digitsOnly(stamp.left(8), 8, ymd) || !digitsOnly(stamp.mid(9, 6), 6, hms))
        return false;
    const QDate date(int(ymd / 10000), int(ymd / 100 % 100), int(ymd % 100));
    const QTime time(int(hms / 10000), int(hms / 100 % 100), int(hms % 100));
    if (!date.isValid() || !time.isValid())
        return false;
    parsed.time = QDateTime(date, time, Qt::UTC);
    parsed.hash = parts[2].toString();
    parsed.name = name;
    entry = parsed;
    return true;
}

QString HistoryLayout::hashOf(const QByteArray& content)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex().left(16));
}

HistoryLayout::Entry HistoryLayout::nextEntry(const QList<Entry>& entries, const QDateTime& time,
                                              const QByteArray& content)
{
    Entry entry;
    entry.sequence = entries.isEmpty() ? 1 : entries.constLast().sequence + 1;
    // Whole seconds: the name keeps no more, and a parsed entry must equal
    // the one it was made as.
    entry.time = QDateTime::fromSecsSinceEpoch(time.toSecsSinceEpoch(), Qt::UTC);
    entry.hash = hashOf(content);
    entry.size = content.size();
    entry.name = entryName(entry.sequence, entry.time, entry.hash, entry.size);
    return entry;
}

QList<HistoryLayout::Entry> HistoryLayout::entriesOf(const QStringList& names)
{
    QList<Entry> entries;
    for (const QString& name : names) {
        Entry entry;
        if (parseEntry(name, entry))
            entries << entry;
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.sequence != b.sequence ? a.sequence < b.sequence : a.name < b.name;
    });
    return entries;
}

QList<HistoryLayout::Entry> HistoryLayout::toDrop(const QList<Entry>& entries, const QDateTime& now,
                                                  const Retention& retention)
{
    const qsizetype count = entries.size();
    QList<bool> keep(count, false);
    const qint64 nowSecs = now.toSecsSinceEpoch();
    // The newest entry of each UTC day among the old ones, by day number.
    QHash<qint64, qsizetype> newestOfDay;
    for (qsizetype i = 0; i < count; ++i) {
        const qint64 age = nowSecs - entries[i].time.toSecsSinceEpoch();
        if (i >= count - retention.keepLast || age <= retention.keepAllDays * kDay)
            keep[i] = true;
        else if (age <= retention.dailyDays * kDay)
            newestOfDay[entries[i].time.toSecsSinceEpoch() / kDay] = i; // later ones are newer
    }
    for (const qsizetype i : std::as_const(newestOfDay))
        keep[i] = true;
    qsizetype kept = std::count(keep.cbegin(), keep.cend(), true);
    for (qsizetype i = 0; i < count && kept > retention.maxFiles; ++i) {
        if (keep[i]) {
            keep[i] = false;
            --kept;
        }
    }
    QList<Entry> dropped;
    for (qsizetype i = 0; i < count; ++i) {
        if (!keep[i])
            dropped << entries[i];
    }
    return dropped;
}
