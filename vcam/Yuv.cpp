#include "Yuv.h"

#include <algorithm>
#include <limits>

namespace orv::vcam {
namespace {

// The largest frame laid out: far beyond any phone camera, well inside size_t.
constexpr int kMaxSide = 16384;

int RoundUp4(int value) { return (value + 3) & ~3; }

uint8_t Clamp(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

bool SizeOk(int width, int height) { return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide; }

// Chroma of up to four pixels, averaged on RGB first.
struct Rgb {
    int r = 0, g = 0, b = 0, n = 0;
    void Add(const uint8_t* pixel)
    {
        r += pixel[0];
        g += pixel[1];
        b += pixel[2];
        ++n;
    }
    uint8_t U() const { return BlueDifferenceOf((r + n / 2) / n, (g + n / 2) / n, (b + n / 2) / n); }
    uint8_t V() const { return RedDifferenceOf((r + n / 2) / n, (g + n / 2) / n, (b + n / 2) / n); }
};

}  // namespace

// BT.601 with its coefficients to three decimals (Y = 16 + 65.481 R +
// 128.553 G + 24.966 B for R, G, B from 0 to 1), in thousandths over 255 and
// rounded to the nearest code: the 8-bit shortcut of 66, 129 and 25 in 256ths
// is a code off for pure red and green.
constexpr int kScale = 255 * 1000;
uint8_t LumaOf(int r, int g, int b)
{
    return Clamp((16 * kScale + 65481 * r + 128553 * g + 24966 * b + kScale / 2) / kScale);
}
uint8_t BlueDifferenceOf(int r, int g, int b)
{
    return Clamp((128 * kScale - 37797 * r - 74203 * g + 112000 * b + kScale / 2) / kScale);
}
uint8_t RedDifferenceOf(int r, int g, int b)
{
    return Clamp((128 * kScale + 112000 * r - 93786 * g - 18214 * b + kScale / 2) / kScale);
}

int RowBytes(PixelLayout layout, int width)
{
    if (width <= 0 || width > kMaxSide)
        return 0;
    return layout == PixelLayout::Yuy2 ? RoundUp4(2 * ((width + 1) / 2) * 2) : RoundUp4(width);
}

size_t FrameBytes(PixelLayout layout, int width, int height)
{
    if (!SizeOk(width, height))
        return 0;
    const auto rows = static_cast<size_t>(height);
    if (layout == PixelLayout::Yuy2)
        return static_cast<size_t>(RowBytes(layout, width)) * rows;
    const auto chromaRow = static_cast<size_t>(RoundUp4((width + 1) / 2));
    const auto chromaRows = static_cast<size_t>((height + 1) / 2);
    return static_cast<size_t>(RowBytes(layout, width)) * rows + 2 * chromaRow * chromaRows;
}

bool ConvertRgb(const uint8_t* rgb, int width, int height, int rgbStride, PixelLayout layout, uint8_t* out,
                size_t outSize)
{
    const size_t needed = FrameBytes(layout, width, height);
    if (!rgb || !out || needed == 0 || outSize < needed || rgbStride < 3 * width)
        return false;
    std::fill(out, out + needed, uint8_t{0});
    const auto row = [&](int y) { return rgb + static_cast<ptrdiff_t>(y) * rgbStride; };
    if (layout == PixelLayout::Yuy2) {
        const int stride = RowBytes(layout, width);
        for (int y = 0; y < height; ++y) {
            const uint8_t* in = row(y);
            uint8_t* line = out + static_cast<ptrdiff_t>(y) * stride;
            for (int x = 0; x < width; x += 2) {
                const uint8_t* left = in + 3 * x;
                const uint8_t* right = x + 1 < width ? left + 3 : left;
                Rgb pair;
                pair.Add(left);
                if (x + 1 < width)
                    pair.Add(right);
                uint8_t* quad = line + 2 * x;
                quad[0] = LumaOf(left[0], left[1], left[2]);
                quad[1] = pair.U();
                quad[2] = LumaOf(right[0], right[1], right[2]);
                quad[3] = pair.V();
            }
        }
        return true;
    }
    const int lumaStride = RowBytes(layout, width);
    const int chromaStride = RoundUp4((width + 1) / 2);
    uint8_t* const lumaPlane = out;
    uint8_t* const uPlane = lumaPlane + static_cast<ptrdiff_t>(lumaStride) * height;
    uint8_t* const vPlane = uPlane + static_cast<ptrdiff_t>(chromaStride) * ((height + 1) / 2);
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = row(y);
        uint8_t* luma = lumaPlane + static_cast<ptrdiff_t>(y) * lumaStride;
        for (int x = 0; x < width; ++x)
            luma[x] = LumaOf(in[3 * x], in[3 * x + 1], in[3 * x + 2]);
    }
    for (int y = 0; y < height; y += 2) {
        for (int x = 0; x < width; x += 2) {
            Rgb block;
            for (int dy = 0; dy < 2 && y + dy < height; ++dy)
                for (int dx = 0; dx < 2 && x + dx < width; ++dx)
                    block.Add(row(y + dy) + 3 * (x + dx));
            const ptrdiff_t at = static_cast<ptrdiff_t>(y / 2) * chromaStride + x / 2;
            uPlane[at] = block.U();
            vPlane[at] = block.V();
        }
    }
    return true;
}

}  // namespace orv::vcam
