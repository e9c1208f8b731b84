// Any bytes from the phone decoded as a picture: a failure is reported, never
// a crash, and a success is a frame of the size the picture states.
#include "capture/Jpeg.h"


#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QImage frame;
    QString error;
    if (orv::DecodeJpeg(data, size, &frame, &error)) {
        if (frame.isNull() || frame.format() != QImage::Format_RGB888)
            std::abort();
    } else if (error.isEmpty()) {
        std::abort();
    }
    return 0;
}
