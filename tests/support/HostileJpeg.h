#pragma once

// A progressive greyscale JPEG with as many scans as asked: a picture inside
// every size limit whose decode is a pass over all of it for each scan.
//
// Qt writes the picture with a few progressive scans; one of its AC scans is
// then repeated until the file has `scans` of them. A decoder reads a scan
// that refines coefficients it has already seen as a mere warning, so every
// copy costs a full pass, while the file stays small: the flat grey picture
// codes each AC scan in a few bytes. Made at test time, never stored.

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageWriter>
#include <QList>

namespace HostileJpeg
{

// [begin, end) of each scan (SOS marker to the marker after its data).
inline QList<QPair<int, int>> scans(const QByteArray& jpeg)
{
    QList<QPair<int, int>> found;
    int i = 2; // after SOI
    while (i + 4 <= jpeg.size() && uchar(jpeg[i]) == 0xFF) {
        const uchar marker = uchar(jpeg[i + 1]);
        if (marker == 0xD9)
            break;
        const int length = (uchar(jpeg[i + 2]) << 8) | uchar(jpeg[i + 3]);
        int next = i + 2 + length;
        if (marker == 0xDA) {
            // Entropy-coded data runs to the next marker that is neither a
            // stuffed zero nor a restart marker.
            while (next + 1 < jpeg.size() &&
                   !(uchar(jpeg[next]) == 0xFF && jpeg[next + 1] != 0 &&
                     (uchar(jpeg[next + 1]) < 0xD0 || uchar(jpeg[next + 1]) > 0xD7)))
                ++next;
            found.append({i, next});
        }
        i = next;
    }
    return found;
}

inline QByteArray make(int side, int scanCount)
{
    QImage image(side, side, QImage::Format_Grayscale8);
    image.fill(128);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(true);
    writer.setQuality(90);
    if (!writer.write(image))
        return {};
    const QList<QPair<int, int>> found = scans(data);
    if (found.isEmpty() || found.size() > scanCount)
        return {};
    // The copy: the first AC scan that sets coefficients (Ss > 0, Ah = 0).
    QByteArray copy;
    for (const auto& [begin, end] : found) {
        const int components = uchar(data[begin + 4]);
        const int spectral = begin + 5 + 2 * components; // Ss, Se, Ah/Al
        if (uchar(data[spectral]) > 0 && (uchar(data[spectral + 2]) >> 4) == 0) {
            copy = data.mid(begin, end - begin);
            break;
        }
    }
    if (copy.isEmpty())
        return {};
    const int end = found.last().second;
    return data.left(end) + copy.repeated(scanCount - int(found.size())) + data.mid(end);
}

} // namespace HostileJpeg
