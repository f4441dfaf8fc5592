#pragma once

// SquadListModel: the squad list behind lbSquads, with its find filter.
//
// It holds the directory's entries (nick and page address) in the order the
// list shows them; FillSquads sorts them before handing them over. The texts
// of all entries stay UTF-8 in one buffer, in the order they were added, and
// become QStrings only when asked for: a directory of 100,000 squads then
// costs two allocations, not 200,000 strings. The filter
// is the model's own: while a find text is set, the model's rows are only the
// entries whose nick contains it, in the same order, so views, keyboard
// navigation and assistive technology all see just the matching rows.
//
// Matching ignores case and accents: both the nick and the find text are
// folded (decomposed, combining marks dropped, case-folded) before the
// comparison, so "zab" finds "Žabí tlapa". The folded nicks are made once
// when the entries are set, so that each key typed costs one substring
// search over them.

#include <QAbstractListModel>
#include <QString>

#include <vector>

class SquadListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    // One entry as the list hands it out.
    struct Entry {
        QString nick;
        QString url;
        int position = 0; // in the directory document
    };

    // The entries being gathered: their texts are appended to text, nick
    // then address, and add() records where they are.
    class Entries {
    public:
        QByteArray text;
        // The entry whose nick runs from start to nickEnd in text and
        // whose address from there to the end of text.
        void add(qsizetype start, qsizetype nickEnd, int position);
        int size() const { return int(m_records.size()); }
        QString nick(int i) const;
        // Puts the entries into this order of their indexes.
        void reorder(const std::vector<int>& order);
        void reserve(int count) { m_records.reserve(size_t(count)); }

    private:
        friend class SquadListModel;
        struct Record {
            qsizetype start;
            int nickLength;
            int urlLength;
            int position;
        };
        QByteArrayView nickOf(const Record& r) const { return QByteArrayView(text).sliced(r.start, r.nickLength); }
        QByteArrayView urlOf(const Record& r) const
        {
            return QByteArrayView(text).sliced(r.start + r.nickLength, r.urlLength);
        }
        std::vector<Record> m_records;
    };

    // The page address of a row.
    static constexpr int UrlRole = Qt::UserRole;

    explicit SquadListModel(QObject* parent = nullptr);

    // Replaces all entries (one model reset); the current filter stays.
    void setEntries(Entries entries);
    // Shows only the entries whose nick contains text (folded); an empty
    // text shows them all. One model reset.
    void setFilter(const QString& text);
    QString filter() const { return m_filter; }

    int entryCount() const { return m_entries.size(); }
    Entry entry(int entryIndex) const;
    // The row that shows an entry, or -1 while the filter hides it.
    int rowOfEntry(int entryIndex) const;
    int entryOfRow(int row) const;
    // The entry with this page address that comes last in the document, or
    // -1; an empty address has no entry.
    int entryOfUrl(const QString& url) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // Case and accents removed, for matching.
    static QString fold(const QString& text);

private:
    void applyFilter();

    Entries m_entries;
    // The folded nicks: those of ASCII nicks lower-cased, one after another
    // in one buffer, each ended by a NUL, so that one substring search over
    // the buffer finds them all; the others each on their own.
    QByteArray m_asciiText;
    std::vector<qsizetype> m_asciiStart; // of each ASCII nick in m_asciiText
    std::vector<int> m_asciiEntry;       // its entry
    std::vector<QString> m_folded;       // of the other nicks
    std::vector<int> m_foldedEntry;      // their entries
    std::vector<int> m_rows;             // entry index per row while a filter is set
    QString m_filter;
    QString m_foldedFilter;
};
