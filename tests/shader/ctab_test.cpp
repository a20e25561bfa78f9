#include "shader/ctab.h"

#include "shader/bytecode.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

namespace kestrin::shader {
namespace {

std::vector<CtabEntry> teamShapes() {
    return {ctabSampler2D("samSrc", 0), ctabSampler2D("samRGB", 1), ctabScalar("pixGain", 0),
            ctabVector("posPitch", 1, 2), ctabMatrixColumns("matYC2RGB", 2, 3, 3)};
}

// Little-endian DWORDs of a string, NUL-terminated and padded with 0xAB.
void appendString(std::vector<uint32_t>& out, std::string_view s) {
    std::string bytes(s);
    bytes.push_back('\0');
    while (bytes.size() % 4) bytes.push_back('\xAB');
    for (size_t i = 0; i < bytes.size(); i += 4) {
        uint32_t w = 0;
        for (int k = 0; k < 4; ++k) w |= uint32_t(uint8_t(bytes[i + k])) << (8 * k);
        out.push_back(w);
    }
}

// The table that was checked against Wine's D3DXGetShaderConstantTable, word for word.
TEST(Ctab, WritesTheCheckedLayoutForTheTeamShapes) {
    std::vector<uint32_t> expected = {
        0x0045FFFE, 0x42415443,                                                    //
        0x0000001C, 0x00000107, 0xFFFF0300, 0x00000005, 0x0000001C, 0, 0x00000100, // header
        0x00000080, 0x00020002, 0x00000003, 0x0000008C, 0,                         // matYC2RGB
        0x0000009C, 0x00000002, 0x00000001, 0x000000A4, 0,                         // pixGain
        0x000000B4, 0x00010002, 0x00000001, 0x000000C0, 0,                         // posPitch
        0x000000D0, 0x00010003, 0x00000001, 0x000000D8, 0,                         // samRGB
        0x000000E8, 0x00000003, 0x00000001, 0x000000F0, 0,                         // samSrc
    };
    const std::pair<const char*, std::vector<uint32_t>> types[] = {
        {"matYC2RGB", {0x00030003, 0x00030003, 1, 0}}, {"pixGain", {0x00030000, 0x00010001, 1, 0}},
        {"posPitch", {0x00030001, 0x00020001, 1, 0}},  {"samRGB", {0x000C0004, 0x00010001, 1, 0}},
        {"samSrc", {0x000C0004, 0x00010001, 1, 0}},
    };
    for (const auto& [name, type] : types) {
        appendString(expected, name);
        expected.insert(expected.end(), type.begin(), type.end());
    }
    appendString(expected, std::string_view("ps_3_0\0scratch", 14)); // target, then creator
    const CtabWriteResult w = writeCtabComment(teamShapes(), "scratch");
    ASSERT_TRUE(w.ok()) << w.error;
    EXPECT_TRUE(test::sameTokens(expected, w.tokens)) << test::hexList(w.tokens);
}

TEST(Ctab, ReadsBackWhatItWrites) {
    const CtabWriteResult w = writeCtabComment(teamShapes(), "unit test");
    ASSERT_TRUE(w.ok());
    const CtabReadResult r = readCtab(w.tokens.data() + 1, w.tokens.size() - 1);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.table.target, "ps_3_0");
    EXPECT_EQ(r.table.creator, "unit test");
    EXPECT_EQ(r.table.version, 0xFFFF0300u);
    EXPECT_EQ(r.table.flags, 0u);
    std::vector<CtabEntry> sorted = teamShapes();
    std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.name < b.name; });
    EXPECT_EQ(r.table.entries, sorted);
}

