// Damaged input never crashes the effect reader or the program loader: every truncation and a
// set of corruptions of the built effect give a clean error (these run under ASan and UBSan).
#include <gtest/gtest.h>

#include <variant>

#include "fx/reader.h"
#include "shader/interpreter.h"
#include "tests/effect/effect_runner.h"

namespace kestrin::testing {
namespace {

TEST(MalformedEffect, EveryTruncationIsRefused) {
    const auto& bytes = builtEffectBytes();
    ASSERT_FALSE(bytes.empty());
    for (size_t size = 0; size < bytes.size(); ++size) {
        const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(size));
        const auto read = fx::readEffect(cut.data(), cut.size());
        ASSERT_FALSE(read.ok()) << "accepted " << size << " of " << bytes.size() << " bytes";
        ASSERT_FALSE(read.error().empty());
    }
}

TEST(MalformedEffect, CorruptedWordsNeverCrash) {
    const auto& bytes = builtEffectBytes();
    // Every aligned word set in turn to values that make counts, offsets and ids absurd.
    for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
        for (uint32_t bad : {0xFFFFFFFFu, 0x7FFFFFFFu, 0x00010000u, 0x11u}) {
            std::vector<uint8_t> copy = bytes;
            for (int k = 0; k < 4; ++k) copy[at + k] = static_cast<uint8_t>(bad >> (8 * k));
            const auto read = fx::readEffect(copy.data(), copy.size());
            if (!read.ok()) {
                ASSERT_FALSE(read.error().empty());
            }
        }
    }
}

TEST(MalformedEffect, DamagedProgramsAreRefusedWithAReason) {
    const fx::Effect& effect = builtEffect();
    ASSERT_FALSE(effect.techniques.empty());
    for (const fx::Pass& pass : effect.techniques[1].passes) {
        const auto* code = std::get_if<fx::ShaderCode>(&pass.states[1].value);
        ASSERT_NE(code, nullptr);
        const std::vector<uint32_t>& words = code->words;
        ASSERT_TRUE(shader::loadPixelProgram(words.data(), words.size()).program);
        for (size_t n = 0; n < words.size(); ++n) {
            const auto load = shader::loadPixelProgram(words.data(), n);
            ASSERT_FALSE(load.program) << "accepted " << n << " of " << words.size() << " words";
            ASSERT_FALSE(load.error.empty());
        }
        for (size_t at = 1; at < words.size(); ++at) {
            for (uint32_t bad : {0xFFFFFFFFu, 0x0000FFFFu, 0x0F000001u, 0x80000000u}) {
                std::vector<uint32_t> copy = words;
                copy[at] = bad;
                const auto load = shader::loadPixelProgram(copy.data(), copy.size());
                if (!load.program) {
                    ASSERT_FALSE(load.error.empty());
                }
            }
        }
    }
}

TEST(MalformedEffect, UnsupportedInstructionsAreRefusedAtLoad) {
    // ps_3_0, dsx r0, v0 (needs derivatives), end.
    const uint32_t dsx[] = {0xFFFF0300, 0x0200001F, 0x80000005, 0x90030000, 0x0200005B, 0x800F0000,
                            0x90E40000, 0x02000001, 0x800F0800, 0x80E40000, 0x0000FFFF};
    const auto load = shader::loadPixelProgram(dsx, std::size(dsx));
    EXPECT_FALSE(load.program);
    EXPECT_NE(load.error.find("not supported"), std::string::npos) << load.error;
}

} // namespace
} // namespace kestrin::testing
