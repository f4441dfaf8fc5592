#pragma once

// DirectoryHistory: reads the directory's history (HistoryLayout) without
// taking the lock, as it writes nothing there: NLST of the history folder,
// RETR of its entries and of the directory. Diffs compare entries by their
// "web" address (duplicates counted), the directory's own key.
//
// The chain walked is the kept versions in order, then the directory on the
// server when it is not the newest entry (replaced outside the program since
// the last publish), so that what such a replacement removed shows too. An
// entry gone when read (pruned meanwhile) or not holding what its name says
// is left out; the versions either side of it are compared. Entries never
// change under their names (the name holds the hash), so with a cache folder
// each is fetched once: later reads take the copy, checked against the name's
// hash, and copies of entries the history no longer lists are removed.
//
// The client must be logged in. Every call waits (the FTP client turns the
// event loop) and throws the FTP client's and the socket layer's errors for
// the listing and the directory; a client destroyed meanwhile ends the call
// with its cancel error, after which nothing of this object is touched.

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

#include "HistoryLayout.h"

class TFtpClient;

class DirectoryHistory
{
public:
    struct Squad {
        QString nick;
        QString url;
    };
    struct Version {
        HistoryLayout::Entry entry; // of a live version: no name, no time
        bool live = false;          // the directory on the server, not kept (yet)
        QString id() const { return live ? QStringLiteral("live") : entry.id(); }
    };
    // One version and what changed from the version before it in the chain.
    struct Step {
        Version version;
        bool oldest = false; // nothing before it is kept
        int before = 0;      // entries with an address, before and after
        int after = 0;
        QList<Squad> added;
        QList<Squad> removed;
    };
    // A squad's removal: the squad as the version before listed it, and the
    // version that no longer lists it.
    struct Removal {
        Squad squad;
        Version version;
    };

    DirectoryHistory(TFtpClient& client, const QString& remoteDirectory);

    void setCacheFolder(const QString& folder) { m_cacheFolder = folder; }

    // The kept entries, oldest first.
    QList<HistoryLayout::Entry> entries();
    // An entry's content, checked against its name. Throws PublishError when
    // it is gone or damaged.
    QByteArray content(const HistoryLayout::Entry& entry);
    // The entry with this ID: its sequence number (leading zeros allowed) or
    // its name. None when the history has no such entry.
    std::optional<HistoryLayout::Entry> find(const QString& id);

    // The chain's versions, newest first, each with its change; at most limit (0: all).
    QList<Step> steps(int limit = 0);
    // The most recent removal of each address that the directory does not
    // list now, newest first.
    QList<Removal> removals();
    // The most recent removal of url, walking back only as far as needed;
    // none when the kept history has none. listedNow: whether the directory
    // lists url now (then nothing is searched).
    std::optional<Removal> lastRemovalOf(const QString& url, bool& listedNow);

    // The entries with an address, in document order; none when content is
    // not a well-formed document.
    static QList<Squad> squadsOf(const QByteArray& content, bool* wellFormed = nullptr);
    // "added NICK <URL>", "removed NICK <URL>", or "replaced: N entries
    // before, M after" for anything else; the oldest: "oldest kept: N
    // entries".
    static QString describe(const Step& step);

private:
    // Reads the chain newest to oldest; visit returns false to stop. The
    // directory's squads as they are now go to now first.
    void walk(const std::function<bool(const Step&)>& visit, QList<Squad>* now = nullptr);
    QByteArray cached(const HistoryLayout::Entry& entry);
    void keepCached(const HistoryLayout::Entry& entry, const QByteArray& content);
    void dropStaleCopies(const QList<HistoryLayout::Entry>& entries);

    TFtpClient& m_client;
    QString m_directory;
    HistoryLayout m_layout;
    QString m_cacheFolder;
};
