// The software Direct3D 9 device.
//
// One recursive mutex guards the whole device (state, bindings, resource locks), as a
// D3DCREATE_MULTITHREADED device does; a draw holds it while its rows are shaded on the render
// threads. Every entry point runs through enter() (platform/entry_point.h): it clears its
// out-parameters, checks its arguments (D3DERR_INVALIDCALL), asks the fault plan
// ("IDirect3DDevice9::<Method>"), then works; no exception leaves it.
//
// The device is split by concept over several files: device.cpp (life, caps, cooperative level,
// reset, resource creation, scenes), device_state.cpp (state setters and getters),
// device_copy.cpp (UpdateSurface, GetRenderTargetData), device_draw.cpp (DrawPrimitive).
#pragma once

#include <mutex>

#include "d3d9.h"
#include "platform/com_object.h"
#include "platform/d3d9/state.h"
#include "platform/d3d9/texture_sampler.h"
#include "platform/entry_point.h"
#include "shader/compiled_program.h"

namespace kestrin::platform::d3d9 {

class Direct3D9;
class DecodedTexels;
class PixelShader;
class Surface;

// Presentation parameters Direct3D 9 accepts here (CreateDevice and Reset): windowed, no
// multisampling, a known swap effect, at most three back buffers, a window to present to.
bool presentParametersValid(const D3DPRESENT_PARAMETERS& present, HWND focus);
// Fills in what the application left to the runtime (size, format and count of back buffers).
void completePresentParameters(D3DPRESENT_PARAMETERS& present);

class Device final : public ComObject<IDirect3DDevice9> {
  public:
    static constexpr std::string_view kInterface = "IDirect3DDevice9";

    // CreateDevice's work after its checks: a new device on `parent`, with `present` filled in
    // as Direct3D fills it.
    Device(Direct3D9* parent, HWND focus, DWORD behaviour, D3DPRESENT_PARAMETERS& present);

