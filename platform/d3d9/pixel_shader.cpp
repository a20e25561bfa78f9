#include "platform/d3d9/pixel_shader.h"

#include <algorithm>
#include <cstring>

#include "platform/d3d9/device.h"
#include "platform/test_hooks.h"
#include "shader/bytecode.h"

namespace kestrin::platform::d3d9 {
namespace {

// Direct3D takes a shader without its length; walking stops at the end token, and this bounds
// the walk for a stream that has none.
constexpr size_t kMaxShaderTokens = size_t{1} << 18;

} // namespace

bool readShaderTokens(const DWORD* function, std::vector<DWORD>* tokens, std::string* error) {
    const size_t bytes = shader::shaderByteSize(function, kMaxShaderTokens, error);
    if (bytes == 0) return false;
    tokens->assign(function, function + bytes / sizeof(DWORD));
    return true;
}

PixelShader::PixelShader(Device* device, std::vector<DWORD> tokens,
                         std::shared_ptr<const shader::PixelProgram> program)
    : DeviceChild(ObjectKind::PixelShader, device, nullptr), tokens_(std::move(tokens)),
      program_(std::move(program)) {}

std::shared_ptr<const shader::CompiledProgram>
PixelShader::compiled(const shader::DrawSpecialisation& draw, shader::Engine engine,
                      std::string* reason) {
    constexpr size_t kKept = 8;
    std::string key = shader::specialisationKey(*program_, draw, engine);
    for (auto it = compiled_.begin(); it != compiled_.end(); ++it)
        if (it->first == key) {
            std::rotate(it, it + 1, compiled_.end());
            if (reason) *reason = compiled_.back().second.reason;
            return compiled_.back().second.program;
        }
    shader::CompileResult result = shader::compileProgram(*program_, draw, engine);
    if (reason) *reason = result.reason;
    if (compiled_.size() == kKept) compiled_.erase(compiled_.begin());
    compiled_.emplace_back(std::move(key), std::move(result));
    return compiled_.back().second.program;
}

bool PixelShader::answers(REFIID riid) const {
    return riid == IID_IDirect3DPixelShader9;
}

HRESULT PixelShader::GetDevice(IDirect3DDevice9** ppDevice) {
    return enter({kInterface, __func__}, outputs(ppDevice), [&](auto& call) {
        if (!ppDevice) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            device()->AddRef();
            *ppDevice = device();
            return D3D_OK;
        });
    });
}

HRESULT PixelShader::GetFunction(void* pData, UINT* pSizeOfData) {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (!pSizeOfData) return D3DERR_INVALIDCALL;
        const auto size = static_cast<UINT>(tokens_.size() * sizeof(DWORD));
        if (pData && *pSizeOfData < size) {
            *pSizeOfData = size;
            return D3DERR_INVALIDCALL;
        }
        return call.proceed([&] {
            *pSizeOfData = size;
            if (pData) std::memcpy(pData, tokens_.data(), size);
            return D3D_OK;
        });
    });
}

} // namespace kestrin::platform::d3d9
