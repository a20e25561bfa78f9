// Locks (pitches, rectangles, flags, which resources may be locked) and the two copies between
// system memory and the device.
#include <cstring>

#include "tests/platform_d3d9/d3d9_fixture.h"

namespace kestrin::platform::d3d9::test {
namespace {

using LockTest = D3D9Test;
using CopyTest = D3D9Test;

TEST_F(LockTest, PitchesArePaddedAndRowsKeepTheirPlace) {
    for (UINT width : {1u, 15u, 16u, 640u, 641u}) {
        Ref<IDirect3DSurface9> surface = makeSurface(width, 3, kSigned);
        D3DLOCKED_RECT locked;
        ASSERT_EQ(surface->LockRect(&locked, nullptr, 0), D3D_OK);
        EXPECT_GE(static_cast<UINT>(locked.Pitch), width * 8) << width;
        EXPECT_NE(static_cast<UINT>(locked.Pitch), width * 8) << width;
        EXPECT_EQ(locked.Pitch % 64, 0) << width;
        ASSERT_EQ(surface->UnlockRect(), D3D_OK);
    }
    // What a row holds comes back in the same row, wherever the padding is.
    const model::TexelImage image = randomImage(19, 7, 3);
    Ref<IDirect3DSurface9> surface = makeSurface(19, 7, kUnsigned);
    writeSurface(surface.get(), image);
    EXPECT_EQ(readSurface(surface.get()).texels, image.texels);
}

TEST_F(LockTest, RectanglesFlagsAndDoubleLocks) {
    Ref<IDirect3DSurface9> surface = makeSurface(10, 6, kSigned);
    D3DLOCKED_RECT whole, part;
    ASSERT_EQ(surface->LockRect(&whole, nullptr, D3DLOCK_NOSYSLOCK | D3DLOCK_DISCARD), D3D_OK);
    observe::LockInfo info;
    ASSERT_TRUE(observe::surfaceLocks(surface.get(), 0, &info));
    EXPECT_TRUE(info.locked);
    EXPECT_EQ(info.lastFlags, DWORD{0x2800});
    EXPECT_TRUE(info.lastWhole);

    EXPECT_EQ(surface->LockRect(&part, nullptr, 0), D3DERR_INVALIDCALL); // already locked
    EXPECT_EQ(part.pBits, nullptr);
    ASSERT_EQ(surface->UnlockRect(), D3D_OK);
    EXPECT_EQ(surface->UnlockRect(), D3DERR_INVALIDCALL); // not locked

    const RECT rect{3, 2, 7, 5};
    ASSERT_EQ(surface->LockRect(&part, &rect, D3DLOCK_NOSYSLOCK | D3DLOCK_READONLY), D3D_OK);
    EXPECT_EQ(part.Pitch, whole.Pitch);
    EXPECT_EQ(static_cast<uint8_t*>(part.pBits),
              static_cast<uint8_t*>(whole.pBits) + 2 * whole.Pitch + 3 * 8);
    ASSERT_TRUE(observe::surfaceLocks(surface.get(), 0, &info));
    EXPECT_EQ(info.lastFlags, DWORD{0x810});
    EXPECT_FALSE(info.lastWhole);
    EXPECT_EQ(info.lastRect.right, 7);
    EXPECT_EQ(info.lockCount, 2u);
    ASSERT_EQ(surface->UnlockRect(), D3D_OK);

    for (const RECT& bad : {RECT{3, 2, 3, 5}, RECT{-1, 0, 2, 2}, RECT{0, 0, 11, 6},
                            RECT{0, 4, 10, 7}, RECT{5, 5, 4, 6}}) {
        EXPECT_EQ(surface->LockRect(&part, &bad, 0), D3DERR_INVALIDCALL);
    }
    EXPECT_EQ(surface->LockRect(nullptr, nullptr, 0), D3DERR_INVALIDCALL);
}

TEST_F(LockTest, WhichResourcesMayBeLocked) {
    D3DLOCKED_RECT locked;
    Ref<IDirect3DTexture9> plain = makeTexture(4, 4, 0, kSigned);
    Ref<IDirect3DTexture9> target = makeTexture(4, 4, D3DUSAGE_RENDERTARGET, kSigned);
    for (IDirect3DTexture9* t : {plain.get(), target.get()}) {
        EXPECT_EQ(t->LockRect(0, &locked, nullptr, 0), D3DERR_INVALIDCALL);
        EXPECT_EQ(levelOf(t)->LockRect(&locked, nullptr, 0), D3DERR_INVALIDCALL);
    }
    Ref<IDirect3DTexture9> dynamic = makeTexture(4, 4, D3DUSAGE_DYNAMIC, kSigned);
    Ref<IDirect3DTexture9> system = makeTexture(4, 4, 0, kSigned, D3DPOOL_SYSTEMMEM);
    for (IDirect3DTexture9* t : {dynamic.get(), system.get()}) {
        ASSERT_EQ(t->LockRect(0, &locked, nullptr, D3DLOCK_DISCARD), D3D_OK);
        // The texture's lock is its level's.
        EXPECT_EQ(levelOf(t)->LockRect(&locked, nullptr, 0), D3DERR_INVALIDCALL);
        EXPECT_EQ(t->UnlockRect(0), D3D_OK);
        EXPECT_EQ(t->UnlockRect(0), D3DERR_INVALIDCALL);
        EXPECT_EQ(t->LockRect(1, &locked, nullptr, 0), D3DERR_INVALIDCALL); // no such level
    }
    // Offscreen plain surfaces lock in either pool.
    Ref<IDirect3DSurface9> video = makeSurface(4, 4, kSigned, D3DPOOL_DEFAULT);
    ASSERT_EQ(video->LockRect(&locked, nullptr, 0), D3D_OK);
    EXPECT_EQ(video->UnlockRect(), D3D_OK);
}

TEST_F(LockTest, VertexBufferLocks) {
    Ref<IDirect3DVertexBuffer9> buffer;
    ASSERT_EQ(device_->CreateVertexBuffer(96, D3DUSAGE_WRITEONLY, 0, D3DPOOL_DEFAULT, buffer.put(),
                                          nullptr),
              D3D_OK);
    void* whole = nullptr;
    void* part = nullptr;
    ASSERT_EQ(buffer->Lock(0, 0, &whole, D3DLOCK_NOSYSLOCK), D3D_OK);
    ASSERT_EQ(buffer->Lock(24, 48, &part, 0), D3D_OK); // locks nest
    EXPECT_EQ(static_cast<uint8_t*>(part), static_cast<uint8_t*>(whole) + 24);
    observe::LockInfo info;
    ASSERT_TRUE(observe::bufferLocks(buffer.get(), &info));
    EXPECT_EQ(info.lockCount, 2u);
    EXPECT_EQ(buffer->Unlock(), D3D_OK);
    EXPECT_EQ(buffer->Unlock(), D3D_OK);
    EXPECT_EQ(buffer->Unlock(), D3DERR_INVALIDCALL);
    EXPECT_EQ(buffer->Lock(97, 0, &part, 0), D3DERR_INVALIDCALL);
    EXPECT_EQ(part, nullptr);
    EXPECT_EQ(buffer->Lock(90, 7, &part, 0), D3DERR_INVALIDCALL);
    EXPECT_EQ(buffer->Lock(0, 0, nullptr, 0), D3DERR_INVALIDCALL);
    D3DVERTEXBUFFER_DESC desc;
    ASSERT_EQ(buffer->GetDesc(&desc), D3D_OK);
    EXPECT_EQ(desc.Size, 96u);
    EXPECT_EQ(desc.Pool, D3DPOOL_DEFAULT);
}

TEST_F(CopyTest, RoundTripIsExact) {
    for (D3DFORMAT format : {kSigned, kUnsigned}) {
        const model::TexelImage image = randomImage(37, 11, format);
        Ref<IDirect3DTexture9> target = makeTexture(37, 11, D3DUSAGE_RENDERTARGET, format);
        upload(target.get(), image, format);
        EXPECT_EQ(download(target.get(), format).texels, image.texels);
    }
}

TEST_F(CopyTest, UpdateSurfaceRectangleAndPoint) {
    Ref<IDirect3DTexture9> target = makeTexture(8, 6, D3DUSAGE_RENDERTARGET, kUnsigned);
    const model::TexelImage zeros(8, 6);
    upload(target.get(), zeros, kUnsigned);
    const model::TexelImage source = randomImage(5, 5, 11);
    Ref<IDirect3DSurface9> staging = makeSurface(5, 5, kUnsigned);
    writeSurface(staging.get(), source);
    const RECT rect{1, 2, 4, 5}; // 3 x 3
    const POINT at{5, 3};
    ASSERT_EQ(device_->UpdateSurface(staging.get(), &rect, levelOf(target.get()).get(), &at),
              D3D_OK);
    const model::TexelImage result = download(target.get(), kUnsigned);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) {
            const bool inside = x >= 5 && y >= 3;
            const model::Texel expected =
                inside ? source.at(x - 5 + 1, y - 3 + 2) : model::Texel{0, 0, 0, 0};
            EXPECT_EQ(result.at(x, y), expected) << x << "," << y;
        }
}

TEST_F(CopyTest, UpdateSurfaceRefusals) {
    Ref<IDirect3DSurface9> system = makeSurface(8, 8, kSigned);
    Ref<IDirect3DSurface9> systemOther = makeSurface(8, 8, kUnsigned);
    Ref<IDirect3DSurface9> video = makeSurface(8, 8, kSigned, D3DPOOL_DEFAULT);
    Ref<IDirect3DTexture9> texture = makeTexture(8, 8, 0, kSigned);
    Ref<IDirect3DSurface9> level = levelOf(texture.get());
    EXPECT_EQ(device_->UpdateSurface(system.get(), nullptr, level.get(), nullptr), D3D_OK);
    EXPECT_EQ(device_->UpdateSurface(system.get(), nullptr, video.get(), nullptr), D3D_OK);

    EXPECT_EQ(device_->UpdateSurface(video.get(), nullptr, level.get(), nullptr),
              D3DERR_INVALIDCALL); // source not in system memory
    EXPECT_EQ(device_->UpdateSurface(system.get(), nullptr, systemOther.get(), nullptr),
              D3DERR_INVALIDCALL); // destination not in the default pool
    EXPECT_EQ(device_->UpdateSurface(systemOther.get(), nullptr, level.get(), nullptr),
              D3DERR_INVALIDCALL); // formats differ
    EXPECT_EQ(device_->UpdateSurface(nullptr, nullptr, level.get(), nullptr), D3DERR_INVALIDCALL);
    const RECT outside{0, 0, 9, 8};
    EXPECT_EQ(device_->UpdateSurface(system.get(), &outside, level.get(), nullptr),
              D3DERR_INVALIDCALL);
    const RECT empty{2, 2, 2, 4};
    EXPECT_EQ(device_->UpdateSurface(system.get(), &empty, level.get(), nullptr),
              D3DERR_INVALIDCALL);
    const RECT small{0, 0, 4, 4};
    const POINT tooFar{5, 0};
    EXPECT_EQ(device_->UpdateSurface(system.get(), &small, level.get(), &tooFar),
              D3DERR_INVALIDCALL);
    const POINT negative{-1, 0};
    EXPECT_EQ(device_->UpdateSurface(system.get(), &small, level.get(), &negative),
              D3DERR_INVALIDCALL);
    D3DLOCKED_RECT locked;
    ASSERT_EQ(system->LockRect(&locked, nullptr, 0), D3D_OK);
    EXPECT_EQ(device_->UpdateSurface(system.get(), nullptr, level.get(), nullptr),
              D3DERR_INVALIDCALL); // source locked
    ASSERT_EQ(system->UnlockRect(), D3D_OK);
}

TEST_F(CopyTest, GetRenderTargetDataRefusals) {
    Ref<IDirect3DTexture9> target = makeTexture(8, 8, D3DUSAGE_RENDERTARGET, kSigned);
    Ref<IDirect3DTexture9> plain = makeTexture(8, 8, 0, kSigned);
    Ref<IDirect3DSurface9> rt = levelOf(target.get());
    Ref<IDirect3DSurface9> system = makeSurface(8, 8, kSigned);
    EXPECT_EQ(device_->GetRenderTargetData(rt.get(), system.get()), D3D_OK);

    EXPECT_EQ(device_->GetRenderTargetData(levelOf(plain.get()).get(), system.get()),
              D3DERR_INVALIDCALL); // not a render target
    EXPECT_EQ(device_->GetRenderTargetData(rt.get(), makeSurface(8, 7, kSigned).get()),
              D3DERR_INVALIDCALL); // sizes differ
    EXPECT_EQ(device_->GetRenderTargetData(rt.get(), makeSurface(8, 8, kUnsigned).get()),
              D3DERR_INVALIDCALL); // formats differ
    EXPECT_EQ(
        device_->GetRenderTargetData(rt.get(), makeSurface(8, 8, kSigned, D3DPOOL_DEFAULT).get()),
        D3DERR_INVALIDCALL); // destination not in system memory
    EXPECT_EQ(device_->GetRenderTargetData(rt.get(), nullptr), D3DERR_INVALIDCALL);
    D3DLOCKED_RECT locked;
    ASSERT_EQ(system->LockRect(&locked, nullptr, 0), D3D_OK);
    EXPECT_EQ(device_->GetRenderTargetData(rt.get(), system.get()), D3DERR_INVALIDCALL);
    ASSERT_EQ(system->UnlockRect(), D3D_OK);
}

} // namespace
} // namespace kestrin::platform::d3d9::test
