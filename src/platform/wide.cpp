#include "platform/wide.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace mira::wide {

#ifndef _WIN32
// On Windows these map onto the platform's own functions (wide_win.cpp).
size_t wcslen(const char16_t* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

size_t wcsnlen(const char16_t* text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != 0) ++n;
    return n;
}
#endif

bool IsSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

bool IsAlpha(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

int32_t wtol(const char16_t* text) {
    const char16_t* p = text;
    while (IsSpace(*p)) ++p;
    bool negative = false;
    if (*p == u'-' || *p == u'+') {
        negative = (*p == u'-');
        ++p;
    }
    // Accumulated wide and held at the first value past the 32-bit range, so
    // that a long number saturates rather than wrapping into another one.
    constexpr int64_t kLimit = int64_t{INT32_MAX} + 1;
    int64_t value = 0;
    while (*p >= u'0' && *p <= u'9') {
        if (value < kLimit) value = value * 10 + (*p - u'0');
        ++p;
    }
    if (value > kLimit) value = kLimit;
    if (negative) return static_cast<int32_t>(-value);
    return value >= kLimit ? INT32_MAX : static_cast<int32_t>(value);
}

static char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

char16_t* wcsupr(char16_t* text) {
    for (char16_t* p = text; *p != 0; ++p) *p = Upper(*p);
    return text;
}

int wcsnicmp(const char16_t* a, const char16_t* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const int ca = Upper(a[i]);
        const int cb = Upper(b[i]);
        if (ca != cb) return ca - cb;
        if (ca == 0) return 0;
    }
    return 0;
}

int wcsicmp(const char16_t* a, const char16_t* b) { return wcsnicmp(a, b, SIZE_MAX); }

#ifndef _WIN32
const char16_t* wcschr(const char16_t* text, char16_t c) {
    for (;; ++text) {
        if (*text == c) return text;
        if (*text == 0) return nullptr;
    }
}

char16_t* wcschr(char16_t* text, char16_t c) {
    return const_cast<char16_t*>(wcschr(static_cast<const char16_t*>(text), c));
}

char16_t* wcsncpy(char16_t* dest, const char16_t* source, size_t count) {
    size_t i = 0;
    for (; i < count && source[i] != 0; ++i) dest[i] = source[i];
    for (; i < count; ++i) dest[i] = 0;
    return dest;
}
#endif

void CopyText(char16_t* dest, size_t capacity, const char16_t* source) {
    if (capacity == 0) return;
    size_t i = 0;
    for (; i + 1 < capacity && source[i] != 0; ++i) dest[i] = source[i];
    dest[i] = 0;
}

static bool IsDelimiter(char16_t c, const char16_t* delimiters) {
    for (const char16_t* d = delimiters; *d != 0; ++d)
        if (*d == c) return true;
    return false;
}

char16_t* wcstok(char16_t* text, const char16_t* delimiters, char16_t** save) {
    char16_t* p = text != nullptr ? text : *save;
    if (p == nullptr) return nullptr;
    while (*p != 0 && IsDelimiter(*p, delimiters)) ++p;
    if (*p == 0) {
        *save = p;
        return nullptr;
    }
    char16_t* token = p;
    while (*p != 0 && !IsDelimiter(*p, delimiters)) ++p;
    if (*p != 0) *p++ = 0;
    *save = p;
    return token;
}

double wcstod(const char16_t* text, const char16_t** end) {
    // Only ASCII can take part in a number; anything else ends it.
    char narrow[128];
    size_t n = 0;
    for (; n + 1 < sizeof narrow && text[n] != 0 && text[n] < 0x80; ++n)
        narrow[n] = static_cast<char>(text[n]);
    narrow[n] = 0;
    char* stop = nullptr;
    const double value = std::strtod(narrow, &stop);
    if (end != nullptr) *end = text + (stop - narrow);
    return value;
}

void Widen(char16_t* dest, size_t capacity, const char* source) {
    if (capacity == 0) return;
    size_t i = 0;
    for (; i + 1 < capacity && source[i] != 0; ++i)
        dest[i] = static_cast<unsigned char>(source[i]);
    dest[i] = 0;
}

namespace {

struct Out {
    char16_t* buffer;
    size_t capacity;
    size_t length = 0;
    void Put(char16_t c) {
        if (length + 1 < capacity) buffer[length++] = c;
    }
    void PutNarrow(const char* s) {
        for (; *s != 0; ++s) Put(static_cast<unsigned char>(*s));
    }
};

}  // namespace

int swprintf(char16_t* buffer, size_t capacity, const char16_t* format, ...) {
    if (capacity == 0) return 0;
    Out out{buffer, capacity};
    va_list args;
    va_start(args, format);
    for (const char16_t* f = format; *f != 0; ++f) {
        if (*f != u'%') {
            out.Put(*f);
            continue;
        }
        ++f;
        bool zeroPad = false;
        int width = 0;
        if (*f == u'0') {
            zeroPad = true;
            ++f;
        }
        while (*f >= u'0' && *f <= u'9') width = width * 10 + (*f++ - u'0');
        char narrow[64];
        const char* conversion = nullptr;
        switch (*f) {
            case u'd':
                std::snprintf(narrow, sizeof narrow, zeroPad ? "%0*d" : "%*d", width,
                              static_cast<int>(va_arg(args, int)));
                conversion = narrow;
                break;
            case u'X':
                std::snprintf(narrow, sizeof narrow, zeroPad ? "%0*X" : "%*X", width,
                              va_arg(args, unsigned int));
                conversion = narrow;
                break;
            case u'o':
                std::snprintf(narrow, sizeof narrow, zeroPad ? "%0*o" : "%*o", width,
                              va_arg(args, unsigned int));
                conversion = narrow;
                break;
            case u'e':
                std::snprintf(narrow, sizeof narrow, "%e", va_arg(args, double));
                conversion = narrow;
                break;
            case u'c':
                out.Put(static_cast<char16_t>(va_arg(args, int)));
                break;
            case u's': {
                const char16_t* s = va_arg(args, const char16_t*);
                if (s == nullptr) s = u"(null)";
                for (; *s != 0; ++s) out.Put(*s);
                break;
            }
            case u'%':
                out.Put(u'%');
                break;
            case 0:
                --f;  // a lone '%' at the end: stop at the terminator
                break;
            default:
                out.Put(u'%');
                out.Put(*f);
                break;
        }
        if (conversion != nullptr) out.PutNarrow(conversion);
    }
    va_end(args);
    buffer[out.length] = 0;
    return static_cast<int>(out.length);
}

}  // namespace mira::wide
