// The wide-text functions the driver relies on, with the semantics of the
// platform the driver was first written for, on 16-bit code units.
//
// Every function that writes is bounded by a capacity given in code units,
// terminator included, and always terminates when the capacity is above 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mira::wide {

// Length in code units up to the terminator.
size_t wcslen(const char16_t* text);

// Length up to the terminator, but never more than limit (reads no further).
size_t wcsnlen(const char16_t* text, size_t limit);

// Decimal conversion: leading white space, an optional sign, then digits up
// to the first other character. No digits gives 0. Values past 32 bits
// saturate at INT32_MAX or INT32_MIN, as the platform's conversion does with
// its 32-bit long, so a long number never wraps into a small one.
int32_t wtol(const char16_t* text);

// Upper-cases the ASCII letters a-z in place; returns text.
char16_t* wcsupr(char16_t* text);

// Case-insensitive comparisons (ASCII letters): <0, 0 or >0.
int wcsicmp(const char16_t* a, const char16_t* b);
int wcsnicmp(const char16_t* a, const char16_t* b, size_t count);

// First occurrence of c, or null. Searching for 0 finds the terminator.
const char16_t* wcschr(const char16_t* text, char16_t c);
char16_t* wcschr(char16_t* text, char16_t c);

// Copies at most count code units and pads with zeros up to count, as the
// platform's wcsncpy does: the result is not terminated when source has count
// or more characters.
char16_t* wcsncpy(char16_t* dest, const char16_t* source, size_t count);

// Bounded copy: at most capacity - 1 characters, always terminated.
void CopyText(char16_t* dest, size_t capacity, const char16_t* source);

// Reentrant tokenizer: skips leading delimiters, ends the token at the next
// delimiter (writing 0 there) and keeps the position in *save. Returns null
// when no token is left.
char16_t* wcstok(char16_t* text, const char16_t* delimiters, char16_t** save);

// String to double, as strtod in the "C" locale; *end (if given) points after
// the characters used.
double wcstod(const char16_t* text, const char16_t** end);

// True for space, tab, line feed, vertical tab, form feed, carriage return.
bool IsSpace(char16_t c);

// True for ASCII letters.
bool IsAlpha(char16_t c);

// Formatting with the subset the driver uses: %d (int32_t), %s (a wide text),
// %c (a wide character), %X and %02X (unsigned, upper-case hex), %o (octal),
// %e (double) and %%. Writes at most capacity - 1 characters and the
// terminator; returns the number of characters written.
int swprintf(char16_t* buffer, size_t capacity, const char16_t* format, ...);

// Widens an 8-bit text (each byte as 0..255); bounded and terminated.
void Widen(char16_t* dest, size_t capacity, const char* source);

}  // namespace mira::wide
