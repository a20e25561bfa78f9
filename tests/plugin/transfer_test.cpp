// Whole frames between host pixels and the transfer surface: both encodings, serial and on real
// threads, the rows that must not be touched, and a surface that cannot be had.
#include <array>
#include <cstring>
#include <utility>

#include "gpu/frame_resources.h"
#include "host/frame_pipeline.h"
#include "platform/d3d9/observe.h"
#include "tests/plugin/plugin_fixture.h"
#include "transfer/transfer.h"

namespace kestrin::plugin_testing {
namespace {

namespace observe = kestrin::platform::d3d9::observe;

using Texel = std::array<uint16_t, 4>;

// Every texel of the transfer surface's frame rectangle, rows packed.
std::vector<Texel> surfaceTexels(GpuContext& c) {
    std::vector<Texel> texels;
    D3DLOCKED_RECT locked{};
    EXPECT_EQ(c.transferSurface->LockRect(&locked, nullptr, D3DLOCK_READONLY), D3D_OK);
    if (!locked.pBits) return texels;
    for (int32_t y = 0; y < c.height; ++y) {
        const auto* row = static_cast<const uint8_t*>(locked.pBits) + y * locked.Pitch;
        for (int32_t x = 0; x < c.width; ++x) {
            Texel t;
            std::memcpy(t.data(), row + 8 * x, 8);
            texels.push_back(t);
        }
    }
    c.transferSurface->UnlockRect();
    return texels;
}

// What the upload must have written for `image`: Y, Cb, Cr in channels 0..2, and channel 3
// zero (0x8000 when biased).
::testing::AssertionResult encodes(const std::vector<Texel>& texels,
                                   const std::vector<YcPixel>& image, int32_t width, int32_t height,
                                   int32_t pitch, bool biased) {
    const uint16_t flip = biased ? 0x8000 : 0;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const YcPixel& p = image[static_cast<size_t>(y) * pitch + x];
            const Texel& t = texels[static_cast<size_t>(y) * width + x];
            const uint16_t want[3] = {static_cast<uint16_t>(static_cast<uint16_t>(p.y) ^ flip),
                                      static_cast<uint16_t>(static_cast<uint16_t>(p.cb) ^ flip),
                                      static_cast<uint16_t>(static_cast<uint16_t>(p.cr) ^ flip)};
            if (t[3] != flip)
                return ::testing::AssertionFailure()
                       << "texel (" << x << ", " << y << ") channel 3 holds " << t[3];
            for (int ch = 0; ch < 3; ++ch)
                if (t[ch] != want[ch])
                    return ::testing::AssertionFailure()
                           << "texel (" << x << ", " << y << ") channel " << ch << " holds "
                           << t[ch] << ", expected " << want[ch];
        }
    return ::testing::AssertionSuccess();
}

// The frame rectangle of `output` equals that of `image`; every other pixel holds kGuard.
::testing::AssertionResult downloaded(const std::vector<YcPixel>& output,
                                      const std::vector<YcPixel>& image, int32_t width,
                                      int32_t pitch) {
    for (size_t i = 0; i < output.size(); ++i) {
        const bool inFrame = static_cast<int32_t>(i % static_cast<size_t>(pitch)) < width;
        const YcPixel& want = inFrame ? image[i] : kGuard;
        if (!samePixel(output[i], want))
            return ::testing::AssertionFailure()
                   << "pixel " << i % pitch << ", row " << i / pitch
                   << (inFrame ? " differs" : " outside the frame was written");
    }
    return ::testing::AssertionSuccess();
}

class Transfer : public PluginTest, public ::testing::WithParamInterface<bool> {
  protected:
    // Built for width x height (rows `pitch` apart) in the parameter's encoding.
    void build(int32_t width, int32_t height, int32_t pitch) {
        hooks::DeviceProfile profile;
        profile.signedFormat = !biased();
        hooks::setDeviceProfile(profile);
        ASSERT_NO_FATAL_FAILURE(initAndBuild(width, height, pitch));
        ASSERT_EQ(ctx().texelFormat, biased() ? 1 : 0);
        startOver();
    }
    bool biased() const { return GetParam(); }
};

TEST_P(Transfer, SerialAndThreadedAgreeAndLeaveTheRowEndsAlone) {
    constexpr int32_t w = 37, h = 23, pitch = 41;
    ASSERT_NO_FATAL_FAILURE(build(w, h, pitch));
    const std::vector<YcPixel> image = makeImage(w, h, pitch, 11);

    g_nextRow = 77;
    ASSERT_EQ(UploadFrame(g_context, ctx().transferSurface, image.data(), nullptr), D3D_OK);
    EXPECT_EQ(g_nextRow, 77); // the serial kernel claims nothing
    const std::vector<Texel> serial = surfaceTexels(ctx());
    EXPECT_TRUE(encodes(serial, image, w, h, pitch, biased()));
    std::vector<YcPixel> serialOut(image.size(), kGuard);
    ASSERT_EQ(DownloadFrame(g_context, serialOut.data(), ctx().transferSurface, nullptr), D3D_OK);
    EXPECT_TRUE(downloaded(serialOut, image, w, pitch));

    for (int threads : {2, 3, 8}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        // Different pixels first, so that a row the threads miss shows.
        const std::vector<YcPixel> other = makeImage(w, h, pitch, 12);
        ASSERT_EQ(UploadFrame(g_context, ctx().transferSurface, other.data(), nullptr), D3D_OK);
        setParallelThreads(threads);
        ASSERT_EQ(UploadFrame(g_context, ctx().transferSurface, image.data(), RunOnThreads),
                  D3D_OK);
        EXPECT_EQ(parallelCalls(), 1);
        // Every thread makes one claim past the end.
        EXPECT_EQ(g_nextRow, h + threads);
        const std::vector<Texel> parallel = surfaceTexels(ctx());
        EXPECT_TRUE(encodes(parallel, image, w, h, pitch, biased()));
        std::vector<YcPixel> out(image.size(), kGuard);
        ASSERT_EQ(DownloadFrame(g_context, out.data(), ctx().transferSurface, RunOnThreads),
                  D3D_OK);
        EXPECT_EQ(parallelCalls(), 2);
        EXPECT_TRUE(downloaded(out, image, w, pitch));
        EXPECT_EQ(std::memcmp(out.data(), serialOut.data(), out.size() * sizeof(YcPixel)), 0);
    }
}

// The kernels move pixels two at a time with whole words and the row's last pixel on its own:
// narrow rows of every parity come out exact, and nothing is read or written past a row, even
// with the host image ending at the last pixel (ASan sees any overrun of the vectors).
TEST_P(Transfer, NarrowRowsOfEveryWidth) {
    ASSERT_NO_FATAL_FAILURE(build(1, 1, 1));
    for (int32_t w = 1; w <= 6; ++w) {
        for (int32_t pitch : {w, w + 1}) {
            SCOPED_TRACE("width " + std::to_string(w) + ", pitch " + std::to_string(pitch));
            constexpr int32_t h = 3;
            ASSERT_TRUE(RebuildFrameResources(w, h, pitch));
            const std::vector<YcPixel> image = makeImage(w, h, pitch, 40 + w);
            ASSERT_EQ(image.size(), static_cast<size_t>(pitch) * h);
            ASSERT_EQ(UploadFrame(g_context, ctx().transferSurface, image.data(), nullptr), D3D_OK);
            EXPECT_TRUE(encodes(surfaceTexels(ctx()), image, w, h, pitch, biased()));
            std::vector<YcPixel> out(image.size(), kGuard);
            ASSERT_EQ(DownloadFrame(g_context, out.data(), ctx().transferSurface, nullptr), D3D_OK);
            EXPECT_TRUE(downloaded(out, image, w, pitch));
        }
    }
}

// Every 16-bit value makes the round trip unchanged in both encodings.
TEST_P(Transfer, EveryValueRoundTrips) {
    constexpr int32_t side = 256;
    ASSERT_NO_FATAL_FAILURE(build(side, side, side));
    std::vector<YcPixel> image(side * side);
    for (int i = 0; i < side * side; ++i) {
        const auto v = static_cast<int16_t>(i - 32768);
        image[static_cast<size_t>(i)] = {v, static_cast<int16_t>(~v),
                                         static_cast<int16_t>(v ^ 0x5A5A)};
    }
    for (RunParallelFn run : {static_cast<RunParallelFn>(nullptr), &RunOnThreads}) {
        SCOPED_TRACE(run ? "threads" : "serial");
        setParallelThreads(4);
        ASSERT_EQ(UploadFrame(g_context, ctx().transferSurface, image.data(), run), D3D_OK);
        const std::vector<Texel> texels = surfaceTexels(ctx());
        EXPECT_TRUE(encodes(texels, image, side, side, side, biased()));
        if (biased()) {
            // Y of 0, -1 and -32768 sit at 32768, 32767 and 0 in the image.
            EXPECT_EQ(texels[32768][0], 0x8000);
            EXPECT_EQ(texels[32767][0], 0x7FFF);
            EXPECT_EQ(texels[0][0], 0x0000);
        }
        std::vector<YcPixel> out(image.size(), kGuard);
        ASSERT_EQ(DownloadFrame(g_context, out.data(), ctx().transferSurface, run), D3D_OK);
        EXPECT_TRUE(downloaded(out, image, side, side));
    }
}

// More threads than rows: the surplus threads find nothing left and return at once.
TEST_P(Transfer, MoreThreadsThanRows) {
    constexpr int32_t w = 5, h = 3, pitch = 6;
    ASSERT_NO_FATAL_FAILURE(build(w, h, pitch));
    const std::vector<YcPixel> image = makeImage(w, h, pitch, 9);
    setParallelThreads(8);
    ASSERT_EQ(UploadFrame(g_context, ctx().transferSurface, image.data(), RunOnThreads), D3D_OK);
    EXPECT_EQ(g_nextRow, h + 8);
    EXPECT_TRUE(encodes(surfaceTexels(ctx()), image, w, h, pitch, biased()));
    std::vector<YcPixel> out(image.size(), kGuard);
    ASSERT_EQ(DownloadFrame(g_context, out.data(), ctx().transferSurface, RunOnThreads), D3D_OK);
    EXPECT_EQ(g_nextRow, h + 8);
    EXPECT_TRUE(downloaded(out, image, w, pitch));
}

// No rows: nothing is copied, but the surface is still locked and unlocked.
TEST_P(Transfer, NoRowsCopiesNothingButLocks) {
    constexpr int32_t w = 8, h = 4;
    ASSERT_NO_FATAL_FAILURE(build(w, h, w));
    const std::vector<YcPixel> first = makeImage(w, h, w, 1);
    ASSERT_EQ(UploadFrame(g_context, ctx().transferSurface, first.data(), nullptr), D3D_OK);
    const std::vector<Texel> before = surfaceTexels(ctx());
    const std::vector<YcPixel> second = makeImage(w, h, w, 2);
    for (RunParallelFn run : {static_cast<RunParallelFn>(nullptr), &RunOnThreads}) {
        SCOPED_TRACE(run ? "threads" : "serial");
        setParallelThreads(3);
        observe::LockInfo locks;
        ASSERT_TRUE(observe::surfaceLocks(ctx().transferSurface, 0, &locks));
        const unsigned lockCount = locks.lockCount;
        ctx().height = 0;
        EXPECT_EQ(UploadFrame(g_context, ctx().transferSurface, second.data(), run), D3D_OK);
        std::vector<YcPixel> out(first.size(), kGuard);
        EXPECT_EQ(DownloadFrame(g_context, out.data(), ctx().transferSurface, run), D3D_OK);
        ctx().height = h;
        if (run) {
            EXPECT_EQ(g_nextRow, 3);
        }
        ASSERT_TRUE(observe::surfaceLocks(ctx().transferSurface, 0, &locks));
        EXPECT_EQ(locks.lockCount, lockCount + 2);
        EXPECT_FALSE(locks.locked);
        EXPECT_EQ(surfaceTexels(ctx()), before);
        for (const YcPixel& p : out) EXPECT_TRUE(samePixel(p, kGuard));
    }
}

TEST_P(Transfer, LocksTheWholeSurfaceWithTheDirectionsFlags) {
    ASSERT_NO_FATAL_FAILURE(build(8, 4, 8));
    const std::vector<YcPixel> image = makeImage(8, 4, 8, 5);
    observe::LockInfo locks;
    ASSERT_EQ(UploadFrame(g_context, ctx().transferSurface, image.data(), nullptr), D3D_OK);
    ASSERT_TRUE(observe::surfaceLocks(ctx().transferSurface, 0, &locks));
    EXPECT_EQ(locks.lastFlags, 0x2800u);
    EXPECT_TRUE(locks.lastWhole);
    std::vector<YcPixel> out(image.size());
    ASSERT_EQ(DownloadFrame(g_context, out.data(), ctx().transferSurface, nullptr), D3D_OK);
    ASSERT_TRUE(observe::surfaceLocks(ctx().transferSurface, 0, &locks));
    EXPECT_EQ(locks.lastFlags, 0x810u);
    EXPECT_TRUE(locks.lastWhole);
    EXPECT_FALSE(locks.locked);
}

// A refused lock returns its code unchanged; nothing runs and nothing stays locked.
TEST_P(Transfer, RefusedLockReturnsItsCodeAndRunsNothing) {
    ASSERT_NO_FATAL_FAILURE(build(8, 4, 8));
    const std::vector<YcPixel> image = makeImage(8, 4, 8, 5);
    std::vector<YcPixel> out(image.size(), kGuard);
    for (HRESULT code : {E_FAIL, D3DERR_WASSTILLDRAWING, D3DERR_INVALIDCALL}) {
        startOver();
        setParallelThreads(2);
        hooks::failCall("IDirect3DSurface9::LockRect", 1, code);
        hooks::failCall("IDirect3DSurface9::LockRect", 2, code);
        EXPECT_EQ(UploadFrame(g_context, ctx().transferSurface, image.data(), RunOnThreads), code);
        EXPECT_EQ(DownloadFrame(g_context, out.data(), ctx().transferSurface, RunOnThreads), code);
        EXPECT_EQ(parallelCalls(), 0);
        EXPECT_EQ(hooks::callCount("IDirect3DSurface9::UnlockRect"), 0);
        observe::LockInfo locks;
        ASSERT_TRUE(observe::surfaceLocks(ctx().transferSurface, 0, &locks));
        EXPECT_FALSE(locks.locked);
    }
    for (const YcPixel& p : out) EXPECT_TRUE(samePixel(p, kGuard));
}

TEST_P(Transfer, MissingDeviceOrSurfaceIsAnInvalidCall) {
    ASSERT_NO_FATAL_FAILURE(build(8, 4, 8));
    const std::vector<YcPixel> image = makeImage(8, 4, 8, 5);
    std::vector<YcPixel> out(image.size(), kGuard);
    setParallelThreads(2);
    EXPECT_EQ(UploadFrame(g_context, nullptr, image.data(), RunOnThreads), D3DERR_INVALIDCALL);
    EXPECT_EQ(DownloadFrame(g_context, out.data(), nullptr, RunOnThreads), D3DERR_INVALIDCALL);
    IDirect3DDevice9* device = std::exchange(ctx().device, nullptr);
    EXPECT_EQ(UploadFrame(g_context, ctx().transferSurface, image.data(), RunOnThreads),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(DownloadFrame(g_context, out.data(), ctx().transferSurface, RunOnThreads),
              D3DERR_INVALIDCALL);
    ctx().device = device;
    EXPECT_EQ(parallelCalls(), 0);
    EXPECT_EQ(hooks::callCount("IDirect3DSurface9::LockRect"), 0);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

INSTANTIATE_TEST_SUITE_P(Encodings, Transfer, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Biased" : "Plain"; });

} // namespace
} // namespace kestrin::plugin_testing
