#include "Jpeg.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

// jpeglib.h needs FILE and size_t declared before it.
#include <jerror.h>
#include <jpeglib.h>

namespace orv {
namespace {

// Pictures beyond these sizes are refused before any pixel memory is taken:
// the header of a few bytes could otherwise ask for gigabytes.
constexpr JDIMENSION kMaxSide = 16384;
constexpr unsigned long long kMaxPixels = 64ull * 1024 * 1024;

// Rows handed to libjpeg per call: enough for its widest output group.
constexpr JDIMENSION kRowBatch = 16;

// libjpeg reports a fatal error by calling error_exit, which must not
// return. Ours keeps the message and jumps back into the function that
// called setjmp. Those functions are plain C in spirit: no object with a
// destructor is alive in their frames, so the jump skips nothing.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf escape;
    char message[JMSG_LENGTH_MAX];
    bool cutShort;  // the coded data ended before the picture did
};

[[noreturn]] void ExitWithError(j_common_ptr info)
{
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, manager->message);
    std::longjmp(manager->escape, 1);
}

// Warnings are tolerated: many cameras write a few stray bytes before a
// marker. Data that end before the picture does (the file is cut short, or
// its coded data stop at a marker too early) leave the rest of the picture
// grey, as a JPEG viewer shows it; that is noted.
void EmitMessage(j_common_ptr info, int level)
{
    if (level >= 0)
        return;  // trace messages
    if (info->err->msg_code == JWRN_JPEG_EOF || info->err->msg_code == JWRN_HIT_MARKER)
        reinterpret_cast<ErrorManager*>(info->err)->cutShort = true;
    info->err->num_warnings++;
}

// Nothing is ever printed: errors travel back as text.
void OutputMessage(j_common_ptr) {}

void InstallErrorManager(ErrorManager& manager)
{
    jpeg_std_error(&manager.base);
    manager.base.error_exit = ExitWithError;
    manager.base.emit_message = EmitMessage;
    manager.base.output_message = OutputMessage;
    manager.message[0] = '\0';
    manager.cutShort = false;
}

struct DecodeSession {
    jpeg_decompress_struct info;
    ErrorManager error;
};

// Reads the header and chooses the output: RGB for colour and greyscale
// pictures (libjpeg converts both), CMYK for the four-component ones, which
// are converted row by row afterwards.
bool ReadHeader(DecodeSession& session, const uint8_t* bytes, size_t length)
{
    if (setjmp(session.error.escape))
        return false;
    jpeg_create_decompress(&session.info);
    jpeg_mem_src(&session.info, bytes, static_cast<unsigned long>(length));
    jpeg_read_header(&session.info, TRUE);
    if (session.info.jpeg_color_space == JCS_CMYK || session.info.jpeg_color_space == JCS_YCCK)
        session.info.out_color_space = JCS_CMYK;
    else
        session.info.out_color_space = JCS_RGB;
    jpeg_calc_output_dimensions(&session.info);
    return true;
}

// Decodes straight into the frame's rows. cmykRow has room for one row of
// four-component samples when the output is CMYK (Adobe's inverted form, as
// the cameras and editors that write CMYK store it).
bool ReadPixels(DecodeSession& session, uint8_t* firstRow, size_t stride, uint8_t* cmykRow)
{
    if (setjmp(session.error.escape))
        return false;
    jpeg_start_decompress(&session.info);
    const JDIMENSION width = session.info.output_width;
    const JDIMENSION height = session.info.output_height;
    JSAMPROW rows[kRowBatch];
    while (session.info.output_scanline < height) {
        const JDIMENSION row = session.info.output_scanline;
        if (cmykRow) {
            rows[0] = cmykRow;
            if (jpeg_read_scanlines(&session.info, rows, 1) != 1)
                ERREXIT(&session.info, JERR_BAD_BUFFER_MODE);
            uint8_t* out = firstRow + row * stride;
            for (JDIMENSION x = 0; x < width; ++x) {
                const unsigned k = cmykRow[4 * x + 3];
                out[3 * x + 0] = static_cast<uint8_t>(cmykRow[4 * x + 0] * k / 255);
                out[3 * x + 1] = static_cast<uint8_t>(cmykRow[4 * x + 1] * k / 255);
                out[3 * x + 2] = static_cast<uint8_t>(cmykRow[4 * x + 2] * k / 255);
            }
            continue;
        }
        const JDIMENSION count = height - row < kRowBatch ? height - row : kRowBatch;
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = firstRow + (row + i) * stride;
        if (jpeg_read_scanlines(&session.info, rows, count) == 0)
            ERREXIT(&session.info, JERR_BAD_BUFFER_MODE);  // cannot happen with a memory source
    }
    jpeg_finish_decompress(&session.info);
    return true;
}

// A growing memory destination of the encoder, in malloc'd memory so that an
// error jump leaves nothing but one pointer to free.
struct MemorySink {
    jpeg_destination_mgr base;
    unsigned char* data;
    size_t capacity;
};

void InitSink(j_compress_ptr) {}

boolean GrowSink(j_compress_ptr info)
{
    auto* sink = reinterpret_cast<MemorySink*>(info->dest);
    const size_t used = sink->capacity;
    const size_t grown = used * 2;
    auto* data = static_cast<unsigned char*>(std::realloc(sink->data, grown));
    if (!data)
        ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
    sink->data = data;
    sink->capacity = grown;
    sink->base.next_output_byte = data + used;
    sink->base.free_in_buffer = grown - used;
    return TRUE;
}

