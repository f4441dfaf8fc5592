#pragma once

// ReplyFeed: a connected stream whose far end has already said everything.
//
// The input is written whole into one end of an AF_UNIX socket pair, which is
// then shut for writing. A connection object that adopts the near end
// (adoptSocket) finds every byte waiting, then the end of the stream, and
// never waits for the network: an iteration is quick, deterministic and sends
// nothing anywhere. The far end stays open until the feed is destroyed, so
// commands sent after the reply ended meet no reset; they are dropped unread.

#include <QByteArrayView>

class ReplyFeed {
public:
    // Longer inputs are refused: the whole input must fit the pair's buffer
    // at once, or the stream would depend on how much the kernel takes.
    static constexpr qsizetype maxInput = 128 * 1024;

    explicit ReplyFeed(QByteArrayView input); // aborts when no pair can be made
    ~ReplyFeed();
    ReplyFeed(const ReplyFeed&) = delete;
    ReplyFeed& operator=(const ReplyFeed&) = delete;

    // False when the input was refused; the caller then ignores the input.
    bool ok() const { return m_near >= 0; }
    // The near end, for adoptSocket(); the adopter owns it from then on.
    int takeNearEnd();

private:
    int m_near = -1;
    int m_far = -1;
};
