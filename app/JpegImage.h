#pragma once

// Decodes the squad logo, a JPEG file, with libjpeg. The file comes from a
// server the program does not control, so every limit is set before any pixel
// is decoded: a side longer than maxSide, more than maxScans progressive
// scans or more than maxMemory of decoder memory ends the decode. A file that
// is no decodable JPEG gives a null image and never ends the process.

#include <QImage>
#include <QString>

namespace JpegImage {

constexpr int maxSide = 8192;
constexpr int maxScans = 1000;
constexpr long maxMemory = 256L * 1024 * 1024;
// A logo is small; a file larger than this is no logo and is not read.
constexpr qint64 maxFileSize = 64LL * 1024 * 1024;

// Null image on any failure; error (when given) then says why.
QImage load(const QString& fileName, QString* error = nullptr);
QImage decode(const QByteArray& data, QString* error = nullptr);

} // namespace JpegImage
