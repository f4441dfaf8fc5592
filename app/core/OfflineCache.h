#pragma once

// OfflineCache: the copies the program keeps of what it loaded (the
// directory, squad pages, logos), so that it can show them without the
// network and ask servers only whether they changed.
//
// The folder is the program's own in the user's cache folder
// ($XDG_CACHE_HOME/corvanet, or ~/.cache/corvanet), mode 0700. Each address
// has two files named by a hash of its kind and address: the body as it came
// ("<hash>.<kind>", written by whoever loads it, through a temporary file
// renamed at the end) and a record ("<hash>.meta": the address, the reply's
// validators, the time of the copy and the body's size), written after the
// body, the same way. A crash between the two leaves a record that does not
// match the body's size, and such a copy, like one whose record cannot be
// read or names another address, is never offered: find() removes it, and
// the next load writes a new one.

#include <QByteArray>
#include <QDateTime>
#include <QLatin1String>
#include <QString>

class OfflineCache
{
public:
    struct Copy {
        QString file; // the body; empty when there is no usable copy
        QByteArray etag;
        QByteArray lastModified;
        QDateTime savedAt;
        bool isValid() const { return !file.isEmpty(); }
    };

    // The kinds of copy, also the suffixes of their bodies.
    static constexpr QLatin1String DirectoryCopy{"dir.xml"};
    static constexpr QLatin1String PageCopy{"page.xml"};
    static constexpr QLatin1String LogoCopy{"logo.jpg"};

    // $XDG_CACHE_HOME/corvanet, or ~/.cache/corvanet.
    static QString defaultFolder();
    explicit OfflineCache(const QString& folder = defaultFolder());

    QString folder() const { return m_folder; }
    // Where the body of this address is kept; the folder is made when
    // missing. kind: "xml" or "jpg".
    QString bodyFile(const QString& url, const QString& kind) const;
    // The usable copy of an address, or an invalid Copy.
    Copy find(const QString& url, const QString& kind) const;
    // Records the body that was just written to bodyFile(). False when the
    // record cannot be written (the copy is then not offered).
    bool record(const QString& url, const QString& kind, const QByteArray& etag,
                const QByteArray& lastModified);
    // Drops the copy of an address (damaged, or no longer wanted).
    void forget(const QString& url, const QString& kind) const;

    // "Offline copy of <date and time>", the text that marks a copy shown.
    static QString offlineText(const QDateTime& savedAt);

private:
    QString baseName(const QString& url, const QString& kind) const;

    QString m_folder;
};
