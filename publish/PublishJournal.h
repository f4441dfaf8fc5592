#pragma once

// PublishJournal: what a publish tells the keeper of the directory's past
// versions, at three points of the publish, all while the lock is held.
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

    // The directory as read under the lock, checked to be a squad directory,
    // before the change is applied to it: the version the publish replaces.
    virtual void begin(const QByteArray& current) = 0;
    // The new directory, uploaded whole into the holder's folder, before the
    // fence and the rename.
    virtual void stage(const QByteArray& next) = 0;
    // The new directory is live: its rename succeeded.
    virtual void commit() = 0;
};
