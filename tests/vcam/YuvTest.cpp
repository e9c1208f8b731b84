#include "vcam/Yuv.h"

#include <gtest/gtest.h>

#include <vector>

namespace orv::vcam {
namespace {

// BT.601 limited range, 8 bits, worked out by hand from the standard's
// coefficients (Y = 16 + 65.481 R + 128.553 G + 24.966 B, Cb = 128 - 37.797 R
// - 74.203 G + 112 B, Cr = 128 + 112 R - 93.786 G - 18.214 B, R, G, B from 0
// to 1), rounded: red's luma 81.48 is 81, green's 144.55 is 145.
TEST(Yuv, ColoursHaveTheirBt601Codes)
{
    struct Row {
        const char* name;
        int r, g, b;
        int y, u, v;
    };
    const Row rows[] = {
        {"black", 0, 0, 0, 16, 128, 128},     {"white", 255, 255, 255, 235, 128, 128},
        {"red", 255, 0, 0, 81, 90, 240},      {"green", 0, 255, 0, 145, 54, 34},
        {"blue", 0, 0, 255, 41, 240, 110},    {"mid grey", 128, 128, 128, 126, 128, 128},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(LumaOf(row.r, row.g, row.b), row.y) << row.name;
        EXPECT_EQ(BlueDifferenceOf(row.r, row.g, row.b), row.u) << row.name;
        EXPECT_EQ(RedDifferenceOf(row.r, row.g, row.b), row.v) << row.name;
    }
}

// Row and frame sizes as GStreamer lays these formats out by default: rows
// padded to 4 bytes, I420's chroma planes half the size, rounded up.
TEST(Yuv, LayoutsMatchWhatConsumersExpect)
{
    struct Row {
        PixelLayout layout;
        int width, height;
        int rowBytes;
        size_t frameBytes;
    };
    const Row rows[] = {
        {PixelLayout::Yuy2, 160, 120, 320, 38400},   {PixelLayout::I420, 160, 120, 160, 28800},
        {PixelLayout::Yuy2, 176, 144, 352, 50688},   {PixelLayout::I420, 176, 144, 176, 38016},
        {PixelLayout::Yuy2, 3, 2, 8, 16},            {PixelLayout::I420, 3, 3, 4, 12 + 2 * 4 * 2},
        {PixelLayout::I420, 1, 1, 4, 4 + 2 * 4},     {PixelLayout::Yuy2, 0, 10, 0, 0},
        {PixelLayout::I420, 10, -1, 4 * 3, 0},       {PixelLayout::Yuy2, 20000, 10, 0, 0},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(RowBytes(row.layout, row.width), row.rowBytes) << row.width << "x" << row.height;
        EXPECT_EQ(FrameBytes(row.layout, row.width, row.height), row.frameBytes) << row.width << "x" << row.height;
    }
}

std::vector<uint8_t> Pixels(std::initializer_list<std::initializer_list<int>> pixels)
{
    std::vector<uint8_t> bytes;
    for (const auto& pixel : pixels)
        for (int component : pixel)
            bytes.push_back(static_cast<uint8_t>(component));
    return bytes;
}

TEST(Yuv, Yuy2PairsShareTheirAveragedChroma)
{
    // One row: red and blue share a pair; a lone white pixel closes the row.
    const std::vector<uint8_t> rgb = Pixels({{255, 0, 0}, {0, 0, 255}, {255, 255, 255}});
    std::vector<uint8_t> out(FrameBytes(PixelLayout::Yuy2, 3, 1), 0xee);
    ASSERT_TRUE(ConvertRgb(rgb.data(), 3, 1, 9, PixelLayout::Yuy2, out.data(), out.size()));
    // The pair's chroma is that of their average (128, 0, 128): Cb 165.25,
    // Cr 175.08.
    const std::vector<uint8_t> expected{81, 165, 41, 175, 235, 128, 235, 128};
    EXPECT_EQ(out, expected);
}

TEST(Yuv, I420PlanesFollowOneAnother)
{
    // 3 x 3: the luma plane of 4-byte rows, then U, then V, each of 2 rows
    // of 4 bytes (2 used); the odd last column and row stand alone.
    std::vector<uint8_t> rgb;
    for (int i = 0; i < 9; ++i)
        for (int c = 0; c < 3; ++c)
            rgb.push_back(i == 8 ? 255 : 0);  // black but the bottom-right white
    std::vector<uint8_t> out(FrameBytes(PixelLayout::I420, 3, 3));
    ASSERT_TRUE(ConvertRgb(rgb.data(), 3, 3, 9, PixelLayout::I420, out.data(), out.size()));
    const std::vector<uint8_t> expected{
        16, 16, 16, 0, 16, 16, 16, 0, 16, 16, 235, 0,  // Y
        128, 128, 0, 0, 128, 128, 0, 0,                // U
        128, 128, 0, 0, 128, 128, 0, 0,                // V
    };
    EXPECT_EQ(out, expected);
}

TEST(Yuv, RefusesWhatWouldWritePastTheBuffer)
{
    const std::vector<uint8_t> rgb(4 * 4 * 3, 200);
    struct Row {
        const char* name;
        int width, height, stride;
        size_t room;
    };
    const Row rows[] = {
        {"room one byte short", 4, 4, 12, FrameBytes(PixelLayout::Yuy2, 4, 4) - 1},
        {"stride shorter than a row", 4, 4, 11, 1000},
        {"no pixels", 0, 4, 12, 1000},
    };
    for (const Row& row : rows) {
        std::vector<uint8_t> out(row.room + 8, 0x5a);
        EXPECT_FALSE(ConvertRgb(rgb.data(), row.width, row.height, row.stride, PixelLayout::Yuy2, out.data(), row.room))
            << row.name;
        EXPECT_EQ(out, std::vector<uint8_t>(row.room + 8, 0x5a)) << row.name << ": written although refused";
    }
}

}  // namespace
}  // namespace orv::vcam
