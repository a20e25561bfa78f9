#include "hostsim/y4m.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace kestrin::hostsim::y4m {
namespace {

constexpr std::string_view kMagic = "YUV4MPEG2";
constexpr std::string_view kFrame = "FRAME";
constexpr size_t kHeaderLimit = 4096; // bytes of a header line
constexpr size_t kFrameLineLimit = 1024;
constexpr int32_t kMaxSide = 16384; // keeps a frame's size within 32 bits

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// A decimal number filling all of `text`, within [lo, hi].
bool parseNumber(std::string_view text, int32_t lo, int32_t hi, int32_t& out) {
    int32_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi) return false;
    out = v;
    return true;
}

// The subsampled layouts by name; bit depths follow as "p<bits>".
struct NamedLayout {
    const char* name;
    int chromaX, chromaY;
    Siting siting;
    bool deep; // has p9 ... p16 variants
};
const NamedLayout kLayouts[] = {
    {"444", 1, 1, Siting::Center, true},        {"422", 2, 1, Siting::Left, true},
    {"420jpeg", 2, 2, Siting::Center, false},   {"420mpeg2", 2, 2, Siting::Left, false},
    {"420paldv", 2, 2, Siting::TopLeft, false}, {"420", 2, 2, Siting::Center, true},
    {"411", 4, 1, Siting::Left, false},         {"mono", 0, 0, Siting::Center, true},
};

bool validBits(int bits) {
    return bits >= 8 && bits <= 16;
}

} // namespace

bool parseLayout(std::string_view token, Layout& layout) {
    const std::string t = lower(token);
    for (const NamedLayout& n : kLayouts) {
        const size_t len = std::strlen(n.name);
        if (t.compare(0, len, n.name) != 0) continue;
        std::string_view rest = std::string_view(t).substr(len);
        int32_t bits = 8;
        if (!rest.empty()) {
            if (!n.deep) continue;
            // "mono16" has no "p"; the others do ("420p10").
            if (std::strcmp(n.name, "mono") != 0) {
                if (rest[0] != 'p') continue;
                rest.remove_prefix(1);
            }
            if (!parseNumber(rest, 8, 16, bits)) continue;
        }
        layout = {n.chromaX, n.chromaY, n.siting, bits};
        return true;
    }
    return false;
}

std::string layoutToken(const Layout& layout) {
    const std::string depth = layout.bits == 8 ? "" : std::to_string(layout.bits);
    if (layout.mono()) return "mono" + depth;
    if (layout.chromaX == 4) return "411";
    if (layout.chromaX == 1) return layout.bits == 8 ? "444" : "444p" + depth;
    if (layout.chromaY == 1) return layout.bits == 8 ? "422" : "422p" + depth;
    if (layout.bits != 8) return "420p" + depth;
    switch (layout.siting) {
    case Siting::Left:
        return "420mpeg2";
    case Siting::TopLeft:
        return "420paldv";
    case Siting::Center:
        break;
    }
    return "420jpeg";
}

std::string layoutExtension(const Layout& layout) {
    return upper(layoutToken(layout));
}

std::string parseHeader(std::string_view line, Header& header) {
    header = Header{};
    if (line.substr(0, kMagic.size()) != kMagic ||
        (line.size() > kMagic.size() && line[kMagic.size()] != ' '))
        return "not a YUV4MPEG2 stream (it must start with \"YUV4MPEG2 \")";
    bool haveWidth = false, haveHeight = false, haveLayout = false;
    Layout fromExtension;
    bool haveExtension = false;
    size_t at = kMagic.size();
    while (at < line.size()) {
        while (at < line.size() && line[at] == ' ') ++at;
        if (at >= line.size()) break;
        const size_t end = std::min(line.find(' ', at), line.size());
        const std::string_view token = line.substr(at, end - at);
        at = end;
        const std::string_view value = token.substr(1);
        switch (token[0]) {
        case 'W':
            if (!parseNumber(value, 0, kMaxSide, header.width))
                return "the header's width \"" + std::string(value) +
                       "\" is not a size from 0 to " + std::to_string(kMaxSide);
            haveWidth = true;
            break;
        case 'H':
            if (!parseNumber(value, 0, kMaxSide, header.height))
                return "the header's height \"" + std::string(value) +
                       "\" is not a size from 0 to " + std::to_string(kMaxSide);
            haveHeight = true;
            break;
        case 'C':
            if (!parseLayout(value, header.layout))
                return "unsupported colour space \"" + std::string(value) +
                       "\" (444, 422, 420, 420jpeg, 420mpeg2, 420paldv, 411 and mono are, with "
                       "p9 to p16 for deeper samples: 420p10, mono16, ...)";
            haveLayout = true;
            break;
        case 'X':
            if (value.substr(0, 6) == "YSCSS=") {
                if (!parseLayout(value.substr(6), fromExtension))
                    return "unsupported colour space \"" + std::string(value.substr(6)) + "\"";
                haveExtension = true;
            } else if (value.substr(0, 11) == "COLORRANGE=") {
                const std::string range = upper(value.substr(11));
                if (range != "FULL" && range != "LIMITED")
                    return "XCOLORRANGE must be FULL or LIMITED, not \"" +
                           std::string(value.substr(11)) + "\"";
                header.fullRange = range == "FULL";
                header.rangeGiven = true;
            } else {
                header.tokens.emplace_back(token);
            }
            break;
        default:
            header.tokens.emplace_back(token);
            break;
        }
    }
    if (!haveWidth || !haveHeight) return "the header gives no width or no height";
    // C wins; FFmpeg's XYSCSS stands in when there is no C; neither means 420jpeg.
    if (!haveLayout) header.layout = haveExtension ? fromExtension : Layout{2, 2};
    if (haveLayout && haveExtension && fromExtension.bits != header.layout.bits)
        return "the header's C and XYSCSS disagree on the bit depth";
    header.layoutExtension = haveExtension;
    return {};
}

