// Fuzz target: a squad logo as it arrives in "temp.jpg", decoded by
// JpegImage::decode (JpegImage::load adds only the file read). The decoder
// either gives a picture within its limits, in the one pixel format the view
// expects, or a null picture with a reason; it never throws.

#include <QByteArray>
#include <QImage>
#include <QString>

#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "JpegImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray file = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    const QImage image = JpegImage::decode(file, &error);
    if (image.isNull()) {
        FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    FUZZ_CHECK(image.width() >= 1 && image.width() <= JpegImage::maxSide);
    FUZZ_CHECK(image.height() >= 1 && image.height() <= JpegImage::maxSide);
    FUZZ_CHECK(image.format() == QImage::Format_RGB32);
    return 0;
}
