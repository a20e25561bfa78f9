#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "fx/states.h"
#include "fx/writer.h"
#include "sample_effect.h"

namespace kestrin::fx {
namespace {

using fixtures::filterLayout;
using fixtures::FilterLayout;
using fixtures::filterShader;
using fixtures::filterShapedEffect;
using fixtures::wordAt;

std::vector<uint8_t> writeFilterEffect() {
    auto written = writeEffect(filterShapedEffect());
    EXPECT_TRUE(written.ok()) << written.error();
    return written.ok() ? written.value() : std::vector<uint8_t>{};
}

// DWORDs of the binary from file offset `at`, for comparing records in one go.
std::vector<uint32_t> wordsAt(const std::vector<uint8_t>& b, size_t at, size_t count) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < count; ++i) out.push_back(wordAt(b, at + 4 * i));
    return out;
}

// The string record at a data offset: length including NUL, then the text.
std::string stringAt(const std::vector<uint8_t>& b, uint32_t dataOffset) {
    const size_t at = FilterLayout::data(dataOffset);
    const uint32_t length = wordAt(b, at);
    if (length == 0 || at + 4 + length > b.size() || b[at + 4 + length - 1] != 0) return "<bad>";
    return std::string(reinterpret_cast<const char*>(&b[at + 4]), length - 1);
}

TEST(WriteEffect, HeaderCountsAndExactSize) {
    const auto b = writeFilterEffect();
    ASSERT_FALSE(b.empty());
    const FilterLayout l = filterLayout(b);
    EXPECT_EQ(wordAt(b, 0), 0xFEFF0901u);
    // Data area: zero word 4; textures 36 each; samplers 268 each (typedef 20, Texture state
    // 24, four literal states 32 each, state list 84, name 12); floats 44 each; posPitch 52;
    // matrices 80 each; techniques 312 each (3 passes of 96, name 24).
    EXPECT_EQ(l.dataSize, 4u + 2 * 36 + 2 * 268 + 3 * 44 + 52 + 2 * 80 + 2 * 312);
    EXPECT_EQ(wordsAt(b, l.structured, 4), (std::vector<uint32_t>{10, 2, 14, 11}));
    EXPECT_EQ(wordAt(b, l.objectDataCount()), 2u);     // object-data entries
    EXPECT_EQ(wordAt(b, l.objectDataCount() + 4), 8u); // resources
    ASSERT_EQ(l.resources.size(), 8u);
    // Nothing after the last resource: 6 header words plus "txSrc\0" padded to 8.
    EXPECT_EQ(b.size(), l.resources.back() + 24 + 8);
}

TEST(WriteEffect, ParameterTypedefsValuesAndNames) {
    const auto b = writeFilterEffect();
    ASSERT_FALSE(b.empty());
    const FilterLayout l = filterLayout(b);
    EXPECT_EQ(wordAt(b, FilterLayout::data(0)), 0u); // empty string at offset 0

    struct Expect {
        const char* name;
        std::vector<uint32_t> typedefHead; // type, class, (name), semantic, elements, dims...
    };
    const Expect expected[] = {
        {"txSrc", {7, 4, 0, 0}},           {"samSrc", {10, 4, 0, 0}},
        {"txRGB", {7, 4, 0, 0}},           {"samRGB", {10, 4, 0, 0}},
        {"pixGain", {3, 0, 0, 0, 1, 1}},   {"pixDist", {3, 0, 0, 0, 1, 1}},
        {"posDist", {3, 0, 0, 0, 1, 1}},   {"posPitch", {3, 1, 0, 0, 2, 1}}, // columns, rows
        {"matYC2RGB", {3, 2, 0, 0, 3, 3}}, {"matRGB2YC", {3, 2, 0, 0, 3, 3}},
    };
    const Effect e = filterShapedEffect();
    for (size_t i = 0; i < 10; ++i) {
        SCOPED_TRACE(expected[i].name);
        const auto record = wordsAt(b, l.parameterRecord(i), 4);
        EXPECT_EQ(record[2], 0u); // flags
        EXPECT_EQ(record[3], 0u); // annotations
        const size_t td = FilterLayout::data(record[0]);
        std::vector<uint32_t> head = wordsAt(b, td, 1 + expected[i].typedefHead.size());
        EXPECT_EQ(stringAt(b, head[2]), expected[i].name);
        head.erase(head.begin() + 2); // the name offset, checked above
        EXPECT_EQ(head, expected[i].typedefHead);
        if (!e.parameters[i].value.empty()) {
            EXPECT_EQ(wordsAt(b, FilterLayout::data(record[1]), e.parameters[i].value.size()),
                      e.parameters[i].value);
        }
    }
    EXPECT_EQ(wordAt(b, l.parameterRecord(0)), 4u); // first typedef right after the zero word
    // Matrices row by row: matYC2RGB[0][2] = 1.402, matYC2RGB[2][1] = 1.772.
    const size_t mat = FilterLayout::data(wordAt(b, l.parameterRecord(8) + 4));
    EXPECT_EQ(wordAt(b, mat + 8), 0x3FB374BCu);
    EXPECT_EQ(wordAt(b, mat + 28), 0x3FE2D0E5u);
    // Strings: NUL-inclusive length, zero padding.
    const size_t name =
        FilterLayout::data(wordAt(b, FilterLayout::data(wordAt(b, l.parameterRecord(0))) + 8));
    EXPECT_EQ(wordsAt(b, name, 3), (std::vector<uint32_t>{6, 0x72537874, 0x00000063}));
}

