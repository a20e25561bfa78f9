// The PNG codec kestrin-run uses on both systems, against libpng: every colour type, bit depth
// and interlacing read into the same samples that libpng's expand / grey-to-RGB / strip-alpha
// transforms give; what it writes read back by libpng unchanged; damaged files refused without
// reading outside them.
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "hostsim/png_codec.h"

namespace kestrin::hostsim {
namespace {

struct Layout {
    int colour; // PNG_COLOR_TYPE_*
    int depth;
    bool interlaced;
};

std::string describe(const Layout& l) {
    return "colour " + std::to_string(l.colour) + ", depth " + std::to_string(l.depth) +
           (l.interlaced ? ", interlaced" : "");
}

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}
void noFlush(png_structp) {}

// A random image in `layout`, written by libpng (with a palette of 200 entries and a tRNS chunk
// where the colour type allows one).
std::vector<uint8_t> libpngFile(const Layout& layout, uint32_t width, uint32_t height,
                                uint32_t seed) {
    std::mt19937 rng(seed);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<uint8_t> file;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        ADD_FAILURE() << "libpng could not write " << describe(layout);
        return {};
    }
    png_set_write_fn(png, &file, appendBytes, noFlush);
    png_set_IHDR(png, info, width, height, layout.depth, layout.colour,
                 layout.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    int entries = 0;
    if (layout.colour == PNG_COLOR_TYPE_PALETTE) {
        entries = std::min(200, 1 << layout.depth);
        std::vector<png_color> palette(static_cast<size_t>(entries));
        for (png_color& c : palette)
            c = {static_cast<png_byte>(rng()), static_cast<png_byte>(rng()),
                 static_cast<png_byte>(rng())};
        png_set_PLTE(png, info, palette.data(), entries);
        std::vector<png_byte> alpha(static_cast<size_t>(entries), 128);
        png_set_tRNS(png, info, alpha.data(), entries, nullptr);
    } else if (layout.colour == PNG_COLOR_TYPE_GRAY || layout.colour == PNG_COLOR_TYPE_RGB) {
        png_color_16 transparent{};
        transparent.gray = transparent.red = 1;
        png_set_tRNS(png, info, nullptr, 0, &transparent);
    }
    // One row filter for the whole file, a different one from file to file, so that the decoder
    // meets each of them on every layout; and libpng's own choice row by row.
    const int filters[] = {PNG_FILTER_NONE, PNG_FILTER_SUB,   PNG_FILTER_UP,
                           PNG_FILTER_AVG,  PNG_FILTER_PAETH, PNG_ALL_FILTERS};
    png_set_filter(png, 0, filters[seed % 6]);
    png_write_info(png, info);
    if (layout.depth == 16) png_set_swap(png); // samples below are little-endian words
    png_set_interlace_handling(png);
    const size_t rowBytes = png_get_rowbytes(png, info);
    std::vector<std::vector<png_byte>> rows(height, std::vector<png_byte>(rowBytes));
    for (auto& row : rows) {
        for (png_byte& b : row) b = static_cast<png_byte>(rng());
        if (layout.colour == PNG_COLOR_TYPE_PALETTE && layout.depth == 8)
            for (png_byte& b : row) b = static_cast<png_byte>(b % entries);
    }
    std::vector<png_bytep> pointers;
    for (auto& row : rows) pointers.push_back(row.data());
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return file;
}

struct Source {
    const std::vector<uint8_t>* file;
    size_t at;
};
void readBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* s = static_cast<Source*>(png_get_io_ptr(png));
    if (s->at + length > s->file->size()) png_error(png, "read past the end");
    std::memcpy(data, s->file->data() + s->at, length);
    s->at += length;
}

