// Native build: the pieces of the Microsoft C runtime the plug-in uses that the C library here
// lacks: errno_t, the secure-function constants and mbstowcs_s. On Windows they come from
// <stdlib.h> and <errno.h>, which <windows.h> pulls in; here <windows.h> includes this header.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdlib>

typedef int errno_t;

// EINVAL (22) and ERANGE (34) have the same values in both C libraries.
static_assert(EINVAL == 22 && ERANGE == 34);
#ifndef STRUNCATE
#define STRUNCATE 80
#endif
#ifndef _TRUNCATE
#define _TRUNCATE ((size_t)-1)
#endif

// Converts the NUL-terminated bytes at `src` into at most `count` wide characters (or as many as
// fit, with _TRUNCATE) in `dst`, which holds `dstWords`, always NUL-terminated. Behaves as the
// Microsoft runtime does in its default ("C") locale: every byte becomes the wide character of
// the same value (0x82 -> U+0082).
//   dst == null && dstWords == 0: *converted = characters the whole text needs, NUL included; 0.
//   dst == null && dstWords > 0, dst != null && dstWords == 0, src == null: EINVAL (dst[0] = 0
//     where dst is usable).
//   result and its NUL do not fit: ERANGE, dst[0] = 0, *converted = 0; with _TRUNCATE instead
//     as much as fits and STRUNCATE.
//   otherwise 0, *converted = characters stored including the NUL.
// Failures also set errno. `converted` may be null.
extern "C" errno_t mbstowcs_s(size_t* converted, wchar_t* dst, size_t dstWords, const char* src,
                              size_t count);

template <size_t N>
inline errno_t mbstowcs_s(size_t* converted, wchar_t (&dst)[N], const char* src, size_t count) {
    return mbstowcs_s(converted, dst, N, src, count);
}
