// A device that is lost, waits for a reset, or reports something else; and releasing everything,
// any number of times.
#include <utility>

#include "gpu/device.h"
#include "gpu/frame_resources.h"
#include "gpu/render.h"
#include "platform/d3d9/observe.h"
#include "tests/plugin/plugin_fixture.h"

namespace kestrin::plugin_testing {
namespace {

namespace observe = kestrin::platform::d3d9::observe;

// Every object pointer of the context, to see that nothing was released or replaced.
struct Objects {
    void* p[9];
    explicit Objects(const GpuContext& c)
        : p{c.d3d,
            c.device,
            c.sourceTexture,
            c.renderTargets[0],
            c.renderTargets[1],
            c.transferSurface,
            c.quadBuffer,
            c.quadDeclaration,
            c.effect} {}
    bool operator==(const Objects& o) const {
        for (int i = 0; i < 9; ++i)
            if (p[i] != o.p[i]) return false;
        return true;
    }
};

using DeviceLoss = BuiltTest;

TEST_F(DeviceLoss, LostDeviceFailsSilentlyAndKeepsEverything) {
    for (bool rebuild : {false, true}) {
        startOver();
        hooks::scriptCooperativeLevel({D3DERR_DEVICELOST});
        g_rebuildNeeded = rebuild;
        const Objects before(ctx());
        EXPECT_FALSE(CheckDevice());
        EXPECT_TRUE(Objects(ctx()) == before);
        EXPECT_EQ(g_rebuildNeeded, rebuild);
        EXPECT_EQ(hooks::callCount("IDirect3DDevice9::Reset"), 0);
        EXPECT_TRUE(hooks::messageBoxes().empty());
    }
    // Once the device answers again, frames go on.
    EXPECT_TRUE(CheckDevice());
}

TEST_F(DeviceLoss, OtherCooperativeLevelIsReported) {
    for (HRESULT answer : {D3DERR_DRIVERINTERNALERROR, E_FAIL, D3DERR_INVALIDCALL}) {
        startOver();
        hooks::scriptCooperativeLevel({answer});
        const Objects before(ctx());
        EXPECT_FALSE(CheckDevice());
        EXPECT_TRUE(Objects(ctx()) == before);
        EXPECT_EQ(messageTexts(), Texts{text::kCooperativeLevelError});
        EXPECT_TRUE(messageBoxesWellFormed());
    }
}

TEST_F(DeviceLoss, NoDeviceIsNotUsable) {
    GpuContext* saved = g_context;
    g_context = nullptr;
    EXPECT_FALSE(CheckDevice());
    g_context = saved;
    IDirect3DDevice9* device = std::exchange(ctx().device, nullptr);
    EXPECT_FALSE(CheckDevice());
    EXPECT_EQ(ResetDevice(g_context), D3DERR_INVALIDCALL);
    ctx().device = device;
    ID3DXEffect* effect = std::exchange(ctx().effect, nullptr);
    EXPECT_EQ(ResetDevice(g_context), D3DERR_INVALIDCALL);
    ctx().effect = effect;
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::TestCooperativeLevel"), 0);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

// The reset drops the default-pool objects; the system-memory surface and the declaration stay.
TEST_F(DeviceLoss, ResetReleasesOnlyTheDefaultPoolObjects) {
    hooks::scriptCooperativeLevel({D3DERR_DEVICENOTRESET});
    IDirect3DSurface9* surface = ctx().transferSurface;
    IDirect3DVertexDeclaration9* declaration = ctx().quadDeclaration;
    CheckDevice();
    EXPECT_EQ(ctx().transferSurface, surface);
    EXPECT_EQ(ctx().quadDeclaration, declaration);
    EXPECT_EQ(ctx().quadBuffer, nullptr);
    EXPECT_EQ(ctx().sourceTexture, nullptr);
    EXPECT_EQ(ctx().renderTargets[0], nullptr);
    EXPECT_EQ(ctx().renderTargets[1], nullptr);
    EXPECT_EQ(hooks::callCount("ID3DXEffect::OnLostDevice"), 1);
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::Reset"), 1);
}

// After frames have run, the effect and the device let go of the frame's textures, so nothing
// of the default pool outlives the release and the reset goes through.
TEST_F(DeviceLoss, ResetAfterABuildSucceedsAndAsksForARebuild) {
    hooks::scriptCooperativeLevel({D3DERR_DEVICENOTRESET});
    g_rebuildNeeded = false;
    EXPECT_TRUE(CheckDevice());
    EXPECT_TRUE(g_rebuildNeeded);
    EXPECT_TRUE(hooks::messageBoxes().empty());
    EXPECT_EQ(observe::defaultPoolObjects(ctx().device), 0);
    EXPECT_EQ(hooks::callCount("ID3DXEffect::OnResetDevice"), 1);
    // The same frame rebuilds and renders.
    EXPECT_TRUE(RebuildFrameResources(kWidth, kHeight, kPitch));
    EXPECT_TRUE(CheckDevice());
}

// Before the first frame the effect holds no texture, so the reset goes through.
using ReadyDevice = PluginTest;

TEST_F(ReadyDevice, ResetBeforeAnyFrameSucceedsAndAsksForARebuild) {
    ASSERT_EQ(init(), 1);
    startOver();
    hooks::scriptCooperativeLevel({D3DERR_DEVICENOTRESET});
    g_rebuildNeeded = false;
    IDirect3DVertexDeclaration9* declaration = ctx().quadDeclaration;
    EXPECT_TRUE(CheckDevice());
    EXPECT_TRUE(g_rebuildNeeded);
    EXPECT_EQ(ctx().quadDeclaration, declaration);
    EXPECT_EQ(hooks::callCount("ID3DXEffect::OnResetDevice"), 1);
    EXPECT_TRUE(hooks::messageBoxes().empty());
    EXPECT_TRUE(CheckDevice());
    EXPECT_TRUE(RebuildFrameResources(8, 4, 8));
}

TEST_F(ReadyDevice, FailedResetIsReportedAndRetriedNextTime) {
    ASSERT_EQ(init(), 1);
    for (const char* method : {"IDirect3DDevice9::Reset", "ID3DXEffect::OnResetDevice"}) {
        SCOPED_TRACE(method);
        startOver();
        hooks::scriptCooperativeLevel({D3DERR_DEVICENOTRESET});
        hooks::failCall(method, 1, D3DERR_DEVICELOST);
        g_rebuildNeeded = false;
        EXPECT_FALSE(CheckDevice());
        EXPECT_FALSE(g_rebuildNeeded);
        EXPECT_EQ(messageTexts(), Texts{text::kResetFailed});
        EXPECT_TRUE(messageBoxesWellFormed());
        // A failed Reset leaves the device waiting for one; OnResetDevice failing after a good
        // Reset leaves it usable. Either way the next check succeeds.
        EXPECT_TRUE(CheckDevice());
    }
}

TEST_F(ReadyDevice, ReleaseAllOnAnEmptyRecordDoesNothingAnyNumberOfTimes) {
    GpuContext* c = NewGpuContext();
    ASSERT_NE(c, nullptr);
    const Objects none(*c);
    EXPECT_TRUE(ReleaseAll(c));
    EXPECT_TRUE(ReleaseAll(c));
    EXPECT_TRUE(Objects(*c) == none);
    EXPECT_EQ(c->width, -1);
    EXPECT_EQ(c->texelFormat, 1);
    DestroyContext(c);
    DestroyContext(nullptr);
}

TEST_F(ReadyDevice, ReleaseAllDropsEveryObjectAndKeepsTheRest) {
    ASSERT_NO_FATAL_FAILURE(initAndBuild(24, 8, 30));
    applyTracks(4);
    const D3DXHANDLE gain = ctx().hPixGain;
    RenderWorker* worker = ctx().worker;
    const int32_t format = ctx().texelFormat;
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(ReleaseAll(g_context));
        EXPECT_TRUE(Objects(ctx()) == Objects(GpuContext{}));
        EXPECT_EQ(ctx().width, 24);
        EXPECT_EQ(ctx().height, 8);
        EXPECT_EQ(ctx().pitch, 30);
        EXPECT_EQ(ctx().passCount, 4);
        EXPECT_EQ(ctx().texelFormat, format);
        EXPECT_EQ(ctx().hPixGain, gain);
        EXPECT_EQ(ctx().worker, worker);
        EXPECT_EQ(hooks::liveObjects(), liveAtStart());
    }
}

} // namespace
} // namespace kestrin::plugin_testing
