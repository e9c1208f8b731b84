#pragma once
// The icon's pixels, premultiplied ARGB32 rows, for each size carried (a
// source file written at build time from icons/png by orv_icon_pixels).

#include <cstdint>

namespace orv {

struct IconPixels {
    int size;
    const std::uint32_t* argb;  // size x size pixels, row after row
};

extern const IconPixels kProgramIconPixels[];
extern const int kProgramIconPixelsCount;

}  // namespace orv
