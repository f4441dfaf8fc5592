#include "JpegImage.h"

#include <QFile>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

namespace {

// libjpeg's default error handler calls exit(); ours jumps back to decode().
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void errorExit(j_common_ptr cinfo)
{
    auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, manager->message);
    std::longjmp(manager->jump, 1);
}

void outputMessage(j_common_ptr) {}

// The progress monitor with what it checks. libjpeg calls it every row of
// blocks while it reads a scan, so a refusal comes within one row's work.
struct Progress {
    jpeg_progress_mgr pub; // first: libjpeg hands back a pointer to it
    const JpegImage::Limits* limits;
};

[[noreturn]] void stop(j_common_ptr cinfo, const char* why)
{
    auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
    std::snprintf(manager->message, sizeof manager->message, "%s", why);
    std::longjmp(manager->jump, 1);
}

// Progressive files can hold any number of scans, each of which costs a pass
// over the whole coefficient buffer; a hostile file stops here.
void progressMonitor(j_common_ptr cinfo)
{
    auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
    const auto* progress = reinterpret_cast<const Progress*>(cinfo->progress);
    if (dinfo->input_scan_number > JpegImage::maxScans)
        stop(cinfo, "too many scans");
    const qint64 pixels = qint64(dinfo->image_width) * qint64(dinfo->image_height);
    if (pixels * std::max(dinfo->input_scan_number, 1) > progress->limits->maxWork)
        stop(cinfo, "too much work");
    if (progress->limits->cancel && progress->limits->cancel->load(std::memory_order_relaxed))
        stop(cinfo, "cancelled");
}

// The objects with destructors (image, row) belong to the caller, so that
// the longjmp back to setjmp below neither skips a destructor nor leaves one
// of them in a register with a stale value.
bool decodeInto(const QByteArray& data, QImage& image, std::vector<JSAMPLE>& rowBuffer,
                ErrorManager& errors, const JpegImage::Limits& limits)
{
    jpeg_decompress_struct cinfo {};
    Progress progress {{}, &limits};
    std::vector<JSAMPLE>* row = &rowBuffer;

    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = errorExit;
    errors.pub.output_message = outputMessage;
    errors.message[0] = 0;

    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }

    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = JpegImage::maxMemory;
    progress.pub.progress_monitor = progressMonitor;
    cinfo.progress = &progress.pub;
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(data.constData()),
                 static_cast<unsigned long>(data.size()));
    jpeg_read_header(&cinfo, TRUE);

    if (cinfo.image_width == 0 || cinfo.image_height == 0 || cinfo.image_width > unsigned(JpegImage::maxSide)
        || cinfo.image_height > unsigned(JpegImage::maxSide)) {
        std::snprintf(errors.message, sizeof errors.message, "picture of %ux%u pixels refused",
                      cinfo.image_width, cinfo.image_height);
        std::longjmp(errors.jump, 1);
    }
    // Even a baseline picture is one pass of work.
    if (qint64(cinfo.image_width) * qint64(cinfo.image_height) > limits.maxWork)
        stop(reinterpret_cast<j_common_ptr>(&cinfo), "too much work");

    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(&cinfo);

    image = QImage(int(cinfo.output_width), int(cinfo.output_height), QImage::Format_RGB32);
    if (image.isNull()) {
        std::snprintf(errors.message, sizeof errors.message, "out of memory");
        std::longjmp(errors.jump, 1);
    }
    row->resize(size_t(cinfo.output_width) * size_t(cinfo.output_components));
    while (cinfo.output_scanline < cinfo.output_height) {
        if (limits.cancel && limits.cancel->load(std::memory_order_relaxed))
            stop(reinterpret_cast<j_common_ptr>(&cinfo), "cancelled");
        JSAMPROW rows[1] = {row->data()};
        const int y = int(cinfo.output_scanline);
        jpeg_read_scanlines(&cinfo, rows, 1);
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        const JSAMPLE* in = row->data();
        for (unsigned x = 0; x < cinfo.output_width; ++x) {
            if (cmyk) {
                // Adobe writes CMYK inverted; that is what nearly every CMYK
                // JPEG in the wild is.
                const int k = in[3];
                out[x] = qRgb(in[0] * k / 255, in[1] * k / 255, in[2] * k / 255);
                in += 4;
            } else {
                out[x] = qRgb(in[0], in[1], in[2]);
                in += 3;
            }
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

} // namespace

QImage JpegImage::decode(const QByteArray& data, QString* error, const Limits& limits)
{
    QImage image;
    std::vector<JSAMPLE> row;
    ErrorManager errors {};
    if (!decodeInto(data, image, row, errors, limits)) {
        if (error)
            *error = QString::fromLocal8Bit(errors.message);
        return QImage();
    }
    return image;
}

QImage JpegImage::load(const QString& fileName, QString* error, const Limits& limits)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return QImage();
    }
    if (file.size() > maxFileSize) {
        if (error)
            *error = QStringLiteral("file too large");
        return QImage();
    }
    return decode(file.readAll(), error, limits);
}
