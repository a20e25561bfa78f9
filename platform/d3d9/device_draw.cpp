// DrawPrimitive: vertices fetched through the declaration, triangles assembled, the bound pixel
// program run over them into render target 0.
//
// What a draw needs: a scene, a render target, a pixel shader (there is no fixed-function
// pipeline), a declaration with a D3DDECLUSAGE_POSITIONT FLOAT4 element (x, y in pixels, z
// unused, rhw), and for each input the program declares, the element of the same usage and usage
// index (FLOAT1-4 or D3DCOLOR; expanded to four components with 0, 0, 0, 1 as Direct3D does; an
// input without an element reads zeros). Triangle lists, strips and fans; every vertex read must
// lie inside its stream's buffer. Render states other than the ones that name bindings are not
// applied: no depth buffer, no blending, no culling. The viewport clips.
#include <cmath>
#include <cstring>

#include "platform/d3d9/decoded_texels.h"
#include "platform/d3d9/device.h"
#include "platform/d3d9/formats.h"
#include "platform/d3d9/pixel_shader.h"
#include "platform/d3d9/rasteriser.h"
#include "platform/d3d9/stage_clock.h"
#include "platform/d3d9/surface.h"
#include "platform/d3d9/texture.h"
#include "platform/d3d9/texture_sampler.h"
#include "platform/d3d9/vertex_buffer.h"
#include "platform/d3d9/vertex_declaration.h"
#include "platform/test_hooks.h"
#include "shader/texture_address.h"

namespace kestrin::platform::d3d9 {
namespace {

constexpr UINT kMaxPrimitives = 0xFFFFF;

// Where one element of one vertex comes from.
struct ElementSource {
    const D3DVERTEXELEMENT9* element = nullptr;
    const std::vector<uint8_t>* data = nullptr;
    uint64_t base = 0; // stream offset + element offset
    uint64_t stride = 0;
};

bool fetchable(BYTE type) {
    return type <= D3DDECLTYPE_D3DCOLOR;
}

std::array<float, 4> decode(const uint8_t* p, BYTE type) {
    std::array<float, 4> v{0.0f, 0.0f, 0.0f, 1.0f};
    if (type == D3DDECLTYPE_D3DCOLOR) {
        DWORD c = 0;
        std::memcpy(&c, p, 4);
        v = {static_cast<float>((c >> 16) & 0xFF) / 255.0f,
             static_cast<float>((c >> 8) & 0xFF) / 255.0f, static_cast<float>(c & 0xFF) / 255.0f,
             static_cast<float>((c >> 24) & 0xFF) / 255.0f};
    } else {
        std::memcpy(v.data(), p, 4 * (static_cast<size_t>(type) + 1)); // FLOAT1..FLOAT4
    }
    return v;
}

// The vertices of triangle `i` of a primitive of `type`.
std::array<UINT, 3> triangleVertices(D3DPRIMITIVETYPE type, UINT i) {
    switch (type) {
    case D3DPT_TRIANGLELIST:
        return {3 * i, 3 * i + 1, 3 * i + 2};
    case D3DPT_TRIANGLESTRIP: // every second triangle reversed, so all keep one winding
        return i % 2 == 0 ? std::array<UINT, 3>{i, i + 1, i + 2}
                          : std::array<UINT, 3>{i + 1, i, i + 2};
    default: // D3DPT_TRIANGLEFAN
        return {0, i + 1, i + 2};
    }
}

// The grid of decoded channels: the codec reads s as s / 32767 (clamped at -1, which is
// -32767 / 32767) and u as u / 65535. Border addressing also reads the border colour, which
// must then lie on the same grid.
int32_t channelGrid(TexelFormat format, uint32_t addressU, uint32_t addressV,
                    const std::array<float, 4>& border) {
    const int32_t grid = format == TexelFormat::Signed ? 32767 : 65535;
    if (addressU != shader::kAddressBorder && addressV != shader::kAddressBorder) return grid;
    for (float b : border) {
        const double k = std::nearbyint(static_cast<double>(b) * grid);
        if (std::fabs(k) > grid || static_cast<float>(k) / static_cast<float>(grid) != b) return 0;
    }
    return grid;
}

} // namespace

HRESULT Device::DrawPrimitive(D3DPRIMITIVETYPE PrimitiveType, UINT StartVertex,
                              UINT PrimitiveCount) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        return drawLocked(PrimitiveType, StartVertex, PrimitiveCount, call);
    });
}

