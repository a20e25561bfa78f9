// mbstowcs_s as the Microsoft runtime behaves in its default ("C") locale, where every byte is
// one character whose value is the byte's: no byte is ever invalid.
//
// The order of the checks follows the Microsoft runtime: the destination is validated and
// emptied and *converted cleared first; the conversion then takes at most min(count, dstWords)
// characters, stopping at the source's NUL; a result that leaves no room for its own NUL is
// ERANGE (destination emptied again), or with _TRUNCATE is cut to dstWords - 1 characters and
// reported as STRUNCATE.
#include <cerrno>
#include <cstring>

#include "kestrin_win_crt.h"

namespace {

errno_t fail(errno_t error) {
    errno = error;
    return error;
}

} // namespace

extern "C" errno_t mbstowcs_s(size_t* converted, wchar_t* dst, size_t dstWords, const char* src,
                              size_t count) {
    if ((dst == nullptr) != (dstWords == 0)) return fail(EINVAL);
    if (dst) dst[0] = 0;
    if (converted) *converted = 0;
    if (!src) return fail(EINVAL);

    if (!dst) { // the size a destination would need, NUL included
        if (converted) *converted = std::strlen(src) + 1;
        return 0;
    }

    const size_t limit = count < dstWords ? count : dstWords;
    size_t stored = 0;
    while (stored < limit && src[stored] != '\0') {
        dst[stored] = static_cast<wchar_t>(static_cast<unsigned char>(src[stored]));
        ++stored;
    }

    size_t withNul = stored + 1;
    errno_t result = 0;
    if (withNul > dstWords) {
        if (count != _TRUNCATE) {
            dst[0] = 0;
            return fail(ERANGE);
        }
        withNul = dstWords;
        result = STRUNCATE;
    }
    dst[withNul - 1] = 0;
    if (converted) *converted = withNul;
    return result;
}
