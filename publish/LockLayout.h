#pragma once

// LockLayout: the names on the FTP account that the directory's lock is made
// of, for the directory D (say "/corvanet.xml"):
//
//   D.lock/                  the lock; it exists while someone holds it
//   D.lock/<token>.<beat>    the holder's marker, a file: its name says who
//                            holds the lock and changes with every sign of
//                            life (the beat count goes up by a rename)
//   D.lock/<token>/          the holder's own folder: its upload and the
//                            directory it moved aside live here
//   D.lock/<token>/new.<size>.xml   the new directory, <size> bytes when whole
//   D.lock/<token>/old.<size>.xml   the replaced directory, while the
//                                   fallback rename puts the new one in place
//   D.lock/<token>/hist.<entry>     a version on its way into the history
//                                   (HistoryLayout names <entry>); never a
//                                   copy to restore the directory from: it
//                                   may be one that was never live
//   D.lock/<token>/dead/     a dead holder's own folder, moved in by the
//                            holder that took the lock over from it
//   D.lock.stale-<token>     a lock moved away whole by the holder <token>
//                            (several dead markers at once) to be removed
//
// Markers and uploads are files because several servers list only files;
// folders are only ever used by names that are known beforehand.

#include <QString>

class LockLayout {
public:
    explicit LockLayout(const QString& remoteDirectory);

    const QString& directory() const { return m_directory; }
    QString folder() const { return m_directory + QStringLiteral(".lock"); }
    QString marker(const QString& token, qint64 beat) const;
    QString ownFolder(const QString& token) const;
    QString upload(const QString& token, qint64 size) const;
    QString aside(const QString& token, qint64 size) const;
    QString pending(const QString& token, const QString& entryName) const;
    QString stale(const QString& token) const;

    // A marker's name (as NLST gives it, without the folder) taken apart.
    // False for anything else.
    static bool parseMarker(const QString& name, QString& token, qint64& beat);
    // "new.<size>.xml" or "old.<size>.xml": which one, and the size the file
    // has when it is whole. False for anything else.
    static bool parseCandidate(const QString& name, bool& isNew, qint64& size);
    // A fresh random token, 16 hexadecimal digits.
    static QString newToken();

private:
    QString m_directory;
};
