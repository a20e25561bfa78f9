// Bringing the device up through FilterInit: every way it can fail (the user's messages, in
// order; nothing left behind), the capability and format probe, how the device is created, and
// the effect check that a load must pass.
#include <algorithm>
#include <functional>
#include <string>
#include <utility>

#include "fx/reader.h"
#include "fx/writer.h"
#include "gpu/device.h"
#include "gpu/render.h"
#include "tests/plugin/plugin_fixture.h"
#include "worker/render_worker.h"

namespace kestrin::plugin_testing {
namespace {

void profile(DWORD textureCaps, bool signedFormat, bool unsignedFormat) {
    hooks::DeviceProfile p;
    p.textureCaps = textureCaps;
    p.signedFormat = signedFormat;
    p.unsignedFormat = unsignedFormat;
    hooks::setDeviceProfile(p);
}

void failFirst(const char* method, HRESULT hr = E_FAIL) {
    hooks::failCall(method, 1, hr);
}

struct InitFailure {
    const char* name;
    std::function<void()> arrange;
    Texts messages;
    HMODULE instance = kModule;
};
void PrintTo(const InitFailure& row, std::ostream* os) {
    *os << row.name;
}

const InitFailure kInitFailures[] = {
    {"Direct3DCreate9ReturnsNull",
     [] { hooks::setDirect3DCreateFails(true); },
     {text::kDirect3DCreateFailed}},
    {"CreateDeviceFails",
     [] { failFirst("IDirect3D9::CreateDevice", D3DERR_NOTAVAILABLE); },
     {text::kCreateDeviceFailed}},
    {"SquareTexturesOnly",
     [] { profile(D3DPTEXTURECAPS_SQUAREONLY, true, true); },
     {text::kSquareTexturesOnly}},
    // Square-only is told first, whatever else the device lacks.
    {"SquareOnlyWithoutFormats",
     [] { profile(D3DPTEXTURECAPS_SQUAREONLY | D3DPTEXTURECAPS_POW2, false, false); },
     {text::kSquareTexturesOnly}},
    {"PowerOfTwoOnly", [] { profile(D3DPTEXTURECAPS_POW2, true, true); }, {text::kPowerOfTwoOnly}},
    {"GetDeviceCapsFails", [] { failFirst("IDirect3DDevice9::GetDeviceCaps"); }, {}},
    {"GetDisplayModeFails", [] { failFirst("IDirect3DDevice9::GetDisplayMode"); }, {}},
    {"NeitherTexelFormat", [] { profile(0, false, false); }, {text::kNoPixelFormat}},
    // The record is the first nothrow allocation, the worker the second.
    {"WorkerAllocationFails", [] { hooks::failNothrowAllocation(2); }, {text::kWorkerCreateFailed}},
    {"StartEventFails", [] { hooks::failEventCreation(1); }, {text::kWorkerStartFailed}},
    {"DoneEventFails", [] { hooks::failEventCreation(2); }, {text::kWorkerStartFailed}},
    {"ThreadCreationFails", [] { hooks::failThreadCreation(1); }, {text::kWorkerStartFailed}},
    {"EffectCreationFailsWithoutErrors",
     [] { failFirst("D3DXCreateEffectFromResourceW"); },
     {text::kEffectLoadFailed}},
    {"ModuleWithoutTheEffect",
     [] {},
     {text::kEffectLoadFailed},
     reinterpret_cast<HMODULE>(uintptr_t{0x4B460000})},
    {"TechniqueDoesNotValidate",
     [] { failFirst("ID3DXEffect::ValidateTechnique"); },
     {text::kEffectLoadFailed}},
    // The device refuses every pixel program: the effect is created, but cannot draw.
    {"PixelProgramsRefused",
     [] { hooks::failCall("IDirect3DDevice9::CreatePixelShader", 1, E_OUTOFMEMORY, true); },
     {text::kEffectLoadFailed}},
    {"DeclarationFails",
     [] { failFirst("IDirect3DDevice9::CreateVertexDeclaration"); },
     {text::kDeclarationFailed}},
};

class InitFails : public PluginTest, public ::testing::WithParamInterface<InitFailure> {};

TEST_P(InitFails, TellsWhyAndLeavesNothing) {
    const InitFailure& row = GetParam();
    row.arrange();
    EXPECT_EQ(init(row.instance), 0);
    EXPECT_EQ(g_context, nullptr);
    EXPECT_EQ(messageTexts(), row.messages);
    EXPECT_TRUE(messageBoxesWellFormed());
    EXPECT_EQ(hooks::liveObjects(), liveAtStart());
    // A failed FilterInit leaves what one never called leaves: a later one succeeds.
    startOver();
    EXPECT_EQ(init(), 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, InitFails, ::testing::ValuesIn(kInitFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// InitDevice itself, without FilterInit's teardown behind it: a failure has already released
// every Direct3D object; the record, and the worker once one was made, wait for the caller.
TEST_P(InitFails, InitDeviceAloneReleasesEveryDirect3DObject) {
    const InitFailure& row = GetParam();
    g_context = NewGpuContext();
    ASSERT_NE(g_context, nullptr);
    // With the record made here, the worker is the first nothrow allocation.
    if (std::string(row.name) == "WorkerAllocationFails")
        hooks::failNothrowAllocation(1);
    else
        row.arrange();
    EXPECT_FALSE(::InitDevice(kWindow, row.instance));
    EXPECT_EQ(hooks::liveObjects(), liveAtStart());
    EXPECT_EQ(ctx().d3d, nullptr);
    EXPECT_EQ(ctx().device, nullptr);
    EXPECT_EQ(ctx().effect, nullptr);
    EXPECT_EQ(ctx().quadDeclaration, nullptr);
    EXPECT_EQ(messageTexts(), row.messages);
    DestroyContext(std::exchange(g_context, nullptr));
}

using InitDevice = PluginTest;

// The device is created on the filter's window with FPU_PRESERVE among its behaviour flags, so
// that creating it leaves the host thread's floating-point unit as the host set it.
TEST_F(InitDevice, CreatesTheDeviceOnTheWindowPreservingTheFpu) {
    ASSERT_EQ(init(), 1);
    EXPECT_EQ(hooks::callCount("IDirect3D9::CreateDevice"), 1);
    D3DDEVICE_CREATION_PARAMETERS created{};
    ASSERT_EQ(ctx().device->GetCreationParameters(&created), D3D_OK);
    EXPECT_EQ(created.BehaviorFlags, 0x826u);
    EXPECT_EQ(created.hFocusWindow, kWindow);
    EXPECT_EQ(created.AdapterOrdinal, 0u);
    EXPECT_EQ(created.DeviceType, D3DDEVTYPE_HAL);

    // Ready: device, effect, handles, declaration and a running worker; no frame-size object.
    EXPECT_NE(ctx().d3d, nullptr);
    EXPECT_NE(ctx().effect, nullptr);
    EXPECT_NE(ctx().quadDeclaration, nullptr);
    for (D3DXHANDLE h : {ctx().hPixGain, ctx().hPixDist, ctx().hPosDist, ctx().hTechnique,
                         ctx().hTechniqueU, ctx().hTxRGB})
        EXPECT_NE(h, nullptr);
    ASSERT_NE(ctx().worker, nullptr);
    EXPECT_NE(ctx().worker->thread, nullptr);
    EXPECT_EQ(ctx().worker->jobFunc, &RenderJob);
    EXPECT_EQ(ctx().worker->jobArg, g_context);
    EXPECT_EQ(ctx().transferSurface, nullptr);
    EXPECT_EQ(ctx().sourceTexture, nullptr);
    EXPECT_EQ(ctx().quadBuffer, nullptr);
    EXPECT_EQ(ctx().passCount, 0);
    EXPECT_EQ(ctx().width, -1);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

TEST_F(InitDevice, PowerOfTwoWithConditionalSupportPasses) {
    profile(D3DPTEXTURECAPS_POW2 | D3DPTEXTURECAPS_NONPOW2CONDITIONAL, true, true);
    EXPECT_EQ(init(), 1);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

TEST_F(InitDevice, FormatProbeChoosesSignedWheneverItCan) {
    struct Row {
        bool signedOk, unsignedOk;
        int32_t format;
    };
    for (const Row& row : {Row{true, true, 0}, Row{false, true, 1}, Row{true, false, 0}}) {
        SCOPED_TRACE(::testing::Message()
                     << "signed " << row.signedOk << ", unsigned " << row.unsignedOk);
        startOver();
        profile(0, row.signedOk, row.unsignedOk);
        ASSERT_EQ(init(), 1);
        EXPECT_EQ(ctx().texelFormat, row.format);
        EXPECT_EQ(ctx().signedFormatSupported, row.signedOk);
        EXPECT_EQ(ctx().unsignedFormatSupported, row.unsignedOk);
        EXPECT_EQ(hooks::callCount("IDirect3D9::CheckDeviceFormat"), 2);
        EXPECT_TRUE(hooks::messageBoxes().empty());
        FilterExit(&record());
    }
}

// The check is on the technique the chosen texel format draws with: a device that can run only
// the unsigned technique's programs is fine for an unsigned-only device and refused otherwise.
TEST_F(InitDevice, ValidatesTheTechniqueOfTheChosenFormat) {
    auto refuseSignedPrograms = [] {
        // The signed technique's three programs are created first.
        for (int n = 1; n <= 3; ++n)
            hooks::failCall("IDirect3DDevice9::CreatePixelShader", n, E_OUTOFMEMORY);
    };
    profile(0, false, true);
    refuseSignedPrograms();
    ASSERT_EQ(init(), 1) << ::testing::PrintToString(messageTexts());
    EXPECT_EQ(hooks::callCount("ID3DXEffect::ValidateTechnique"), 1);
    // What this relies on: the signed technique is the one that cannot draw.
    EXPECT_TRUE(FAILED(ctx().effect->ValidateTechnique(ctx().hTechnique)));
    EXPECT_EQ(ctx().effect->ValidateTechnique(ctx().hTechniqueU), D3D_OK);
    FilterExit(&record());

    startOver();
    refuseSignedPrograms();
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(messageTexts(), Texts{text::kEffectLoadFailed});
}

// A resource the effect reader refuses: its message comes back in the error buffer, widened
// byte by byte, and is shown before the load failure.
TEST_F(InitDevice, DamagedEffectShowsTheErrorTextThenTheLoadFailure) {
    std::vector<uint8_t> damaged = builtEffectBytes();
    ASSERT_FALSE(damaged.empty());
    damaged.resize(damaged.size() / 2);
    const auto read = fx::readEffect(damaged);
    ASSERT_FALSE(read.ok());
    ASSERT_FALSE(read.error().empty());
    const KestrinResourceEntry table[] = {
        {10, 104, 0x0411, damaged.data(), static_cast<uint32_t>(damaged.size())},
        {0, 0, 0, nullptr, 0},
    };
    const HMODULE module = reinterpret_cast<HMODULE>(uintptr_t{0x4B470000});
    registerModuleResources(module, table);
    EXPECT_EQ(init(module), 0);
    registerModuleResources(module, nullptr);
    EXPECT_EQ(messageTexts(), (Texts{read.error(), text::kEffectLoadFailed}));
    EXPECT_TRUE(messageBoxesWellFormed());
    EXPECT_EQ(g_context, nullptr);
}

// An effect that lacks pixGain loads; its handle stays null and the track values skip it.
TEST_F(InitDevice, EffectWithoutPixGainLoadsWithANullHandle) {
    auto read = fx::readEffect(builtEffectBytes());
    ASSERT_TRUE(read.ok()) << read.error();
    fx::Effect effect = std::move(read).value();
    const auto gain = effect.findParameter("pixGain");
    ASSERT_TRUE(gain.has_value());
    effect.parameters.erase(effect.parameters.begin() + static_cast<std::ptrdiff_t>(*gain));
    const auto written = fx::writeEffect(effect);
    ASSERT_TRUE(written.ok()) << written.error();
    const std::vector<uint8_t>& bytes = written.value();
    const KestrinResourceEntry table[] = {
        {10, 104, 0x0411, bytes.data(), static_cast<uint32_t>(bytes.size())},
        {0, 0, 0, nullptr, 0},
    };
    const HMODULE module = reinterpret_cast<HMODULE>(uintptr_t{0x4B480000});
    registerModuleResources(module, table);
    const int32_t result = init(module);
    registerModuleResources(module, nullptr);
    ASSERT_EQ(result, 1) << ::testing::PrintToString(messageTexts());
    EXPECT_EQ(ctx().hPixGain, nullptr);
    EXPECT_NE(ctx().hPixDist, nullptr);
    EXPECT_NE(ctx().hPosDist, nullptr);
    EXPECT_NE(ctx().hTxRGB, nullptr);

    startOver();
    const int32_t tracks[5] = {128, 24, 64, 3, 0};
    EXPECT_TRUE(ApplyTrackValues(g_context, tracks));
    EXPECT_EQ(hooks::callCount("ID3DXEffect::SetFloat"), 2);
    EXPECT_EQ(ctx().passCount, 3);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

TEST_F(InitDevice, LoadEffectWithoutADeviceIsAnInvalidCall) {
    GpuContext* c = NewGpuContext();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(LoadEffect(c, kModule), D3DERR_INVALIDCALL);
    EXPECT_EQ(CheckDeviceCaps(c), D3DERR_INVALIDCALL);
    EXPECT_EQ(c->effect, nullptr);
    DestroyContext(c);
    EXPECT_TRUE(hooks::messageBoxes().empty());
    // FilterExit without a context only says yes.
    EXPECT_EQ(FilterExit(&record()), 1);
}

} // namespace
} // namespace kestrin::plugin_testing