TEST(WriteEffect, ObjectIdsInFxcOrder) {
    const auto b = writeFilterEffect();
    ASSERT_FALSE(b.empty());
    const FilterLayout l = filterLayout(b);
    auto valueWord = [&](uint32_t dataOffset) { return wordAt(b, FilterLayout::data(dataOffset)); };
    auto samplerTextureId = [&](size_t parameter) {
        const uint32_t list = wordAt(b, l.parameterRecord(parameter) + 4);
        return valueWord(wordAt(b, FilterLayout::data(list) + 4 + 12)); // state 0, value offset
    };
    EXPECT_EQ(valueWord(wordAt(b, l.parameterRecord(0) + 4)), 1u); // txSrc
    EXPECT_EQ(samplerTextureId(1), 2u);                            // samSrc's Texture state
    EXPECT_EQ(valueWord(wordAt(b, l.parameterRecord(2) + 4)), 3u); // txRGB
    EXPECT_EQ(samplerTextureId(3), 4u);                            // samRGB's Texture state
    for (uint32_t t = 0; t < 2; ++t)
        for (uint32_t p = 0; p < 3; ++p)
            EXPECT_EQ(valueWord(wordAt(b, l.stateRecord(t, p, 1) + 12)), 5 + 3 * t + p);
}

TEST(WriteEffect, SamplerStateRecords) {
    const auto b = writeFilterEffect();
    ASSERT_FALSE(b.empty());
    const FilterLayout l = filterLayout(b);
    const size_t list = FilterLayout::data(wordAt(b, l.parameterRecord(1) + 4));
    ASSERT_EQ(wordAt(b, list), 5u);
    const uint32_t ops[] = {0xA4, 0xA5, 0xA6, 0xAA, 0xA9};
    const uint32_t values[] = {2, 2, 2, 1, 1}; // [0] is the Texture object id
    for (size_t s = 0; s < 5; ++s) {
        SCOPED_TRACE(s);
        const auto r = wordsAt(b, list + 4 + 16 * s, 4);
        EXPECT_EQ(r[0], ops[s]);
        EXPECT_EQ(r[1], 0x100u);
        EXPECT_EQ(wordAt(b, FilterLayout::data(r[3])), values[s]);
        const auto literal = std::vector<uint32_t>{2, 2, 0, 0, 0, 1, 1}; // INT, MATRIX_ROWS, 1x1
        const auto texture = std::vector<uint32_t>{7, 4, 0, 0, 0};       // TEXTURE2D, OBJECT
        if (s == 0) {
            EXPECT_EQ(wordsAt(b, FilterLayout::data(r[2]), 5), texture);
        } else {
            EXPECT_EQ(wordsAt(b, FilterLayout::data(r[2]), 7), literal);
        }
    }
}

TEST(WriteEffect, TechniqueAndPassRecords) {
    const auto b = writeFilterEffect();
    ASSERT_FALSE(b.empty());
    const FilterLayout l = filterLayout(b);
    const char* names[] = {"BilateralFiltering", "BilateralFilteringU"};
    for (uint32_t t = 0; t < 2; ++t) {
        EXPECT_EQ(stringAt(b, wordAt(b, l.techniqueRecord(t))), names[t]);
        EXPECT_EQ(wordsAt(b, l.techniqueRecord(t) + 4, 2), (std::vector<uint32_t>{0, 3}));
        for (uint32_t p = 0; p < 3; ++p) {
            SCOPED_TRACE(testing::Message() << "technique " << t << " pass " << p);
            EXPECT_EQ(stringAt(b, wordAt(b, l.passRecord(t, p))), "p" + std::to_string(p));
            EXPECT_EQ(wordsAt(b, l.passRecord(t, p) + 4, 2), (std::vector<uint32_t>{0, 3}));
            const auto vs = wordsAt(b, l.stateRecord(t, p, 0), 4);
            const auto ps = wordsAt(b, l.stateRecord(t, p, 1), 4);
            const auto z = wordsAt(b, l.stateRecord(t, p, 2), 4);
            EXPECT_EQ(vs[0], 0x92u);
            EXPECT_EQ(ps[0], 0x93u);
            EXPECT_EQ(z[0], 0x00u);
            EXPECT_EQ(vs[1] | ps[1] | z[1], 0u);
            const std::vector<uint32_t> intLiteral{2, 2, 0, 0, 0, 1, 1};
            EXPECT_EQ(wordsAt(b, FilterLayout::data(vs[2]), 7), intLiteral); // NULL = INT 0
            EXPECT_EQ(wordAt(b, FilterLayout::data(vs[3])), 0u);
            EXPECT_EQ(wordsAt(b, FilterLayout::data(ps[2]), 5),
                      (std::vector<uint32_t>{15, 4, 0, 0, 0}));
            EXPECT_EQ(wordsAt(b, FilterLayout::data(z[2]), 7), intLiteral);
            EXPECT_EQ(wordAt(b, FilterLayout::data(z[3])), 0u);
        }
    }
}

