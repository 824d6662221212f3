// Forced into every file scripts/msvc-warnings.sh compiles, ahead of the
// file's own includes. With __MINGW_MSVC_COMPAT_WARNINGS the MinGW-w64
// headers mark most of what MSVC's C4996 names as deprecated; this evens out
// the differences in both directions, so a use of the C runtime fails here
// where it would fail the /W4 /WX build, and only there.
#ifndef LSS_MSVC_WARNINGS_CRT_H
#define LSS_MSVC_WARNINGS_CRT_H

// libstdc++'s configuration first, as in any of our files: it switches the
// MinGW headers to their own stdio (__USE_MINGW_ANSI_STDIO), which changes
// how stdio.h declares sprintf and the scanf family below.
#include <cstddef>

// MinGW marks memcpy, memmove, wmemcpy and wmemmove with the same
// __MINGW_ATTRIB_DEPRECATED_SEC_WARN as getenv and strncpy (string.h,
// wchar.h; memory.h holds a copy of string.h's block under the same guard).
// MSVC marks them only under _CRT_SECURE_DEPRECATE_MEMORY, which the msvc
// presets leave off. No switch of MinGW's separates the two, and clang keeps
// a deprecation through every later redeclaration, so the two headers
// declare these under other names here, once (their include guards stop a
// second pass), and the real names are declared without the mark below.
#define memcpy lss_mingw_deprecated_memcpy
#define memmove lss_mingw_deprecated_memmove
#define wmemcpy lss_mingw_deprecated_wmemcpy
#define wmemmove lss_mingw_deprecated_wmemmove
#include <string.h>
#include <wchar.h>
#undef memcpy
#undef memmove
#undef wmemcpy
#undef wmemmove

extern "C" {
void* __cdecl memcpy(void* __restrict__ dst, const void* __restrict__ src, size_t size);
void* __cdecl memmove(void* dst, const void* src, size_t size);
wchar_t* __cdecl wmemcpy(wchar_t* __restrict__ dst, const wchar_t* __restrict__ src, size_t count);
wchar_t* __cdecl wmemmove(wchar_t* dst, const wchar_t* src, size_t count);

// The other way round: MSVC deprecates these, MinGW never marks them.
char* __cdecl strcpy(char* __restrict__ dst, const char* __restrict__ src) __MINGW_ATTRIB_DEPRECATED_SEC_WARN;
char* __cdecl strcat(char* __restrict__ dst, const char* __restrict__ src) __MINGW_ATTRIB_DEPRECATED_SEC_WARN;
}

// MinGW's own stdio defines these inline, unmarked, in stdio.h, and a
// deprecation cannot follow a definition: they are declared first, in the
// form stdio.h uses (__mingw_ovr, as wchar.h above has just defined it).
__mingw_ovr int sprintf(char* __restrict__ dst, const char* __restrict__ format,
                        ...) __MINGW_ATTRIB_DEPRECATED_SEC_WARN;
__mingw_ovr int vsprintf(char* __restrict__ dst, const char* __restrict__ format,
                         __builtin_va_list args) __MINGW_ATTRIB_DEPRECATED_SEC_WARN;
__mingw_ovr int sscanf(const char* __restrict__ src, const char* __restrict__ format,
                       ...) __MINGW_ATTRIB_DEPRECATED_SEC_WARN;
__mingw_ovr int fscanf(FILE* __restrict__ file, const char* __restrict__ format,
                       ...) __MINGW_ATTRIB_DEPRECATED_SEC_WARN;
__mingw_ovr int scanf(const char* __restrict__ format, ...) __MINGW_ATTRIB_DEPRECATED_SEC_WARN;
#include <stdio.h>

#endif  // LSS_MSVC_WARNINGS_CRT_H
