#pragma once
// RGB frames in the raw layouts that video consumers take: packed YUY2 and
// planar I420, BT.601 limited range (what cameras deliver and what every
// consumer assumes for these formats). The rows are laid out as GStreamer
// and libcamera lay them out by default: each row (and each chroma row)
// padded to a multiple of 4 bytes, the planes of I420 one after another.
// Shared by the PipeWire module and its tests; no dependencies.

#include <cstddef>
#include <cstdint>

namespace orv::vcam {

enum class PixelLayout { Yuy2, I420 };

// Bytes of a row of the first plane, and of the whole frame; 0 for a size
// that cannot be laid out (not positive, or too large).
int RowBytes(PixelLayout layout, int width);
size_t FrameBytes(PixelLayout layout, int width, int height);

// Converts width × height pixels of packed RGB (rgbStride bytes a row) into
// out, which holds at least FrameBytes. Chroma is the average of each pair
// (YUY2) or 2 × 2 block (I420); an odd last column or row stands alone.
// False, with nothing written, when out is too small or the size is bad.
bool ConvertRgb(const uint8_t* rgb, int width, int height, int rgbStride, PixelLayout layout, uint8_t* out,
                size_t outSize);

// One pixel's BT.601 limited-range components.
uint8_t LumaOf(int r, int g, int b);
uint8_t BlueDifferenceOf(int r, int g, int b);
uint8_t RedDifferenceOf(int r, int g, int b);

}  // namespace orv::vcam
