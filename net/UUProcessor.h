#pragma once

// TUUProcessor: turns the bytes of an input stream into printable lines on an
// output stream, 45 input bytes per line, each line ended by CR LF.
//
//  - uuMime: Base64 (RFC 2045 alphabet, "=" padding). The HTTP client uses it
//    for the Basic Authorization credentials.
//  - uuCode: the classic uuencode layout: a length character first on every
//    line, the alphabet "`" (0) followed by "!" to "_" (1 to 63), no padding
//    of a short final group, and a closing line holding "`" alone.
//
// The streams are borrowed, not owned: both must be open (the input for
// reading, the output for writing) when Encode is called.

#include <QByteArray>
#include <QObject>

#include "SocketConn.h"

class QIODevice;

enum UUMethods { uuMime = 0, uuCode = 1 };

class TUUProcessor : public QObject {
    Q_OBJECT
public:
    explicit TUUProcessor(QObject* owner = nullptr);

    UUMethods Method = uuMime;
    TNotifyEvent OnBeginEncode;
    TNotifyEvent OnEndEncode;
    QIODevice* InputStream = nullptr;
    QIODevice* OutputStream = nullptr;

    // Encodes the whole input stream from its start into the output stream at
    // its current position, then rewinds the output stream and calls
    // OnEndEncode (also when encoding fails). Throws Exception when a stream
    // is missing or cannot be read or written; exceptions from the two events
    // propagate.
    void Encode();

    // One input piece (at most 45 bytes) as one line with its CR LF.
    static QByteArray encodeLine(const QByteArray& piece, UUMethods method);

    static constexpr int PieceSize = 45;

private:
    void encodeAll();
};
