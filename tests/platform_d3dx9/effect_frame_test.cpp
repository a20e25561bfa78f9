// End to end through Direct3D and D3DX calls only: a host frame goes up through a system-memory
// surface, the built effect's passes run exactly as one frame of the plug-in runs them, the
// result comes back through GetRenderTargetData, and it must equal the reference model bit for
// bit, in both texel formats, for every pass count.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "effect/model.h"
#include "tests/platform_d3dx9/d3dx9_test_support.h"

namespace kestrin::platform::d3dx9::testing {
namespace {

using model::YcPixel;

struct QuadVertex {
    float x, y, z, rhw, u, v;
};
static_assert(sizeof(QuadVertex) == 24);

D3DFORMAT formatOf(TexelFormat f) {
    return f == TexelFormat::Signed ? D3DFMT_Q16W16V16U16 : D3DFMT_A16B16G16R16;
}

std::vector<YcPixel> randomFrame(int width, int height, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> any(-32768, 32767);
    std::uniform_int_distribution<int> luma(-300, 4400), chroma(-2400, 2400);
    std::vector<YcPixel> frame(size_t(width) * size_t(height));
    // Half the frame in the host's usual ranges (where the weights matter), half anywhere.
    for (size_t i = 0; i < frame.size(); ++i) {
        const bool usual = (i / 3) % 2 == 0;
        frame[i] = usual ? YcPixel{int16_t(luma(rng)), int16_t(chroma(rng)), int16_t(chroma(rng))}
                         : YcPixel{int16_t(any(rng)), int16_t(any(rng)), int16_t(any(rng))};
    }
    return frame;
}

// Everything one frame size needs, created as the plug-in creates it.
class FrameRig {
  public:
    FrameRig(IDirect3DDevice9* device, int width, int height, TexelFormat format)
        : device_(device), width_(width), height_(height), format_(format) {
        const D3DFORMAT f = formatOf(format);
        EXPECT_EQ(device->CreateOffscreenPlainSurface(UINT(width), UINT(height), f,
                                                      D3DPOOL_SYSTEMMEM, transfer_.put(), nullptr),
                  D3D_OK);
        source_ = makeTexture(device, UINT(width), UINT(height), f);
        for (auto& rt : targets_)
            rt = makeTexture(device, UINT(width), UINT(height), f, D3DUSAGE_RENDERTARGET);
        EXPECT_EQ(device->CreateVertexBuffer(96, D3DUSAGE_WRITEONLY, 0, D3DPOOL_DEFAULT,
                                             quad_.put(), nullptr),
                  D3D_OK);
        void* data = nullptr;
        if (quad_ && SUCCEEDED(quad_->Lock(0, 0, &data, D3DLOCK_NOSYSLOCK))) {
            const float w = static_cast<float>(width - 0.5), h = static_cast<float>(height - 0.5);
            const QuadVertex v[4] = {{-0.5f, -0.5f, 1, 1, 0, 0},
                                     {w, -0.5f, 1, 1, 1, 0},
                                     {-0.5f, h, 1, 1, 0, 1},
                                     {w, h, 1, 1, 1, 1}};
            std::memcpy(data, v, sizeof v);
            quad_->Unlock();
        }
        const D3DVERTEXELEMENT9 elements[] = {
            {0, 0, D3DDECLTYPE_FLOAT4, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITIONT, 0},
            {0, 16, D3DDECLTYPE_FLOAT2, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_TEXCOORD, 0},
            D3DDECL_END()};
        EXPECT_EQ(device->CreateVertexDeclaration(elements, declaration_.put()), D3D_OK);
        effect_ = createBuiltEffect(device);
    }

    bool ready() const {
        return transfer_ && source_ && targets_[0] && targets_[1] && quad_ && declaration_ &&
               effect_;
    }

