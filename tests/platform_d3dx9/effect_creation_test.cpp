// Creating the effect (from memory and from module resources), what it says about itself, its
// handles and names, its parameter values, and the fault plan's reach.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <functional>

#include "effect/constants.h"
#include "fx/reader.h"
#include "fx/writer.h"
#include "platform/module_resources.h"
#include "process.h"
#include "shader/bytecode.h"
#include "shader/ctab.h"
#include "tests/common/failed_calls.h"
#include "tests/platform_d3dx9/d3dx9_test_support.h"
#include "windows.h"

namespace kestrin::platform::d3dx9::testing {
namespace {

using kestrin::testing::builtEffect;
using kestrin::testing::builtEffectBytes;

uint32_t bits(float f) {
    return std::bit_cast<uint32_t>(f);
}

auto* const kPoison = reinterpret_cast<ID3DXEffect*>(0xdeadbeef);
auto* const kPoisonBuffer = reinterpret_cast<ID3DXBuffer*>(0xdeadbeef);

class EffectCreation : public EffectTest {};

TEST_F(EffectCreation, FromMemoryAndFromResourcesByNumberOrName) {
    Ref<IDirect3DDevice9> device = openDevice();
    ASSERT_TRUE(device);
    const auto& bytes = builtEffectBytes();
    const KestrinResourceEntry table[] = {
        {10, 104, 0x0411, bytes.data(), static_cast<uint32_t>(bytes.size())},
        {0, 0, 0, nullptr, 0},
    };
    const auto module = reinterpret_cast<HMODULE>(0x5a5a0000);
    registerModuleResources(module, table);
    for (LPCWSTR name : {static_cast<LPCWSTR>(MAKEINTRESOURCEW(104)), L"#104"}) {
        Ref<ID3DXEffect> effect;
        ID3DXBuffer* errors = kPoisonBuffer;
        EXPECT_EQ(D3DXCreateEffectFromResourceW(device.get(), module, name, nullptr, nullptr,
                                                D3DXFX_NOT_CLONEABLE, nullptr, effect.put(),
                                                &errors),
                  D3D_OK);
        EXPECT_EQ(errors, nullptr);
        ASSERT_TRUE(effect);
        D3DXEFFECT_DESC desc{};
        ASSERT_EQ(effect->GetDesc(&desc), D3D_OK);
        EXPECT_EQ(desc.Parameters, 10u);
        EXPECT_EQ(desc.Techniques, 2u);
        Ref<IDirect3DDevice9> same;
        ASSERT_EQ(effect->GetDevice(same.put()), D3D_OK);
        EXPECT_EQ(same.get(), device.get());
    }
    // A resource the module lacks is invalid data, with no error text.
    ID3DXEffect* effect = kPoison;
    ID3DXBuffer* errors = kPoisonBuffer;
    EXPECT_EQ(D3DXCreateEffectFromResourceW(device.get(), module, MAKEINTRESOURCEW(105), nullptr,
                                            nullptr, 0, nullptr, &effect, &errors),
              D3DXERR_INVALIDDATA);
    EXPECT_EQ(effect, nullptr);
    EXPECT_EQ(errors, nullptr);
    registerModuleResources(module, nullptr);
}

TEST_F(EffectCreation, ArgumentsAreCheckedAfterOutputsAreCleared) {
    Ref<IDirect3DDevice9> device = openDevice();
    ASSERT_TRUE(device);
    const auto& bytes = builtEffectBytes();
    const auto size = static_cast<UINT>(bytes.size());
    ID3DXEffect* effect = kPoison;
    ID3DXBuffer* errors = kPoisonBuffer;
    EXPECT_EQ(D3DXCreateEffect(nullptr, bytes.data(), size, nullptr, nullptr, 0, nullptr, &effect,
                               &errors),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(effect, nullptr);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(D3DXCreateEffect(device.get(), nullptr, size, nullptr, nullptr, 0, nullptr, &effect,
                               &errors),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(D3DXCreateEffect(device.get(), bytes.data(), 0, nullptr, nullptr, 0, nullptr, &effect,
                               &errors),
              E_FAIL);
    EXPECT_EQ(D3DXCreateEffectFromResourceW(nullptr, nullptr, MAKEINTRESOURCEW(104), nullptr,
                                            nullptr, 0, nullptr, &effect, &errors),
              D3DERR_INVALIDCALL);
    // As D3DX: with nowhere to put the effect, a call that passes the checks does nothing.
    EXPECT_EQ(D3DXCreateEffect(device.get(), bytes.data(), size, nullptr, nullptr, 0, nullptr,
                               nullptr, nullptr),
              D3D_OK);
    EXPECT_EQ(hooks::callCount("D3DXCreateEffect"), 0);
}

TEST_F(EffectCreation, CorruptBinaryGivesInvalidDataAndTheReadersMessage) {
    Ref<IDirect3DDevice9> device = openDevice();
    ASSERT_TRUE(device);
    std::vector<uint8_t> bytes = builtEffectBytes();
    bytes.resize(bytes.size() / 2);
    const auto expected = fx::readEffect(bytes);
    ASSERT_FALSE(expected.ok());
    ID3DXEffect* effect = kPoison;
    Ref<ID3DXBuffer> errors;
    EXPECT_EQ(D3DXCreateEffect(device.get(), bytes.data(), static_cast<UINT>(bytes.size()), nullptr,
                               nullptr, D3DXFX_NOT_CLONEABLE, nullptr, &effect, errors.put()),
              D3DXERR_INVALIDDATA);
    EXPECT_EQ(D3DXERR_INVALIDDATA, static_cast<HRESULT>(0x88760B59u));
    EXPECT_EQ(effect, nullptr);
    ASSERT_TRUE(errors);
    bool terminated = false;
    EXPECT_EQ(bufferText(errors.get(), &terminated), expected.error());
    EXPECT_TRUE(terminated);
    // Without a buffer to fill, the failure is the same.
    EXPECT_EQ(D3DXCreateEffect(device.get(), bytes.data(), static_cast<UINT>(bytes.size()), nullptr,
                               nullptr, 0, nullptr, &effect, nullptr),
              D3DXERR_INVALIDDATA);
}

TEST_F(EffectCreation, ConstantTableContradictingTheParametersFailsCreation) {
    Ref<IDirect3DDevice9> device = openDevice();
    ASSERT_TRUE(device);
    // psYC2RGB with its table claiming a sampler register for pixGain.
    fx::Effect e = builtEffect();
    for (fx::State& s : e.techniques[0].passes[0].states) {
        auto* code = std::get_if<fx::ShaderCode>(&s.value);
        if (!code) continue;
        shader::Comment c;
        ASSERT_TRUE(
            shader::findComment(code->words.data(), code->words.size(), shader::token::kCtab, c));
        auto table = shader::readCtab(code->words.data() + c.offset, c.dwords);
        ASSERT_TRUE(table.ok());
        table.table.entries.push_back(shader::ctabSampler2D("pixGain", 5));
        const auto comment = shader::writeCtabComment(table.table.entries, "test");
        ASSERT_TRUE(comment.ok());
        std::vector<uint32_t> words{code->words[0]};
        words.insert(words.end(), comment.tokens.begin(), comment.tokens.end());
        words.insert(words.end(), code->words.begin() + c.offset + c.dwords, code->words.end());
        code->words = words;
    }
    const auto written = fx::writeEffect(e);
    ASSERT_TRUE(written.ok()) << written.error();
    const auto& bytes = written.value();
    Ref<ID3DXEffect> effect;
    Ref<ID3DXBuffer> errors;
    EXPECT_EQ(D3DXCreateEffect(device.get(), bytes.data(), static_cast<UINT>(bytes.size()), nullptr,
                               nullptr, 0, nullptr, effect.put(), errors.put()),
              D3DERR_INVALIDCALL);
    EXPECT_FALSE(effect);
    EXPECT_NE(bufferText(errors.get()).find("pixGain"), std::string::npos);
    // An effect pool is not supported.
    EXPECT_EQ(D3DXCreateEffect(device.get(), builtEffectBytes().data(),
                               static_cast<UINT>(builtEffectBytes().size()), nullptr, nullptr, 0,
                               reinterpret_cast<ID3DXEffectPool*>(16), effect.put(), nullptr),
              E_NOTIMPL);
}

TEST_F(EffectCreation, RefusedShaderLeavesItsTechniqueInvalidAndBindsNull) {
    Ref<IDirect3DDevice9> device = openDevice();
    ASSERT_TRUE(device);
    // The fifth program created is technique 1's first (psYC2RGBU) ... whichever it is, exactly
    // one technique turns invalid.
    hooks::failCall("IDirect3DDevice9::CreatePixelShader", 5, E_FAIL);
    Ref<ID3DXEffect> effect = createBuiltEffect(device.get());
    ASSERT_TRUE(effect);
    const HRESULT v0 = effect->ValidateTechnique("BilateralFiltering");
    const HRESULT v1 = effect->ValidateTechnique("BilateralFilteringU");
    EXPECT_TRUE((v0 == D3D_OK && v1 == E_FAIL) || (v0 == E_FAIL && v1 == D3D_OK)) << v0 << v1;
    const char* bad = v0 == E_FAIL ? "BilateralFiltering" : "BilateralFilteringU";
    const char* good = v0 == E_FAIL ? "BilateralFilteringU" : "BilateralFiltering";
    // The current technique starts as the first valid one.
    D3DXTECHNIQUE_DESC desc{};
    ASSERT_EQ(effect->GetTechniqueDesc(effect->GetCurrentTechnique(), &desc), D3D_OK);
    EXPECT_STREQ(desc.Name, good);
    D3DXHANDLE next = nullptr;
    EXPECT_EQ(effect->FindNextValidTechnique(nullptr, &next), D3D_OK);
    EXPECT_EQ(next, effect->GetTechniqueByName(good));
    // Every pass of the invalid technique still begins; the refused one binds no shader.
    ASSERT_EQ(effect->SetTechnique(bad), D3D_OK);
    UINT passes = 0;
    ASSERT_EQ(effect->Begin(&passes, D3DXFX_DONOTSAVESTATE), D3D_OK);
    int unbound = 0;
    for (UINT p = 0; p < passes; ++p) {
        ASSERT_EQ(effect->BeginPass(p), D3D_OK);
        Ref<IDirect3DPixelShader9> shader;
        ASSERT_EQ(device->GetPixelShader(shader.put()), D3D_OK);
        unbound += shader ? 0 : 1;
        ASSERT_EQ(effect->EndPass(), D3D_OK);
    }
    EXPECT_EQ(unbound, 1);
    EXPECT_EQ(effect->End(), D3D_OK);
}

TEST_F(EffectCreation, ObjectsAnswerTheirInterfacesAndBuffersHoldZeroes) {
    Ref<IDirect3DDevice9> device = openDevice();
    ASSERT_TRUE(device);
    Ref<ID3DXEffect> effect = createBuiltEffect(device.get());
    ASSERT_TRUE(effect);
    void* out = nullptr;
    ASSERT_EQ(effect->QueryInterface(IID_ID3DXBaseEffect, &out), S_OK);
    EXPECT_EQ(out, static_cast<void*>(effect.get()));
    static_cast<IUnknown*>(out)->Release();
    EXPECT_EQ(effect->QueryInterface(IID_ID3DXBuffer, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    Ref<ID3DXBuffer> buffer;
    ASSERT_EQ(D3DXCreateBuffer(5, buffer.put()), D3D_OK);
    EXPECT_EQ(buffer->GetBufferSize(), 5u);
    const auto* bytes = static_cast<const unsigned char*>(buffer->GetBufferPointer());
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[0] | bytes[1] | bytes[2] | bytes[3] | bytes[4], 0);
    ASSERT_EQ(buffer->QueryInterface(IID_ID3DXBuffer, &out), S_OK);
    static_cast<IUnknown*>(out)->Release();
    EXPECT_EQ(D3DXCreateBuffer(5, nullptr), D3DERR_INVALIDCALL);
}

struct ExpectedParameter {
    const char* name;
    D3DXPARAMETER_CLASS cls;
    D3DXPARAMETER_TYPE type;
    UINT rows, columns, bytes;
};

TEST_F(EffectCreation, TenParametersWithTheirDescriptionsAndDefaults) {
    Ref<IDirect3DDevice9> device = openDevice();
    ASSERT_TRUE(device);
    Ref<ID3DXEffect> effect = createBuiltEffect(device.get());
    ASSERT_TRUE(effect);
    const UINT ptr = sizeof(void*);
    const ExpectedParameter want[] = {
        {"txSrc", D3DXPC_OBJECT, D3DXPT_TEXTURE2D, 0, 0, ptr},
        {"samSrc", D3DXPC_OBJECT, D3DXPT_SAMPLER, 0, 0, 0},
        {"txRGB", D3DXPC_OBJECT, D3DXPT_TEXTURE2D, 0, 0, ptr},
        {"samRGB", D3DXPC_OBJECT, D3DXPT_SAMPLER, 0, 0, 0},
        {"pixGain", D3DXPC_SCALAR, D3DXPT_FLOAT, 1, 1, 4},
        {"pixDist", D3DXPC_SCALAR, D3DXPT_FLOAT, 1, 1, 4},
        {"posDist", D3DXPC_SCALAR, D3DXPT_FLOAT, 1, 1, 4},
        {"posPitch", D3DXPC_VECTOR, D3DXPT_FLOAT, 1, 2, 8},
        {"matYC2RGB", D3DXPC_MATRIX_ROWS, D3DXPT_FLOAT, 3, 3, 36},
        {"matRGB2YC", D3DXPC_MATRIX_ROWS, D3DXPT_FLOAT, 3, 3, 36},
    };
    for (UINT i = 0; i < 10; ++i) {
        SCOPED_TRACE(want[i].name);
        const D3DXHANDLE h = effect->GetParameter(nullptr, i);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(effect->GetParameterByName(nullptr, want[i].name), h);
        D3DXPARAMETER_DESC d{};
        ASSERT_EQ(effect->GetParameterDesc(h, &d), D3D_OK);
        EXPECT_STREQ(d.Name, want[i].name);
        EXPECT_EQ(d.Semantic, nullptr);
        EXPECT_EQ(d.Class, want[i].cls);
        EXPECT_EQ(d.Type, want[i].type);
        EXPECT_EQ(d.Rows, want[i].rows);
        EXPECT_EQ(d.Columns, want[i].columns);
        EXPECT_EQ(d.Bytes, want[i].bytes);
        EXPECT_EQ(d.Elements + d.Annotations + d.StructMembers + d.Flags, 0u);
    }
    EXPECT_EQ(effect->GetParameter(nullptr, 10), nullptr);
    for (const char* n : {"pixGain", "pixDist", "posDist"}) {
        float f = -1.0f;
        ASSERT_EQ(effect->GetFloat(n, &f), D3D_OK);
        EXPECT_EQ(bits(f), 0u) << n;
    }
    const std::pair<const char*, const uint32_t(*)[3]> matrices[] = {{"matYC2RGB", kMatYC2RGBBits},
                                                                     {"matRGB2YC", kMatRGB2YCBits}};
    for (const auto& [name, expected] : matrices) {
        D3DXMATRIX m;
        ASSERT_EQ(effect->GetMatrix(name, &m), D3D_OK);
        float raw[9];
        ASSERT_EQ(effect->GetValue(name, raw, sizeof raw), D3D_OK);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) {
                const uint32_t e = r < 3 && c < 3 ? expected[r][c] : 0u;
                EXPECT_EQ(bits(m.m[r][c]), e) << name << r << c;
                if (r < 3 && c < 3) {
                    EXPECT_EQ(bits(raw[r * 3 + c]), e);
                }
            }
    }
    for (const char* n : {"txSrc", "txRGB"}) {
        Ref<IDirect3DBaseTexture9> t;
        ASSERT_EQ(effect->GetTexture(n, t.put()), D3D_OK);
        EXPECT_FALSE(t) << n;
    }
}

TEST_F(EffectCreation, HandlesAndNamesAreAcceptedAlikeAndOtherKindsRefused) {
    Ref<IDirect3DDevice9> device = openDevice();
    ASSERT_TRUE(device);
    Ref<ID3DXEffect> effect = createBuiltEffect(device.get());
    ASSERT_TRUE(effect);
    const D3DXHANDLE gain = effect->GetParameterByName(nullptr, "pixGain");
    ASSERT_EQ(effect->SetFloat(gain, 0.5f), D3D_OK);
    float f = 0;
    ASSERT_EQ(effect->GetFloat("pixGain", &f), D3D_OK);
    EXPECT_EQ(f, 0.5f);
    // A name copied into another buffer is still the name.
    char name[] = "pixGain";
    ASSERT_EQ(effect->SetFloat(name, 0.25f), D3D_OK);
    ASSERT_EQ(effect->GetFloat(gain, &f), D3D_OK);
    EXPECT_EQ(f, 0.25f);
    const D3DXHANDLE technique = effect->GetTechniqueByName("BilateralFilteringU");
    ASSERT_NE(technique, nullptr);
    EXPECT_EQ(effect->GetTechnique(1), technique);
    EXPECT_EQ(effect->SetTechnique("BilateralFilteringU"), D3D_OK);
    EXPECT_EQ(effect->GetCurrentTechnique(), technique);
    const D3DXHANDLE pass = effect->GetPass("BilateralFilteringU", 2);
    ASSERT_NE(pass, nullptr);
    EXPECT_EQ(effect->GetPassByName(technique, "p2"), pass);
    D3DXPASS_DESC pd{};
    ASSERT_EQ(effect->GetPassDesc(pass, &pd), D3D_OK);
    EXPECT_STREQ(pd.Name, "p2");
    EXPECT_EQ(pd.pPixelShaderFunction, nullptr); // not cloneable: no functions kept
    // Handles of another kind, unknown names and null are refused.
    EXPECT_EQ(effect->SetFloat(technique, 1.0f), D3DERR_INVALIDCALL);
    EXPECT_EQ(effect->SetTechnique(gain), D3DERR_INVALIDCALL);
    EXPECT_EQ(effect->GetPassDesc("p2", &pd), D3DERR_INVALIDCALL);
    EXPECT_EQ(pd.Name, nullptr);
    EXPECT_EQ(effect->SetFloat("pixgain", 1.0f), D3DERR_INVALIDCALL);
    EXPECT_EQ(effect->SetFloat(nullptr, 1.0f), D3DERR_INVALIDCALL);
    EXPECT_EQ(effect->ValidateTechnique("NoSuchTechnique"), D3DERR_INVALIDCALL);
    EXPECT_EQ(effect->GetParameterByName(gain, "x"), nullptr);
    EXPECT_EQ(effect->GetTechniqueByName("p0"), nullptr);
    // An effect made without D3DXFX_NOT_CLONEABLE hands out its pass functions.
    Ref<ID3DXEffect> cloneable = createBuiltEffect(device.get(), 0);
    ASSERT_TRUE(cloneable);
    ASSERT_EQ(cloneable->GetPassDesc(cloneable->GetPass("BilateralFiltering", 0), &pd), D3D_OK);
    ASSERT_NE(pd.pPixelShaderFunction, nullptr);
    EXPECT_EQ(pd.pPixelShaderFunction[0], 0xFFFF0300u);
    EXPECT_EQ(pd.pVertexShaderFunction, nullptr);
}

TEST_F(EffectCreation, ValuesFollowTheParameterTypes) {
    Ref<IDirect3DDevice9> device = openDevice();
    ASSERT_TRUE(device);
    Ref<ID3DXEffect> effect = createBuiltEffect(device.get());
    ASSERT_TRUE(effect);
    const D3DXVECTOR4 pitch(1.0f / 7.0f, 1.0f / 5.0f, 3.0f, 4.0f);
    ASSERT_EQ(effect->SetVector("posPitch", &pitch), D3D_OK);
    D3DXVECTOR4 back(9, 9, 9, 9);
    ASSERT_EQ(effect->GetVector("posPitch", &back), D3D_OK);
    EXPECT_EQ(back, D3DXVECTOR4(1.0f / 7.0f, 1.0f / 5.0f, 0.0f, 0.0f));
    float raw[2] = {};
    ASSERT_EQ(effect->GetValue("posPitch", raw, sizeof raw), D3D_OK);
    EXPECT_EQ(raw[1], 1.0f / 5.0f);
    EXPECT_EQ(effect->GetValue("posPitch", raw, 4), D3DERR_INVALIDCALL);
    // SetVector on a scalar keeps x; a matrix takes no vector; a float takes no texture.
    ASSERT_EQ(effect->SetVector("pixDist", &pitch), D3D_OK);
    float f = 0;
    ASSERT_EQ(effect->GetFloat("pixDist", &f), D3D_OK);
    EXPECT_EQ(f, 1.0f / 7.0f);
    EXPECT_EQ(effect->SetVector("matYC2RGB", &pitch), D3DERR_INVALIDCALL);
    EXPECT_EQ(effect->SetFloat("posPitch", 1.0f), D3DERR_INVALIDCALL);
    EXPECT_EQ(effect->SetFloat("txSrc", 1.0f), D3DERR_INVALIDCALL);
    EXPECT_EQ(effect->SetTexture("pixGain", nullptr), D3DERR_INVALIDCALL);
    EXPECT_EQ(effect->SetTexture("samSrc", nullptr), D3DERR_INVALIDCALL);
    INT n = 0;
    ASSERT_EQ(effect->SetInt("posDist", 3), D3D_OK);
    ASSERT_EQ(effect->GetInt("posDist", &n), D3D_OK);
    EXPECT_EQ(n, 3);
    BOOL b = FALSE;
    ASSERT_EQ(effect->GetBool("posDist", &b), D3D_OK);
    EXPECT_EQ(b, TRUE);
    // The texture parameters hold a reference until replaced or the effect goes.
    Ref<IDirect3DTexture9> a = makeTexture(device.get(), 4, 4, D3DFMT_A16B16G16R16);
    Ref<IDirect3DTexture9> c = makeTexture(device.get(), 4, 4, D3DFMT_A16B16G16R16);
    ASSERT_TRUE(a && c);
    const ULONG alone = (a->AddRef(), a->Release());
    ASSERT_EQ(effect->SetTexture("txSrc", a.get()), D3D_OK);
    EXPECT_EQ((a->AddRef(), a->Release()), alone + 1);
    ASSERT_EQ(effect->SetTexture("txSrc", a.get()), D3D_OK); // the same again: no second ref
    EXPECT_EQ((a->AddRef(), a->Release()), alone + 1);
    IDirect3DBaseTexture9* viaValue = c.get();
    ASSERT_EQ(effect->SetValue("txSrc", &viaValue, sizeof viaValue), D3D_OK);
    EXPECT_EQ((a->AddRef(), a->Release()), alone);
    EXPECT_EQ((c->AddRef(), c->Release()), alone + 1);
    effect.reset();
    EXPECT_EQ((c->AddRef(), c->Release()), alone);
}

TEST_F(EffectCreation, FaultPlanReachesEveryEntryPoint) {
    Ref<IDirect3DDevice9> device = openDevice();
    ASSERT_TRUE(device);
    const auto& bytes = builtEffectBytes();
    hooks::failCall("D3DXCreateEffect", 1, E_OUTOFMEMORY);
    ID3DXEffect* none = kPoison;
    EXPECT_EQ(D3DXCreateEffect(device.get(), bytes.data(), static_cast<UINT>(bytes.size()), nullptr,
                               nullptr, 0, nullptr, &none, nullptr),
              E_OUTOFMEMORY);
    EXPECT_EQ(none, nullptr);
    hooks::failCall("D3DXCreateEffectFromResourceW", 1, E_FAIL);
    EXPECT_EQ(D3DXCreateEffectFromResourceW(device.get(), nullptr, MAKEINTRESOURCEW(104), nullptr,
                                            nullptr, 0, nullptr, &none, nullptr),
              E_FAIL);
    Ref<ID3DXEffect> effect = createBuiltEffect(device.get());
    ASSERT_TRUE(effect);
    const HRESULT planned = static_cast<HRESULT>(0x8007000Eu);
    auto failNext = [&](const char* method) { hooks::failCall(method, 1, planned); };
    const D3DXVECTOR4 v(1, 2, 3, 4);
    D3DXMATRIX m{};
    float f = 0;
    UINT passes = 0;
    struct Case {
        const char* method;
        std::function<HRESULT()> call;
    };
    const Case cases[] = {
        {"ID3DXEffect::SetFloat", [&] { return effect->SetFloat("pixGain", 1); }},
        {"ID3DXEffect::GetFloat", [&] { return effect->GetFloat("pixGain", &f); }},
        {"ID3DXEffect::SetVector", [&] { return effect->SetVector("posPitch", &v); }},
        {"ID3DXEffect::SetMatrix", [&] { return effect->SetMatrix("matYC2RGB", &m); }},
        {"ID3DXEffect::SetTexture", [&] { return effect->SetTexture("txRGB", nullptr); }},
        {"ID3DXEffect::SetTechnique", [&] { return effect->SetTechnique("BilateralFiltering"); }},
        {"ID3DXEffect::ValidateTechnique",
         [&] { return effect->ValidateTechnique("BilateralFiltering"); }},
        {"ID3DXEffect::Begin", [&] { return effect->Begin(&passes, 0); }},
        {"ID3DXEffect::OnLostDevice", [&] { return effect->OnLostDevice(); }},
        {"ID3DXEffect::OnResetDevice", [&] { return effect->OnResetDevice(); }},
    };
    for (const Case& c : cases) {
        failNext(c.method);
        EXPECT_EQ(c.call(), planned) << c.method;
        EXPECT_EQ(c.call(), D3D_OK) << c.method << " (second call)";
    }
    failNext("ID3DXEffect::BeginPass");
    EXPECT_EQ(effect->BeginPass(0), planned);
    EXPECT_EQ(effect->BeginPass(0), D3D_OK);
    // A planned failure of a call that ends a state still ends it.
    failNext("ID3DXEffect::EndPass");
    EXPECT_EQ(effect->EndPass(), planned);
    EXPECT_EQ(effect->EndPass(), D3DERR_INVALIDCALL);
    failNext("ID3DXEffect::End");
    EXPECT_EQ(effect->End(), planned);
    EXPECT_EQ(effect->End(), D3DERR_INVALIDCALL);
    // Methods that return handles return null.
    failNext("ID3DXEffect::GetParameterByName");
    EXPECT_EQ(effect->GetParameterByName(nullptr, "pixGain"), nullptr);
    failNext("ID3DXEffect::GetTechniqueByName");
    EXPECT_EQ(effect->GetTechniqueByName("BilateralFiltering"), nullptr);
    EXPECT_NE(effect->GetTechniqueByName("BilateralFiltering"), nullptr);
    // The error buffer can be made to hand out no text.
    std::vector<uint8_t> broken(bytes.begin(), bytes.begin() + 40);
    Ref<ID3DXBuffer> errors;
    EXPECT_EQ(D3DXCreateEffect(device.get(), broken.data(), 40, nullptr, nullptr, 0, nullptr,
                               effect.put(), errors.put()),
              D3DXERR_INVALIDDATA);
    ASSERT_TRUE(errors);
    failNext("ID3DXBuffer::GetBufferPointer");
    EXPECT_EQ(errors->GetBufferPointer(), nullptr);
    EXPECT_NE(errors->GetBufferPointer(), nullptr);
}

unsigned __stdcall returnAtOnce(void*) {
    return 0;
}

// Each stand-in names its calls once (its interface, and the method's own name); the fault plan
// and both logs see exactly the names these calls have on Windows.
TEST_F(EffectCreation, EntryPointsGoByTheirWindowsNames) {
    Ref<IDirect3DDevice9> device = openDevice();
    ASSERT_TRUE(device);
    Ref<ID3DXEffect> effect = createBuiltEffect(device.get());
    ASSERT_TRUE(effect);
    hooks::reset();

    IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
    ASSERT_NE(d3d, nullptr);
    d3d->Release();
    Ref<IDirect3DTexture9> texture;
    ASSERT_EQ(device->CreateTexture(4, 4, 1, 0, D3DFMT_A16B16G16R16, D3DPOOL_SYSTEMMEM,
                                    texture.put(), nullptr),
              D3D_OK);
    Ref<IDirect3DSurface9> level;
    ASSERT_EQ(texture->GetSurfaceLevel(0, level.put()), D3D_OK);
    D3DLOCKED_RECT lr;
    ASSERT_EQ(level->LockRect(&lr, nullptr, 0), D3D_OK);
    ASSERT_EQ(level->UnlockRect(), D3D_OK);
    ASSERT_EQ(effect->SetFloat("pixGain", 1.0f), D3D_OK);
    ASSERT_NE(effect->GetTechniqueByName("BilateralFiltering"), nullptr);
    Ref<ID3DXBuffer> buffer;
    ASSERT_EQ(D3DXCreateBuffer(4, buffer.put()), D3D_OK);
    ASSERT_EQ(buffer->GetBufferSize(), 4u);
    const uintptr_t thread = _beginthreadex(nullptr, 0, returnAtOnce, nullptr, 0, nullptr);
    ASSERT_NE(thread, 0u);
    ASSERT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(thread), 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(thread)));
    ASSERT_EQ(MessageBoxW(nullptr, L"names", L"Kestrin", MB_OK), IDOK);

    EXPECT_EQ(hooks::callLog(),
              (std::vector<std::string>{"Direct3DCreate9", "IDirect3DDevice9::CreateTexture",
                                        "IDirect3DTexture9::GetSurfaceLevel",
                                        "IDirect3DSurface9::LockRect",
                                        "IDirect3DSurface9::UnlockRect", "ID3DXEffect::SetFloat",
                                        "ID3DXEffect::GetTechniqueByName", "D3DXCreateBuffer",
                                        "ID3DXBuffer::GetBufferSize", "_beginthreadex",
                                        "WaitForSingleObject", "CloseHandle", "MessageBoxW"}));
    // The same names reach the failed-call log.
    hooks::failCall("D3DXCreateEffectFromResourceW", 1, E_FAIL);
    hooks::failCall("IDirect3DDevice9::SetPixelShaderConstantF", 1, E_FAIL);
    ID3DXEffect* none = kPoison;
    EXPECT_EQ(D3DXCreateEffectFromResourceW(device.get(), nullptr, MAKEINTRESOURCEW(104), nullptr,
                                            nullptr, 0, nullptr, &none, nullptr),
              E_FAIL);
    const float f[4] = {};
    EXPECT_EQ(device->SetPixelShaderConstantF(0, f, 1), E_FAIL);
    EXPECT_EQ(hooks::failedCalls(),
              (test_support::FailedCalls{
                  test_support::planned("D3DXCreateEffectFromResourceW", E_FAIL),
                  test_support::planned("IDirect3DDevice9::SetPixelShaderConstantF", E_FAIL)}));
}

} // namespace
} // namespace kestrin::platform::d3dx9::testing