HRESULT Device::drawLocked(D3DPRIMITIVETYPE type, UINT startVertex, UINT primitiveCount,
                           EntryCall<ResultCode>& call) {
    Surface* target = state_.renderTarget.get();
    PixelShader* shader = state_.pixelShader.get();
    VertexDeclaration* declaration = state_.declaration.get();
    if (!inScene_ || !target || !shader || !declaration) return D3DERR_INVALIDCALL;
    if (!isTexelFormat(target->desc().Format)) return D3DERR_INVALIDCALL; // the back buffer
    if (type != D3DPT_TRIANGLELIST && type != D3DPT_TRIANGLESTRIP && type != D3DPT_TRIANGLEFAN)
        return D3DERR_INVALIDCALL;
    if (primitiveCount == 0 || primitiveCount > kMaxPrimitives) return D3DERR_INVALIDCALL;
    const UINT vertexCount = type == D3DPT_TRIANGLELIST ? 3 * primitiveCount : primitiveCount + 2;

    // Sources: the position, then one per declared program input (or none).
    auto sourceOf = [&](const D3DVERTEXELEMENT9* e, ElementSource* out) {
        const StreamBinding& stream = state_.streams[e->Stream];
        const VertexBuffer* buffer = stream.buffer.get();
        if (!buffer || !fetchable(e->Type)) return false;
        *out = {e, &buffer->data(), uint64_t{stream.offset} + e->Offset, stream.stride};
        const uint64_t last = out->base + (uint64_t{startVertex} + vertexCount - 1) * out->stride +
                              declTypeSize(e->Type);
        return last <= out->data->size();
    };
    const D3DVERTEXELEMENT9* position = declaration->find(D3DDECLUSAGE_POSITIONT, 0);
    ElementSource positionSource;
    if (!position || position->Type != D3DDECLTYPE_FLOAT4 || !sourceOf(position, &positionSource))
        return D3DERR_INVALIDCALL;
    const std::vector<shader::InputDeclaration>& inputs = programInputs(*shader->program());
    std::vector<std::pair<uint32_t, ElementSource>> inputSources;
    uint32_t inputMask = 0;
    for (const shader::InputDeclaration& input : inputs) {
        if (input.reg >= shader::kInputRegisters) return D3DERR_INVALIDCALL;
        inputMask |= 1u << input.reg;
        if (const D3DVERTEXELEMENT9* e = declaration->find(input.usage, input.usageIndex)) {
            ElementSource source;
            if (!sourceOf(e, &source)) return D3DERR_INVALIDCALL;
            inputSources.emplace_back(input.reg, source);
        }
    }

    return call.proceed([&] {
        if (health_ != Health::Operational) return D3D_OK; // a lost device draws nothing

        auto read = [&](const ElementSource& s, UINT vertex) {
            const uint64_t at = s.base + (uint64_t{startVertex} + vertex) * s.stride;
            return decode(s.data->data() + at, s.element->Type);
        };
        std::vector<RasterVertex> fetched(vertexCount);
        for (UINT i = 0; i < vertexCount; ++i) {
            const std::array<float, 4> p = read(positionSource, i);
            fetched[i].x = p[0];
            fetched[i].y = p[1];
            fetched[i].rhw = p[3];
            for (const auto& [reg, source] : inputSources) fetched[i].inputs[reg] = read(source, i);
        }
        std::vector<RasterVertex> triangles;
        triangles.reserve(static_cast<size_t>(primitiveCount) * 3);
        for (UINT i = 0; i < primitiveCount; ++i)
            for (UINT v : triangleVertices(type, i)) triangles.push_back(fetched[v]);

        const DrawResources resources =
            prepareDraw(*shader, target, hooks::deviceProfile().renderThreads);

        const D3DSURFACE_DESC& desc = target->desc();
        const D3DVIEWPORT9& viewport = state_.viewport;
        RasterJob job;
        job.vertices = &triangles;
        job.inputMask = inputMask;
        job.program = shader->program();
        job.constants = &state_.constants;
        job.sampler = &resources.sampler;
        job.compiled = resources.compiled;
        job.stageBases = resources.stageBases;
        job.targetTexels = resources.targetTexels;
        job.target = {target->bits(), target->pitch(), static_cast<int>(desc.Width),
                      static_cast<int>(desc.Height), texelFormatOf(desc.Format)};
        job.clip = {
            static_cast<int>(std::min<DWORD>(viewport.X, desc.Width)),
            static_cast<int>(std::min<DWORD>(viewport.Y, desc.Height)),
            static_cast<int>(std::min<uint64_t>(uint64_t{viewport.X} + viewport.Width, desc.Width)),
            static_cast<int>(
                std::min<uint64_t>(uint64_t{viewport.Y} + viewport.Height, desc.Height))};
        job.threads = hooks::deviceProfile().renderThreads;
        bool drawn = false;
        {
            StageTimer timer(Stage::Shade);
            drawn = rasterise(job);
        }
        target->touch();
        if (resources.targetTexels) resources.targetTexels->adopt(*target, drawn ? 0x7 : 0);
        return drawn ? D3D_OK : E_OUTOFMEMORY;
    });
}

