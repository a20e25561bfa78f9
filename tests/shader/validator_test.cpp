#include "shader/validator.h"

#include "shader/assembler.h"
#include "shader/bytecode.h"
#include "test_util.h"

#include <gtest/gtest.h>

namespace kestrin::shader {
namespace {

// Assembles a program whose header occupies lines 10-12 (so the body starts at line 13),
// validates it with the assembler's line map, and returns all findings as text.
std::string findings(const std::string& body, std::span<const CtabEntry> ctab = {},
                     bool writeColor = true) {
    const std::string text =
        "ps_3_0\ndcl_texcoord0 v0.xy\ndcl_2d s0\n" + body + (writeColor ? "\nmov oC0, r0\n" : "\n");
    const AssembleResult a = assemble(text, 10, ctab);
    EXPECT_TRUE(a.ok()) << joinDiagnostics(a.errors);
    const DecodeResult d = decode(a.tokens.data(), a.tokens.size());
    EXPECT_TRUE(d.ok()) << d.error;
    return joinDiagnostics(validate(d.program, ctab, a.lines));
}

TEST(Validator, AcceptsTheSamplePrograms) {
    for (const char* text : {test::kFilterProgram, test::kMixedProgram}) {
        const std::vector<CtabEntry> ctab = test::filterConstants();
        const AssembleResult a = assemble(text, 1, ctab);
        ASSERT_TRUE(a.ok()) << joinDiagnostics(a.errors);
        const DecodeResult d = decode(a.tokens.data(), a.tokens.size());
        ASSERT_TRUE(d.ok()) << d.error;
        EXPECT_EQ(joinDiagnostics(validate(d.program, ctab, a.lines)), "");
    }
}

struct Violation {
    const char* rule;
    const char* body;     // starts at line 13
    const char* expected; // substring of the findings, including the line
};

const Violation kViolations[] = {
    {"undeclared input", "mov r0, v1", "line 13: mov: v1 is read but not declared"},
    {"undeclared sampler", "texld r0, v0, s3", "line 13: texld: s3 is read but not declared"},
    {"dcl after code", "mov r0, v0\ndcl_texcoord1 v1",
     "line 14: dcl: declarations and constant "
     "definitions must precede"},
    {"def after code", "mov r0, v0\ndef c0, 1, 1, 1, 1", "line 14: def: declarations"},
    {"declared twice", "dcl_texcoord1 v0.y", "line 13: dcl: v0 is declared twice"},
    {"constant range", "mov r0, c224", "line 13: mov: c224 is out of range (c# has 224 registers)"},
    {"temp range", "mov r32, c0", "r32 is out of range"},
    {"input range", "dcl_texcoord3 v10", "v10 is out of range"},
    {"sampler range", "dcl_2d s16", "s16 is out of range"},
    {"int range", "rep i16\nendrep", "line 13: rep: i16 is out of range"},
    {"bool range", "if b16\nendif", "b16 is out of range"},
    {"color output range", "mov oC4, r0", "oC4 is out of range"},
    {"two constants", "add r0, c0, c1",
     "line 13: add: reads 2 different c# registers (c0, c1); ps_3_0 allows 1"},
    {"two inputs", "dcl_texcoord1 v1\nadd r0, v0, v1", "line 14: add: reads 2 different v#"},
    {"same constant twice is fine", "mad r0, r1, c0.x, -c0.y\nadd r0, c1, -c2",
     "line 14: add: reads 2"},
    {"rcp without replicate", "rcp r0.x, r1", "line 13: rcp: source 1 needs a replicate swizzle"},
    {"rsq without replicate", "rsq r0, r1.xy", "rsq: source 1 needs a replicate swizzle"},
    {"pow without replicate", "pow r0, r1.x, r2.xy", "pow: source 2 needs a replicate"},
    {"texld into an output", "texld oC0, v0, s0",
     "line 13: texld: destination must be a temporary"},
    {"texldl into an output", "texldl oC0, v0, s0", "texldl: destination must be a temporary"},
    {"sampler with modifier", "texld r0, v0, -s0", "texld: source 2: s0 takes no modifier"},
    {"constant as sampler", "texld r0, v0, c0", "texld: source 2 must be a sampler"},
    {"sampler as arithmetic", "mov r0, s0", "mov: source 1: a sampler can only be"},
    {"not on a temporary", "mov r0, !r1", "line 13: mov: source 1: '!' applies only"},
    {"negated boolean", "if -b0\nendif", "if: source 1: b0 takes no modifier"},
    {"unclosed rep", "rep i0\nmov r0, c0", "line 13: rep: rep block is never closed"},
    {"stray endrep", "endrep", "line 13: endrep: endrep without a matching rep"},
    {"stray else", "else", "else without a matching if"},
    {"second else", "if b0\nelse\nelse\nendif", "line 15: else: else without"},
    {"crossed blocks", "rep i0\nif b0\nendrep\nendif", "line 15: endrep: endrep without"},
    {"loop depth",
     "rep i0\nrep i0\nrep i0\nrep i0\nloop aL, i0\nendloop\nendrep\nendrep\nendrep\nendrep",
     "line 17: loop: rep/loop nested deeper than 4"},
    {"break outside loop", "if b0\nbreak\nendif", "line 14: break: break outside rep or loop"},
    {"aL outside loop", "mov r0, v[aL]", "aL is only defined inside loop"},
    {"relative constant", "loop aL, i0\nmov r0, c[aL + 1]\nendloop",
     "line 14: mov: only input "
     "registers can be addressed"},
    {"rep operand", "rep b0\nendrep", "rep: operand 1 must be i#, not b0"},
    {"if operand", "if c0.x\nendif", "if: operand must be b# or p0, not c0"},
    {"write a constant", "mov c0, r0", "line 13: mov: c0 cannot be written"},
    {"write an input", "mov v0, r0", "mov: v0 cannot be written"},
    {"read an output", "mov r0, oC0", "mov: oC0 cannot be read"},
    {"def into a temp", "def r0, 1, 2, 3, 4", "def: defines c# registers, not r0"},
    {"defined twice", "def c7, 1, 2, 3, 4\ndef c7, 1, 2, 3, 4",
     "line 14: def: c7 is defined twice"},
    {"dcl of a temp", "dcl_texcoord1 r1", "r1 cannot be declared"},
    {"texld in dynamic if", "if_gt r0.x, c0.x\ntexld r1, v0, s0\nendif",
     "line 14: texld: needs derivatives"},
    {"output in dynamic if", "if_lt r0.x, c0.x\nmov oC0, r1\nendif",
     "line 14: mov: output registers "
     "cannot be written inside dynamic"},
    {"sampler without type", "dcl s1", "sampler s1 needs a texture type"},
};

TEST(Validator, RefusesEachRuleWithItsLine) {
    for (const Violation& v : kViolations) {
        SCOPED_TRACE(v.rule);
        const std::string text = findings(v.body);
        EXPECT_NE(text.find(v.expected), std::string::npos) << text;
    }
}

TEST(Validator, CountsDistinctRegistersForReadPorts) {
    // One constant register read through several swizzles is one read port.
    EXPECT_EQ(findings("mad r0, v0.x, c0.x, -c0.y\nmad r0, r1, r2, r3\nadd r0, v0.x, v0.y"), "");
}

TEST(Validator, AcceptsUsagesInDisjointComponentsOfOneInput) {
    EXPECT_EQ(findings("dcl_texcoord1 v0.zw\nmov r0, v0"), "");
}

TEST(Validator, RequiresAColorOutput) {
    EXPECT_EQ(findings("mov r0, v0\nmov oC1, r0", {}, false), "oC0 is never written\n");
    EXPECT_EQ(findings("mov r0, v0\nmov oC0.x, r0", {}, false), "");
}

TEST(Validator, RefusesDefsOnConstantTableRegisters) {
    const std::vector<CtabEntry> ctab = {ctabScalar("pixGain", 0),
                                         ctabMatrixColumns("matYC2RGB", 2, 3, 3)};
    const std::string text = findings("def c4, 1, 2, 3, 4\ndef c5, 1, 2, 3, 4\nmov r0, c0", ctab);
    EXPECT_NE(text.find("line 13: def: c4 is also parameter 'matYC2RGB' of the constant table"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("c5"), std::string::npos) << text;

    const std::vector<CtabEntry> overlapping = {ctabScalar("a", 3),
                                                ctabMatrixColumns("m", 2, 3, 3)};
    EXPECT_NE(findings("", overlapping).find("'a' and 'm' both use c3"), std::string::npos);
    const std::vector<CtabEntry> beyond = {ctabMatrixColumns("m", 222, 3, 3)};
    EXPECT_NE(findings("", beyond).find("'m' covers c222 to c224, beyond c223"), std::string::npos);
}

TEST(Validator, NamesInstructionIndicesWithoutALineMap) {
    const std::vector<uint32_t> t =
        test::assembleOk("ps_3_0\nmov r0, c0\nadd r0, c0, c1\nmov oC0, r0\n");
    const DecodeResult d = decode(t.data(), t.size());
    ASSERT_TRUE(d.ok());
    const std::vector<Diagnostic> found = validate(d.program);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].text(),
              "instruction 1: add: reads 2 different c# registers (c0, c1); ps_3_0 allows 1 "
              "per instruction");
}

TEST(Validator, RefusesImmediatesThatLookLikeTokens) {
    // The assembler never writes these; a decoded foreign program may contain them.
    const std::vector<uint32_t> t = test::wrapCode(
        {0x05000051, 0xA00F0000, 0x3F7FFFFE, 0, 0, 0, 0x02000001, 0x800F0800, 0xA0E40000});
    const DecodeResult d = decode(t.data(), t.size());
    ASSERT_TRUE(d.ok()) << d.error;
    const std::string text = joinDiagnostics(validate(d.program));
    EXPECT_NE(text.find("instruction 0: def: immediate 0x3F7FFFFE looks like"), std::string::npos)
        << text;
}

TEST(Validator, RefusesAWrongVersion) {
    Program p;
    p.version = 0xFFFF0200;
    EXPECT_NE(joinDiagnostics(validate(p)).find("0xFFFF0200 is not ps_3_0"), std::string::npos);
}

} // namespace
} // namespace kestrin::shader

namespace kestrin::shader {
namespace {

// Subroutine labels run from l0 to l2047 (the register number's whole 11 bits).
TEST(Validator, AcceptsLabelsUpToL2047) {
    for (const char* label : {"l0", "l16", "l1000", "l2047"}) {
        SCOPED_TRACE(label);
        const std::string body = std::string("mov r0, c0\ncall ") + label + "\nmov oC0, r0\nret\n" +
                                 "label " + label + "\nmov r0, c1\nret";
        EXPECT_EQ(findings(body, {}, false), "");
    }
}

} // namespace
} // namespace kestrin::shader