    HRESULT STDMETHODCALLTYPE TestCooperativeLevel() override;
    UINT STDMETHODCALLTYPE GetAvailableTextureMem() override;
    HRESULT STDMETHODCALLTYPE GetDirect3D(IDirect3D9** ppD3D9) override;
    HRESULT STDMETHODCALLTYPE GetDeviceCaps(D3DCAPS9* pCaps) override;
    HRESULT STDMETHODCALLTYPE GetDisplayMode(UINT iSwapChain, D3DDISPLAYMODE* pMode) override;
    HRESULT STDMETHODCALLTYPE
    GetCreationParameters(D3DDEVICE_CREATION_PARAMETERS* pParameters) override;
    HRESULT STDMETHODCALLTYPE Reset(D3DPRESENT_PARAMETERS* pPresentationParameters) override;
    HRESULT STDMETHODCALLTYPE CreateTexture(UINT Width, UINT Height, UINT Levels, DWORD Usage,
                                            D3DFORMAT Format, D3DPOOL Pool,
                                            IDirect3DTexture9** ppTexture,
                                            HANDLE* pSharedHandle) override;
    HRESULT STDMETHODCALLTYPE CreateVertexBuffer(UINT Length, DWORD Usage, DWORD FVF, D3DPOOL Pool,
                                                 IDirect3DVertexBuffer9** ppVertexBuffer,
                                                 HANDLE* pSharedHandle) override;
    HRESULT STDMETHODCALLTYPE UpdateSurface(IDirect3DSurface9* pSourceSurface,
                                            const RECT* pSourceRect,
                                            IDirect3DSurface9* pDestinationSurface,
                                            const POINT* pDestPoint) override;
    HRESULT STDMETHODCALLTYPE GetRenderTargetData(IDirect3DSurface9* pRenderTarget,
                                                  IDirect3DSurface9* pDestSurface) override;
    HRESULT STDMETHODCALLTYPE CreateOffscreenPlainSurface(UINT Width, UINT Height, D3DFORMAT Format,
                                                          D3DPOOL Pool,
                                                          IDirect3DSurface9** ppSurface,
                                                          HANDLE* pSharedHandle) override;
    HRESULT STDMETHODCALLTYPE SetRenderTarget(DWORD RenderTargetIndex,
                                              IDirect3DSurface9* pRenderTarget) override;
    HRESULT STDMETHODCALLTYPE GetRenderTarget(DWORD RenderTargetIndex,
                                              IDirect3DSurface9** ppRenderTarget) override;
    HRESULT STDMETHODCALLTYPE GetBackBuffer(UINT iSwapChain, UINT iBackBuffer,
                                            D3DBACKBUFFER_TYPE Type,
                                            IDirect3DSurface9** ppBackBuffer) override;
    HRESULT STDMETHODCALLTYPE BeginScene() override;
    HRESULT STDMETHODCALLTYPE EndScene() override;
    HRESULT STDMETHODCALLTYPE SetViewport(const D3DVIEWPORT9* pViewport) override;
    HRESULT STDMETHODCALLTYPE GetViewport(D3DVIEWPORT9* pViewport) override;
    HRESULT STDMETHODCALLTYPE SetRenderState(D3DRENDERSTATETYPE State, DWORD Value) override;
    HRESULT STDMETHODCALLTYPE GetRenderState(D3DRENDERSTATETYPE State, DWORD* pValue) override;
    HRESULT STDMETHODCALLTYPE GetTexture(DWORD Stage, IDirect3DBaseTexture9** ppTexture) override;
    HRESULT STDMETHODCALLTYPE SetTexture(DWORD Stage, IDirect3DBaseTexture9* pTexture) override;
    HRESULT STDMETHODCALLTYPE GetTextureStageState(DWORD Stage, D3DTEXTURESTAGESTATETYPE Type,
                                                   DWORD* pValue) override;
    HRESULT STDMETHODCALLTYPE SetTextureStageState(DWORD Stage, D3DTEXTURESTAGESTATETYPE Type,
                                                   DWORD Value) override;
    HRESULT STDMETHODCALLTYPE GetSamplerState(DWORD Sampler, D3DSAMPLERSTATETYPE Type,
                                              DWORD* pValue) override;
    HRESULT STDMETHODCALLTYPE SetSamplerState(DWORD Sampler, D3DSAMPLERSTATETYPE Type,
                                              DWORD Value) override;
    HRESULT STDMETHODCALLTYPE ValidateDevice(DWORD* pNumPasses) override;
    HRESULT STDMETHODCALLTYPE DrawPrimitive(D3DPRIMITIVETYPE PrimitiveType, UINT StartVertex,
                                            UINT PrimitiveCount) override;
    HRESULT STDMETHODCALLTYPE CreateVertexDeclaration(
        const D3DVERTEXELEMENT9* pVertexElements, IDirect3DVertexDeclaration9** ppDecl) override;
    HRESULT STDMETHODCALLTYPE SetVertexDeclaration(IDirect3DVertexDeclaration9* pDecl) override;
    HRESULT STDMETHODCALLTYPE GetVertexDeclaration(IDirect3DVertexDeclaration9** ppDecl) override;
    HRESULT STDMETHODCALLTYPE CreateVertexShader(const DWORD* pFunction,
                                                 IDirect3DVertexShader9** ppShader) override;
    HRESULT STDMETHODCALLTYPE SetVertexShader(IDirect3DVertexShader9* pShader) override;
    HRESULT STDMETHODCALLTYPE GetVertexShader(IDirect3DVertexShader9** ppShader) override;
    HRESULT STDMETHODCALLTYPE SetStreamSource(UINT StreamNumber,
                                              IDirect3DVertexBuffer9* pStreamData,
                                              UINT OffsetInBytes, UINT Stride) override;
    HRESULT STDMETHODCALLTYPE GetStreamSource(UINT StreamNumber,
                                              IDirect3DVertexBuffer9** ppStreamData,
                                              UINT* pOffsetInBytes, UINT* pStride) override;
    HRESULT STDMETHODCALLTYPE CreatePixelShader(const DWORD* pFunction,
                                                IDirect3DPixelShader9** ppShader) override;
    HRESULT STDMETHODCALLTYPE SetPixelShader(IDirect3DPixelShader9* pShader) override;
    HRESULT STDMETHODCALLTYPE GetPixelShader(IDirect3DPixelShader9** ppShader) override;
    HRESULT STDMETHODCALLTYPE SetPixelShaderConstantF(UINT StartRegister,
                                                      const float* pConstantData,
                                                      UINT Vector4fCount) override;
    HRESULT STDMETHODCALLTYPE GetPixelShaderConstantF(UINT StartRegister, float* pConstantData,
                                                      UINT Vector4fCount) override;
    HRESULT STDMETHODCALLTYPE SetPixelShaderConstantI(UINT StartRegister, const int* pConstantData,
                                                      UINT Vector4iCount) override;
    HRESULT STDMETHODCALLTYPE GetPixelShaderConstantI(UINT StartRegister, int* pConstantData,
                                                      UINT Vector4iCount) override;
    HRESULT STDMETHODCALLTYPE SetPixelShaderConstantB(UINT StartRegister, const BOOL* pConstantData,
                                                      UINT BoolCount) override;
    HRESULT STDMETHODCALLTYPE GetPixelShaderConstantB(UINT StartRegister, BOOL* pConstantData,
                                                      UINT BoolCount) override;

    // For the device's objects.
    std::recursive_mutex& mutex() const { return mutex_; }
    void defaultPoolObjectCreated();
    void defaultPoolObjectDestroyed();
    int defaultPoolObjects() const;

  protected:
    bool answers(REFIID riid) const override;

  private:
    enum class Health { Operational, Lost, NotReset };

    ~Device() override;

    // DrawPrimitive's body, with the device's mutex held.
    HRESULT drawLocked(D3DPRIMITIVETYPE type, UINT startVertex, UINT primitiveCount,
                       EntryCall<ResultCode>& call);
    // A new back buffer of the presentation size and format, bound as render target 0 with a
    // viewport covering it (as after creation and after a reset).
    void createBackBuffer();
    // Every binding released, every state at its default, render target 0 the back buffer.
    void resetState(bool depthBuffer);
    // What a draw samples and how: the compiled program (or none), the decoded textures.
    struct DrawResources {
        std::shared_ptr<const shader::CompiledProgram> compiled;
        TextureSampler sampler;
        std::array<const float*, shader::kSamplers> stageBases{};
        DecodedTexels* targetTexels = nullptr;
    };
    DrawResources prepareDraw(PixelShader& shader, Surface* target, int threads);

    Direct3D9* parent_;
    D3DDEVICE_CREATION_PARAMETERS creation_{};
    D3DPRESENT_PARAMETERS present_{};
    mutable std::recursive_mutex mutex_;
    Health health_ = Health::Operational;
    bool inScene_ = false;
    int defaultPoolObjects_ = 0;
    DeviceState state_;
    // The swap chain's one back buffer. The device holds it privately, as a binding, so it lives
    // without a device reference until the application asks for it (GetBackBuffer).
    Binding<Surface> backBuffer_;
};

} // namespace kestrin::platform::d3d9
