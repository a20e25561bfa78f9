// The one record that owns every Direct3D object of the filter, the effect with its handles,
// the frame size, the pass count, the texel format and the render worker.
//
// Every interface pointer has exactly one owning field: null while absent; whoever drops it
// releases it and sets the field to null, so every release operation can run any number of times.
#pragma once

#include <d3d9.h>
#include <d3dx9.h>
#include <windows.h>

#include <cstdint>

struct RenderWorker;

// Texel formats: the Direct3D format, the technique and the copy kernels agree on it.
enum : int32_t {
    kTexelSigned = 0,   // D3DFMT_Q16W16V16U16, BilateralFiltering, plain copies
    kTexelUnsigned = 1, // D3DFMT_A16B16G16R16, BilateralFilteringU, values offset by 0x8000
};

struct GpuContext {
    IDirect3D9* d3d;
    IDirect3DDevice9* device;
    IDirect3DTexture9* sourceTexture;
    IDirect3DTexture9* renderTargets[2];
    IDirect3DSurface9* transferSurface;
    IDirect3DVertexBuffer9* quadBuffer;
    IDirect3DVertexDeclaration9* quadDeclaration;
    ID3DXEffect* effect;
    D3DXHANDLE hPixGain;
    D3DXHANDLE hPixDist;
    D3DXHANDLE hPosDist;
    D3DXHANDLE hTechnique;
    D3DXHANDLE hTechniqueU;
    D3DXHANDLE hTxRGB;
    int32_t width;
    int32_t height;
    int32_t pitch;
    int32_t passCount;
    int32_t texelFormat;
    bool signedFormatSupported;
    bool unsignedFormatSupported;
    RenderWorker* worker;
};

// A record with every field at its initial value; null when memory is short.
GpuContext* NewGpuContext();

// texelFormat = signed whenever the device supports it, else unsigned.
void ChooseTexelFormat(GpuContext* context);

// The Direct3D format of a texel format.
D3DFORMAT TexelD3DFormat(int32_t texelFormat);

// The one way a failure is shown: a system-modal error box, caption "Kestrin". Returns 0.
//
// A failure that repeats frame after frame (a device that cannot be reset, a size the card
// refuses) would otherwise put a blocking box in front of the user on every frame of a playback
// or an export. So each text is shown once per run of failures: a text already shown stays quiet
// until ForgetShownErrors, which the callbacks call when a frame succeeds, when the filter is
// switched on or off and when it starts. A different text is still shown.
int32_t ShowError(const wchar_t* text);
void ForgetShownErrors();

// Release `object` if present and clear the field.
template <class T> void ReleaseAndNull(T*& object) {
    if (object) {
        object->Release();
        object = nullptr;
    }
}

extern GpuContext* g_context;

// The frame-size objects must be rebuilt before the next frame renders: set at the start, by a
// size change, by a device reset (CheckDevice) and by a switch-off; cleared by FilterProc once a
// rebuild has fully taken.
extern bool g_rebuildNeeded;