// The file through libpng's transforms to 8- or 16-bit RGB without alpha: the reference.
bool libpngDecode(const std::vector<uint8_t>& file, RgbImage& image) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    Source source{&file, 0};
    std::vector<uint8_t> data;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &source, readBytes);
    png_read_info(png, info);
    const int depth = png_get_bit_depth(png, info);
    const int type = png_get_color_type(png, info);
    if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    if (depth < 8) png_set_expand(png);
    if (type & PNG_COLOR_MASK_ALPHA) png_set_strip_alpha(png);
    if (depth == 16) png_set_swap(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    image.width = png_get_image_width(png, info);
    image.height = png_get_image_height(png, info);
    image.depth = png_get_bit_depth(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    data.resize(rowBytes * image.height);
    std::vector<png_bytep> rows;
    for (uint32_t y = 0; y < image.height; ++y) rows.push_back(data.data() + y * rowBytes);
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    // tRNS on grey or RGB makes libpng's expand add alpha, which strip_alpha cannot see before
    // png_read_update_info; the row width tells how many channels came out.
    const size_t channels = rowBytes / image.width / (image.depth == 16 ? 2 : 1);
    image.samples.clear();
    for (uint32_t y = 0; y < image.height; ++y)
        for (uint32_t x = 0; x < image.width; ++x)
            for (size_t c = 0; c < 3; ++c) {
                const uint8_t* s = rows[y] + (x * channels + c) * (image.depth == 16 ? 2 : 1);
                image.samples.push_back(
                    static_cast<uint16_t>(image.depth == 16 ? s[0] | s[1] << 8 : s[0]));
            }
    return true;
}

TEST(PngCodec, ReadsEveryLayoutAsLibpngDoes) {
    const Layout layouts[] = {
        {PNG_COLOR_TYPE_GRAY, 1, false},       {PNG_COLOR_TYPE_GRAY, 2, true},
        {PNG_COLOR_TYPE_GRAY, 4, false},       {PNG_COLOR_TYPE_GRAY, 8, true},
        {PNG_COLOR_TYPE_GRAY, 16, false},      {PNG_COLOR_TYPE_GRAY_ALPHA, 8, false},
        {PNG_COLOR_TYPE_GRAY_ALPHA, 16, true}, {PNG_COLOR_TYPE_PALETTE, 1, false},
        {PNG_COLOR_TYPE_PALETTE, 2, false},    {PNG_COLOR_TYPE_PALETTE, 4, true},
        {PNG_COLOR_TYPE_PALETTE, 8, false},    {PNG_COLOR_TYPE_PALETTE, 8, true},
        {PNG_COLOR_TYPE_RGB, 8, false},        {PNG_COLOR_TYPE_RGB, 8, true},
        {PNG_COLOR_TYPE_RGB, 16, false},       {PNG_COLOR_TYPE_RGB_ALPHA, 8, true},
        {PNG_COLOR_TYPE_RGB_ALPHA, 16, false},
    };
    // Sizes smaller than an interlace block, odd ones, and one row or column.
    const uint32_t sizes[][2] = {{1, 1}, {3, 2}, {1, 9}, {13, 1}, {37, 23}};
    uint32_t seed = 1;
    for (const Layout& layout : layouts) {
        for (const auto& size : sizes) {
            SCOPED_TRACE(describe(layout) + ", " + std::to_string(size[0]) + "x" +
                         std::to_string(size[1]));
            const std::vector<uint8_t> file = libpngFile(layout, size[0], size[1], seed++);
            RgbImage expected, actual;
            ASSERT_TRUE(libpngDecode(file, expected));
            ASSERT_EQ(decodePng(file.data(), file.size(), actual), PngError::None);
            EXPECT_EQ(actual.width, expected.width);
            EXPECT_EQ(actual.height, expected.height);
            EXPECT_EQ(actual.depth, expected.depth);
            EXPECT_EQ(actual.samples, expected.samples);
        }
    }
}

TEST(PngCodec, WritesWhatLibpngReadsBack) {
    std::mt19937 rng(7);
    for (const auto& size : {std::pair{1u, 1u}, std::pair{5u, 3u}, std::pair{64u, 40u}}) {
        RgbImage image;
        image.width = size.first;
        image.height = size.second;
        image.depth = 8;
        for (uint32_t i = 0; i < 3 * image.width * image.height; ++i)
            // Smooth areas and noise, so that several row filters win.
            image.samples.push_back(static_cast<uint16_t>(i < 60 ? i : rng() % 256));
        const std::vector<uint8_t> file = encodePng(image);
        RgbImage back;
        ASSERT_TRUE(libpngDecode(file, back));
        EXPECT_EQ(back.width, image.width);
        EXPECT_EQ(back.height, image.height);
        EXPECT_EQ(back.depth, 8);
        EXPECT_EQ(back.samples, image.samples);
    }
}

// A small valid file: signature, IHDR, IDAT, IEND.
std::vector<uint8_t> smallFile() {
    RgbImage image;
    image.width = 4;
    image.height = 3;
    image.samples.assign(36, 200);
    return encodePng(image);
}

void setU32(std::vector<uint8_t>& file, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) file[at + static_cast<size_t>(i)] = uint8_t(v >> (24 - 8 * i));
}

