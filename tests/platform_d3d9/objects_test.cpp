// Creating objects: what each creation call refuses, reference counts as Direct3D 9 keeps them,
// interface queries, and foreign pointers.
#include <thread>

#include "tests/platform_d3d9/d3d9_fixture.h"

namespace kestrin::platform::d3d9::test {
namespace {

using ObjectsTest = D3D9Test;

template <class T> T* junk() {
    return reinterpret_cast<T*>(uintptr_t{0xDEADBEEF});
}

// The device's public count, read by AddRef + Release.
ULONG refs(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

TEST_F(ObjectsTest, CreateTextureRefusals) {
    struct Case {
        const char* what;
        UINT width, height, levels;
        DWORD usage;
        D3DFORMAT format;
        D3DPOOL pool;
    };
    const Case cases[] = {
        {"zero width", 0, 4, 1, 0, kSigned, D3DPOOL_DEFAULT},
        {"too high", 4, 8193, 1, 0, kSigned, D3DPOOL_DEFAULT},
        {"8-bit format", 4, 4, 1, 0, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT},
        {"float format", 4, 4, 1, 0, D3DFMT_A16B16G16R16F, D3DPOOL_DEFAULT},
        {"managed pool", 4, 4, 1, 0, kUnsigned, D3DPOOL_MANAGED},
        {"scratch pool", 4, 4, 1, 0, kUnsigned, D3DPOOL_SCRATCH},
        {"depth usage", 4, 4, 1, D3DUSAGE_DEPTHSTENCIL, kUnsigned, D3DPOOL_DEFAULT},
        {"render target in system memory", 4, 4, 1, D3DUSAGE_RENDERTARGET, kUnsigned,
         D3DPOOL_SYSTEMMEM},
        {"dynamic render target", 4, 4, 1, D3DUSAGE_RENDERTARGET | D3DUSAGE_DYNAMIC, kUnsigned,
         D3DPOOL_DEFAULT},
        {"more levels than the chain", 4, 4, 4, 0, kSigned, D3DPOOL_DEFAULT},
    };
    for (const Case& c : cases) {
        IDirect3DTexture9* t = junk<IDirect3DTexture9>();
        EXPECT_EQ(device_->CreateTexture(c.width, c.height, c.levels, c.usage, c.format, c.pool, &t,
                                         nullptr),
                  D3DERR_INVALIDCALL)
            << c.what;
        EXPECT_EQ(t, nullptr) << c.what;
    }
    HANDLE shared = nullptr;
    IDirect3DTexture9* t = nullptr;
    EXPECT_EQ(device_->CreateTexture(4, 4, 1, 0, kSigned, D3DPOOL_DEFAULT, &t, &shared),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->CreateTexture(4, 4, 1, 0, kSigned, D3DPOOL_DEFAULT, nullptr, nullptr),
              D3DERR_INVALIDCALL);
    // Level count 0 is the full chain.
    Ref<IDirect3DTexture9> chain;
    ASSERT_EQ(device_->CreateTexture(8, 3, 0, 0, kSigned, D3DPOOL_DEFAULT, chain.put(), nullptr),
              D3D_OK);
    EXPECT_EQ(chain->GetLevelCount(), 4u);
    D3DSURFACE_DESC desc;
    ASSERT_EQ(chain->GetLevelDesc(3, &desc), D3D_OK);
    EXPECT_EQ(desc.Width, 1u);
    EXPECT_EQ(desc.Height, 1u);
}

TEST_F(ObjectsTest, TextureCreationFollowsTheDeviceProfile) {
    hooks::DeviceProfile profile;
    profile.signedFormat = false;
    profile.textureCaps = D3DPTEXTURECAPS_POW2 | D3DPTEXTURECAPS_SQUAREONLY;
    hooks::setDeviceProfile(profile);
    Ref<IDirect3DTexture9> t;
    EXPECT_EQ(device_->CreateTexture(8, 8, 1, D3DUSAGE_RENDERTARGET, kSigned, D3DPOOL_DEFAULT,
                                     t.put(), nullptr),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->CreateTexture(8, 8, 1, D3DUSAGE_RENDERTARGET, kUnsigned, D3DPOOL_DEFAULT,
                                     t.put(), nullptr),
              D3D_OK);
    EXPECT_EQ(device_->CreateTexture(8, 4, 1, 0, kUnsigned, D3DPOOL_DEFAULT, t.put(), nullptr),
              D3DERR_INVALIDCALL); // not square
    EXPECT_EQ(device_->CreateTexture(6, 6, 1, 0, kUnsigned, D3DPOOL_DEFAULT, t.put(), nullptr),
              D3DERR_INVALIDCALL); // not a power of two
    profile.textureCaps = D3DPTEXTURECAPS_POW2 | D3DPTEXTURECAPS_NONPOW2CONDITIONAL;
    hooks::setDeviceProfile(profile);
    EXPECT_EQ(device_->CreateTexture(6, 5, 1, 0, kUnsigned, D3DPOOL_DEFAULT, t.put(), nullptr),
              D3D_OK);
}

TEST_F(ObjectsTest, OtherCreationRefusals) {
    IDirect3DSurface9* s = junk<IDirect3DSurface9>();
    EXPECT_EQ(device_->CreateOffscreenPlainSurface(0, 4, kSigned, D3DPOOL_SYSTEMMEM, &s, nullptr),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(
        device_->CreateOffscreenPlainSurface(4, 4, D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, &s, nullptr),
        D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->CreateOffscreenPlainSurface(4, 4, kSigned, D3DPOOL_MANAGED, &s, nullptr),
              D3DERR_INVALIDCALL);

    IDirect3DVertexBuffer9* b = junk<IDirect3DVertexBuffer9>();
    EXPECT_EQ(device_->CreateVertexBuffer(0, 0, 0, D3DPOOL_DEFAULT, &b, nullptr),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(
        device_->CreateVertexBuffer(96, D3DUSAGE_RENDERTARGET, 0, D3DPOOL_DEFAULT, &b, nullptr),
        D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->CreateVertexBuffer(96, 0, 0, D3DPOOL_MANAGED, &b, nullptr),
              D3DERR_INVALIDCALL);

    const D3DVERTEXELEMENT9 badType[] = {{0, 0, 17, 0, D3DDECLUSAGE_POSITIONT, 0}, D3DDECL_END()};
    const D3DVERTEXELEMENT9 oddOffset[] = {{0, 2, D3DDECLTYPE_FLOAT4, 0, D3DDECLUSAGE_POSITIONT, 0},
                                           D3DDECL_END()};
    const D3DVERTEXELEMENT9 twice[] = {{0, 0, D3DDECLTYPE_FLOAT2, 0, D3DDECLUSAGE_TEXCOORD, 0},
                                       {0, 8, D3DDECLTYPE_FLOAT2, 0, D3DDECLUSAGE_TEXCOORD, 0},
                                       D3DDECL_END()};
    const D3DVERTEXELEMENT9 badStream[] = {
        {16, 0, D3DDECLTYPE_FLOAT4, 0, D3DDECLUSAGE_POSITIONT, 0}, D3DDECL_END()};
    for (const D3DVERTEXELEMENT9* elements : {badType, oddOffset, twice, badStream}) {
        IDirect3DVertexDeclaration9* d = junk<IDirect3DVertexDeclaration9>();
        EXPECT_EQ(device_->CreateVertexDeclaration(elements, &d), D3DERR_INVALIDCALL);
        EXPECT_EQ(d, nullptr);
    }
    const D3DVERTEXELEMENT9 empty[] = {D3DDECL_END()};
    Ref<IDirect3DVertexDeclaration9> d;
    EXPECT_EQ(device_->CreateVertexDeclaration(empty, d.put()), D3D_OK);

    IDirect3DVertexShader9* vs = junk<IDirect3DVertexShader9>();
    const DWORD vsTokens[] = {0xFFFE0300, 0x0000FFFF};
    EXPECT_EQ(device_->CreateVertexShader(vsTokens, &vs), D3DERR_INVALIDCALL);
    EXPECT_EQ(vs, nullptr);
}

TEST_F(ObjectsTest, PixelShadersTheInterpreterCannotRunAreRefused) {
    const std::vector<DWORD> dynamicIf = assembleProgram(R"(ps_3_0
def c1, 0, 1, 0, 0
if_lt c1.x, c1.y
mov oC0, c1
else
mov oC0, c1.y
endif
)");
    const DWORD vertexShader[] = {0xFFFE0300, 0x0000FFFF};
    const DWORD garbage[] = {0x12345678, 0x0000FFFF};
    for (const DWORD* tokens : {dynamicIf.data(), vertexShader, garbage}) {
        IDirect3DPixelShader9* ps = junk<IDirect3DPixelShader9>();
        EXPECT_EQ(device_->CreatePixelShader(tokens, &ps), D3DERR_INVALIDCALL);
        EXPECT_EQ(ps, nullptr);
    }
    EXPECT_EQ(device_->CreatePixelShader(nullptr, nullptr), D3DERR_INVALIDCALL);

    const std::vector<DWORD> ok = assembleProgram("ps_3_0\nmov oC0, c0\n");
    Ref<IDirect3DPixelShader9> shader = makeShader(ok);
    UINT size = 0;
    ASSERT_EQ(shader->GetFunction(nullptr, &size), D3D_OK);
    EXPECT_EQ(size, ok.size() * 4);
    std::vector<DWORD> back(ok.size());
    UINT small = size - 4;
    EXPECT_EQ(shader->GetFunction(back.data(), &small), D3DERR_INVALIDCALL);
    ASSERT_EQ(shader->GetFunction(back.data(), &size), D3D_OK);
    EXPECT_EQ(back, ok);
}

TEST_F(ObjectsTest, ResourcesHoldTheDeviceAndLevelsShareTheTextureCount) {
    const ULONG deviceRefs = refs(device_.get());
    Ref<IDirect3DTexture9> texture = makeTexture(4, 4, 0, kSigned);
    Ref<IDirect3DSurface9> surface = makeSurface(4, 4, kSigned);
    EXPECT_EQ(refs(device_.get()), deviceRefs + 2);
    EXPECT_EQ(refs(d3d_.get()), 2u); // the test's and the device's

    Ref<IDirect3DSurface9> level = levelOf(texture.get());
    EXPECT_EQ(refs(device_.get()), deviceRefs + 2); // a level takes no device reference
    EXPECT_EQ(refs(texture.get()), 2u);
    EXPECT_EQ(level->AddRef(), 3u);
    EXPECT_EQ(refs(texture.get()), 3u);
    EXPECT_EQ(level->Release(), 2u);

    // Getting the device back counts on the device.
    IDirect3DDevice9* back = nullptr;
    ASSERT_EQ(level->GetDevice(&back), D3D_OK);
    EXPECT_EQ(back, device_.get());
    EXPECT_EQ(back->Release(), deviceRefs + 2);

    level.reset();
    EXPECT_EQ(texture.release()->Release(), 0u);
    EXPECT_EQ(refs(device_.get()), deviceRefs + 1);
    EXPECT_EQ(surface.release()->Release(), 0u);
    EXPECT_EQ(refs(device_.get()), deviceRefs);
}

TEST_F(ObjectsTest, BindingsDoNotCountButKeepObjectsAlive) {
    const int live = hooks::liveObjects();
    Ref<IDirect3DTexture9> target = makeTexture(4, 4, D3DUSAGE_RENDERTARGET, kSigned);
    Ref<IDirect3DTexture9> texture = makeTexture(4, 4, 0, kSigned);
    Ref<IDirect3DSurface9> level = levelOf(target.get());
    ASSERT_EQ(device_->SetRenderTarget(0, level.get()), D3D_OK);
    ASSERT_EQ(device_->SetTexture(3, texture.get()), D3D_OK);
    EXPECT_EQ(refs(texture.get()), 1u);

    // Released by the application, still bound: Release says 0, the object lives on.
    level.reset();
    EXPECT_EQ(target.release()->Release(), 0u);
    EXPECT_EQ(texture.release()->Release(), 0u);
    EXPECT_GT(hooks::liveObjects(), live);

    // A getter hands it out again with a public reference.
    IDirect3DSurface9* bound = nullptr;
    ASSERT_EQ(device_->GetRenderTarget(0, &bound), D3D_OK);
    ASSERT_NE(bound, nullptr);
    EXPECT_EQ(bound->Release(), 0u);
    EXPECT_EQ(bound->Release(), 0u); // over-releasing a bound object changes nothing

    ASSERT_EQ(device_->SetTexture(3, nullptr), D3D_OK);
    Ref<IDirect3DTexture9> other = makeTexture(2, 2, D3DUSAGE_RENDERTARGET, kSigned);
    ASSERT_EQ(device_->SetRenderTarget(0, levelOf(other.get()).get()), D3D_OK);
    other.reset();
    device_.reset(); // lets the remaining target go
    // The fixture's device is gone too, and its back buffer with it.
    EXPECT_EQ(hooks::liveObjects(), live - 2);
}

TEST_F(ObjectsTest, DeviceLivesWhileItsResourcesDo) {
    Ref<IDirect3DVertexBuffer9> buffer;
    ASSERT_EQ(device_->CreateVertexBuffer(64, 0, 0, D3DPOOL_DEFAULT, buffer.put(), nullptr),
              D3D_OK);
    const int live = hooks::liveObjects();
    EXPECT_EQ(device_.release()->Release(), 1u); // the buffer's reference
    EXPECT_EQ(hooks::liveObjects(), live);
    IDirect3DDevice9* device = nullptr;
    ASSERT_EQ(buffer->GetDevice(&device), D3D_OK);
    device_ = Ref<IDirect3DDevice9>(device);
}

TEST_F(ObjectsTest, InterfacesAndContainers) {
    Ref<IDirect3DTexture9> texture = makeTexture(4, 4, 0, kSigned);
    void* p = junk<void>();
    for (const IID* iid : {&IID_IUnknown, &IID_IDirect3DResource9, &IID_IDirect3DBaseTexture9,
                           &IID_IDirect3DTexture9}) {
        ASSERT_EQ(texture->QueryInterface(*iid, &p), S_OK);
        EXPECT_EQ(p, texture.get());
        static_cast<IUnknown*>(p)->Release();
    }
    EXPECT_EQ(texture->QueryInterface(IID_IDirect3DSurface9, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(texture->GetType(), D3DRTYPE_TEXTURE);

    Ref<IDirect3DSurface9> level = levelOf(texture.get());
    ASSERT_EQ(level->GetContainer(IID_IDirect3DTexture9, &p), D3D_OK);
    EXPECT_EQ(p, texture.get());
    static_cast<IUnknown*>(p)->Release();
    Ref<IDirect3DSurface9> plain = makeSurface(4, 4, kSigned);
    ASSERT_EQ(plain->GetContainer(IID_IDirect3DDevice9, &p), D3D_OK);
    EXPECT_EQ(p, device_.get());
    static_cast<IUnknown*>(p)->Release();
    EXPECT_EQ(plain->GetContainer(IID_IDirect3DTexture9, &p), E_NOINTERFACE);
}

TEST_F(ObjectsTest, ForeignPointersAreRefused) {
    Ref<IDirect3DDevice9> second;
    D3DPRESENT_PARAMETERS pp = presentParameters();
    ASSERT_EQ(d3d_->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, testWindow(),
                                 D3DCREATE_SOFTWARE_VERTEXPROCESSING, &pp, second.put()),
              D3D_OK);
    Ref<IDirect3DTexture9> theirs;
    ASSERT_EQ(second->CreateTexture(4, 4, 1, D3DUSAGE_RENDERTARGET, kSigned, D3DPOOL_DEFAULT,
                                    theirs.put(), nullptr),
              D3D_OK);
    EXPECT_EQ(device_->SetTexture(0, theirs.get()), D3DERR_INVALIDCALL);
    Ref<IDirect3DSurface9> theirLevel = levelOf(theirs.get());
    EXPECT_EQ(device_->SetRenderTarget(0, theirLevel.get()), D3DERR_INVALIDCALL);

    // Not an object at all, and an object of the wrong kind.
    struct {
        void* vtable[64];
    } fake{};
    EXPECT_EQ(device_->SetTexture(0, reinterpret_cast<IDirect3DBaseTexture9*>(&fake)),
              D3DERR_INVALIDCALL);
    Ref<IDirect3DSurface9> surface = makeSurface(4, 4, kSigned);
    EXPECT_EQ(device_->SetTexture(0, reinterpret_cast<IDirect3DBaseTexture9*>(surface.get())),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->SetPixelShader(reinterpret_cast<IDirect3DPixelShader9*>(surface.get())),
              D3DERR_INVALIDCALL);
}

TEST_F(ObjectsTest, Direct3DObject) {
    EXPECT_EQ(Direct3DCreate9(31), nullptr);
    hooks::setDirect3DCreateFails(true);
    EXPECT_EQ(Direct3DCreate9(D3D_SDK_VERSION), nullptr);
    hooks::setDirect3DCreateFails(false);

    D3DDISPLAYMODE mode{};
    ASSERT_EQ(d3d_->GetAdapterDisplayMode(D3DADAPTER_DEFAULT, &mode), D3D_OK);
    EXPECT_EQ(mode.Format, D3DFMT_X8R8G8B8);
    EXPECT_EQ(d3d_->GetAdapterDisplayMode(1, &mode), D3DERR_INVALIDCALL);

    auto check = [&](D3DFORMAT format, DWORD usage) {
        return d3d_->CheckDeviceFormat(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, mode.Format, usage,
                                       D3DRTYPE_TEXTURE, format);
    };
    EXPECT_EQ(check(kSigned, D3DUSAGE_RENDERTARGET), D3D_OK);
    EXPECT_EQ(check(kUnsigned, D3DUSAGE_RENDERTARGET), D3D_OK);
    EXPECT_EQ(check(D3DFMT_A8R8G8B8, 0), D3DERR_NOTAVAILABLE);
    hooks::DeviceProfile profile;
    profile.signedFormat = false;
    hooks::setDeviceProfile(profile);
    EXPECT_EQ(check(kSigned, D3DUSAGE_RENDERTARGET), D3DERR_NOTAVAILABLE);
    EXPECT_EQ(check(kUnsigned, D3DUSAGE_RENDERTARGET), D3D_OK);
    profile.unsignedFormat = false;
    profile.textureCaps = D3DPTEXTURECAPS_SQUAREONLY;
    hooks::setDeviceProfile(profile);
    EXPECT_EQ(check(kUnsigned, D3DUSAGE_RENDERTARGET), D3DERR_NOTAVAILABLE);

    D3DCAPS9 caps{};
    ASSERT_EQ(device_->GetDeviceCaps(&caps), D3D_OK);
    EXPECT_EQ(caps.TextureCaps, DWORD{D3DPTEXTURECAPS_SQUAREONLY});
    EXPECT_EQ(caps.AdapterOrdinal, 0u);
    EXPECT_EQ(caps.DeviceType, D3DDEVTYPE_HAL);
    EXPECT_EQ(caps.PixelShaderVersion, DWORD{D3DPS_VERSION(3, 0)});
    EXPECT_GE(caps.MaxTextureWidth, 4096u);
    EXPECT_GE(caps.MaxTextureHeight, 4096u);

    // CreateDevice's own refusals.
    D3DPRESENT_PARAMETERS pp = presentParameters();
    IDirect3DDevice9* d = junk<IDirect3DDevice9>();
    EXPECT_EQ(d3d_->CreateDevice(1, D3DDEVTYPE_HAL, testWindow(),
                                 D3DCREATE_SOFTWARE_VERTEXPROCESSING, &pp, &d),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(d3d_->CreateDevice(0, D3DDEVTYPE_HAL, testWindow(), 0, &pp, &d),
              D3DERR_INVALIDCALL); // no vertex processing named
    EXPECT_EQ(d3d_->CreateDevice(0, D3DDEVTYPE_HAL, nullptr, D3DCREATE_SOFTWARE_VERTEXPROCESSING,
                                 &pp, &d),
              D3DERR_INVALIDCALL); // no window
    EXPECT_EQ(d3d_->CreateDevice(0, D3DDEVTYPE_REF, testWindow(),
                                 D3DCREATE_SOFTWARE_VERTEXPROCESSING, &pp, &d),
              D3DERR_NOTAVAILABLE);
    pp.Windowed = FALSE;
    EXPECT_EQ(d3d_->CreateDevice(0, D3DDEVTYPE_HAL, testWindow(),
                                 D3DCREATE_SOFTWARE_VERTEXPROCESSING, &pp, &d),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(d3d_->CreateDevice(0, D3DDEVTYPE_HAL, testWindow(),
                                 D3DCREATE_SOFTWARE_VERTEXPROCESSING, nullptr, &d),
              D3DERR_INVALIDCALL);
}

// A multithreaded device: threads creating, binding, locking, copying and releasing at once
// (the point is a clean run under the thread sanitizer and exact accounting afterwards).
TEST_F(ObjectsTest, ConcurrentCallsOnOneDevice) {
    const int live = hooks::liveObjects();
    auto work = [&](DWORD stage) {
        for (int i = 0; i < 40; ++i) {
            Ref<IDirect3DTexture9> texture;
            Ref<IDirect3DSurface9> staging;
            ASSERT_EQ(device_->CreateTexture(8, 8, 1, D3DUSAGE_RENDERTARGET, kSigned,
                                             D3DPOOL_DEFAULT, texture.put(), nullptr),
                      D3D_OK);
            ASSERT_EQ(device_->CreateOffscreenPlainSurface(8, 8, kSigned, D3DPOOL_SYSTEMMEM,
                                                           staging.put(), nullptr),
                      D3D_OK);
            D3DLOCKED_RECT locked;
            ASSERT_EQ(staging->LockRect(&locked, nullptr, 0), D3D_OK);
            static_cast<uint8_t*>(locked.pBits)[0] = static_cast<uint8_t>(i);
            ASSERT_EQ(staging->UnlockRect(), D3D_OK);
            Ref<IDirect3DSurface9> level;
            ASSERT_EQ(texture->GetSurfaceLevel(0, level.put()), D3D_OK);
            ASSERT_EQ(device_->UpdateSurface(staging.get(), nullptr, level.get(), nullptr), D3D_OK);
            ASSERT_EQ(device_->SetTexture(stage, texture.get()), D3D_OK);
            ASSERT_EQ(device_->GetRenderTargetData(level.get(), staging.get()), D3D_OK);
            if (i % 2 == 0) {
                ASSERT_EQ(device_->SetTexture(stage, nullptr), D3D_OK);
            }
        }
    };
    std::vector<std::thread> threads;
    for (DWORD stage = 0; stage < 4; ++stage) threads.emplace_back(work, stage);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(observe::defaultPoolObjects(device_.get()), 4); // the last texture of each stage
    for (DWORD stage = 0; stage < 4; ++stage)
        ASSERT_EQ(device_->SetTexture(stage, nullptr), D3D_OK);
    EXPECT_EQ(observe::defaultPoolObjects(device_.get()), 0);
    EXPECT_EQ(hooks::liveObjects(), live);
}

} // namespace
} // namespace kestrin::platform::d3d9::test