TEST(Ctab, SortsNamesByByteValue) {
    const std::vector<CtabEntry> entries = {ctabScalar("b", 0), ctabScalar("a", 1),
                                            ctabScalar("B", 2), ctabScalar("\xC3\xA9", 3),
                                            ctabScalar("a_", 4)};
    const CtabWriteResult w = writeCtabComment(entries, "");
    const CtabReadResult r = readCtab(w.tokens.data() + 1, w.tokens.size() - 1);
    ASSERT_TRUE(r.ok()) << r.error;
    std::vector<std::string> names;
    for (const CtabEntry& e : r.table.entries) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"B", "a", "a_", "b", "\xC3\xA9"}));
}

TEST(Ctab, WriterRefusesBadEntries) {
    EXPECT_FALSE(writeCtabComment(std::vector{ctabScalar("x", 0), ctabScalar("x", 1)}, "").ok());
    EXPECT_FALSE(writeCtabComment(std::vector{ctabScalar("", 0)}, "").ok());
    CtabEntry zero = ctabScalar("z", 0);
    zero.count = 0;
    EXPECT_FALSE(writeCtabComment(std::vector{zero}, "").ok());
    EXPECT_TRUE(writeCtabComment({}, "").ok());
}

TEST(Ctab, ReaderRefusesEveryTruncation) {
    const CtabWriteResult w = writeCtabComment(teamShapes(), "scratch");
    const size_t dwords = w.tokens.size() - 1;
    for (size_t n = 0; n < dwords; ++n) {
        const std::vector<uint32_t> cut(w.tokens.begin() + 1, w.tokens.begin() + 1 + n);
        EXPECT_FALSE(readCtab(cut.data(), cut.size()).ok()) << n;
    }
}

TEST(Ctab, ReaderChecksEveryOffset) {
    const CtabWriteResult w = writeCtabComment(teamShapes(), "scratch");
    const std::vector<uint32_t> good(w.tokens.begin() + 1, w.tokens.end()); // FOURCC first
    const size_t tableBytes = (good.size() - 1) * 4;
    struct Corruption {
        size_t word; // index in `good` (1 = table header)
        uint32_t value;
        const char* message;
    };
    const Corruption cases[] = {
        {0, 0x53455250, "CTAB"},                            // another FOURCC
        {1, 0x20, "header is not 28 bytes"},                // Size
        {2, uint32_t(tableBytes), "creator or target"},     // Creator at the very end
        {7, 0xFFFFFFF0, "creator or target"},               // Target
        {4, 0x10000000, "claims 268435456 entries"},        // Constants
        {5, uint32_t(tableBytes - 8), "entries at offset"}, // ConstantInfo
        {8, 0xFFFFFFFF, "name lies outside"},               // first entry's Name
        {11, uint32_t(tableBytes - 15), "type or default"}, // first entry's TypeInfo
        {12, uint32_t(tableBytes + 1), "type or default"},  // first entry's DefaultValue
        {9, 0x00000007, "unknown register set"},            // first entry's RegisterSet
    };
    for (const Corruption& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<uint32_t> bad = good;
        bad[c.word] = c.value;
        const CtabReadResult r = readCtab(bad.data(), bad.size());
        ASSERT_FALSE(r.ok());
        EXPECT_NE(r.error.find(c.message), std::string::npos) << r.error;
    }
    // A name whose terminator has been overwritten runs into the next field, which is fine, but
    // a creator without a NUL before the end of the comment is not.
    std::vector<uint32_t> unterminated = good;
    unterminated.back() = 0x41414141;
    EXPECT_FALSE(readCtab(unterminated.data(), unterminated.size()).ok());
}

TEST(Ctab, FoundInAnAssembledShader) {
    const std::vector<uint32_t> t = test::assembleOk("ps_3_0\nmov oC0, c1\n", teamShapes());
    const CtabReadResult r = readCtabFromShader(t.data(), t.size());
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.table.entries.size(), 5u);
    const std::vector<uint32_t> none = test::wrapCode({0x0000002C});
    EXPECT_FALSE(readCtabFromShader(none.data(), none.size()).ok());
}

} // namespace
} // namespace kestrin::shader
