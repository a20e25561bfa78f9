// A pixel shader: the application's ps_3_0 tokens and the interpreter's program made from them
// once, at creation. Programs the interpreter cannot run exactly are refused there. Draws
// compile it for their constants and textures (shader/compiled_program.h); the last few
// compiled forms are kept, so a sequence of draws that repeats compiles nothing.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/d3d9/object.h"
#include "shader/compiled_program.h"
#include "shader/interpreter.h"

namespace kestrin::platform::d3d9 {

class PixelShader final : public DeviceChild<IDirect3DPixelShader9> {
  public:
    static constexpr std::string_view kInterface = "IDirect3DPixelShader9";
    static constexpr ObjectKind kKind = ObjectKind::PixelShader;

    // Attach after construction.
    PixelShader(Device* device, std::vector<DWORD> tokens,
                std::shared_ptr<const shader::PixelProgram> program);

    HRESULT STDMETHODCALLTYPE GetDevice(IDirect3DDevice9** ppDevice) override;
    HRESULT STDMETHODCALLTYPE GetFunction(void* pData, UINT* pSizeOfData) override;

    const std::shared_ptr<const shader::PixelProgram>& program() const { return program_; }
    const std::vector<DWORD>& tokens() const { return tokens_; }
    // The program compiled for a draw (with the device's mutex held), or null with the reason
    // the draw runs on the interpreter.
    std::shared_ptr<const shader::CompiledProgram>
    compiled(const shader::DrawSpecialisation& draw, shader::Engine engine, std::string* reason);

  protected:
    bool answers(REFIID riid) const override;

  private:
    std::vector<DWORD> tokens_;
    std::shared_ptr<const shader::PixelProgram> program_;
    std::vector<std::pair<std::string, shader::CompileResult>> compiled_; // newest last
};

// The tokens of a shader handed to CreatePixelShader, up to and including the end token, found by
// walking its instructions; or the reason it has none.
bool readShaderTokens(const DWORD* function, std::vector<DWORD>* tokens, std::string* error);

} // namespace kestrin::platform::d3d9