TEST(WriteEffect, ObjectDataAndResourcesInReverseOrder) {
    const auto b = writeFilterEffect();
    ASSERT_FALSE(b.empty());
    const FilterLayout l = filterLayout(b);
    EXPECT_EQ(wordsAt(b, l.objectData(0), 4), (std::vector<uint32_t>{3, 0, 1, 0}));
    ASSERT_EQ(l.resources.size(), 8u);
    const uint32_t pass[6][2] = {{1, 2}, {1, 1}, {1, 0}, {0, 2}, {0, 1}, {0, 0}};
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        const auto shader = filterShader(pass[i][0], pass[i][1]);
        const auto head = wordsAt(b, l.resources[i], 6);
        EXPECT_EQ(head, (std::vector<uint32_t>{pass[i][0], pass[i][1], 0xFFFFFFFF, 1, 0,
                                               static_cast<uint32_t>(4 * shader.size())}));
        EXPECT_EQ(wordsAt(b, l.resources[i] + 24, shader.size()), shader);
    }
    // Sampler Texture states name their texture parameter: samRGB (3) first, then samSrc (1).
    EXPECT_EQ(wordsAt(b, l.resources[6], 8),
              (std::vector<uint32_t>{0xFFFFFFFF, 3, 0, 0, 1, 6, 0x47527874, 0x00000042}));
    EXPECT_EQ(wordsAt(b, l.resources[7], 8),
              (std::vector<uint32_t>{0xFFFFFFFF, 1, 0, 0, 1, 6, 0x72537874, 0x00000063}));
}

TEST(WriteEffect, RejectsWhatItCannotWrite) {
    struct Case {
        const char* what;
        std::function<void(Effect&)> change;
        const char* message;
    };
    const Case cases[] = {
        {"texture reference to an unknown parameter",
         [](Effect& e) { e.parameters[1].samplerStates[0].value = TextureRef{"txNone"}; },
         "parameter 1 (samSrc) state 0 (Texture): no parameter named 'txNone'"},
        {"texture reference to a float",
         [](Effect& e) { e.parameters[1].samplerStates[0].value = TextureRef{"pixGain"}; },
         "parameter 'pixGain' is FLOAT, not a texture"},
        {"matrix default one word short", [](Effect& e) { e.parameters[8].value.pop_back(); },
         "parameter 8 (matYC2RGB): default has 8 words, expected 9"},
        {"vector with two rows", [](Effect& e) { e.parameters[7].rows = 2; }, "one row"},
        {"operation past the table",
         [](Effect& e) { e.techniques[0].passes[0].states[2].operation = 179; },
         "technique 0 (BilateralFiltering) pass 0 (p0) state 2: operation 179 outside the state "
         "table"},
        {"number for a shader state",
         [](Effect& e) { e.techniques[1].passes[2].states[1].value = intValue(5); },
         "(PixelShader): takes an object or NULL"},
        {"shader code for ZEnable",
         [](Effect& e) { e.techniques[0].passes[0].states[2].value = ShaderCode{{0xFFFF0300}}; },
         "only VertexShader and PixelShader take shader code"},
        {"empty shader",
         [](Effect& e) { e.techniques[0].passes[1].states[1].value = ShaderCode{}; },
         "shader code is empty"},
        {"NULL for ZEnable",
         [](Effect& e) { e.techniques[0].passes[0].states[2].value = NullObject{}; },
         "NULL is only for shader and texture states"},
        {"two parameters with one name", [](Effect& e) { e.parameters[5].name = "pixGain"; },
         "parameter 5 (pixGain): another parameter has the same name"},
        {"string parameter",
         [](Effect& e) {
             e.parameters[4].type = ParamType::String;
             e.parameters[4].cls = ParamClass::Object;
         },
         "parameters of type STRING are not supported"},
        {"name with a NUL", [](Effect& e) { e.techniques[1].name = std::string("a\0b", 3); },
         "name contains a NUL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Effect e = filterShapedEffect();
        c.change(e);
        const auto written = writeEffect(e);
        ASSERT_FALSE(written.ok());
        EXPECT_NE(written.error().find(c.message), std::string::npos) << written.error();
    }
}

} // namespace
} // namespace kestrin::fx
