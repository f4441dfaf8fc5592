#pragma once

// PublishJournal: what a publish tells the keeper of the directory's past
// versions, at five points of the publish, all while the lock is held.
// DirectoryPublisher calls them in this order; a publish that fails or is
// cancelled in between simply stops calling.
//
// A journal never fails the publish for what concerns only itself (a
// refused folder, a rename it cannot make): it says so through its notice
// and lets the directory be published. Errors of the connection itself
// (the socket layer's, a cancel) propagate as from any other step.

#include <QByteArray>

class PublishJournal
{
public:
    virtual ~PublishJournal() = default;

    // The lock is held and the directory not read yet.
    virtual void open() = 0;
    // The directory as read under the lock (which took readMs), checked to
    // be a squad directory, before the change is applied to it: the version
    // the publish replaces.
    virtual void begin(const QByteArray& current, qint64 readMs) = 0;
    // The new directory, before it is uploaded: the journal's copy of it
    // may travel meanwhile, on the heartbeat's connection.
    virtual void stage(const QByteArray& next) = 0;
    // The upload is whole on the server, the fence and the rename follow:
    // the journal's copy must be in the holder's folder by now.
    virtual void staged() = 0;
    // The new directory is live: its rename succeeded.
    virtual void commit() = 0;
};
