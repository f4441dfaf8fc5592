#include "UUProcessor.h"

#include <QIODevice>

namespace {

const char mimeAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

char uuChar(unsigned value)
{
    return value == 0 ? '`' : static_cast<char>(0x20 + value);
}

char encodeSixBits(unsigned value, UUMethods method)
{
    return method == uuMime ? mimeAlphabet[value] : uuChar(value);
}

} // namespace

TUUProcessor::TUUProcessor(QObject* owner) : QObject(owner) {}

QByteArray TUUProcessor::encodeLine(const QByteArray& piece, UUMethods method)
{
    QByteArray line;
    line.reserve(4 + piece.size() * 4 / 3 + 4);
    if (method == uuCode)
        line.append(uuChar(static_cast<unsigned>(piece.size())));
    const auto* p = reinterpret_cast<const unsigned char*>(piece.constData());
    const qsizetype n = piece.size();
    qsizetype i = 0;
    for (; i + 3 <= n; i += 3) {
        const unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        line.append(encodeSixBits((v >> 18) & 63, method));
        line.append(encodeSixBits((v >> 12) & 63, method));
        line.append(encodeSixBits((v >> 6) & 63, method));
        line.append(encodeSixBits(v & 63, method));
    }
    const qsizetype rest = n - i;
    if (rest > 0) {
        const unsigned v = (p[i] << 16) | (rest == 2 ? p[i + 1] << 8 : 0);
        line.append(encodeSixBits((v >> 18) & 63, method));
        line.append(encodeSixBits((v >> 12) & 63, method));
        if (rest == 2)
            line.append(encodeSixBits((v >> 6) & 63, method));
        if (method == uuMime)
            line.append(rest == 2 ? "=" : "==");
    }
    line.append("\r\n");
    return line;
}

void TUUProcessor::Encode()
{
    if (!InputStream || !OutputStream)
        throw Exception(QStringLiteral("Encoding needs an input and an output stream"));
    if (!InputStream->seek(0) && !InputStream->isSequential())
        throw Exception(QStringLiteral("Cannot rewind the input stream"));
    if (OnBeginEncode)
        OnBeginEncode(this);
    try {
        encodeAll();
    } catch (...) {
        OutputStream->seek(0);
        if (OnEndEncode) {
            try {
                OnEndEncode(this);
            } catch (...) {
                // The encoding failure is the one to report.
            }
        }
        throw;
    }
    OutputStream->seek(0);
    if (OnEndEncode)
        OnEndEncode(this);
}

void TUUProcessor::encodeAll()
{
    auto writeOut = [this](const QByteArray& bytes) {
        if (OutputStream->write(bytes) != bytes.size())
            throw Exception(QStringLiteral("Cannot write the encoded data: %1")
                                .arg(OutputStream->errorString()));
    };
    char piece[PieceSize];
    for (;;) {
        // A stream may deliver fewer bytes than asked for before its end, so
        // fill each piece completely: line breaks must fall every 45 bytes.
        qint64 filled = 0;
        while (filled < PieceSize) {
            const qint64 got = InputStream->read(piece + filled, PieceSize - filled);
            if (got < 0)
                throw Exception(QStringLiteral("Cannot read the data to encode: %1")
                                    .arg(InputStream->errorString()));
            if (got == 0)
                break;
            filled += got;
        }
        if (filled == 0)
            break;
        writeOut(encodeLine(QByteArray(piece, filled), Method));
        if (filled < PieceSize)
            break;
    }
    if (Method == uuCode)
        writeOut(encodeLine(QByteArray(), uuCode));
}
