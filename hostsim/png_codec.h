// A small PNG codec over zlib, the one kestrin-run uses on Linux and on Windows alike.
//
// Debian packages no libpng for mingw-w64, but it does package zlib (libz-mingw-w64-dev), and
// zlib leaves PNG only chunks, row filters and interlacing to do. Windows' own codec (WIC)
// would have meant COM and a different reader on each system; this way both builds read every
// file into the same bits. The native tests check it against libpng.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrin::hostsim {

// R, G, B samples, three per pixel, rows packed: 0..255 (depth 8) or 0..65535 (depth 16).
struct RgbImage {
    uint32_t width = 0;
    uint32_t height = 0;
    int depth = 8;
    std::vector<uint16_t> samples;
};

// Largest width or height either direction accepts.
inline constexpr uint32_t kMaxPngSide = 16384;

enum class PngError {
    None,
    NotPng,        // no PNG signature
    Damaged,       // bad chunk, checksum, header field, palette or image data
    ImpossibleSize // zero, or larger than kMaxPngSide
};

// Decodes every standard PNG: grey, grey with alpha, palette, RGB and RGBA, at every bit depth,
// interlaced or not, into 8- or 16-bit RGB the way libpng's expand, grey-to-RGB and strip-alpha
// transforms would: 16-bit files stay 16-bit; everything else becomes 8-bit, grey of 1, 2 or 4
// bits scaled up to 0..255, palette entries looked up (an index past the palette is black).
// Alpha and transparency are dropped. `width` and `height` are set as soon as the header is read.
PngError decodePng(const uint8_t* data, size_t size, RgbImage& image);

// Encodes an 8-bit RGB image (depth must be 8) as a non-interlaced PNG.
std::vector<uint8_t> encodePng(const RgbImage& image);

} // namespace kestrin::hostsim
