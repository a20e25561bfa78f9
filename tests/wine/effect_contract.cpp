#include "tests/wine/effect_contract.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "effect/constants.h"

namespace kestrin::winecheck {
namespace {

struct ExpectedParameter {
    const char* name;
    D3DXPARAMETER_CLASS parameterClass;
    D3DXPARAMETER_TYPE type;
    UINT rows;
    UINT columns;
};

// In declaration order.
constexpr ExpectedParameter kParameters[] = {
    {"txSrc", D3DXPC_OBJECT, D3DXPT_TEXTURE2D, 0, 0},
    {"samSrc", D3DXPC_OBJECT, D3DXPT_SAMPLER, 0, 0},
    {"txRGB", D3DXPC_OBJECT, D3DXPT_TEXTURE2D, 0, 0},
    {"samRGB", D3DXPC_OBJECT, D3DXPT_SAMPLER, 0, 0},
    {"pixGain", D3DXPC_SCALAR, D3DXPT_FLOAT, 1, 1},
    {"pixDist", D3DXPC_SCALAR, D3DXPT_FLOAT, 1, 1},
    {"posDist", D3DXPC_SCALAR, D3DXPT_FLOAT, 1, 1},
    {"posPitch", D3DXPC_VECTOR, D3DXPT_FLOAT, 1, 2},
    {"matYC2RGB", D3DXPC_MATRIX_ROWS, D3DXPT_FLOAT, 3, 3},
    {"matRGB2YC", D3DXPC_MATRIX_ROWS, D3DXPT_FLOAT, 3, 3},
};
constexpr UINT kParameterCount = sizeof kParameters / sizeof kParameters[0];

constexpr const char* kTechniques[] = {"BilateralFiltering", "BilateralFilteringU"};
constexpr const char* kPasses[] = {"p0", "p1", "p2"};
constexpr DWORD kPs30Token = 0xFFFF0300u;
constexpr DWORD kSamplerStages = 16; // pixel-shader samplers of shader model 3

uint32_t floatBits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

bool sameName(const char* actual, const char* expected) {
    return actual && std::strcmp(actual, expected) == 0;
}

void checkParameterDescriptions(ID3DXEffect* effect, CheckLog& log) {
    for (UINT i = 0; i < kParameterCount; ++i) {
        const ExpectedParameter& want = kParameters[i];
        const D3DXHANDLE h = effect->GetParameter(nullptr, i);
        D3DXPARAMETER_DESC d = {};
        if (!h || FAILED(effect->GetParameterDesc(h, &d))) {
            log.fail("parameter %u (%s): no description", i, want.name);
            continue;
        }
        if (!sameName(d.Name, want.name)) {
            log.fail("parameter %u is named \"%s\", expected \"%s\"", i, d.Name ? d.Name : "(null)",
                     want.name);
            continue;
        }
        if (d.Class != want.parameterClass || d.Type != want.type || d.Rows != want.rows ||
            d.Columns != want.columns)
            log.fail("parameter %s: class %d type %d %ux%u, expected class %d type %d %ux%u",
                     want.name, static_cast<int>(d.Class), static_cast<int>(d.Type), d.Rows,
                     d.Columns, static_cast<int>(want.parameterClass), static_cast<int>(want.type),
                     want.rows, want.columns);
        if (d.Semantic != nullptr)
            log.fail("parameter %s carries the semantic \"%s\"", want.name, d.Semantic);
        if (d.Elements != 0 || d.StructMembers != 0 || d.Annotations != 0 || d.Flags != 0)
            log.fail("parameter %s: %u elements, %u members, %u annotations, flags 0x%lX; expected "
                     "none",
                     want.name, d.Elements, d.StructMembers, d.Annotations,
                     static_cast<unsigned long>(d.Flags));
    }
}

void checkMatrixDefault(ID3DXEffect* effect, const char* name, const uint32_t (&bits)[3][3],
                        CheckLog& log) {
    float raw[9] = {};
    if (!log.checkHr(effect->GetValue(name, raw, sizeof raw), name)) return;
    D3DXMATRIX m;
    if (!log.checkHr(effect->GetMatrix(name, &m), name)) return;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            const uint32_t stored = floatBits(raw[r * 3 + c]);
            const uint32_t viaMatrix = floatBits(m.m[r][c]);
            if (stored != bits[r][c] || viaMatrix != bits[r][c])
                log.fail("%s[%d][%d] default: stored 0x%08X, GetMatrix 0x%08X, expected 0x%08X",
                         name, r, c, stored, viaMatrix, bits[r][c]);
        }
    }
}