    // Binds the frame-size objects and sets the filter strengths, as the plug-in does after a
    // rebuild (names for txSrc, txRGB and posPitch; handles for the three floats).
    void bind(const model::FilterParams& params) {
        ID3DXEffect* e = effect_.get();
        ASSERT_EQ(e->SetTexture("txSrc", source_.get()), D3D_OK);
        ASSERT_EQ(e->SetTexture("txRGB", targets_[0].get()), D3D_OK);
        const D3DXVECTOR4 pitch(1.0f / static_cast<float>(width_),
                                1.0f / static_cast<float>(height_), 0.0f, 0.0f);
        ASSERT_EQ(e->SetVector("posPitch", &pitch), D3D_OK);
        ASSERT_EQ(e->SetFloat(e->GetParameterByName(nullptr, "pixGain"), params.pixGain), D3D_OK);
        ASSERT_EQ(e->SetFloat(e->GetParameterByName(nullptr, "pixDist"), params.pixDist), D3D_OK);
        ASSERT_EQ(e->SetFloat(e->GetParameterByName(nullptr, "posDist"), params.posDist), D3D_OK);
    }

    void upload(const std::vector<YcPixel>& frame) {
        D3DLOCKED_RECT lr{};
        ASSERT_EQ(transfer_->LockRect(&lr, nullptr, 0), D3D_OK);
        for (int y = 0; y < height_; ++y) {
            auto* row =
                reinterpret_cast<uint16_t*>(static_cast<char*>(lr.pBits) + ptrdiff_t(y) * lr.Pitch);
            for (int x = 0; x < width_; ++x) {
                const YcPixel& p = frame[size_t(y) * size_t(width_) + size_t(x)];
                row[4 * x + 0] = encodeHostValue(p.y, format_);
                row[4 * x + 1] = encodeHostValue(p.cb, format_);
                row[4 * x + 2] = encodeHostValue(p.cr, format_);
                row[4 * x + 3] = 0;
            }
        }
        ASSERT_EQ(transfer_->UnlockRect(), D3D_OK);
    }

    // One frame of the plug-in's render sequence.
    void render(int passes) {
        ID3DXEffect* e = effect_.get();
        const D3DXHANDLE hTxRGB = e->GetParameterByName(nullptr, "txRGB");
        const D3DXHANDLE technique = e->GetTechniqueByName(
            format_ == TexelFormat::Signed ? "BilateralFiltering" : "BilateralFilteringU");
        ASSERT_EQ(device_->BeginScene(), D3D_OK);
        {
            Ref<IDirect3DSurface9> level;
            ASSERT_EQ(source_->GetSurfaceLevel(0, level.put()), D3D_OK);
            ASSERT_EQ(device_->UpdateSurface(transfer_.get(), nullptr, level.get(), nullptr),
                      D3D_OK);
        }
        ASSERT_EQ(e->SetTexture(hTxRGB, targets_[0].get()), D3D_OK);
        ASSERT_EQ(e->SetTechnique(technique), D3D_OK);
        ASSERT_EQ(device_->SetVertexDeclaration(declaration_.get()), D3D_OK);
        UINT count = 0;
        ASSERT_EQ(e->Begin(&count, 0), D3D_OK);
        ASSERT_EQ(count, 3u);
        draw(0, 0);
        for (int i = 1; i < passes; ++i) {
            draw(1, i % 2);
            ASSERT_EQ(e->SetTexture(hTxRGB, targets_[i % 2].get()), D3D_OK);
        }
        draw(2, passes % 2);
        ASSERT_EQ(e->End(), D3D_OK);
        ASSERT_EQ(device_->EndScene(), D3D_OK);
    }

    std::vector<YcPixel> readBack(int passes) {
        Ref<IDirect3DSurface9> level;
        EXPECT_EQ(targets_[passes % 2]->GetSurfaceLevel(0, level.put()), D3D_OK);
        EXPECT_EQ(device_->GetRenderTargetData(level.get(), transfer_.get()), D3D_OK);
        std::vector<YcPixel> out(size_t(width_) * size_t(height_));
        D3DLOCKED_RECT lr{};
        if (FAILED(transfer_->LockRect(&lr, nullptr, D3DLOCK_READONLY))) return {};
        for (int y = 0; y < height_; ++y) {
            const auto* row = reinterpret_cast<const uint16_t*>(static_cast<const char*>(lr.pBits) +
                                                                ptrdiff_t(y) * lr.Pitch);
            for (int x = 0; x < width_; ++x)
                out[size_t(y) * size_t(width_) + size_t(x)] = {
                    decodeHostValue(row[4 * x + 0], format_),
                    decodeHostValue(row[4 * x + 1], format_),
                    decodeHostValue(row[4 * x + 2], format_)};
        }
        transfer_->UnlockRect();
        return out;
    }

