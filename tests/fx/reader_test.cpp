#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "fx/reader.h"
#include "fx/states.h"
#include "fx/writer.h"
#include "sample_effect.h"

namespace kestrin::fx {
namespace {

using fixtures::filterLayout;
using fixtures::FilterLayout;
using fixtures::filterShapedEffect;
using fixtures::setWordAt;
using fixtures::wordAt;

std::vector<uint8_t> writeOrFail(const Effect& e) {
    auto written = writeEffect(e);
    EXPECT_TRUE(written.ok()) << written.error();
    return written.ok() ? written.value() : std::vector<uint8_t>{};
}

// Reads from an exact-size heap copy so that any read past the end trips AddressSanitizer.
Result<Effect> readCopy(const std::vector<uint8_t>& bytes, size_t length) {
    const std::vector<uint8_t> copy(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(length));
    return readEffect(copy.data(), copy.size());
}

void expectSameState(const State& a, const State& b) {
    EXPECT_EQ(a.operation, b.operation);
    EXPECT_EQ(a.index, b.index);
    EXPECT_EQ(a.value.index(), b.value.index());
    EXPECT_TRUE(a.value == b.value);
}

void expectSameEffect(const Effect& got, const Effect& want) {
    ASSERT_EQ(got.parameters.size(), want.parameters.size());
    for (size_t i = 0; i < want.parameters.size(); ++i) {
        const Parameter& g = got.parameters[i];
        const Parameter& w = want.parameters[i];
        SCOPED_TRACE(w.name);
        EXPECT_EQ(g.name, w.name);
        EXPECT_EQ(g.semantic, w.semantic);
        EXPECT_EQ(g.type, w.type);
        EXPECT_EQ(g.cls, w.cls);
        EXPECT_EQ(g.rows, w.rows);
        EXPECT_EQ(g.columns, w.columns);
        EXPECT_EQ(g.elements, w.elements);
        EXPECT_EQ(g.value, w.value); // bit patterns
        ASSERT_EQ(g.samplerStates.size(), w.samplerStates.size());
        for (size_t s = 0; s < w.samplerStates.size(); ++s)
            expectSameState(g.samplerStates[s], w.samplerStates[s]);
    }
    ASSERT_EQ(got.techniques.size(), want.techniques.size());
    for (size_t t = 0; t < want.techniques.size(); ++t) {
        SCOPED_TRACE(want.techniques[t].name);
        EXPECT_EQ(got.techniques[t].name, want.techniques[t].name);
        ASSERT_EQ(got.techniques[t].passes.size(), want.techniques[t].passes.size());
        for (size_t p = 0; p < want.techniques[t].passes.size(); ++p) {
            const Pass& g = got.techniques[t].passes[p];
            const Pass& w = want.techniques[t].passes[p];
            EXPECT_EQ(g.name, w.name);
            ASSERT_EQ(g.states.size(), w.states.size());
            for (size_t s = 0; s < w.states.size(); ++s) expectSameState(g.states[s], w.states[s]);
        }
    }
    EXPECT_TRUE(got == want);
}

TEST(ReadEffect, FilterEffectRoundTrips) {
    const Effect want = filterShapedEffect();
    const auto bytes = writeOrFail(want);
    const auto read = readEffect(bytes);
    ASSERT_TRUE(read.ok()) << read.error();
    expectSameEffect(read.value(), want);
    // The pixel programs come back word for word.
    const auto& ps = std::get<ShaderCode>(read.value().techniques[1].passes[2].states[1].value);
    EXPECT_EQ(ps.words, fixtures::filterShader(1, 2));
    EXPECT_EQ(writeOrFail(read.value()), bytes);
}

TEST(ReadEffect, OtherShapesRoundTrip) {
    Effect e = filterShapedEffect();
    Parameter flags;
    flags.name = "flags";
    flags.semantic = "FLAGS";
    flags.type = ParamType::Int;
    flags.cls = ParamClass::Vector;
    flags.rows = 1;
    flags.columns = 3;
    flags.elements = 2;
    flags.value = {1, 2, 3, 4, 5, 0xFFFFFFFF};
    e.parameters.push_back(flags);
    Parameter enabled;
    enabled.name = "enabled";
    enabled.semantic = "";
    enabled.type = ParamType::Bool;
    enabled.value = {1};
    e.parameters.push_back(enabled);
    e.parameters[0].type = ParamType::Texture;
    const State mipFilter{state::MipFilter, 0, intValue(2)};
    const State lodBias{stateByName("MipMapLodBias")->index, 0, floatValue(0.5f)};
    e.parameters[3].samplerStates.push_back(mipFilter);
    e.parameters[3].samplerStates.push_back(lodBias);
    Pass extra{"",
               {{stateByName("FogStart")->index, 0, floatValue(1.5f)},
                {state::Texture, 2, TextureRef{"txRGB"}},
                {state::PixelShader, 0, NullObject{}},
                {stateByName("AlphaOp")->index, 3, intValue(4)},
                {state::VertexShader, 0, ShaderCode{{0xFFFE0300, 0x0000FFFF}}}}};
    e.techniques.push_back({"", {extra}});
    e.techniques.push_back({"Empty", {}});

    const auto bytes = writeOrFail(e);
    const auto read = readEffect(bytes);
    ASSERT_TRUE(read.ok()) << read.error();
    expectSameEffect(read.value(), e);
    EXPECT_EQ(writeOrFail(read.value()), bytes);
}

TEST(ReadEffect, EveryTruncationFailsCleanly) {
    const auto bytes = writeOrFail(filterShapedEffect());
    ASSERT_FALSE(bytes.empty());
    for (size_t length = 0; length < bytes.size(); ++length) {
        const auto read = readCopy(bytes, length);
        ASSERT_FALSE(read.ok()) << "prefix of " << length << " bytes was accepted";
        ASSERT_FALSE(read.error().empty());
    }
    EXPECT_TRUE(readEffect(nullptr, 0).error().find("too short") != std::string::npos);
}

TEST(ReadEffect, CorruptionsAreNamed) {
    const auto good = writeOrFail(filterShapedEffect());
    ASSERT_FALSE(good.empty());
    const FilterLayout l = filterLayout(good);
    const uint32_t dataSize = static_cast<uint32_t>(l.dataSize);
    auto dataOf = [&](size_t recordWord) { return FilterLayout::data(wordAt(good, recordWord)); };
    const size_t samSrcList = dataOf(l.parameterRecord(1) + 4);
    const size_t txSrcName = dataOf(dataOf(l.parameterRecord(0)) + 8);

    struct Case {
        const char* what;
        size_t offset; // file offset of the DWORD to replace
        uint32_t value;
        std::string message;
    };
    const Case cases[] = {
        {"tag", 0, 0xFEFF0900, "tag 0xFEFF0900 is not 0xFEFF0901"},
        {"data size past the end", 4, static_cast<uint32_t>(good.size()),
         "runs past the end of the file"},
        {"huge parameter count", l.structured, 0xFFFFFFFF, "parameter count 4294967295 exceeds"},
        {"huge technique count", l.structured + 4, 0x10000000, "technique count 268435456 exceeds"},
        {"object count too small", l.structured + 12, 10,
         "object id 10 not below the object count 10"},
        {"typedef offset outside", l.parameterRecord(3), 0x1234,
         "parameter 3: typedef offset 0x1234 outside data area (size 0x62C)"},
        {"matrix value past the end", l.parameterRecord(8) + 4, dataSize - 8,
         "parameter 8 (matYC2RGB): value at 0x624 needs 36 bytes"},
        {"name length huge", txSrcName, 0x7FFFFFFF, "parameter 0 name: string at"},
        {"name without NUL", txSrcName + 8, 0x41414141, "has no NUL within its 6 bytes"},
        {"unknown type", dataOf(l.parameterRecord(4)), 17,
         "parameter 4: typedef at 0x264 has unknown type 17"},
        {"structure", dataOf(l.parameterRecord(4)) + 4, 5, "structures are not supported"},
        {"sampler state count", samSrcList, 1000, "parameter 1 (samSrc): sampler state count 1000"},
        {"huge pass count", l.techniqueRecord(1) + 8, 0x40000000,
         "technique 1 (BilateralFilteringU) pass count 1073741824 exceeds"},
        {"huge state count", l.passRecord(0, 0) + 8, 0xFFFF,
         "pass 0 (p0) state count 65535 exceeds"},
        {"operation past the table", l.stateRecord(0, 1, 2), 179,
         "technique 0 (BilateralFiltering) pass 1 (p1) state 2: operation 179 outside the state "
         "table"},
        {"shared object id", dataOf(l.stateRecord(0, 0, 1) + 12), 1,
         "object id 1 is already used by parameter 0 (txSrc)"},
        {"shader typedef on the wrong state", dataOf(l.stateRecord(0, 0, 1) + 8), 16,
         "(PixelShader): value of type VERTEXSHADER does not fit this state"},
        {"number for a shader state", dataOf(l.stateRecord(1, 0, 0) + 12), 1,
         "(VertexShader): takes an object or NULL (INT 0), not INT 0x1"},
        {"object data id", l.objectData(0), 11, "object data entry 0: object id 11 not below"},
        {"resource technique", l.resources[0], 2,
         "resource 0: technique index 2 but the effect has 2"},
        {"resource pass", l.resources[0] + 4, 3, "resource 0: pass index 3 but technique 1 has 3"},
        {"resource state", l.resources[0] + 12, 3, "resource 0: state index 3 but pass 2 has 3"},
        {"resource on a plain state", l.resources[0] + 12, 2, "state ZEnable holds a plain value"},
        {"resource parameter", l.resources[6] + 4, 10, "resource 6: parameter index 10"},
        {"resource on a texture", l.resources[6] + 4, 2,
         "parameter 2 (txRGB) is TEXTURE2D, not a sampler"},
        {"resource element", l.resources[6] + 8, 1,
         "element index 1 for a parameter that is not an array"},
        {"resource sampler state", l.resources[6] + 12, 5, "state index 5 but the sampler has 5"},
        {"resource usage", l.resources[3] + 16, 7, "resource 3: unknown usage 7"},
        {"array selector", l.resources[3] + 16, 2, "array selectors are not supported"},
        {"shader data for a texture state", l.resources[7] + 16, 0, "data for a texture state"},
        {"odd shader size", l.resources[1] + 20, wordAt(good, l.resources[1] + 20) - 1,
         "not a whole number of DWORDs"},
        {"shader size huge", l.resources[1] + 20, 0xFFFFFFF0,
         "resource 1: 4294967280 bytes of data run past"},
        {"filled twice", l.resources[1] + 4, 2, "resource 1: object id 10 is filled twice"},
        {"unknown texture name", l.resources[6] + 24, 0x58527874, "no parameter named 'txRXB'"},
        {"no texture bound", l.objectDataCount() + 4, 6,
         "parameter 1 (samSrc) state 0 (Texture): object id 2 is never bound"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = good;
        setWordAt(bytes, c.offset, c.value);
        const auto read = readCopy(bytes, bytes.size());
        ASSERT_FALSE(read.ok());
        EXPECT_NE(read.error().find(c.message), std::string::npos) << read.error();
    }
}

TEST(ReadEffect, ShaderStateWithoutCodeIsNamed) {
    Effect e;
    e.techniques.push_back(
        {"t", {{"p", {{state::PixelShader, 0, ShaderCode{{0xFFFF0300, 0xFFFF}}}}}}});
    std::vector<uint8_t> bytes = writeOrFail(e);
    ASSERT_FALSE(bytes.empty());
    // Drop the one resource: counts sit right before it at the end of the records.
    const size_t resourceCountAt = bytes.size() - 24 - 8 - 4;
    ASSERT_EQ(wordAt(bytes, resourceCountAt), 1u);
    setWordAt(bytes, resourceCountAt, 0);
    const auto read = readCopy(bytes, bytes.size());
    ASSERT_FALSE(read.ok());
    EXPECT_NE(read.error().find("technique 0 (t) pass 0 (p) state 0 (PixelShader): object id 1 "
                                "never receives shader code"),
              std::string::npos)
        << read.error();
}

TEST(ReadEffect, ToleratesWhatD3dxAccepts) {
    const auto good = writeOrFail(filterShapedEffect());
    ASSERT_FALSE(good.empty());
    const FilterLayout l = filterLayout(good);
    // Object data for an id nothing refers to, an odd shader count, trailing bytes, and the
    // sampler resources' element index written as "none".
    std::vector<uint8_t> bytes = good;
    setWordAt(bytes, l.objectData(0), 0);
    setWordAt(bytes, l.structured + 8, 99);
    setWordAt(bytes, l.resources[6] + 8, 0xFFFFFFFF);
    bytes.insert(bytes.end(), {1, 2, 3, 4, 5});
    const auto read = readCopy(bytes, bytes.size());
    ASSERT_TRUE(read.ok()) << read.error();
    EXPECT_TRUE(read.value() == filterShapedEffect());
}

TEST(ReadEffect, AnyWordCorruptionFailsCleanlyOrParses) {
    const auto good = writeOrFail(filterShapedEffect());
    ASSERT_FALSE(good.empty());
    std::vector<uint8_t> bytes = good;
    size_t accepted = 0, rejected = 0;
    for (size_t at = 0; at + 4 <= good.size(); at += 4) {
        const uint32_t original = wordAt(good, at);
        for (uint32_t value : {0u, 0xFFFFFFFFu, 0x80000000u, original + 1}) {
            setWordAt(bytes, at, value);
            const auto read = readEffect(bytes);
            if (read.ok()) {
                ++accepted;
            } else {
                ++rejected;
                ASSERT_FALSE(read.error().empty());
            }
        }
        setWordAt(bytes, at, original);
    }
    EXPECT_GT(rejected, accepted); // most words matter; defaults and shader words do not
}

TEST(ReadEffect, RandomByteDamageFailsCleanlyOrParses) {
    const auto good = writeOrFail(filterShapedEffect());
    ASSERT_FALSE(good.empty());
    std::mt19937 random(20240611);
    std::uniform_int_distribution<size_t> position(0, good.size() - 1);
    std::uniform_int_distribution<int> byte(0, 255), count(1, 4);
    for (int round = 0; round < 1000; ++round) {
        std::vector<uint8_t> bytes = good;
        for (int k = count(random); k > 0; --k)
            bytes[position(random)] = static_cast<uint8_t>(byte(random));
        const auto read = readEffect(bytes);
        ASSERT_TRUE(read.ok() || !read.error().empty());
    }
}

} // namespace
} // namespace kestrin::fx
