// Loading the compiled bilateral effect through D3DX and checking what the plug-in relies on:
// parameter names, classes, types and defaults, the two techniques and their three passes.
#pragma once

#include <d3dx9.h>

#include <vector>

#include "tests/wine/check_log.h"
#include "tests/wine/com_ptr.h"

namespace kestrin::winecheck {

// The handles the plug-in looks up once after loading.
struct EffectHandles {
    D3DXHANDLE pixGain = nullptr;
    D3DXHANDLE pixDist = nullptr;
    D3DXHANDLE posDist = nullptr;
    D3DXHANDLE technique = nullptr;  // BilateralFiltering, signed texels
    D3DXHANDLE techniqueU = nullptr; // BilateralFilteringU, unsigned texels
    D3DXHANDLE txRGB = nullptr;
};

// D3DXCreateEffect with D3DXFX_NOT_CLONEABLE and no defines, include handler or pool. On failure
// prints the result and the text of the error buffer, if any, and returns null.
ComPtr<ID3DXEffect> createEffect(IDirect3DDevice9* device, const std::vector<char>& bytes,
                                 CheckLog& log);

// Every mismatch is a failure in `log`. Reads the defaults, so it runs before any value is set;
// it also runs each technique's passes on `device` without drawing, to see what they bind, and
// leaves txSrc and txRGB unbound.
void checkEffectContract(ID3DXEffect* effect, IDirect3DDevice9* device, CheckLog& log);

// Null where the effect lacks the name (checkEffectContract reports that).
EffectHandles fetchHandles(ID3DXEffect* effect);

} // namespace kestrin::winecheck
