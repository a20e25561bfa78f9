// YUV4MPEG2 streams, as video tools pass them on pipes: a header line, then frames, each a
// "FRAME" line and the planes Y, Cb, Cr (Y alone for mono) of 8-bit samples, or of 16-bit
// little-endian samples above 8 bits.
//
// The header's tokens are kept in order; W, H and C (with FFmpeg's XYSCSS twin) are parsed,
// XCOLORRANGE=FULL|LIMITED is honoured (limited when absent), and every other token (frame rate,
// interlacing, aspect, comments) is written back as it came.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin::hostsim::y4m {

// Where the chroma samples of a subsampled layout sit relative to the luma samples.
enum class Siting {
    Center,  // between the luma samples both ways (420jpeg, and 420 without a siting)
    Left,    // with the even luma columns, between the rows (420mpeg2)
    TopLeft, // with the even luma columns and rows (420paldv)
};

// A layout of samples: the chroma planes are (width / chromaX) x (height / chromaY); chromaX 0
// means no chroma planes (mono).
struct Layout {
    int chromaX = 1;
    int chromaY = 1;
    Siting siting = Siting::Center;
    int bits = 8; // 8 to 16; above 8 each sample takes two bytes, little-endian
    bool mono() const { return chromaX == 0; }
    bool operator==(const Layout&) const = default;
};

// The C token of a layout ("420jpeg", "444p16", "mono12") and back. Parsing is lenient about
// case; an unknown token gives false.
bool parseLayout(std::string_view token, Layout& layout);
std::string layoutToken(const Layout& layout);
// FFmpeg's XYSCSS value for the layout ("420JPEG", "444P16").
std::string layoutExtension(const Layout& layout);

struct Header {
    int32_t width = 0;
    int32_t height = 0;
    Layout layout;
    bool fullRange = false;
    bool rangeGiven = false;         // the stream said XCOLORRANGE
    bool layoutExtension = false;    // the stream said XYSCSS
    std::vector<std::string> tokens; // the others, in order, written back unchanged
};

// Parses a header line (without its newline). Empty on success, else what is wrong.
std::string parseHeader(std::string_view line, Header& header);
// The header line for `header`, newline included.
std::string formatHeader(const Header& header);

// The sizes of one frame's planes.
struct PlaneSizes {
    int32_t lumaWidth, lumaHeight, chromaWidth, chromaHeight;
    size_t bytesPerSample;
    size_t frameBytes() const {
        return (size_t(lumaWidth) * lumaHeight + 2 * size_t(chromaWidth) * chromaHeight) *
               bytesPerSample;
    }
};
// Sizes are checked first: false when the width or height is not a whole number of chroma
// samples.
bool planeSizes(int32_t width, int32_t height, const Layout& layout, PlaneSizes& sizes);

// One frame's samples, each widened to 16 bits: Y, then Cb and Cr (empty for mono).
struct Planes {
    std::vector<uint16_t> y, cb, cr;
};

// Reads a stream from a C stream (a file, or standard input in binary mode).
class Reader {
  public:
    explicit Reader(std::FILE* in) : in_(in) {}
    // Empty on success, else one line saying what is wrong with the header.
    std::string readHeader(Header& header);
    enum class Status { Frame, End, Error };
    // The next frame; End at a clean end of the stream; Error with `error` set (a missing
    // "FRAME", a frame cut short, a read error).
    Status readFrame(Planes& planes, std::string& error);
    // Reads and drops the next frame.
    Status skipFrame(std::string& error);
    const Header& header() const { return header_; }

  private:
    bool readLine(std::string& line, size_t limit);
    Status frameLine(std::string& error);

    std::FILE* in_;
    Header header_;
    PlaneSizes sizes_{};
    std::vector<uint8_t> buffer_;
    int64_t frames_ = 0; // frames read so far
};

// Writes a stream. Every call reports a failed write (a full disk, a reader that went away).
class Writer {
  public:
    explicit Writer(std::FILE* out) : out_(out) {}
    bool writeHeader(const Header& header);
    bool writeFrame(const Planes& planes);

  private:
    std::FILE* out_;
    Header header_;
    PlaneSizes sizes_{};
    std::vector<uint8_t> buffer_;
};

} // namespace kestrin::hostsim::y4m
