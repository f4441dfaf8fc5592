#pragma once

// Decodes the squad logo, a JPEG file, with libjpeg. The file comes from a
// server the program does not control, so every limit is set before any pixel
// is decoded: a side longer than maxSide, more than maxScans progressive
// scans, more than maxMemory of decoder memory or more work than the budget
// ends the decode. A file that is no decodable JPEG gives a null image and
// never ends the process. Decodes may run on any thread.

#include <QImage>
#include <QString>

#include <atomic>

namespace JpegImage {

constexpr int maxSide = 8192;
constexpr int maxScans = 1000;
constexpr long maxMemory = 256L * 1024 * 1024;
// A logo is small; a file larger than this is no logo and is not read.
constexpr qint64 maxFileSize = 64LL * 1024 * 1024;

// The work of a decode is its pixels times its scans (a baseline file has
// one). Each progressive scan is a pass over the whole picture, so a picture
// inside every other limit can still hold minutes of work: 8192 x 8192 with
// a few hundred scans. The scans are counted as they are read; the decode
// ends as soon as the next scan would go beyond the budget.
constexpr qint64 maxWork = 256LL * 1024 * 1024;

struct Limits {
    qint64 maxWork = JpegImage::maxWork;
    // When set, the decode ends (null image) soon after it turns true.
    const std::atomic_bool* cancel = nullptr;
};

// Null image on any failure; error (when given) then says why.
QImage load(const QString& fileName, QString* error = nullptr, const Limits& limits = {});
QImage decode(const QByteArray& data, QString* error = nullptr, const Limits& limits = {});

} // namespace JpegImage
