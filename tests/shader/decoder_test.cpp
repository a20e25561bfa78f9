#include "shader/bytecode.h"
#include "shader/disassembler.h"
#include "shader/validator.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <random>

namespace kestrin::shader {
namespace {

using test::wrapCode;

// Decodes a copy holding exactly `n` tokens, so that AddressSanitizer sees any read past it.
DecodeResult decodeFirst(const std::vector<uint32_t>& tokens, size_t n) {
    const std::vector<uint32_t> copy(tokens.begin(), tokens.begin() + n);
    return decode(copy.data(), copy.size());
}

// Every row can be found both ways, so encoder and decoder cannot disagree about a mnemonic.
TEST(Tables, LookUpsFindEachRowAndEachRegisterName) {
    for (const OpcodeInfo& row : opcodeTable()) {
        SCOPED_TRACE(std::string(row.mnemonic));
        EXPECT_EQ(findOpcode(uint16_t(row.opcode), row.comparison ? 3 : row.control), &row);
        EXPECT_EQ(findMnemonic(row.mnemonic, row.comparison), &row);
    }
    for (const RegisterInfo& reg : registerTable()) {
        for (uint32_t i = 0; i < reg.count; ++i) {
            const std::string text = registerName(reg.type, i);
            RegType type;
            uint32_t index;
            ASSERT_TRUE(parseRegisterName(text, type, index)) << text;
            EXPECT_EQ(type, reg.type) << text;
            EXPECT_EQ(index, i) << text;
        }
    }
}

TEST(Decoder, FillsTheDecodedForm) {
    const std::vector<uint32_t> t = test::assembleOk(R"(ps_3_0
def c8, 0.36, 3, 1, 0
dcl_texcoord1_centroid v1.xy
dcl_cube s2
rep i0
  mad_sat r2.yw, -v1_abs.zxyw, c8.x, -r1
endrep
(!p0) mov_pp oC0, r2
)");
    const DecodeResult d = decode(t.data(), t.size());
    ASSERT_TRUE(d.ok()) << d.error;
    const Program& p = d.program;
    EXPECT_EQ(p.version, 0xFFFF0300u);
    EXPECT_EQ(p.tokenCount, t.size());
    ASSERT_EQ(p.comments.size(), 1u);
    EXPECT_EQ(p.comments[0].fourcc, token::kCtab);
    EXPECT_EQ(p.comments[0].offset, 2u);
    EXPECT_EQ(p.comments[0].beforeInstruction, 0u);
    ASSERT_EQ(p.instructions.size(), 7u);

    const Instruction& def = p.instructions[0];
    EXPECT_EQ(def.opcode, Opcode::Def);
    EXPECT_EQ(def.dst.type, RegType::Const);
    EXPECT_EQ(def.dst.index, 8u);
    ASSERT_EQ(def.immediateCount, 4);
    EXPECT_EQ(def.immediate[0], 0x3EB851ECu);
    EXPECT_EQ(def.immediate[1], 0x40400000u);

    const Instruction& dclV = p.instructions[1];
    EXPECT_EQ(dclV.usage, 5);
    EXPECT_EQ(dclV.usageIndex, 1);
    EXPECT_TRUE(dclV.dst.centroid);
    EXPECT_EQ(dclV.dst.mask, 0x3);
    EXPECT_EQ(p.instructions[2].textureType, uint8_t(TextureType::Cube));

    const Instruction& rep = p.instructions[3];
    EXPECT_EQ(rep.info->flow, Flow::Rep);
    EXPECT_EQ(rep.partner, 5u);
    EXPECT_EQ(p.instructions[5].partner, 3u);

    const Instruction& mad = p.instructions[4];
    EXPECT_TRUE(mad.dst.saturate);
    EXPECT_EQ(mad.dst.mask, 0xA);
    ASSERT_EQ(mad.sourceCount, 3);
    EXPECT_EQ(mad.src[0].type, RegType::Input);
    EXPECT_EQ(mad.src[0].modifier, SrcMod::NegAbs);
    EXPECT_EQ(swizzleComponent(mad.src[0].swizzle, 0), 2u);
    EXPECT_EQ(swizzleComponent(mad.src[0].swizzle, 1), 0u);
    EXPECT_TRUE(isReplicateSwizzle(mad.src[1].swizzle));
    EXPECT_EQ(mad.src[2].modifier, SrcMod::Neg);

    EXPECT_EQ(p.instructions[5].opcode, Opcode::EndRep);
    const Instruction& out = p.instructions.back();
    EXPECT_TRUE(out.predicated);
    EXPECT_EQ(out.predicate.modifier, SrcMod::Not);
    EXPECT_TRUE(out.dst.partialPrecision);
    EXPECT_EQ(out.dst.type, RegType::ColorOut);
}

TEST(Decoder, LinksIfElseAndLoops) {
    const std::vector<uint32_t> t = test::assembleOk(
        "ps_3_0\nif b0\nloop aL, i0\nendloop\nelse\nif b1\nendif\nendif\nmov oC0, r0\n");
    const DecodeResult d = decode(t.data(), t.size());
    ASSERT_TRUE(d.ok()) << d.error;
    const auto& code = d.program.instructions;
    const uint32_t expected[] = {3, 2, 1, 6, 5, 4, 0, kNoPartner};
    for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(code[i].partner, expected[i]) << i;
}

TEST(Decoder, RefusesEveryTruncation) {
    for (const char* text : {test::kFilterProgram, test::kMixedProgram}) {
        const std::vector<uint32_t> t = test::assembleOk(text, test::filterConstants());
        ASSERT_TRUE(decodeFirst(t, t.size()).ok());
        for (size_t n = 0; n < t.size(); ++n) {
            const DecodeResult d = decodeFirst(t, n);
            EXPECT_FALSE(d.ok()) << n;
            EXPECT_FALSE(d.error.empty());
            const std::vector<uint32_t> copy(t.begin(), t.begin() + n);
            EXPECT_EQ(shaderByteSize(copy.data(), copy.size()), 0u) << n;
        }
    }
}

TEST(Decoder, RefusesEveryWrongLengthField) {
    const std::vector<uint32_t> t = test::assembleOk(test::kMixedProgram);
    const DecodeResult good = decode(t.data(), t.size());
    ASSERT_TRUE(good.ok());
    for (const Instruction& ins : good.program.instructions) {
        const uint32_t original = (t[ins.tokenOffset] >> 24) & 0xF;
        for (uint32_t length = 0; length < 16; ++length) {
            if (length == original) continue;
            std::vector<uint32_t> bad = t;
            bad[ins.tokenOffset] = (bad[ins.tokenOffset] & ~0x0F000000u) | length << 24;
            EXPECT_FALSE(decode(bad.data(), bad.size()).ok())
                << formatInstruction(ins) << " with length " << length;
        }
    }
}

TEST(Decoder, RefusesOpcodesRegistersAndModifiersOutsidePs30) {
    const std::vector<uint32_t> movR0R1 = {0x02000001, 0x800F0000, 0x80E40001};
    struct Case {
        size_t word;
        uint32_t value;
        const char* message;
    };
    const Case cases[] = {
        {0, 0x02000040, "unknown opcode 0x00000040"},            // ps 1.x texcoord
        {0, 0x02000059, "unknown opcode"},                       // bem
        {0, 0x02001234, "unknown opcode"},                       //
        {0, 0x0200000C, "slt: not a ps_3_0 instruction"},        //
        {0, 0x02000010, "lit: not a ps_3_0 instruction"},        //
        {0, 0x02050001, "control bits 5 are not valid"},         // mov_gt
        {0, 0x42000001, "co-issue"},                             //
        {2, 0xB0E40001, "register type 3 is not available"},     // a0 / t#
        {1, 0xE00F0000, "register type 6 is not available"},     // o#
        {2, 0x80E41001, "register type 16 is not available"},    // half temp
        {2, 0x82E40001, "source modifier 2 is not allowed"},     // _bias
        {2, 0x87E40001, "source modifier 7 is not allowed"},     // _x2
        {2, 0x80E44001, "reserved bits"},                        //
        {1, 0x810F0000, "shift scale"},                          //
        {1, 0x808F0000, "unknown result modifier"},              //
        {1, 0x800F2000, "relative addressing on a destination"}, //
        {1, 0x000F0000, "lacks bit 31"},                         //
        {2, 0x80E42001, "relative-address token"},               // runs into the end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<uint32_t> code = movR0R1;
        code[c.word] = c.value;
        const std::vector<uint32_t> t = wrapCode(code);
        const DecodeResult d = decode(t.data(), t.size());
        ASSERT_FALSE(d.ok());
        EXPECT_NE(d.error.find(c.message), std::string::npos) << d.error;
        EXPECT_NE(d.error.find("token 1"), std::string::npos) << d.error;
    }
}

TEST(Decoder, RefusesBrokenStreams) {
    struct Case {
        std::vector<uint32_t> tokens;
        const char* message;
    };
    const Case cases[] = {
        {{}, "empty"},
        {{0xFFFE0300, 0x0000FFFF}, "not ps_3_0"},
        {{0xFFFF0200, 0x0000FFFF}, "not ps_3_0"},
        {{0xFFFF0300}, "no end token"},
        {{0xFFFF0300, 0x0000002C}, "no end token"},
        {{0xFFFF0300, 0x0004FFFE, 1, 2, 0x0000FFFF}, "comment claims 4 DWORDs but only 3"},
        {{0xFFFF0300, 0x8001FFFE, 1, 0x0000FFFF}, "malformed comment"},
        {{0xFFFF0300, 0x800F0000, 0x0000FFFF}, "is a parameter token"},
        {{0xFFFF0300, 0x03000001, 0x800F0000, 0x0000FFFF}, "runs past the end"},
        {{0xFFFF0300, 0x0200001F, 0x00000005, 0x90030000, 0x0000FFFF}, "malformed dcl usage"},
        {{0xFFFF0300, 0x0200001F, 0x8000000E, 0x90030000, 0x0000FFFF}, "unknown dcl usage 14"},
        {{0xFFFF0300, 0x14000002, 0x800F0000, 0x80E40000, 0x80E40001, 0x80E40002, 0x0000FFFF},
         "predicate operand is not p0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const DecodeResult d =
            decode(c.tokens.empty() ? nullptr : c.tokens.data(), c.tokens.size());
        ASSERT_FALSE(d.ok());
        EXPECT_NE(d.error.find(c.message), std::string::npos) << d.error;
    }
}

TEST(Decoder, SurvivesRandomCorruption) {
    const std::vector<uint32_t> t = test::assembleOk(test::kMixedProgram, test::filterConstants());
    std::mt19937 rng(20240611);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint32_t> bad = t;
        const int flips = 1 + int(rng() % 3);
        for (int f = 0; f < flips; ++f) bad[rng() % bad.size()] ^= 1u << (rng() % 32);
        bad.resize(bad.size() - rng() % 3);
        const DecodeResult d = decode(bad.data(), bad.size());
        if (d.ok()) {
            validate(d.program, {}, {});
            disassemble(d.program);
        } else {
            EXPECT_FALSE(d.error.empty());
        }
        shaderByteSize(bad.data(), bad.size());
        Comment c;
        findComment(bad.data(), bad.size(), token::kCtab, c);
    }
}

TEST(ShaderSize, WalksToTheEndToken) {
    std::vector<uint32_t> t = test::assembleOk(test::kFilterProgram, test::filterConstants());
    EXPECT_EQ(shaderByteSize(t.data(), t.size()), t.size() * 4);
    t.push_back(0x12345678); // trailing data is not part of the shader
    EXPECT_EQ(shaderByteSize(t.data(), t.size()), (t.size() - 1) * 4);

    // A def immediate equal to the end token does not stop a walk that follows lengths.
    const std::vector<uint32_t> tricky = wrapCode(
        {0x05000051, 0xA00F0000, 0x0000FFFF, 0x3F7FFFFE, 0, 0, 0x02000001, 0x800F0800, 0xA0E40000});
    EXPECT_EQ(shaderByteSize(tricky.data(), tricky.size()), tricky.size() * 4);
    ASSERT_TRUE(decode(tricky.data(), tricky.size()).ok());

    std::string error;
    const uint32_t vs1[] = {0xFFFE0101, 0x0000FFFF};
    EXPECT_EQ(shaderByteSize(vs1, 2, &error), 0u);
    EXPECT_NE(error.find("model 2 or later"), std::string::npos);
    const uint32_t vs3[] = {0xFFFE0300, 0x02000001, 0xE00F0000, 0x90E40000, 0x0000FFFF};
    EXPECT_EQ(shaderByteSize(vs3, 5, &error), 20u);
}

TEST(ShaderSize, FindsCommentsByFourcc) {
    const std::vector<uint32_t> t = wrapCode(
        {0x0002FFFE, token::fourcc('F', 'X', 'L', 'C'), 7, 0x0001FFFE, token::kCtab, 0x0000002C});
    Comment c;
    ASSERT_TRUE(findComment(t.data(), t.size(), token::kCtab, c));
    EXPECT_EQ(c.offset, 5u);
    EXPECT_EQ(c.dwords, 1u);
    EXPECT_FALSE(findComment(t.data(), t.size(), token::fourcc('P', 'R', 'E', 'S'), c));
}

} // namespace
} // namespace kestrin::shader