void TermSink(j_compress_ptr) {}

struct EncodeSession {
    jpeg_compress_struct info;
    ErrorManager error;
    MemorySink sink;
};

bool Compress(EncodeSession& session, const uint8_t* firstRow, size_t stride, int width, int height)
{
    if (setjmp(session.error.escape))
        return false;
    jpeg_create_compress(&session.info);
    session.info.dest = &session.sink.base;
    session.info.image_width = static_cast<JDIMENSION>(width);
    session.info.image_height = static_cast<JDIMENSION>(height);
    session.info.input_components = 3;
    session.info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&session.info);
    jpeg_set_quality(&session.info, 90, TRUE);
    session.info.dct_method = JDCT_FLOAT;
    jpeg_start_compress(&session.info, TRUE);
    JSAMPROW rows[kRowBatch];
    while (session.info.next_scanline < session.info.image_height) {
        const JDIMENSION row = session.info.next_scanline;
        const JDIMENSION left = session.info.image_height - row;
        const JDIMENSION count = left < kRowBatch ? left : kRowBatch;
        // libjpeg takes non-const rows but only reads them.
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = const_cast<JSAMPROW>(firstRow + (row + i) * stride);
        jpeg_write_scanlines(&session.info, rows, count);
    }
    jpeg_finish_compress(&session.info);
    return true;
}

void SetError(QString* error, const QString& reason)
{
    if (error)
        *error = QStringLiteral("not a JPEG picture: ") + reason;
}

}  // namespace

bool DecodeJpeg(const uint8_t* bytes, size_t length, QImage* frame, QString* error, bool* cutShort)
{
    if (cutShort)
        *cutShort = false;
    if (!bytes || length == 0) {
        SetError(error, QStringLiteral("no bytes"));
        return false;
    }
    DecodeSession session;
    std::memset(&session, 0, sizeof session);
    session.info.err = &session.error.base;
    InstallErrorManager(session.error);

    QImage decoded;
    bool ok = ReadHeader(session, bytes, length);
    QString reason;
    if (!ok) {
        reason = QString::fromLocal8Bit(session.error.message);
    } else {
        const JDIMENSION width = session.info.output_width;
        const JDIMENSION height = session.info.output_height;
        if (width > kMaxSide || height > kMaxSide
            || static_cast<unsigned long long>(width) * height > kMaxPixels) {
            ok = false;
            reason = QStringLiteral("%1 x %2 pixels is larger than this program accepts").arg(width).arg(height);
        } else {
            decoded = QImage(static_cast<int>(width), static_cast<int>(height), QImage::Format_RGB888);
            uint8_t* cmykRow = nullptr;
            if (session.info.out_color_space == JCS_CMYK)
                cmykRow = static_cast<uint8_t*>(std::malloc(size_t(width) * 4));
            if (decoded.isNull() || (session.info.out_color_space == JCS_CMYK && !cmykRow)) {
                ok = false;
                reason = QStringLiteral("no memory for %1 x %2 pixels").arg(width).arg(height);
            } else {
                ok = ReadPixels(session, decoded.bits(), static_cast<size_t>(decoded.bytesPerLine()), cmykRow);
                if (!ok)
                    reason = QString::fromLocal8Bit(session.error.message);
            }
            std::free(cmykRow);
        }
    }
    jpeg_destroy_decompress(&session.info);
    if (!ok) {
        SetError(error, reason);
        return false;
    }
    if (frame)
        *frame = std::move(decoded);
    if (cutShort)
        *cutShort = session.error.cutShort;
    return true;
}

QByteArray EncodeJpeg(const QImage& image)
{
    if (image.isNull() || image.width() <= 0 || image.height() <= 0)
        return {};
    const QImage rgb =
        image.format() == QImage::Format_RGB888 ? image : image.convertToFormat(QImage::Format_RGB888);
    if (rgb.isNull())
        return {};

    EncodeSession session;
    std::memset(&session, 0, sizeof session);
    session.info.err = &session.error.base;
    InstallErrorManager(session.error);
    // A first guess of a tenth of the raw size holds most quality-90 pictures.
    session.sink.capacity = size_t(rgb.width()) * size_t(rgb.height()) * 3 / 10 + 4096;
    session.sink.data = static_cast<unsigned char*>(std::malloc(session.sink.capacity));
    if (!session.sink.data)
        return {};
    session.sink.base.init_destination = InitSink;
    session.sink.base.empty_output_buffer = GrowSink;
    session.sink.base.term_destination = TermSink;
    session.sink.base.next_output_byte = session.sink.data;
    session.sink.base.free_in_buffer = session.sink.capacity;

    const bool ok = Compress(session, rgb.constBits(), static_cast<size_t>(rgb.bytesPerLine()), rgb.width(),
                             rgb.height());
    QByteArray bytes;
    if (ok) {
        const size_t used = session.sink.capacity - session.sink.base.free_in_buffer;
        bytes = QByteArray(reinterpret_cast<const char*>(session.sink.data), static_cast<qsizetype>(used));
    }
    jpeg_destroy_compress(&session.info);
    std::free(session.sink.data);
    return bytes;
}

}  // namespace orv
