// The plug-in linked into the test program and called directly: a fixture that resets the test
// hooks, gives FilterInit a window and a module whose RCDATA 104 is the built effect, and at the
// end tears everything down and checks that every Direct3D object is gone again.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gpu/gpu_context.h"
#include "host/filter.h"
#include "platform/module_resources.h"
#include "platform/test_hooks.h"
#include "tests/common/message_texts.h"

extern "C" const KestrinResourceEntry kestrin_module_resources[];

namespace kestrin::plugin_testing {

namespace hooks = kestrin::platform::hooks;

using Texts = std::vector<std::string>;

namespace text = kestrin::test_support::text;

// Made-up handles: the filter's window, and the module the built effect is registered for.
inline HWND const kWindow = reinterpret_cast<HWND>(uintptr_t{0x5A10});
inline HMODULE const kModule = reinterpret_cast<HMODULE>(uintptr_t{0x4B450000});

// The built effect binary, as the module's resource table holds it.
std::vector<uint8_t> builtEffectBytes();

// A clean slate between the scenarios of one test: the hooks forget their plans and logs, and
// the filter forgets which failures it has already shown (so each scenario's boxes appear).
void startOver();

// The texts of every message box since the last hooks::reset(), in order.
Texts messageTexts();
// Every message box since the last hooks::reset() is the filter's one form: no owner window,
// caption "Kestrin", MB_SYSTEMMODAL | MB_ICONERROR.
::testing::AssertionResult messageBoxesWellFormed();

// A Windows-style wait with a deadline that fits a sanitizer build; true when signalled.
bool waitSignalled(HANDLE handle);
inline constexpr DWORD kWaitLimitMs = 60000;

// A host's runParallel with real threads: the kernel runs on parallelThreads() threads, each
// with its index and the count, and the call returns after all of them have.
int32_t RunOnThreads(ParallelKernel kernel, void* param1, void* param2);
void setParallelThreads(int count);
int parallelCalls(); // calls of RunOnThreads since the last setParallelThreads

// Test images: `pitch` pixels per row, the first `width` of each row filled from `seed`, the
// rest set to kGuard.
inline constexpr YcPixel kGuard{0x2A5A, -0x1357, 0x7531};
std::vector<YcPixel> makeImage(int32_t width, int32_t height, int32_t pitch, uint32_t seed);
bool samePixel(const YcPixel& a, const YcPixel& b);

// The fixture: clean hooks, the built effect registered for kModule, no context. TearDown calls
// FilterExit, forgets the registration, puts the test thread's priority back and checks that the
// live Direct3D objects are back where they started.
class PluginTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A filter record as the host fills it for FilterInit: the window and the module.
    FilterTable& record(HMODULE instance = kModule);
    int32_t init(HMODULE instance = kModule);
    // FilterInit must succeed, then the frame-size objects are built for width x height.
    void initAndBuild(int32_t width, int32_t height, int32_t pitch);
    // The default track values applied (passes as given).
    void applyTracks(int32_t passes = 1);

    GpuContext& ctx() { return *g_context; }
    int liveAtStart() const { return liveAtStart_; }

  private:
    FilterTable record_{};
    int liveAtStart_ = 0;
};

// A fixture that starts from a built context of 16 x 12 pixels (rows 20 apart), default tracks.
class BuiltTest : public PluginTest {
  protected:
    static constexpr int32_t kWidth = 16, kHeight = 12, kPitch = 20;
    void SetUp() override;
};

} // namespace kestrin::plugin_testing