std::string formatHeader(const Header& header) {
    std::string line = std::string(kMagic) + " W" + std::to_string(header.width) + " H" +
                       std::to_string(header.height);
    std::vector<std::string> extensions;
    for (const std::string& t : header.tokens) {
        if (t[0] == 'X')
            extensions.push_back(t);
        else
            line += " " + t;
    }
    line += " C" + layoutToken(header.layout);
    if (header.layoutExtension) line += " XYSCSS=" + layoutExtension(header.layout);
    if (header.rangeGiven) line += header.fullRange ? " XCOLORRANGE=FULL" : " XCOLORRANGE=LIMITED";
    for (const std::string& x : extensions) line += " " + x;
    return line + "\n";
}

bool planeSizes(int32_t width, int32_t height, const Layout& layout, PlaneSizes& sizes) {
    if (width <= 0 || height <= 0 || !validBits(layout.bits)) return false;
    sizes.lumaWidth = width;
    sizes.lumaHeight = height;
    sizes.bytesPerSample = layout.bits > 8 ? 2 : 1;
    if (layout.mono()) {
        sizes.chromaWidth = sizes.chromaHeight = 0;
        return true;
    }
    if (width % layout.chromaX != 0 || height % layout.chromaY != 0) return false;
    sizes.chromaWidth = width / layout.chromaX;
    sizes.chromaHeight = height / layout.chromaY;
    return true;
}

// ---- Reader ------------------------------------------------------------------------------------

bool Reader::readLine(std::string& line, size_t limit) {
    line.clear();
    for (;;) {
        const int c = std::getc(in_);
        if (c == EOF) return false;
        if (c == '\n') return true;
        if (line.size() >= limit) return false;
        line.push_back(static_cast<char>(c));
    }
}

std::string Reader::readHeader(Header& header) {
    std::string line;
    if (!readLine(line, kHeaderLimit)) {
        if (line.empty() && std::feof(in_)) return "the input is empty: no YUV4MPEG2 header";
        if (line.size() >= kHeaderLimit) return "the header line is too long";
        if (std::ferror(in_)) return std::string("cannot read the input: ") + std::strerror(errno);
        return "the stream ends inside its header";
    }
    if (std::string e = parseHeader(line, header); !e.empty()) return e;
    if (header.width == 0 || header.height == 0)
        return "the frame size " + std::to_string(header.width) + "x" +
               std::to_string(header.height) + " is empty";
    if (!planeSizes(header.width, header.height, header.layout, sizes_))
        return "the frame size " + std::to_string(header.width) + "x" +
               std::to_string(header.height) + " is not a whole number of chroma samples for " +
               layoutToken(header.layout);
    header_ = header;
    return {};
}

Reader::Status Reader::frameLine(std::string& error) {
    const int64_t number = frames_;
    std::string line;
    if (!readLine(line, kFrameLineLimit)) {
        if (line.empty() && std::feof(in_) && !std::ferror(in_)) return Status::End;
        error = "frame " + std::to_string(number) +
                (std::ferror(in_) ? std::string(": cannot read the input: ") + std::strerror(errno)
                                  : std::string(": the stream ends inside the frame's marker"));
        return Status::Error;
    }
    if (line.compare(0, kFrame.size(), kFrame) != 0 ||
        (line.size() > kFrame.size() && line[kFrame.size()] != ' ')) {
        error = "frame " + std::to_string(number) + ": no FRAME marker where the frame begins";
        return Status::Error;
    }
    return Status::Frame;
}

