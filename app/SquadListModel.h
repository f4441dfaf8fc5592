#pragma once

// SquadListModel: the squad list behind lbSquads, with its find filter.
//
// It holds the directory's entries (nick and page address) in the order the
// list shows them; FillSquads sorts them before handing them over. The filter
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
    struct Entry {
        QString nick;
        QString url;
        int position = 0; // in the directory document
    };

    // The page address of a row.
    static constexpr int UrlRole = Qt::UserRole;

    explicit SquadListModel(QObject* parent = nullptr);

    // Replaces all entries (one model reset); the current filter stays.
    void setEntries(std::vector<Entry> entries);
    // Shows only the entries whose nick contains text (folded); an empty
    // text shows them all. One model reset.
    void setFilter(const QString& text);
    QString filter() const { return m_filter; }

    int entryCount() const { return int(m_entries.size()); }
    const Entry& entry(int entryIndex) const { return m_entries[size_t(entryIndex)]; }
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

    std::vector<Entry> m_entries;
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
