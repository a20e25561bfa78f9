// ID3DXBuffer: a block of bytes owned by a reference-counted object.
//
// GetBufferPointer and GetBufferSize ask the fault plan too ("ID3DXBuffer::GetBufferPointer",
// "ID3DXBuffer::GetBufferSize"); a planned failure makes them return null and 0, so a test can
// reach a caller's handling of an empty buffer. (A size of 0 is an answer, not a failure: only a
// planned failure of GetBufferSize is logged as one.)
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "d3dx9.h"
#include "platform/com_object.h"
#include "platform/entry_point.h"

namespace kestrin::platform::d3dx9 {

class Buffer final : public ComObject<ID3DXBuffer> {
  public:
    static constexpr std::string_view kInterface = "ID3DXBuffer";

    explicit Buffer(size_t size) : bytes_(size == 0 ? 1 : size, 0), size_(size) {}

    LPVOID STDMETHODCALLTYPE GetBufferPointer() override;
    DWORD STDMETHODCALLTYPE GetBufferSize() override;

    // The bytes, for the runtime itself (no fault plan).
    unsigned char* data() { return bytes_.data(); }

  protected:
    bool answers(REFIID riid) const override { return riid == IID_ID3DXBuffer; }

  private:
    std::vector<unsigned char> bytes_;
    size_t size_;
};

// A buffer holding `text` and a terminating NUL (its size counts the NUL), or null when memory
// runs out.
ID3DXBuffer* makeTextBuffer(std::string_view text) noexcept;

} // namespace kestrin::platform::d3dx9
