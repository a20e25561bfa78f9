#include "platform/d3d9/state.h"

#include <bit>

#include "platform/d3d9/pixel_shader.h"
#include "platform/d3d9/surface.h"
#include "platform/d3d9/texture.h"
#include "platform/d3d9/vertex_buffer.h"
#include "platform/d3d9/vertex_declaration.h"

namespace kestrin::platform::d3d9 {
namespace {

constexpr DWORD bits(float f) {
    return std::bit_cast<DWORD>(f);
}

struct StateDefault {
    DWORD state;
    DWORD value;
};

// Every render state of Direct3D 9 with its default on a new or reset device. D3DRS_ZENABLE's
// default depends on the presentation parameters and is set separately.
constexpr StateDefault kRenderStates[] = {
    {D3DRS_ZENABLE, D3DZB_FALSE},
    {D3DRS_FILLMODE, D3DFILL_SOLID},
    {D3DRS_SHADEMODE, D3DSHADE_GOURAUD},
    {D3DRS_ZWRITEENABLE, TRUE},
    {D3DRS_ALPHATESTENABLE, FALSE},
    {D3DRS_LASTPIXEL, TRUE},
    {D3DRS_SRCBLEND, D3DBLEND_ONE},
    {D3DRS_DESTBLEND, D3DBLEND_ZERO},
    {D3DRS_CULLMODE, D3DCULL_CCW},
    {D3DRS_ZFUNC, D3DCMP_LESSEQUAL},
    {D3DRS_ALPHAREF, 0},
    {D3DRS_ALPHAFUNC, D3DCMP_ALWAYS},
    {D3DRS_DITHERENABLE, FALSE},
    {D3DRS_ALPHABLENDENABLE, FALSE},
    {D3DRS_FOGENABLE, FALSE},
    {D3DRS_SPECULARENABLE, FALSE},
    {D3DRS_FOGCOLOR, 0},
    {D3DRS_FOGTABLEMODE, D3DFOG_NONE},
    {D3DRS_FOGSTART, bits(0.0f)},
    {D3DRS_FOGEND, bits(1.0f)},
    {D3DRS_FOGDENSITY, bits(1.0f)},
    {D3DRS_RANGEFOGENABLE, FALSE},
    {D3DRS_STENCILENABLE, FALSE},
    {D3DRS_STENCILFAIL, D3DSTENCILOP_KEEP},
    {D3DRS_STENCILZFAIL, D3DSTENCILOP_KEEP},
    {D3DRS_STENCILPASS, D3DSTENCILOP_KEEP},
    {D3DRS_STENCILFUNC, D3DCMP_ALWAYS},
    {D3DRS_STENCILREF, 0},
    {D3DRS_STENCILMASK, 0xFFFFFFFF},
    {D3DRS_STENCILWRITEMASK, 0xFFFFFFFF},
    {D3DRS_TEXTUREFACTOR, 0xFFFFFFFF},
    {D3DRS_WRAP0, 0},
    {D3DRS_WRAP1, 0},
    {D3DRS_WRAP2, 0},
    {D3DRS_WRAP3, 0},
    {D3DRS_WRAP4, 0},
    {D3DRS_WRAP5, 0},
    {D3DRS_WRAP6, 0},
    {D3DRS_WRAP7, 0},
    {D3DRS_CLIPPING, TRUE},
    {D3DRS_LIGHTING, TRUE},
    {D3DRS_AMBIENT, 0},
    {D3DRS_FOGVERTEXMODE, D3DFOG_NONE},
    {D3DRS_COLORVERTEX, TRUE},
    {D3DRS_LOCALVIEWER, TRUE},
    {D3DRS_NORMALIZENORMALS, FALSE},
    {D3DRS_DIFFUSEMATERIALSOURCE, 1},  // D3DMCS_COLOR1
    {D3DRS_SPECULARMATERIALSOURCE, 2}, // D3DMCS_COLOR2
    {D3DRS_AMBIENTMATERIALSOURCE, 0},  // D3DMCS_MATERIAL
    {D3DRS_EMISSIVEMATERIALSOURCE, 0},
    {D3DRS_VERTEXBLEND, 0},
    {D3DRS_CLIPPLANEENABLE, 0},
    {D3DRS_POINTSIZE, bits(1.0f)},
    {D3DRS_POINTSIZE_MIN, bits(1.0f)},
    {D3DRS_POINTSPRITEENABLE, FALSE},
    {D3DRS_POINTSCALEENABLE, FALSE},
    {D3DRS_POINTSCALE_A, bits(1.0f)},
    {D3DRS_POINTSCALE_B, bits(0.0f)},
    {D3DRS_POINTSCALE_C, bits(0.0f)},
    {D3DRS_MULTISAMPLEANTIALIAS, TRUE},
    {D3DRS_MULTISAMPLEMASK, 0xFFFFFFFF},
    {D3DRS_PATCHEDGESTYLE, 0},
    {D3DRS_DEBUGMONITORTOKEN, 0},
    {D3DRS_POINTSIZE_MAX, bits(64.0f)},
    {D3DRS_INDEXEDVERTEXBLENDENABLE, FALSE},
    {D3DRS_COLORWRITEENABLE, 0xF},
    {D3DRS_TWEENFACTOR, bits(0.0f)},
    {D3DRS_BLENDOP, D3DBLENDOP_ADD},
    {D3DRS_POSITIONDEGREE, 3}, // D3DDEGREE_CUBIC
    {D3DRS_NORMALDEGREE, 1},   // D3DDEGREE_LINEAR
    {D3DRS_SCISSORTESTENABLE, FALSE},
    {D3DRS_SLOPESCALEDEPTHBIAS, 0},
    {D3DRS_ANTIALIASEDLINEENABLE, FALSE},
    {D3DRS_MINTESSELLATIONLEVEL, bits(1.0f)},
    {D3DRS_MAXTESSELLATIONLEVEL, bits(1.0f)},
    {D3DRS_ADAPTIVETESS_X, bits(0.0f)},
    {D3DRS_ADAPTIVETESS_Y, bits(0.0f)},
    {D3DRS_ADAPTIVETESS_Z, bits(1.0f)},
    {D3DRS_ADAPTIVETESS_W, bits(0.0f)},
    {D3DRS_ENABLEADAPTIVETESSELLATION, FALSE},
    {D3DRS_TWOSIDEDSTENCILMODE, FALSE},
    {D3DRS_CCW_STENCILFAIL, D3DSTENCILOP_KEEP},
    {D3DRS_CCW_STENCILZFAIL, D3DSTENCILOP_KEEP},
    {D3DRS_CCW_STENCILPASS, D3DSTENCILOP_KEEP},
    {D3DRS_CCW_STENCILFUNC, D3DCMP_ALWAYS},
    {D3DRS_COLORWRITEENABLE1, 0xF},
    {D3DRS_COLORWRITEENABLE2, 0xF},
    {D3DRS_COLORWRITEENABLE3, 0xF},
    {D3DRS_BLENDFACTOR, 0xFFFFFFFF},
    {D3DRS_SRGBWRITEENABLE, 0},
    {D3DRS_DEPTHBIAS, 0},
    {D3DRS_WRAP8, 0},
    {D3DRS_WRAP9, 0},
    {D3DRS_WRAP10, 0},
    {D3DRS_WRAP11, 0},
    {D3DRS_WRAP12, 0},
    {D3DRS_WRAP13, 0},
    {D3DRS_WRAP14, 0},
    {D3DRS_WRAP15, 0},
    {D3DRS_SEPARATEALPHABLENDENABLE, FALSE},
    {D3DRS_SRCBLENDALPHA, D3DBLEND_ONE},
    {D3DRS_DESTBLENDALPHA, D3DBLEND_ZERO},
    {D3DRS_BLENDOPALPHA, D3DBLENDOP_ADD},
};

// Texture-stage states; COLOROP, ALPHAOP and TEXCOORDINDEX depend on the stage (set below).
constexpr StateDefault kStageStates[] = {
    {D3DTSS_COLOROP, D3DTOP_DISABLE},    {D3DTSS_COLORARG1, D3DTA_TEXTURE},
    {D3DTSS_COLORARG2, D3DTA_CURRENT},   {D3DTSS_ALPHAOP, D3DTOP_DISABLE},
    {D3DTSS_ALPHAARG1, D3DTA_TEXTURE},   {D3DTSS_ALPHAARG2, D3DTA_CURRENT},
    {D3DTSS_BUMPENVMAT00, bits(0.0f)},   {D3DTSS_BUMPENVMAT01, bits(0.0f)},
    {D3DTSS_BUMPENVMAT10, bits(0.0f)},   {D3DTSS_BUMPENVMAT11, bits(0.0f)},
    {D3DTSS_TEXCOORDINDEX, 0},           {D3DTSS_BUMPENVLSCALE, bits(0.0f)},
    {D3DTSS_BUMPENVLOFFSET, bits(0.0f)}, {D3DTSS_TEXTURETRANSFORMFLAGS, 0},
    {D3DTSS_COLORARG0, D3DTA_CURRENT},   {D3DTSS_ALPHAARG0, D3DTA_CURRENT},
    {D3DTSS_RESULTARG, D3DTA_CURRENT},   {D3DTSS_CONSTANT, 0},
};

constexpr StateDefault kSamplerStates[] = {
    {D3DSAMP_ADDRESSU, D3DTADDRESS_WRAP},
    {D3DSAMP_ADDRESSV, D3DTADDRESS_WRAP},
    {D3DSAMP_ADDRESSW, D3DTADDRESS_WRAP},
    {D3DSAMP_BORDERCOLOR, 0},
    {D3DSAMP_MAGFILTER, D3DTEXF_POINT},
    {D3DSAMP_MINFILTER, D3DTEXF_POINT},
    {D3DSAMP_MIPFILTER, D3DTEXF_NONE},
    {D3DSAMP_MIPMAPLODBIAS, 0},
    {D3DSAMP_MAXMIPLEVEL, 0},
    {D3DSAMP_MAXANISOTROPY, 1},
    {D3DSAMP_SRGBTEXTURE, 0},
    {D3DSAMP_ELEMENTINDEX, 0},
    {D3DSAMP_DMAPOFFSET, 0},
};

template <size_t N> bool inTable(const StateDefault (&table)[N], DWORD state) {
    for (const StateDefault& row : table)
        if (row.state == state) return true;
    return false;
}

} // namespace

int samplerSlot(DWORD sampler) {
    if (sampler < kPixelSamplers) return static_cast<int>(sampler);
    if (sampler >= D3DDMAPSAMPLER && sampler <= D3DVERTEXTEXTURESAMPLER3)
        return static_cast<int>(kPixelSamplers + (sampler - D3DDMAPSAMPLER));
    return -1;
}

bool isRenderState(DWORD state) {
    return inTable(kRenderStates, state);
}
bool isStageState(DWORD type) {
    return inTable(kStageStates, type);
}
bool isSamplerState(DWORD type) {
    return inTable(kSamplerStates, type);
}

void DeviceState::resetToDefaults(bool depthBuffer) {
    renderTarget.reset();
    for (auto& t : textures) t.reset();
    for (auto& s : streams) {
        s.buffer.reset();
        s.offset = 0;
        s.stride = 0;
    }
    declaration.reset();
    pixelShader.reset();
    viewport = D3DVIEWPORT9{};
    viewport.MaxZ = 1.0f;

    renderStates.fill(0);
    for (const StateDefault& row : kRenderStates) renderStates[row.state] = row.value;
    renderStates[D3DRS_ZENABLE] = depthBuffer ? D3DZB_TRUE : D3DZB_FALSE;

    for (DWORD stage = 0; stage < kTextureStages; ++stage) {
        auto& s = stageStates[stage];
        s.fill(0);
        for (const StateDefault& row : kStageStates) s[row.state] = row.value;
        s[D3DTSS_TEXCOORDINDEX] = stage;
        if (stage == 0) {
            s[D3DTSS_COLOROP] = D3DTOP_MODULATE;
            s[D3DTSS_ALPHAOP] = D3DTOP_SELECTARG1;
        }
    }
    for (auto& s : samplerStates) {
        s.fill(0);
        for (const StateDefault& row : kSamplerStates) s[row.state] = row.value;
    }
    constants = shader::ShaderConstants{};
}

} // namespace kestrin::platform::d3d9
