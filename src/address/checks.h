// What the address checks (validation, composition, comparison) share: the
// bounded reading of the host's texts, the bounded writing back, and the file
// letters of a parsed header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "setup/records.h"
#include "mira/mira.h"

namespace mira {

// Work texts hold MIRA_MAX_CHECKED_TEXT characters and the terminator. The
// parsers read at most that many code units of a text and refuse a longer
// one; station texts, which go on to Portkit, are cut to it here.
inline constexpr size_t kWorkChars = MIRA_CHECKED_TEXT_BUFFER;

// Longest texts the checks write back, terminator not counted. Every number
// is a 32-bit value of at most 11 characters, so these follow from the
// formats; the values are published in mira.h for the host.
inline constexpr size_t kNumberChars = 11;
inline constexpr size_t kValidHeaderMax = MIRA_VALID_HEADER_MAX;
inline constexpr size_t kValidAddressMax = MIRA_VALID_ADDRESS_MAX;
inline constexpr size_t kHeaderAddressHeaderMax = MIRA_HEADER_ADDRESS_HEADER_MAX;
inline constexpr size_t kHeaderAddressItemMax = MIRA_HEADER_ADDRESS_ITEM_MAX;
inline constexpr size_t kValidAddressExMax = MIRA_VALID_ADDRESS_EX_MAX;
static_assert(kValidHeaderMax == 2 + kNumberChars + 1 + (kNumberChars - 1));        // "%s%d:%d", element >= 0
static_assert(kValidAddressMax == 1 + kNumberChars + 1 + kNumberChars);             // "%s%d%c%d"
static_assert(kHeaderAddressHeaderMax == 8 + kNumberChars + 1 + kNumberChars + 2);  // "%s/%d:%d:0"
static_assert(kHeaderAddressItemMax == kValidAddressMax);
static_assert(kValidAddressExMax == 2 + kNumberChars + 1 + kValidAddressMax);  // "%s%d:" + element
static_assert(kValidAddressExMax < kWorkChars);

// A terminated copy of a host text: at most kWorkChars - 1 characters are
// read, never past the terminator. A null text gives the empty text.
struct WorkText {
    char16_t text[kWorkChars];
    explicit WorkText(const char16_t* source);
};

// Writes a composed text into a host buffer: at most maxChars characters and
// the terminator. A null buffer is not written.
void CopyOut(char16_t* dest, size_t maxChars, const char16_t* composed);

// A header record as the checks start it: no file type, file number, slot,
// element or letter row, so that a parse refused before it reaches the
// letter syntax leaves the file type negative.
PlcAddress FreshHeader();

// The file letters of a parsed header: the row the letter syntax chose, or,
// after the numeric syntax (which leaves the row unset), the row of the file
// type. u"" when neither names a row.
const char16_t* LettersFor(const PlcAddress& header, uint32_t letterSyntax);

// The letters of the FileLetterTable row of a file type, or u"".
const char16_t* LettersOfType(int32_t fileType);

// An item's element text as the long forms write it: bits and sub-elements
// always carry their type letter; prefixed gives strings and plain elements
// theirs too.
void WriteLongElement(int32_t type, const ItemRequest& i, bool prefixed, char16_t* out, size_t cap);

// The checks behind the exported address functions (mira.h documents each);
// none touches the line or the driver's records.
int32_t ValidHeader(char16_t* headerText);
int32_t ValidAddress(const char16_t* headerText, char16_t* addressText);
int32_t ValidString1(const char16_t* text);
int32_t CompareAddress(const char16_t* stationA, const char16_t* addressA, const char16_t* stationB,
                       const char16_t* addressB);
int32_t GetHeaderAddress(const char16_t* stationA, const char16_t* addressA, const char16_t* stationB,
                         const char16_t* addressB, char16_t* headerText, char16_t* itemText);
int32_t ValidAddressEx(char16_t* text);

// The value type of an item text under a header text (MIRA_VALUE_DOUBLE for
// a float, MIRA_VALUE_STRING for a string, MIRA_VALUE_INTEGER otherwise),
// parsed into records of its own: a read or write in progress keeps its
// header and items, and the driver need not be open.
int32_t ValueTypeOf(const char16_t* headerText, const char16_t* addressText);

}  // namespace mira
