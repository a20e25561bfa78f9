// The objects whose size follows the frame: which sizes are refused, what each failing step
// leaves, the bindings and the screen quad a rebuild makes.
#include <bit>
#include <climits>
#include <cstring>
#include <functional>
#include <utility>

#include "gpu/frame_resources.h"
#include "platform/d3d9/observe.h"
#include "tests/plugin/plugin_fixture.h"

namespace kestrin::plugin_testing {
namespace {

namespace observe = kestrin::platform::d3d9::observe;

// The five frame-size objects, present or not, in the order of the release.
struct Present {
    bool transfer, quad, source, target0, target1;
    bool operator==(const Present&) const = default;
};
Present present(const GpuContext& c) {
    return {c.transferSurface != nullptr, c.quadBuffer != nullptr, c.sourceTexture != nullptr,
            c.renderTargets[0] != nullptr, c.renderTargets[1] != nullptr};
}
void PrintTo(const Present& p, std::ostream* os) {
    *os << "{transfer " << p.transfer << ", quad " << p.quad << ", source " << p.source
        << ", targets " << p.target0 << p.target1 << "}";
}

int creations() {
    return hooks::callCount("IDirect3DDevice9::CreateOffscreenPlainSurface") +
           hooks::callCount("IDirect3DDevice9::CreateTexture") +
           hooks::callCount("IDirect3DDevice9::CreateVertexBuffer");
}

using FrameResources = BuiltTest;

TEST_F(FrameResources, RefusedSizesChangeNothingAndSayNothing) {
    struct Row {
        int32_t width, height, pitch;
    };
    const Row rows[] = {
        {4097, 10, 4097}, {10, 4097, 10}, {-1, 10, 10}, {10, -1, 10}, {INT_MIN, 1, 1},
        {1, INT_MIN, 1},  {10, 10, 9},    {10, 10, -1}, {0, 0, -1},   {4097, 4097, 4097},
    };
    IDirect3DSurface9* surface = ctx().transferSurface;
    IDirect3DTexture9* target = ctx().renderTargets[1];
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message()
                     << row.width << " x " << row.height << ", pitch " << row.pitch);
        EXPECT_FALSE(RebuildFrameResources(row.width, row.height, row.pitch));
        EXPECT_EQ(ctx().width, kWidth);
        EXPECT_EQ(ctx().height, kHeight);
        EXPECT_EQ(ctx().pitch, kPitch);
        EXPECT_EQ(ctx().transferSurface, surface);
        EXPECT_EQ(ctx().renderTargets[1], target);
    }
    EXPECT_EQ(creations(), 0);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

TEST_F(FrameResources, LimitsThemselvesPass) {
    // 4096 x 4096 passes the checks: the creation is reached (and made to fail, to spare the
    // memory), so the size is stored.
    hooks::failCall("IDirect3DDevice9::CreateOffscreenPlainSurface", 1, E_OUTOFMEMORY);
    EXPECT_FALSE(RebuildFrameResources(4096, 4096, 4096));
    EXPECT_EQ(ctx().width, 4096);
    EXPECT_EQ(ctx().height, 4096);
    EXPECT_EQ(messageTexts(), Texts{text::kSurfaceCreateFailed});

    struct Row {
        int32_t width, height, pitch;
    };
    for (const Row& row : {Row{4096, 1, 4096}, Row{1, 4096, 1}, Row{10, 10, 10}}) {
        SCOPED_TRACE(::testing::Message() << row.width << " x " << row.height);
        startOver();
        EXPECT_TRUE(RebuildFrameResources(row.width, row.height, row.pitch));
        EXPECT_EQ(ctx().width, row.width);
        EXPECT_EQ(ctx().height, row.height);
        EXPECT_EQ(ctx().pitch, row.pitch);
        EXPECT_EQ(present(ctx()), (Present{true, true, true, true, true}));
        EXPECT_TRUE(hooks::messageBoxes().empty());
    }
}

TEST_F(FrameResources, NeedsAContextWithAnEffect) {
    ID3DXEffect* effect = std::exchange(ctx().effect, nullptr);
    EXPECT_FALSE(RebuildFrameResources(8, 8, 8));
    ctx().effect = effect;
    GpuContext* saved = std::exchange(g_context, nullptr);
    EXPECT_FALSE(RebuildFrameResources(8, 8, 8));
    g_context = saved;
    EXPECT_EQ(ctx().width, kWidth);
    EXPECT_EQ(creations(), 0);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

struct StepFailure {
    const char* name;
    const char* method;
    int nth;
    const char* message;
    Present left;
};
void PrintTo(const StepFailure& row, std::ostream* os) {
    *os << row.name;
}

const StepFailure kStepFailures[] = {
    {"TransferSurface",
     "IDirect3DDevice9::CreateOffscreenPlainSurface",
     1,
     text::kSurfaceCreateFailed,
     {false, false, false, false, false}},
    {"Quad",
     "IDirect3DDevice9::CreateVertexBuffer",
     1,
     text::kQuadFailed,
     {true, false, false, false, false}},
    // A quad that could not be filled would draw nothing: the rebuild fails with it.
    {"QuadLock",
     "IDirect3DVertexBuffer9::Lock",
     1,
     text::kQuadFailed,
     {true, true, false, false, false}},
    {"QuadUnlock",
     "IDirect3DVertexBuffer9::Unlock",
     1,
     text::kQuadFailed,
     {true, true, false, false, false}},
    {"SourceTexture",
     "IDirect3DDevice9::CreateTexture",
     1,
     text::kTexture0Failed,
     {true, true, false, false, false}},
    {"FirstTarget",
     "IDirect3DDevice9::CreateTexture",
     2,
     text::kTexture1Failed,
     {true, true, true, false, false}},
    {"SecondTarget",
     "IDirect3DDevice9::CreateTexture",
     3,
     text::kTexture2Failed,
     {true, true, true, true, false}},
    // The first two SetTexture calls clear the old textures off the effect.
    {"BindSource",
     "ID3DXEffect::SetTexture",
     3,
     text::kBindSourceFailed,
     {true, true, true, true, true}},
    {"BindTarget",
     "ID3DXEffect::SetTexture",
     4,
     text::kBindTargetFailed,
     {true, true, true, true, true}},
    {"BindPitch",
     "ID3DXEffect::SetVector",
     1,
     text::kBindPitchFailed,
     {true, true, true, true, true}},
};

class RebuildStep : public BuiltTest, public ::testing::WithParamInterface<StepFailure> {};

// The step tells the user, the rebuild is false, the new size is kept, and so is everything made
// before the step.
TEST_P(RebuildStep, FailureKeepsTheNewSizeAndWhatWasMade) {
    const StepFailure& row = GetParam();
    hooks::failCall(row.method, row.nth, E_OUTOFMEMORY);
    EXPECT_FALSE(RebuildFrameResources(40, 30, 48));
    EXPECT_EQ(messageTexts(), Texts{row.message});
    EXPECT_TRUE(messageBoxesWellFormed());
    EXPECT_EQ(ctx().width, 40);
    EXPECT_EQ(ctx().height, 30);
    EXPECT_EQ(ctx().pitch, 48);
    EXPECT_EQ(present(ctx()), row.left);
    // The next rebuild starts over and succeeds.
    startOver();
    EXPECT_TRUE(RebuildFrameResources(40, 30, 48));
    EXPECT_EQ(present(ctx()), (Present{true, true, true, true, true}));
}

INSTANTIATE_TEST_SUITE_P(Steps, RebuildStep, ::testing::ValuesIn(kStepFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FrameResources, UnchangedSizeRecreatesEveryObject) {
    EXPECT_TRUE(RebuildFrameResources(kWidth, kHeight, kPitch));
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::CreateOffscreenPlainSurface"), 1);
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::CreateTexture"), 3);
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::CreateVertexBuffer"), 1);
    // Rebuilding again holds no more objects than once.
    const int live = hooks::liveObjects();
    EXPECT_TRUE(RebuildFrameResources(kWidth, kHeight, kPitch));
    EXPECT_EQ(hooks::liveObjects(), live);
}

TEST_F(FrameResources, ReleaseDropsTheFiveAndKeepsSizeAndFormat) {
    const int32_t format = ctx().texelFormat;
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(ReleaseFrameResources(g_context));
        EXPECT_EQ(present(ctx()), (Present{false, false, false, false, false}));
        EXPECT_EQ(ctx().width, kWidth);
        EXPECT_EQ(ctx().height, kHeight);
        EXPECT_EQ(ctx().pitch, kPitch);
        EXPECT_EQ(ctx().texelFormat, format);
        EXPECT_NE(ctx().device, nullptr);
        EXPECT_NE(ctx().effect, nullptr);
        EXPECT_NE(ctx().quadDeclaration, nullptr);
    }
}

// Without a device every step says so the way the table gives it.
TEST_F(FrameResources, StepsWithoutADevice) {
    IDirect3DDevice9* device = std::exchange(ctx().device, nullptr);
    EXPECT_EQ(CreateTransferSurface(g_context), D3DERR_INVALIDCALL);
    EXPECT_EQ(CreateQuad(g_context), D3DERR_INVALIDCALL);
    EXPECT_EQ(CreateFrameTexture(g_context, &ctx().sourceTexture, 0), D3DERR_INVALIDCALL);
    EXPECT_EQ(BindFrameParameters(g_context), D3DERR_INVALIDCALL);
    ctx().device = device;
    // Only the transfer surface has a message for it.
    EXPECT_EQ(messageTexts(), Texts{text::kSurfaceCreateFailed});
}

using FrameResources640 = PluginTest;

// What a rebuild for 640 x 480 leaves: the objects as described, the bindings, the texel size in
// single precision and the quad with its half-pixel shift.
TEST_F(FrameResources640, BuildsBindsAndShiftsTheQuadByHalfAPixel) {
    for (const bool signedOk : {true, false}) {
        SCOPED_TRACE(signedOk ? "signed" : "unsigned");
        hooks::DeviceProfile profile;
        profile.signedFormat = signedOk;
        hooks::setDeviceProfile(profile);
        ASSERT_NO_FATAL_FAILURE(initAndBuild(640, 480, 700));
        GpuContext& c = ctx();
        const D3DFORMAT format = signedOk ? D3DFMT_Q16W16V16U16 : D3DFMT_A16B16G16R16;
        EXPECT_EQ(c.texelFormat, signedOk ? 0 : 1);

        D3DSURFACE_DESC s{};
        ASSERT_EQ(c.transferSurface->GetDesc(&s), D3D_OK);
        EXPECT_EQ(s.Width, 640u);
        EXPECT_EQ(s.Height, 480u);
        EXPECT_EQ(s.Format, format);
        EXPECT_EQ(s.Pool, D3DPOOL_SYSTEMMEM);
        struct Texture {
            IDirect3DTexture9* texture;
            DWORD usage;
        };
        for (const Texture& t :
             {Texture{c.sourceTexture, 0}, Texture{c.renderTargets[0], D3DUSAGE_RENDERTARGET},
              Texture{c.renderTargets[1], D3DUSAGE_RENDERTARGET}}) {
            EXPECT_EQ(t.texture->GetLevelCount(), 1u);
            ASSERT_EQ(t.texture->GetLevelDesc(0, &s), D3D_OK);
            EXPECT_EQ(s.Width, 640u);
            EXPECT_EQ(s.Height, 480u);
            EXPECT_EQ(s.Format, format);
            EXPECT_EQ(s.Usage, t.usage);
            EXPECT_EQ(s.Pool, D3DPOOL_DEFAULT);
        }
        D3DVERTEXBUFFER_DESC b{};
        ASSERT_EQ(c.quadBuffer->GetDesc(&b), D3D_OK);
        EXPECT_EQ(b.Size, 96u);
        EXPECT_EQ(b.Usage, static_cast<DWORD>(D3DUSAGE_WRITEONLY));
        EXPECT_EQ(b.Pool, D3DPOOL_DEFAULT);
        EXPECT_EQ(b.FVF, 0u);

        IDirect3DBaseTexture9* bound = nullptr;
        ASSERT_EQ(c.effect->GetTexture("txSrc", &bound), D3D_OK);
        EXPECT_EQ(bound, static_cast<IDirect3DBaseTexture9*>(c.sourceTexture));
        if (bound) bound->Release();
        ASSERT_EQ(c.effect->GetTexture("txRGB", &bound), D3D_OK);
        EXPECT_EQ(bound, static_cast<IDirect3DBaseTexture9*>(c.renderTargets[0]));
        if (bound) bound->Release();

        D3DXVECTOR4 pitch(9.0f, 9.0f, 9.0f, 9.0f);
        ASSERT_EQ(c.effect->GetVector("posPitch", &pitch), D3D_OK);
        EXPECT_EQ(std::bit_cast<uint32_t>(pitch.x), std::bit_cast<uint32_t>(1.0f / 640.0f));
        EXPECT_EQ(std::bit_cast<uint32_t>(pitch.y), std::bit_cast<uint32_t>(1.0f / 480.0f));

        // Filled under a NOSYSLOCK lock and unlocked again.
        observe::LockInfo locks;
        ASSERT_TRUE(observe::bufferLocks(c.quadBuffer, &locks));
        EXPECT_EQ(locks.lockCount, 1u);
        EXPECT_EQ(locks.lastFlags, static_cast<DWORD>(D3DLOCK_NOSYSLOCK));
        EXPECT_FALSE(locks.locked);
        // The buffer is write-only to the card; the software device lets a lock read it back.
        void* data = nullptr;
        ASSERT_EQ(c.quadBuffer->Lock(0, 0, &data, D3DLOCK_READONLY), D3D_OK);
        float v[24];
        std::memcpy(v, data, sizeof(v));
        c.quadBuffer->Unlock();
        const float expected[24] = {
            -0.5f,  -0.5f,  1.0f, 1.0f, 0.0f, 0.0f, //
            639.5f, -0.5f,  1.0f, 1.0f, 1.0f, 0.0f, //
            -0.5f,  479.5f, 1.0f, 1.0f, 0.0f, 1.0f, //
            639.5f, 479.5f, 1.0f, 1.0f, 1.0f, 1.0f, //
        };
        for (int i = 0; i < 24; ++i)
            EXPECT_EQ(std::bit_cast<uint32_t>(v[i]), std::bit_cast<uint32_t>(expected[i]))
                << "vertex " << i / 6 << ", component " << i % 6;
        EXPECT_TRUE(hooks::messageBoxes().empty());
        FilterExit(&record());
        startOver();
    }
}

} // namespace
} // namespace kestrin::plugin_testing
