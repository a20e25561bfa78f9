// Helpers shared by the shader tests: assemble small programs and compare token streams with a
// disassembly of both sides on mismatch.
#pragma once

#include "shader/assembler.h"
#include "shader/bytecode.h"
#include "shader/disassembler.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace kestrin::shader::test {

inline std::string hexList(const std::vector<uint32_t>& v) {
    std::string s;
    for (uint32_t t : v) {
        char buf[12];
        std::snprintf(buf, sizeof buf, "%08X ", t);
        s += buf;
    }
    return s;
}

// The instruction tokens of an assembled program: without version, leading comment and end.
inline std::vector<uint32_t> codeTokens(const std::vector<uint32_t>& tokens) {
    if (tokens.size() < 2) return {};
    size_t begin = 1;
    if ((tokens[1] & 0xFFFF) == token::kCommentOpcode) begin += 1 + ((tokens[1] >> 16) & 0x7FFF);
    if (begin > tokens.size() - 1) return {};
    return {tokens.begin() + begin, tokens.end() - 1};
}

// Wraps instruction tokens into a complete program without a constant table.
inline std::vector<uint32_t> wrapCode(const std::vector<uint32_t>& code) {
    std::vector<uint32_t> t{token::kPs30Version};
    t.insert(t.end(), code.begin(), code.end());
    t.push_back(token::kEnd);
    return t;
}

inline ::testing::AssertionResult sameTokens(const std::vector<uint32_t>& expected,
                                             const std::vector<uint32_t>& actual) {
    if (expected == actual) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "\nexpected: " << hexList(expected) << "\nactual:   " << hexList(actual)
           << "\n--- expected disassembly ---\n"
           << disassemble(expected.data(), expected.size()) << "--- actual disassembly ---\n"
           << disassemble(actual.data(), actual.size());
}

// Assembles or fails the test with the assembler's messages.
inline std::vector<uint32_t> assembleOk(const std::string& text,
                                        std::span<const CtabEntry> ctab = {}) {
    const AssembleResult r = assemble(text, 1, ctab);
    EXPECT_TRUE(r.ok()) << joinDiagnostics(r.errors) << text;
    return r.tokens;
}

} // namespace kestrin::shader::test

namespace kestrin::shader::test {

// One bilateral-style iteration: centre sample, two nested rep loops with explicit-LOD taps,
// the spatial and range falloff, and the weighted mean.
inline const char* const kFilterProgram = R"(ps_3_0
// literals live in registers no parameter uses
def c8, 0.36, 3, 1, 0
def c9, -3, 1, 0, 0
defi i0, 7, 0, 0, 0
dcl_texcoord0 v0.xy
dcl_2d s1
texld r0, v0, s1            ; centre
mov r1, c8.w                ; S
mov r2.x, c8.w              ; W
mov r3.y, c9.x              ; dy
rep i0
    mov r3.x, c9.x          ; dx
    rep i0
        mad r4.xy, c1, r3, v0
        mov r4.zw, c8.w
        texldl r5, r4, s1
        add r6.xyz, r0, -r5
        dp3 r6.x, r6, r6
        mul r6.x, r6.x, c0.x        // range argument
        mul_sat r7.x, r6.x, c8.x
        mul r7.y, r7.x, r7.x
        rsq r7.z, r7.x
        mul r7.y, r7.y, r7.z
        add r7.y, r7.y, r7.y
        mad r7.y, r7.x, -c8.y, r7.y
        add r7.y, r7.y, c8.z
        cmp r7.w, -r6.x, c8.z, r7.y
        mul r8.x, r3.x, r3.x
        mad r8.x, r3.y, r3.y, r8.x
        mul r8.x, r8.x, c2.x
        cmp r8.y, -r8_abs.x, c8.z, r7.y
        mul r8.z, r8.y, r7.w
        add r2.x, r2.x, r8.z
        mad r1.xyz, r5, r8.z, r1
        add r3.x, r3.x, c9.y
    endrep
    add r3.y, r3.y, c9.y
endrep
rcp r9.x, r2.x
mul r1.xyz, r1, r9.x
mov r1.w, c8.w
mov oC0, r1
)";

inline std::vector<CtabEntry> filterConstants() {
    return {ctabScalar("pixDist", 0), ctabVector("posPitch", 1, 2), ctabScalar("posDist", 2),
            ctabSampler2D("samRGB", 1)};
}

// Less common forms: if/else, loop with aL, predication, centroid, cube and volume samplers.
inline const char* const kMixedProgram = R"(ps_3_0
defb b0, true
defi i1, 3, 0, 1, 0
def c5, 1.5, -2.25e-3, 0.333333343, 16777216
dcl_texcoord0_centroid v0.xy
dcl_texcoord1 v1
dcl_cube s2
dcl_volume s3
dcl vFace
if !b0
    mov r0, c5.yzxw
else
    mov_sat r0, -v1_abs.x
endif
loop aL, i1
    add r0, r0, v[aL]
endloop
setp_ge p0, r0.x, c5.y
(!p0) mov r0.y, c5.x
texldp r1, v1, s2
texldb_pp r2, v1, s3
sub r0, r1, r2
if_lt r0.x, vFace
    nrm r3.xyz, r0
    sincos r4.xy, r3.z
endif
mov oC0, r0
)";

} // namespace kestrin::shader::test