Device::DrawResources Device::prepareDraw(PixelShader& shader, Surface* target, int threads) {
    DrawResources r;
    const uint32_t used = programSamplers(*shader.program());
    shader::DrawSpecialisation draw;
    draw.constants = &state_.constants;
    std::array<Surface*, shader::kSamplers> levels{};
    for (unsigned stage = 0; stage < shader::kSamplers; ++stage) {
        const Texture* texture = state_.textures[stage].get();
        if (!((used >> stage) & 1) || !texture) continue;
        Surface* level = texture->level(0);
        const auto& states = state_.samplerStates[stage];
        const D3DSURFACE_DESC& desc = level->desc();
        shader::StageLayout& l = draw.stages[stage];
        l.bound = true;
        l.point = states[D3DSAMP_MAGFILTER] < D3DTEXF_LINEAR;
        l.width = static_cast<int32_t>(desc.Width);
        l.height = static_cast<int32_t>(desc.Height);
        l.pad = DecodedTexels::kPad;
        l.rowFloats = l.width + 2 * l.pad;
        l.planeFloats = l.rowFloats * (l.height + 2 * l.pad);
        l.addressU = states[D3DSAMP_ADDRESSU];
        l.addressV = states[D3DSAMP_ADDRESSV];
        l.border = borderChannels(states[D3DSAMP_BORDERCOLOR]);
        // Decoded 16-bit channels and border colours: finite, within [-1, 1], never -0.
        l.lowest = texelFormatOf(desc.Format) == TexelFormat::Signed ? -1.0f : 0.0f;
        l.highest = 1.0f;
        l.exotic = false;
        l.grid = channelGrid(texelFormatOf(desc.Format), l.addressU, l.addressV, l.border);
        levels[stage] = level;
    }
    // One texture through two stages with different addressing would need two paddings; such
    // a draw runs on the interpreter, which addresses every read itself.
    bool paddingConflict = false;
    for (unsigned a = 0; a < shader::kSamplers; ++a)
        for (unsigned b = a + 1; b < shader::kSamplers; ++b)
            if (levels[a] && levels[a] == levels[b] &&
                (draw.stages[a].addressU != draw.stages[b].addressU ||
                 draw.stages[a].addressV != draw.stages[b].addressV ||
                 draw.stages[a].border != draw.stages[b].border))
                paddingConflict = true;
    const shader::Engine engine = shader::defaultEngine();
    if (engine != shader::Engine::Interpreter && !paddingConflict) {
        StageTimer timer(Stage::Compile);
        r.compiled = shader.compiled(draw, engine, nullptr);
    }
    StageTimer timer(Stage::Decode);
    // A target that is a texture sampled before gets the decoded channels of what the draw
    // stores, unless the draw also samples it (its reads must see the texels as they were).
    bool targetSampled = false;
    for (Surface* level : levels) targetSampled = targetSampled || level == target;
    for (unsigned stage = 0; stage < shader::kSamplers; ++stage) {
        Surface* level = levels[stage];
        if (!level) continue;
        const auto& states = state_.samplerStates[stage];
        const unsigned channels = r.compiled ? r.compiled->stageChannels(stage) : 0xFu;
        DecodedTexels& texels = level->decoded();
        texels.prepare(*level, channels, states[D3DSAMP_ADDRESSU], states[D3DSAMP_ADDRESSV],
                       draw.stages[stage].border, threads);
        r.sampler.bind(stage, texels, channels,
                       SamplerSettings{states[D3DSAMP_ADDRESSU], states[D3DSAMP_ADDRESSV],
                                       states[D3DSAMP_MAGFILTER], states[D3DSAMP_BORDERCOLOR]});
        r.stageBases[stage] = texels.base();
    }
    if (target->texture() && !targetSampled && target->decoded().sampled()) {
        r.targetTexels = &target->decoded();
        r.targetTexels->prepareInterior(*target, 0x7, threads);
    }
    return r;
}

} // namespace kestrin::platform::d3d9
