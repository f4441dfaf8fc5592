#pragma once

// SquadListModel: the squad list behind lbSquads, with its find filter.
//
// It holds the directory's entries (nick and page address) in the order the
// list shows them; FillSquads sorts them before handing them over. The texts
// of all entries stay UTF-8 in two buffers, in the order they were added,
// and become QStrings only when asked for: a directory of 100,000 squads
// then costs a few allocations, not 200,000 strings. The filter
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

    // The entries being gathered: their nicks are appended to nicks and
    // their addresses to urls, and add() records where they are. (Nicks
    // apart from addresses: sorting and filtering read the nicks in list
    // order, which is not the order they were added in, and a buffer of
    // nicks alone stays in the processor's cache.)
    class Entries
    {
    public:
        QByteArray nicks;
        QByteArray urls;
        // The entry whose nick runs from nickStart to the end of nicks and
        // whose address from urlStart to the end of urls.
        void add(qsizetype nickStart, qsizetype urlStart, int position);
        int size() const { return int(m_records.size()); }
        QByteArrayView nickUtf8(int i) const { return nickOf(m_records[size_t(i)]); }
        // Puts the entries into this order of their indexes.
        void reorder(const std::vector<int>& order);

    private:
        friend class SquadListModel;
        struct Record {
            qsizetype nick;
            qsizetype url;
            int nickLength;
            int urlLength;
            int position;
        };
        QByteArrayView nickOf(const Record& r) const
        {
            return QByteArrayView(nicks).sliced(r.nick, r.nickLength);
        }
        QByteArrayView urlOf(const Record& r) const
        {
            return QByteArrayView(urls).sliced(r.url, r.urlLength);
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