Reader::Status Reader::readFrame(Planes& planes, std::string& error) {
    const Status line = frameLine(error);
    if (line != Status::Frame) return line;
    // Read in steps, so that a header promising huge frames costs no more memory than the
    // stream actually delivers.
    const size_t bytes = sizes_.frameBytes();
    size_t got = 0;
    while (got < bytes) {
        const size_t step = std::min<size_t>(bytes - got, size_t(16) << 20);
        if (buffer_.size() < got + step) buffer_.resize(got + step);
        const size_t n = std::fread(buffer_.data() + got, 1, step, in_);
        got += n;
        if (n != step) break;
    }
    if (got != bytes) {
        error = "frame " + std::to_string(frames_) + ": the stream ends inside the frame (" +
                std::to_string(got) + " of its " + std::to_string(bytes) + " bytes)";
        return Status::Error;
    }
    const size_t luma = size_t(sizes_.lumaWidth) * sizes_.lumaHeight;
    const size_t chroma = size_t(sizes_.chromaWidth) * sizes_.chromaHeight;
    // Deeper samples above the depth's largest code are taken as that code.
    const uint16_t top = static_cast<uint16_t>((1u << header_.layout.bits) - 1);
    auto unpack = [&](size_t first, size_t count, std::vector<uint16_t>& out) {
        out.resize(count);
        if (sizes_.bytesPerSample == 1) {
            const uint8_t* src = buffer_.data() + first;
            for (size_t i = 0; i < count; ++i) out[i] = src[i];
        } else {
            const uint8_t* src = buffer_.data() + 2 * first;
            for (size_t i = 0; i < count; ++i)
                out[i] = std::min<uint16_t>(uint16_t(src[2 * i] | (src[2 * i + 1] << 8)), top);
        }
    };
    unpack(0, luma, planes.y);
    unpack(luma, chroma, planes.cb);
    unpack(luma + chroma, chroma, planes.cr);
    ++frames_;
    return Status::Frame;
}

Reader::Status Reader::skipFrame(std::string& error) {
    const Status line = frameLine(error);
    if (line != Status::Frame) return line;
    const size_t bytes = sizes_.frameBytes();
    buffer_.resize(std::min<size_t>(bytes, 1 << 20));
    for (size_t left = bytes; left > 0;) {
        const size_t step = std::min(left, buffer_.size());
        const size_t got = std::fread(buffer_.data(), 1, step, in_);
        if (got != step) {
            error = "frame " + std::to_string(frames_) + ": the stream ends inside the frame (" +
                    std::to_string(bytes - left + got) + " of its " + std::to_string(bytes) +
                    " bytes)";
            return Status::Error;
        }
        left -= step;
    }
    ++frames_;
    return Status::Frame;
}

// ---- Writer
// ------------------------------------------------------------------------------------

bool Writer::writeHeader(const Header& header) {
    if (!planeSizes(header.width, header.height, header.layout, sizes_)) return false;
    header_ = header;
    const std::string line = formatHeader(header);
    return std::fwrite(line.data(), 1, line.size(), out_) == line.size();
}

bool Writer::writeFrame(const Planes& planes) {
    const size_t luma = size_t(sizes_.lumaWidth) * sizes_.lumaHeight;
    const size_t chroma = size_t(sizes_.chromaWidth) * sizes_.chromaHeight;
    if (planes.y.size() != luma || planes.cb.size() != chroma || planes.cr.size() != chroma)
        return false;
    buffer_.resize(kFrame.size() + 1 + sizes_.frameBytes());
    std::memcpy(buffer_.data(), "FRAME\n", kFrame.size() + 1);
    uint8_t* out = buffer_.data() + kFrame.size() + 1;
    auto pack = [&](const std::vector<uint16_t>& plane) {
        if (sizes_.bytesPerSample == 1) {
            for (uint16_t v : plane) *out++ = static_cast<uint8_t>(v);
        } else {
            for (uint16_t v : plane) {
                *out++ = static_cast<uint8_t>(v);
                *out++ = static_cast<uint8_t>(v >> 8);
            }
        }
    };
    pack(planes.y);
    pack(planes.cb);
    pack(planes.cr);
    return std::fwrite(buffer_.data(), 1, buffer_.size(), out_) == buffer_.size();
}

} // namespace kestrin::hostsim::y4m