void checkDefaults(ID3DXEffect* effect, CheckLog& log) {
    checkMatrixDefault(effect, "matYC2RGB", kMatYC2RGBBits, log);
    checkMatrixDefault(effect, "matRGB2YC", kMatRGB2YCBits, log);
    for (const char* name : {"pixGain", "pixDist", "posDist"}) {
        float f = -1.0f;
        if (log.checkHr(effect->GetFloat(name, &f), name) && floatBits(f) != 0)
            log.fail("%s default is 0x%08X, expected 0.0", name, floatBits(f));
    }
    float pitch[2] = {-1.0f, -1.0f};
    if (log.checkHr(effect->GetValue("posPitch", pitch, sizeof pitch), "posPitch") &&
        (floatBits(pitch[0]) != 0 || floatBits(pitch[1]) != 0))
        log.fail("posPitch default is (0x%08X, 0x%08X), expected (0, 0)", floatBits(pitch[0]),
                 floatBits(pitch[1]));
    for (const char* name : {"txSrc", "txRGB"}) {
        ComPtr<IDirect3DBaseTexture9> texture;
        if (log.checkHr(effect->GetTexture(name, texture.put()), name) && texture)
            log.fail("%s holds a texture before any was set", name);
    }
}

void checkPass(ID3DXEffect* effect, D3DXHANDLE technique, const char* techniqueName, UINT index,
               CheckLog& log) {
    const D3DXHANDLE pass = effect->GetPass(technique, index);
    D3DXPASS_DESC d = {};
    if (!pass || FAILED(effect->GetPassDesc(pass, &d))) {
        log.fail("%s: pass %u missing", techniqueName, index);
        return;
    }
    if (!sameName(d.Name, kPasses[index]))
        log.fail("%s: pass %u is named \"%s\", expected \"%s\"", techniqueName, index,
                 d.Name ? d.Name : "(null)", kPasses[index]);
    if (d.Annotations != 0)
        log.fail("%s.%s carries %u annotations", techniqueName, kPasses[index], d.Annotations);
    // The shader pointers of the description are null by design in an effect created with
    // D3DXFX_NOT_CLONEABLE; what the passes bind is checked on the device instead.
}

// Two distinct textures stand in for txSrc and txRGB, so that each stage's texture tells which
// sampler the pass bound there.
struct StandInTextures {
    ComPtr<IDirect3DTexture9> src;
    ComPtr<IDirect3DTexture9> rgb;
};