TEST(PngCodec, RefusesDamagedFiles) {
    const std::vector<uint8_t> good = smallFile();
    RgbImage image;
    ASSERT_EQ(decodePng(good.data(), good.size(), image), PngError::None);

    // Every shorter prefix is refused (ASan and UBSan watch the reads).
    for (size_t n = 0; n < good.size(); ++n) {
        const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<ptrdiff_t>(n));
        EXPECT_NE(decodePng(cut.data(), cut.size(), image), PngError::None) << n << " bytes";
    }
    EXPECT_EQ(decodePng(good.data(), 7, image), PngError::NotPng);
    std::vector<uint8_t> text(good.size(), 'x');
    EXPECT_EQ(decodePng(text.data(), text.size(), image), PngError::NotPng);

    // IHDR is at 8: length 13, "IHDR", width at 16, height at 20, depth 24, colour 25, CRC 29.
    struct Case {
        const char* name;
        size_t at;
        uint8_t value;
        PngError expected;
    };
    const Case cases[] = {
        {"a byte of the image data", good.size() - 20, 0x55, PngError::Damaged},
        {"a bit depth of 3", 24, 3, PngError::Damaged},
        {"colour type 5", 25, 5, PngError::Damaged},
        {"interlace method 2", 28, 2, PngError::Damaged},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bad = good;
        bad[c.at] = c.value;
        if (c.at >= 16 && c.at < 29) { // keep the header's checksum right: the field is the fault
            const uLong crc = crc32(crc32(0, nullptr, 0), bad.data() + 12, 17);
            setU32(bad, 29, static_cast<uint32_t>(crc));
        }
        EXPECT_EQ(decodePng(bad.data(), bad.size(), image), c.expected) << c.name;
    }
    for (uint32_t side : {0u, kMaxPngSide + 1}) {
        std::vector<uint8_t> bad = good;
        setU32(bad, 16, side);
        setU32(bad, 29, static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), bad.data() + 12, 17)));
        EXPECT_EQ(decodePng(bad.data(), bad.size(), image), PngError::ImpossibleSize) << side;
        EXPECT_EQ(image.width, side);
    }
}

// A chunk inserted after IHDR (at 33): an ancillary one with a bad checksum is skipped, as
// libpng does; an unknown critical one is refused.
TEST(PngCodec, SkipsBrokenAncillaryChunksButNotUnknownCriticalOnes) {
    const std::vector<uint8_t> good = smallFile();
    auto withChunk = [&](const char* type, bool goodCrc) {
        std::vector<uint8_t> chunk = {0, 0, 0, 1};
        chunk.insert(chunk.end(), type, type + 4);
        chunk.push_back('!');
        const uLong crc = crc32(crc32(0, nullptr, 0), chunk.data() + 4, 5);
        for (int i = 0; i < 4; ++i)
            chunk.push_back(static_cast<uint8_t>((goodCrc ? crc : ~crc) >> (24 - 8 * i)));
        std::vector<uint8_t> file = good;
        file.insert(file.begin() + 33, chunk.begin(), chunk.end());
        return file;
    };
    RgbImage image;
    std::vector<uint8_t> file = withChunk("tEXt", false);
    EXPECT_EQ(decodePng(file.data(), file.size(), image), PngError::None);
    file = withChunk("ABCD", true);
    EXPECT_EQ(decodePng(file.data(), file.size(), image), PngError::Damaged);
    file = withChunk("IDAT", false);
    EXPECT_EQ(decodePng(file.data(), file.size(), image), PngError::Damaged);
}

} // namespace
} // namespace kestrin::hostsim