  private:
    void draw(UINT pass, int target) {
        Ref<IDirect3DSurface9> level;
        ASSERT_EQ(targets_[target]->GetSurfaceLevel(0, level.put()), D3D_OK);
        ASSERT_EQ(device_->SetRenderTarget(0, level.get()), D3D_OK);
        ASSERT_EQ(effect_->BeginPass(pass), D3D_OK);
        ASSERT_EQ(device_->SetStreamSource(0, quad_.get(), 0, sizeof(QuadVertex)), D3D_OK);
        ASSERT_EQ(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2), D3D_OK);
        ASSERT_EQ(effect_->EndPass(), D3D_OK);
    }

    IDirect3DDevice9* device_;
    int width_, height_;
    TexelFormat format_;
    Ref<IDirect3DSurface9> transfer_;
    Ref<IDirect3DTexture9> source_;
    Ref<IDirect3DTexture9> targets_[2];
    Ref<IDirect3DVertexBuffer9> quad_;
    Ref<IDirect3DVertexDeclaration9> declaration_;
    Ref<ID3DXEffect> effect_;
};

// Index and value of the first pixel where two frames differ, for the failure message.
std::string firstDifference(const std::vector<YcPixel>& got, const std::vector<YcPixel>& want,
                            int width) {
    if (got.size() != want.size()) return "sizes differ";
    for (size_t i = 0; i < got.size(); ++i) {
        const YcPixel& g = got[i];
        const YcPixel& w = want[i];
        if (g.y != w.y || g.cb != w.cb || g.cr != w.cr)
            return "pixel (" + std::to_string(int(i) % width) + ", " +
                   std::to_string(int(i) / width) + "): device (" + std::to_string(g.y) + ", " +
                   std::to_string(g.cb) + ", " + std::to_string(g.cr) + "), model (" +
                   std::to_string(w.y) + ", " + std::to_string(w.cb) + ", " + std::to_string(w.cr) +
                   ")";
    }
    return {};
}

class EffectFrame : public EffectTest, public ::testing::WithParamInterface<TexelFormat> {};

TEST_P(EffectFrame, EqualsTheModelBitForBit) {
    const TexelFormat format = GetParam();
    Ref<IDirect3DDevice9> device = openDevice();
    ASSERT_TRUE(device);
    const int sizes[][2] = {{1, 1}, {7, 5}, {33, 17}};
    // Strength, threshold, range as the track bars give them (defaults first).
    const int32_t tracks[][3] = {{128, 24, 64}, {256, 64, 256}, {37, 200, 9}};
    uint32_t seed = 1;
    for (const auto& size : sizes) {
        const int w = size[0], h = size[1];
        FrameRig rig(device.get(), w, h, format);
        ASSERT_TRUE(rig.ready());
        for (const auto& t : tracks) {
            for (int32_t passes = 1; passes <= 5; ++passes) {
                SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " tracks " +
                             std::to_string(t[0]) + "/" + std::to_string(t[1]) + "/" +
                             std::to_string(t[2]) + " passes " + std::to_string(passes));
                const int32_t values[5] = {t[0], t[1], t[2], passes, 0};
                const model::FrameSettings settings = model::settingsFromTracks(values);
                ASSERT_EQ(settings.passCount, passes);
                const std::vector<YcPixel> frame = randomFrame(w, h, seed++);
                rig.bind(settings.params);
                rig.upload(frame);
                rig.render(passes);
                const std::vector<YcPixel> got = rig.readBack(passes);
                const std::vector<YcPixel> want =
                    model::filterFrame(frame.data(), w, h, w, values, format);
                EXPECT_EQ(firstDifference(got, want, w), "");
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, EffectFrame,
                         ::testing::Values(TexelFormat::Signed, TexelFormat::Unsigned),
                         [](const auto& info) {
                             return info.param == TexelFormat::Signed ? "Signed" : "Unsigned";
                         });

} // namespace
} // namespace kestrin::platform::d3dx9::testing
