// The nothrow forms of operator new, failing when the test hooks say so.
//
// Compiled into the platform library, these replace the C++ library's for every module that
// resolves the symbols through the library, which holds for the plain build. A sanitizer
// runtime defines its own operator new and is searched first, so under a sanitizer a module
// only sees these if it compiles this file into itself as well: outside the library the
// definitions are hidden, binding that module's own calls without exporting anything.
//
// <new> is deliberately not included: it declares these operators with default visibility,
// which would override the hidden one. The throwing operator new is declared implicitly in
// every translation unit; the allocation itself goes through it, so that whichever allocator
// the process uses (the C++ library's or a sanitizer's) also sees the matching delete.
#include <cstddef>

namespace std {
struct nothrow_t;
}

namespace kestrin::platform::hooks {
bool nothrowAllocationFails();
}

#if defined(kestrin_platform_EXPORTS)
#define KESTRIN_NOTHROW_NEW_VISIBILITY __attribute__((visibility("default")))
#else
#define KESTRIN_NOTHROW_NEW_VISIBILITY __attribute__((visibility("hidden")))
#endif

KESTRIN_NOTHROW_NEW_VISIBILITY void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
KESTRIN_NOTHROW_NEW_VISIBILITY void* operator new[](std::size_t size,
                                                    const std::nothrow_t&) noexcept;

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (kestrin::platform::hooks::nothrowAllocationFails()) return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (kestrin::platform::hooks::nothrowAllocationFails()) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}
