// What BeginPass puts on the device (program, depth test, samplers with their textures, constants
// from each program's constant table), when parameter changes reach it, what Begin saves and End
// restores, and the order Begin/BeginPass/EndPass/End must come in.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <map>

#include "shader/ctab.h"
#include "tests/common/failed_calls.h"
#include "tests/platform_d3dx9/d3dx9_test_support.h"

namespace kestrin::platform::d3dx9::testing {
namespace {

using kestrin::testing::builtEffect;
using test_support::FailedCalls;
using test_support::genuine;
using test_support::planned;

constexpr DWORD kStages = 16;

uint32_t bits(float f) {
    return std::bit_cast<uint32_t>(f);
}

const std::vector<uint32_t>& passCode(size_t technique, size_t pass) {
    const auto* code =
        kestrin::testing::passProgram(builtEffect().techniques[technique].passes[pass]);
    EXPECT_NE(code, nullptr);
    static const std::vector<uint32_t> none;
    return code ? *code : none;
}

std::vector<uint32_t> shaderCode(IDirect3DPixelShader9* shader) {
    UINT size = 0;
    if (!shader || FAILED(shader->GetFunction(nullptr, &size))) return {};
    std::vector<uint32_t> code(size / 4);
    if (FAILED(shader->GetFunction(code.data(), &size))) return {};
    return code;
}

// Puts every stage, the depth test and the first constants into a state no pass leaves behind.
void scramble(IDirect3DDevice9* device) {
    device->SetRenderState(D3DRS_ZENABLE, D3DZB_TRUE);
    for (DWORD s = 0; s < kStages; ++s) {
        device->SetTexture(s, nullptr);
        device->SetSamplerState(s, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
        device->SetSamplerState(s, D3DSAMP_ADDRESSV, D3DTADDRESS_CLAMP);
        device->SetSamplerState(s, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
        device->SetSamplerState(s, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
    }
    const std::vector<float> junk(4 * 16, 99.0f);
    device->SetPixelShaderConstantF(0, junk.data(), 16);
}

// Register r of a constant-table entry for a row-by-row value: matrices of class MATRIX_COLUMNS
// give column r, everything else its components in x, y, z, w.
std::vector<uint32_t> expectedRegister(const shader::CtabEntry& e, const fx::Parameter& p,
                                       const std::vector<float>& value, uint32_t r) {
    std::vector<uint32_t> reg(4, 0);
    for (uint32_t lane = 0; lane < 4; ++lane) {
        if (e.type.cls == shader::ParamClass::MatrixColumns) {
            if (lane < p.rows) reg[lane] = bits(value.at(lane * p.columns + r));
        } else if (lane < value.size()) {
            reg[lane] = bits(value[lane]);
        }
    }
    return reg;
}

class EffectBinding : public EffectTest {
  protected:
    void SetUp() override {
        EffectTest::SetUp();
        device_ = openDevice();
        ASSERT_TRUE(device_);
        effect_ = createBuiltEffect(device_.get());
        ASSERT_TRUE(effect_);
        src_ = makeTexture(device_.get(), 8, 4, D3DFMT_A16B16G16R16);
        rgb_ = makeTexture(device_.get(), 8, 4, D3DFMT_A16B16G16R16, D3DUSAGE_RENDERTARGET);
        ASSERT_TRUE(src_ && rgb_);
        ASSERT_EQ(effect_->SetTexture("txSrc", src_.get()), D3D_OK);
        ASSERT_EQ(effect_->SetTexture("txRGB", rgb_.get()), D3D_OK);
    }
    void TearDown() override {
        effect_.reset();
        src_.reset();
        rgb_.reset();
        device_.reset();
        EffectTest::TearDown();
    }

    // The stage a pass's program samples `sampler` from, or -1.
    static int stageOf(size_t technique, size_t pass, const std::string& sampler) {
        const auto& code = passCode(technique, pass);
        const auto ctab = shader::readCtabFromShader(code.data(), code.size());
        for (const auto& e : ctab.table.entries)
            if (e.name == sampler && e.set == shader::RegisterSet::Sampler) return e.index;
        return -1;
    }

    Ref<IDirect3DDevice9> device_;
    Ref<ID3DXEffect> effect_;
    Ref<IDirect3DTexture9> src_, rgb_;
};

TEST_F(EffectBinding, BeginPassBindsProgramStatesSamplersAndConstants) {
    std::map<std::string, std::vector<float>> values = {{"pixGain", {0.5f}},
                                                        {"pixDist", {81.0f}},
                                                        {"posDist", {0.25f}},
                                                        {"posPitch", {0.25f, 0.125f}}};
    for (const auto& [name, v] : values) {
        const D3DXVECTOR4 vec(v[0], v.size() > 1 ? v[1] : 0.0f, 7.0f, 8.0f);
        ASSERT_EQ(effect_->SetVector(name.c_str(), &vec), D3D_OK) << name;
    }
    const fx::Effect& fx = builtEffect();
    for (const char* m : {"matYC2RGB", "matRGB2YC"}) {
        const auto& words = fx.parameters[*fx.findParameter(m)].value;
        for (uint32_t w : words) values[m].push_back(std::bit_cast<float>(w));
    }
    for (size_t t = 0; t < 2; ++t) {
        ASSERT_EQ(effect_->SetTechnique(effect_->GetTechnique(UINT(t))), D3D_OK);
        UINT passes = 0;
        ASSERT_EQ(effect_->Begin(&passes, D3DXFX_DONOTSAVESTATE), D3D_OK);
        ASSERT_EQ(passes, 3u);
        for (UINT p = 0; p < passes; ++p) {
            SCOPED_TRACE("technique " + std::to_string(t) + " pass " + std::to_string(p));
            scramble(device_.get());
            ASSERT_EQ(effect_->BeginPass(p), D3D_OK);
            Ref<IDirect3DPixelShader9> ps;
            ASSERT_EQ(device_->GetPixelShader(ps.put()), D3D_OK);
            EXPECT_EQ(shaderCode(ps.get()), passCode(t, p));
            Ref<IDirect3DVertexShader9> vs;
            EXPECT_EQ(device_->GetVertexShader(vs.put()), D3D_OK);
            EXPECT_FALSE(vs);
            DWORD z = 1;
            ASSERT_EQ(device_->GetRenderState(D3DRS_ZENABLE, &z), D3D_OK);
            EXPECT_EQ(z, DWORD{D3DZB_FALSE});

            const auto& code = passCode(t, p);
            const auto ctab = shader::readCtabFromShader(code.data(), code.size());
            ASSERT_TRUE(ctab.ok()) << ctab.error;
            std::vector<bool> sampled(kStages, false);
            for (const shader::CtabEntry& e : ctab.table.entries) {
                SCOPED_TRACE(e.name);
                if (e.set == shader::RegisterSet::Sampler) {
                    sampled.at(e.index) = true;
                    const SamplerView v = samplerView(device_.get(), e.index);
                    IDirect3DBaseTexture9* want = e.name == "samSrc" ? src_.get() : rgb_.get();
                    EXPECT_EQ(v.texture, want);
                    EXPECT_EQ(v.addressU, DWORD{D3DTADDRESS_MIRROR});
                    EXPECT_EQ(v.addressV, DWORD{D3DTADDRESS_MIRROR});
                    EXPECT_EQ(v.minFilter, DWORD{D3DTEXF_POINT});
                    EXPECT_EQ(v.magFilter, DWORD{D3DTEXF_POINT});
                    continue;
                }
                const fx::Parameter& param = fx.parameters[*fx.findParameter(e.name)];
                for (uint32_t r = 0; r < e.count; ++r)
                    EXPECT_EQ(pixelConstant(device_.get(), e.index + r),
                              expectedRegister(e, param, values.at(e.name), r))
                        << "c" << e.index + r;
            }
            // Samplers the program does not name are left alone.
            for (DWORD s = 0; s < kStages; ++s) {
                if (sampled[s]) continue;
                const SamplerView v = samplerView(device_.get(), s);
                EXPECT_EQ(v.texture, nullptr) << s;
                EXPECT_EQ(v.addressU, DWORD{D3DTADDRESS_CLAMP}) << s;
            }
            ASSERT_EQ(effect_->EndPass(), D3D_OK);
        }
        ASSERT_EQ(effect_->End(), D3D_OK);
    }
}

TEST_F(EffectBinding, ChangesReachTheDeviceAtTheNextBeginPassOrCommit) {
    const int stage = stageOf(0, 1, "samRGB");
    ASSERT_GE(stage, 0);
    Ref<IDirect3DTexture9> other = makeTexture(device_.get(), 8, 4, D3DFMT_A16B16G16R16);
    const D3DXHANDLE hTxRGB = effect_->GetParameterByName(nullptr, "txRGB");
    ASSERT_EQ(effect_->SetTechnique("BilateralFiltering"), D3D_OK);
    ASSERT_EQ(effect_->Begin(nullptr, 0), D3D_OK);
    ASSERT_EQ(effect_->BeginPass(1), D3D_OK);
    EXPECT_EQ(samplerView(device_.get(), DWORD(stage)).texture, rgb_.get());
    ASSERT_EQ(effect_->SetTexture(hTxRGB, other.get()), D3D_OK);
    EXPECT_EQ(samplerView(device_.get(), DWORD(stage)).texture, rgb_.get());
    ASSERT_EQ(effect_->CommitChanges(), D3D_OK);
    EXPECT_EQ(samplerView(device_.get(), DWORD(stage)).texture, other.get());
    ASSERT_EQ(effect_->EndPass(), D3D_OK);
    // Between passes, as the plug-in moves txRGB along.
    ASSERT_EQ(effect_->SetTexture(hTxRGB, rgb_.get()), D3D_OK);
    ASSERT_EQ(effect_->BeginPass(2), D3D_OK);
    EXPECT_EQ(samplerView(device_.get(), DWORD(stageOf(0, 2, "samRGB"))).texture, rgb_.get());
    ASSERT_EQ(effect_->EndPass(), D3D_OK);
    ASSERT_EQ(effect_->End(), D3D_OK);
    // A commit outside a pass is harmless, as in D3DX.
    EXPECT_EQ(effect_->CommitChanges(), D3D_OK);
}

TEST_F(EffectBinding, BeginSavesWhatThePassesTouchAndEndRestoresIt) {
    // The application's own state: another program, depth test on, its own textures and
    // samplers, its own constants.
    const auto& appCode = passCode(1, 1);
    Ref<IDirect3DPixelShader9> appShader;
    ASSERT_EQ(device_->CreatePixelShader(appCode.data(), appShader.put()), D3D_OK);
    Ref<IDirect3DTexture9> t0 = makeTexture(device_.get(), 2, 2, D3DFMT_Q16W16V16U16);
    Ref<IDirect3DTexture9> t1 = makeTexture(device_.get(), 2, 2, D3DFMT_Q16W16V16U16);
    scramble(device_.get());
    ASSERT_EQ(device_->SetPixelShader(appShader.get()), D3D_OK);
    ASSERT_EQ(device_->SetTexture(0, t0.get()), D3D_OK);
    ASSERT_EQ(device_->SetTexture(1, t1.get()), D3D_OK);
    std::vector<float> constants(4 * 12);
    for (size_t i = 0; i < constants.size(); ++i) constants[i] = float(i) + 0.5f;
    ASSERT_EQ(device_->SetPixelShaderConstantF(0, constants.data(), 12), D3D_OK);

    auto runAllPasses = [&](DWORD flags) {
        UINT passes = 0;
        ASSERT_EQ(effect_->Begin(&passes, flags), D3D_OK);
        for (UINT p = 0; p < passes; ++p) {
            ASSERT_EQ(effect_->BeginPass(p), D3D_OK);
            ASSERT_EQ(effect_->EndPass(), D3D_OK);
        }
        ASSERT_EQ(effect_->End(), D3D_OK);
    };
    runAllPasses(0);
    Ref<IDirect3DPixelShader9> ps;
    ASSERT_EQ(device_->GetPixelShader(ps.put()), D3D_OK);
    EXPECT_EQ(ps.get(), appShader.get());
    ps.reset();
    DWORD z = 0;
    device_->GetRenderState(D3DRS_ZENABLE, &z);
    EXPECT_EQ(z, DWORD{D3DZB_TRUE});
    for (DWORD s = 0; s < 2; ++s) {
        const SamplerView v = samplerView(device_.get(), s);
        EXPECT_EQ(v.texture, s == 0 ? t0.get() : t1.get());
        EXPECT_EQ(v.addressU, DWORD{D3DTADDRESS_CLAMP});
        EXPECT_EQ(v.magFilter, DWORD{D3DTEXF_LINEAR});
    }
    std::vector<float> after(constants.size());
    ASSERT_EQ(device_->GetPixelShaderConstantF(0, after.data(), 12), D3D_OK);
    EXPECT_EQ(after, constants);

    // Without saving, the passes' state stays.
    runAllPasses(D3DXFX_DONOTSAVESTATE);
    device_->GetRenderState(D3DRS_ZENABLE, &z);
    EXPECT_EQ(z, DWORD{D3DZB_FALSE});
    ASSERT_EQ(device_->GetPixelShader(ps.put()), D3D_OK);
    EXPECT_NE(ps.get(), appShader.get());
    ps.reset();
    // Unbind everything before the objects go, so that the device holds none of them.
    device_->SetPixelShader(nullptr);
    for (DWORD s = 0; s < kStages; ++s) device_->SetTexture(s, nullptr);
}

TEST_F(EffectBinding, CallsOutOfOrderAreRefused) {
    UINT passes = 7;
    EXPECT_EQ(effect_->BeginPass(0), D3DERR_INVALIDCALL);
    EXPECT_EQ(effect_->EndPass(), D3DERR_INVALIDCALL);
    EXPECT_EQ(effect_->End(), D3DERR_INVALIDCALL);
    ASSERT_EQ(effect_->Begin(&passes, 0), D3D_OK);
    EXPECT_EQ(passes, 3u);
    EXPECT_EQ(effect_->Begin(&passes, 0), D3DERR_INVALIDCALL);
    EXPECT_EQ(passes, 0u);
    EXPECT_EQ(effect_->BeginPass(3), D3DERR_INVALIDCALL);
    EXPECT_EQ(effect_->EndPass(), D3DERR_INVALIDCALL);
    ASSERT_EQ(effect_->BeginPass(2), D3D_OK);
    EXPECT_EQ(effect_->BeginPass(1), D3DERR_INVALIDCALL);
    EXPECT_EQ(effect_->EndPass(), D3D_OK);
    EXPECT_EQ(effect_->End(), D3D_OK);
    EXPECT_EQ(effect_->End(), D3DERR_INVALIDCALL);
    // Releasing an effect between Begin and End drops what Begin saved.
    ASSERT_EQ(effect_->Begin(&passes, 0), D3D_OK);
    ASSERT_EQ(effect_->BeginPass(0), D3D_OK);
    effect_.reset();
    device_->SetPixelShader(nullptr);
    for (DWORD s = 0; s < kStages; ++s) device_->SetTexture(s, nullptr);
}

// A planned failure of EndPass or End still ends the pass or the effect (End still restores what
// Begin saved), as D3DX does, so a caller that ignores the results runs every pass and the
// planned calls are the only failures. A planned Begin or BeginPass begins nothing.
TEST_F(EffectBinding, PlannedFailuresOfEndPassAndEndStillEndThem) {
    hooks::reset();
    hooks::failCall("ID3DXEffect::EndPass", 1, E_FAIL, /*repeat=*/true);
    hooks::failCall("ID3DXEffect::End", 1, E_OUTOFMEMORY);
    UINT passes = 0;
    ASSERT_EQ(effect_->Begin(&passes, 0), D3D_OK);
    ASSERT_EQ(passes, 3u);
    for (UINT p = 0; p < passes; ++p) {
        EXPECT_EQ(effect_->BeginPass(p), D3D_OK) << p;
        EXPECT_EQ(effect_->EndPass(), E_FAIL);
    }
    EXPECT_EQ(effect_->End(), E_OUTOFMEMORY);
    Ref<IDirect3DPixelShader9> ps;
    ASSERT_EQ(device_->GetPixelShader(ps.put()), D3D_OK);
    EXPECT_EQ(ps.get(), nullptr) << "End restored the program Begin saved";
    EXPECT_EQ(hooks::failedCalls(), (FailedCalls{planned("ID3DXEffect::EndPass", E_FAIL),
                                                 planned("ID3DXEffect::EndPass", E_FAIL),
                                                 planned("ID3DXEffect::EndPass", E_FAIL),
                                                 planned("ID3DXEffect::End", E_OUTOFMEMORY)}));

    hooks::reset();
    hooks::failCall("ID3DXEffect::Begin", 1, E_FAIL);
    hooks::failCall("ID3DXEffect::BeginPass", 1, E_FAIL);
    EXPECT_EQ(effect_->Begin(&passes, 0), E_FAIL);
    EXPECT_EQ(effect_->End(), D3DERR_INVALIDCALL);
    ASSERT_EQ(effect_->Begin(&passes, 0), D3D_OK);
    EXPECT_EQ(effect_->BeginPass(0), E_FAIL);
    EXPECT_EQ(effect_->EndPass(), D3DERR_INVALIDCALL);
    EXPECT_EQ(effect_->End(), D3D_OK);
    EXPECT_EQ(hooks::failedCalls(),
              (FailedCalls{planned("ID3DXEffect::Begin", E_FAIL),
                           genuine("ID3DXEffect::End", D3DERR_INVALIDCALL),
                           planned("ID3DXEffect::BeginPass", E_FAIL),
                           genuine("ID3DXEffect::EndPass", D3DERR_INVALIDCALL)}));
    device_->SetPixelShader(nullptr);
    for (DWORD s = 0; s < kStages; ++s) device_->SetTexture(s, nullptr);
}

} // namespace
} // namespace kestrin::platform::d3dx9::testing
