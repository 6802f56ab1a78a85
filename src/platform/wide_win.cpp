// The wide-text functions that Windows provides with exactly the semantics
// the driver relies on, mapped onto the platform's own: wchar_t is 16 bits
// there, the same code units as char16_t. The rest stay in wide.cpp on every
// platform: the conversions and comparisons whose platform versions depend
// on the locale (case of non-ASCII letters, the decimal point), wrap where
// ours saturate, or keep their state per thread rather than in the caller's
// save pointer.
#include <cwchar>

#include "platform/wide.h"

namespace mira::wide {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

namespace {

const wchar_t* Platform(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* Platform(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

}  // namespace

size_t wcslen(const char16_t* text) { return ::wcslen(Platform(text)); }

size_t wcsnlen(const char16_t* text, size_t limit) { return ::wcsnlen(Platform(text), limit); }

const char16_t* wcschr(const char16_t* text, char16_t c) {
    return reinterpret_cast<const char16_t*>(::wcschr(Platform(text), static_cast<wchar_t>(c)));
}

char16_t* wcschr(char16_t* text, char16_t c) {
    return reinterpret_cast<char16_t*>(::wcschr(Platform(text), static_cast<wchar_t>(c)));
}

char16_t* wcsncpy(char16_t* dest, const char16_t* source, size_t count) {
    ::wcsncpy(Platform(dest), Platform(source), count);
    return dest;
}

}  // namespace mira::wide
