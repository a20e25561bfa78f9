#include <gtest/gtest.h>

#include "effect/texel_codec.h"
#include "effect/track_mapping.h"

namespace kestrin {
namespace {

TEST(TrackMapping, DefaultsAndRangeEnds) {
    EXPECT_EQ(MapPixGain(128), 0.5f);
    EXPECT_EQ(MapPixDist(24), 81.0f);
    EXPECT_EQ(MapPosDist(64), 0.25f);
    EXPECT_EQ(MapPassCount(1), 1);

    EXPECT_EQ(MapPixGain(256), 1.0f);
    EXPECT_EQ(MapPixDist(256), 1048576.0f);
    EXPECT_EQ(MapPosDist(256), 4.0f);
    EXPECT_EQ(MapPassCount(5), 5);

    EXPECT_EQ(MapPixGain(0), 0.0f);
    EXPECT_EQ(MapPixDist(0), 0.0f);
    EXPECT_EQ(MapPosDist(0), 0.0f);
    EXPECT_EQ(MapPixDist(64), 4096.0f);
}

TEST(TrackMapping, PassCountOutsideOneToFiveIsOne) {
    for (int32_t v : {0, 6, -1, 100, INT32_MIN, INT32_MAX}) EXPECT_EQ(MapPassCount(v), 1) << v;
    for (int32_t v = 1; v <= 5; ++v) EXPECT_EQ(MapPassCount(v), v);
}

// Each named step (a, b, the parameter) rounds to single precision on its own, not only the end.
TEST(TrackMapping, RoundsOncePerStep) {
    for (int32_t t = 0; t <= 256; ++t) {
        const float a = static_cast<float>(t / 128.0);
        const float b = static_cast<float>(256.0 * a * a);
        EXPECT_EQ(MapPixDist(t), static_cast<float>(static_cast<double>(b) * b)) << t;
        EXPECT_EQ(MapPosDist(t), static_cast<float>(static_cast<double>(a) * a)) << t;
        EXPECT_EQ(MapPixGain(t), static_cast<float>(t) / 256.0f) << t;
        // Inside the ranges the result is (t^2 / 64)^2 and (t / 128)^2 exactly.
        const double exact = (t * t / 64.0) * (t * t / 64.0);
        EXPECT_EQ(MapPixDist(t), static_cast<float>(exact)) << t;
    }
}

TEST(TexelCodec, ReadScalesAsTheDeviceNormalises) {
    EXPECT_EQ(readChannel(0x7FFF, TexelFormat::Signed), 1.0f);
    EXPECT_EQ(readChannel(0x8001, TexelFormat::Signed), -1.0f);
    EXPECT_EQ(readChannel(0x8000, TexelFormat::Signed), -1.0f); // -32768 clamps to -1
    EXPECT_EQ(readChannel(0, TexelFormat::Signed), 0.0f);
    EXPECT_EQ(readChannel(0xFFFF, TexelFormat::Unsigned), 1.0f);
    EXPECT_EQ(readChannel(0x8000, TexelFormat::Unsigned), kBiasU);
    EXPECT_EQ(std::bit_cast<uint32_t>(kBiasU), 0x3F000080u);
}

TEST(TexelCodec, WriteClampsScalesAndRoundsTiesToEven) {
    EXPECT_EQ(writeChannel(2.0f, TexelFormat::Signed), 0x7FFF);
    EXPECT_EQ(writeChannel(-2.0f, TexelFormat::Signed), 0x8001);
    EXPECT_EQ(writeChannel(-0.5f, TexelFormat::Unsigned), 0);
    EXPECT_EQ(writeChannel(1.5f, TexelFormat::Unsigned), 0xFFFF);
    EXPECT_EQ(writeChannel(std::nanf(""), TexelFormat::Unsigned), 0);
    EXPECT_EQ(writeChannel(std::nanf(""), TexelFormat::Signed), 0);
    // 0.5 scales to exact halves: 32767.5 -> 32768 and 16383.5 -> 16384 (the even neighbours).
    EXPECT_EQ(writeChannel(0.5f, TexelFormat::Unsigned), 32768);
    EXPECT_EQ(writeChannel(0.5f, TexelFormat::Signed), 16384);
    // biasU * 65535 = 32767.99999 comes back as the offset itself; 0.5 alone would be a tie.
    EXPECT_EQ(writeChannel(kBiasU, TexelFormat::Unsigned), 0x8000);
    // Every stored value survives a read and a write.
    for (uint32_t v = 0; v <= 0xFFFF; ++v) {
        const auto raw = static_cast<uint16_t>(v);
        ASSERT_EQ(writeChannel(readChannel(raw, TexelFormat::Unsigned), TexelFormat::Unsigned),
                  raw);
        if (raw != 0x8000) { // -32768 reads as -1 like -32767
            ASSERT_EQ(writeChannel(readChannel(raw, TexelFormat::Signed), TexelFormat::Signed),
                      raw);
        }
    }
}

TEST(TexelCodec, HostOffsetEncoding) {
    EXPECT_EQ(encodeHostValue(0, TexelFormat::Unsigned), 0x8000);
    EXPECT_EQ(encodeHostValue(-1, TexelFormat::Unsigned), 0x7FFF);
    EXPECT_EQ(encodeHostValue(-32768, TexelFormat::Unsigned), 0);
    EXPECT_EQ(encodeHostValue(32767, TexelFormat::Unsigned), 0xFFFF);
    EXPECT_EQ(encodeHostValue(-5, TexelFormat::Signed), 0xFFFB);
    for (int v = -32768; v <= 32767; ++v) {
        const auto h = static_cast<int16_t>(v);
        for (auto f : {TexelFormat::Signed, TexelFormat::Unsigned})
            ASSERT_EQ(decodeHostValue(encodeHostValue(h, f), f), h);
    }
}

} // namespace
} // namespace kestrin