// Puts every sampler stage into a state that no pass of the effect leaves behind, so that each
// pass has to set what it relies on itself.
void scrambleStages(IDirect3DDevice9* device) {
    device->SetRenderState(D3DRS_ZENABLE, D3DZB_TRUE);
    for (DWORD stage = 0; stage < kSamplerStages; ++stage) {
        device->SetTexture(stage, nullptr);
        device->SetSamplerState(stage, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
        device->SetSamplerState(stage, D3DSAMP_ADDRESSV, D3DTADDRESS_CLAMP);
        device->SetSamplerState(stage, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
        device->SetSamplerState(stage, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
    }
}

void checkBoundShaders(IDirect3DDevice9* device, const char* where, CheckLog& log) {
    ComPtr<IDirect3DVertexShader9> vs;
    if (SUCCEEDED(device->GetVertexShader(vs.put())) && vs)
        log.fail("%s binds a vertex shader", where);
    ComPtr<IDirect3DPixelShader9> ps;
    if (FAILED(device->GetPixelShader(ps.put())) || !ps) {
        log.fail("%s binds no pixel shader", where);
        return;
    }
    UINT size = 0;
    DWORD version = 0;
    if (FAILED(ps->GetFunction(nullptr, &size)) || size < sizeof(DWORD)) {
        log.fail("%s: the pixel shader has no code", where);
        return;
    }
    std::vector<DWORD> code(size / sizeof(DWORD));
    size = static_cast<UINT>(code.size() * sizeof(DWORD));
    if (SUCCEEDED(ps->GetFunction(code.data(), &size))) version = code[0];
    if (version != kPs30Token)
        log.fail("%s: pixel shader version token 0x%08lX, expected ps_3_0", where,
                 static_cast<unsigned long>(version));
}

// Which stand-in textures the pass bound, each with point filtering and mirrored addressing.
void checkBoundSamplers(IDirect3DDevice9* device, const StandInTextures& textures, UINT pass,
                        const char* where, CheckLog& log) {
    bool sawSrc = false;
    bool sawRgb = false;
    for (DWORD stage = 0; stage < kSamplerStages; ++stage) {
        ComPtr<IDirect3DBaseTexture9> bound;
        if (FAILED(device->GetTexture(stage, bound.put())) || !bound) continue;
        const auto* raw = static_cast<const void*>(bound.get());
        if (raw == static_cast<const void*>(textures.src.get()))
            sawSrc = true;
        else if (raw == static_cast<const void*>(textures.rgb.get()))
            sawRgb = true;
        else
            log.fail("%s: stage %lu holds an unknown texture", where,
                     static_cast<unsigned long>(stage));
        DWORD u = 0, v = 0, minFilter = 0, magFilter = 0;
        device->GetSamplerState(stage, D3DSAMP_ADDRESSU, &u);
        device->GetSamplerState(stage, D3DSAMP_ADDRESSV, &v);
        device->GetSamplerState(stage, D3DSAMP_MINFILTER, &minFilter);
        device->GetSamplerState(stage, D3DSAMP_MAGFILTER, &magFilter);
        if (u != D3DTADDRESS_MIRROR || v != D3DTADDRESS_MIRROR || minFilter != D3DTEXF_POINT ||
            magFilter != D3DTEXF_POINT)
            log.fail("%s: stage %lu has address %lu/%lu, filter %lu/%lu; expected mirror and point",
                     where, static_cast<unsigned long>(stage), static_cast<unsigned long>(u),
                     static_cast<unsigned long>(v), static_cast<unsigned long>(minFilter),
                     static_cast<unsigned long>(magFilter));
    }
    // p0 reads the source only (txRGB is its own render target), p1 the RGB image only, p2 both.
    const bool wantSrc = pass != 1;
    const bool wantRgb = pass != 0;
    if (sawSrc != wantSrc || sawRgb != wantRgb)
        log.fail("%s samples %s%s%s; expected %s", where, sawSrc ? "txSrc" : "",
                 sawSrc && sawRgb ? " and " : "", sawRgb ? "txRGB" : (sawSrc ? "" : "nothing"),
                 pass == 0 ? "txSrc only" : (pass == 1 ? "txRGB only" : "txSrc and txRGB"));
}

// Runs the technique's passes without drawing and inspects what each one binds on the device,
// then that End restores what Begin found.
void checkPassStates(ID3DXEffect* effect, IDirect3DDevice9* device, D3DXHANDLE technique,
                     const char* techniqueName, const StandInTextures& textures, CheckLog& log) {
    scrambleStages(device);
    if (!log.checkHr(effect->SetTechnique(technique), "SetTechnique")) return;
    UINT passes = 0;
    if (!log.checkHr(effect->Begin(&passes, 0), "Begin")) return;
    if (passes != 3) log.fail("%s: Begin reports %u passes, expected 3", techniqueName, passes);
    for (UINT k = 0; k < 3; ++k) {
        char where[64];
        std::snprintf(where, sizeof where, "%s.%s", techniqueName, kPasses[k]);
        scrambleStages(device);
        if (!log.checkHr(effect->BeginPass(k), "BeginPass")) continue;
        checkBoundShaders(device, where, log);
        DWORD z = D3DZB_TRUE;
        device->GetRenderState(D3DRS_ZENABLE, &z);
        if (z != D3DZB_FALSE) log.fail("%s leaves the depth test on", where);
        checkBoundSamplers(device, textures, k, where, log);
        log.checkHr(effect->EndPass(), "EndPass");
    }
    log.checkHr(effect->End(), "End");
    DWORD z = D3DZB_FALSE;
    device->GetRenderState(D3DRS_ZENABLE, &z);
    ComPtr<IDirect3DPixelShader9> ps;
    device->GetPixelShader(ps.put());
    if (z != D3DZB_TRUE || ps)
        log.fail("%s: End did not restore the depth test and the pixel shader", techniqueName);
}

void checkTechniques(ID3DXEffect* effect, IDirect3DDevice9* device, CheckLog& log) {
    StandInTextures textures;
    if (!log.checkHr(device->CreateTexture(1, 1, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED,
                                           textures.src.put(), nullptr),
                     "CreateTexture (stand-in)") ||
        !log.checkHr(device->CreateTexture(1, 1, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED,
                                           textures.rgb.put(), nullptr),
                     "CreateTexture (stand-in)") ||
        !log.checkHr(effect->SetTexture("txSrc", textures.src.get()), "SetTexture(\"txSrc\")") ||
        !log.checkHr(effect->SetTexture("txRGB", textures.rgb.get()), "SetTexture(\"txRGB\")"))
        return;
    for (UINT t = 0; t < 2; ++t) {
        const char* name = kTechniques[t];
        const D3DXHANDLE h = effect->GetTechnique(t);
        D3DXTECHNIQUE_DESC d = {};
        if (!h || FAILED(effect->GetTechniqueDesc(h, &d))) {
            log.fail("technique %u (%s) missing", t, name);
            continue;
        }
        if (!sameName(d.Name, name)) {
            log.fail("technique %u is named \"%s\", expected \"%s\"", t, d.Name ? d.Name : "(null)",
                     name);
            continue;
        }
        if (effect->GetTechniqueByName(name) != h)
            log.fail("GetTechniqueByName(\"%s\") does not find technique %u", name, t);
        if (d.Passes != 3) log.fail("%s has %u passes, expected 3", name, d.Passes);
        if (d.Annotations != 0) log.fail("%s carries %u annotations", name, d.Annotations);
        for (UINT p = 0; p < 3 && p < d.Passes; ++p) checkPass(effect, h, name, p, log);
        const HRESULT hr = effect->ValidateTechnique(h);
        if (hr != D3D_OK) log.fail("ValidateTechnique(%s) returned %s", name, hrText(hr).c_str());
        if (d.Passes == 3) checkPassStates(effect, device, h, name, textures, log);
    }
    effect->SetTexture("txSrc", nullptr);
    effect->SetTexture("txRGB", nullptr);
    scrambleStages(device);
}

} // namespace

ComPtr<ID3DXEffect> createEffect(IDirect3DDevice9* device, const std::vector<char>& bytes,
                                 CheckLog& log) {
    ComPtr<ID3DXEffect> effect;
    ComPtr<ID3DXBuffer> errors;
    const HRESULT hr =
        D3DXCreateEffect(device, bytes.data(), static_cast<UINT>(bytes.size()), nullptr, nullptr,
                         D3DXFX_NOT_CLONEABLE, nullptr, effect.put(), errors.put());
    if (hr == D3D_OK && effect) return effect;

    log.fail("D3DXCreateEffect returned %s", hrText(hr).c_str());
    if (errors && errors->GetBufferPointer()) {
        const auto* text = static_cast<const char*>(errors->GetBufferPointer());
        size_t n = errors->GetBufferSize();
        while (n > 0 && text[n - 1] == '\0') --n;
        log.info("D3DX error text:\n%.*s", static_cast<int>(n), text);
    } else {
        log.info("D3DX gave no error text");
    }
    effect.reset();
    return effect;
}

void checkEffectContract(ID3DXEffect* effect, IDirect3DDevice9* device, CheckLog& log) {
    const int before = log.failures();
    D3DXEFFECT_DESC desc = {};
    if (!log.checkHr(effect->GetDesc(&desc), "GetDesc")) return;
    if (desc.Parameters != kParameterCount || desc.Techniques != 2)
        log.fail("effect has %u parameters and %u techniques, expected %u and 2", desc.Parameters,
                 desc.Techniques, kParameterCount);
    checkParameterDescriptions(effect, log);
    checkDefaults(effect, log);
    checkTechniques(effect, device, log);
    log.info("effect interface: %s (%u parameters, %u techniques)",
             log.failures() == before ? "as expected" : "MISMATCHES above", desc.Parameters,
             desc.Techniques);
}

EffectHandles fetchHandles(ID3DXEffect* effect) {
    EffectHandles h;
    h.pixGain = effect->GetParameterByName(nullptr, "pixGain");
    h.pixDist = effect->GetParameterByName(nullptr, "pixDist");
    h.posDist = effect->GetParameterByName(nullptr, "posDist");
    h.technique = effect->GetTechniqueByName("BilateralFiltering");
    h.techniqueU = effect->GetTechniqueByName("BilateralFilteringU");
    h.txRGB = effect->GetParameterByName(nullptr, "txRGB");
    return h;
}

} // namespace kestrin::winecheck
