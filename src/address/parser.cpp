// Header, item and whole-address texts into PlcAddress and ItemRequest.
//
// The parsers never fail half-way silently: a refused header or item keeps
// whatever fields were set before the refusal, because header validation
// rewrites a refused text from exactly those leftovers (a bare "T" keeps
// fileType 134 and so becomes "T4:0").
#include "address/parser.h"

#include "address/tables.h"
#include "mira/mira.h"
#include "platform/wide.h"
#include "setup/portkit.h"

namespace mira {
namespace {

using wide::wtol;

// Work texts: a whole header or address, and the part of a numeric header
// after its first ":".
constexpr size_t kWorkChars = 256;
constexpr size_t kTailChars = 32;
// An item is read from its first 15 characters; its element text from 14.
constexpr size_t kItemChars = 15;
constexpr size_t kElementChars = 14;
constexpr int32_t kStationChars = 80;

// True when text (possibly null) fits a work text of `capacity` units,
// terminator included; never reads more than capacity units.
bool Fits(const char16_t* text, size_t capacity) {
    return wide::wcsnlen(text, capacity) < capacity;
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// What one header or whole-address parse has found so far besides the
// records: whether the text turned out not to be in the numeric syntax, and
// whether it named a negative file number, slot or element. The records keep
// -1 for "none named", so such a number would be read as none (element 0,
// slot 0) or go out as another byte; ParseHeader refuses it.
struct Found {
    bool letterSyntax = false;
    bool negativeNumber = false;
};

// A number field of a header text.
int32_t HeaderNumber(const char16_t* text, Found& found) {
    const int32_t n = wtol(text);
    if (n < 0) found.negativeNumber = true;
    return n;
}

// True when the text, white space at both ends aside, is not empty and holds
// printable ASCII only. Anything else (a control character, a digit of
// another script) would be read as a number it does not show.
bool PrintableAscii(const char16_t* text, size_t limit) {
    size_t begin = 0, end = wide::wcsnlen(text, limit);
    while (begin < end && wide::IsSpace(text[begin])) ++begin;
    while (end > begin && wide::IsSpace(text[end - 1])) --end;
    if (begin == end) return false;
    for (size_t i = begin; i < end; ++i)
        if (text[i] < 0x20 || text[i] > 0x7E) return false;
    return true;
}

// Copies at most count characters and terminates; dest holds count + 1.
void CopyPrefix(char16_t* dest, const char16_t* source, size_t count) {
    size_t n = 0;
    for (; n < count && source[n] != 0; ++n) dest[n] = source[n];
    dest[n] = 0;
}

void ClearFileFields(PlcAddress* header) {
    header->fileType = -1;
    header->elementBase = -1;
    header->fileNumber = -1;
    header->slot = -1;
}

// A text too long for the work texts names no file in either syntax.
void RefuseWhole(PlcAddress* header, Found& found) {
    found.letterSyntax = true;
    ClearFileFields(header);
}

// What the numeric syntax made of a text. `item` is the element text of a
// whole address (the last number field), null when the numeric form did not
// get far enough to have one.
struct NumericResult {
    bool letterSyntax;
    const char16_t* itemText;
    bool tooLong = false;  // a numeric text whose tail exceeds its work text
};

// The numeric syntax shared by headers and whole addresses: an optional type
// word and "/", then file:element or slot:file:element. `work` is a writable
// copy of the text that the function cuts up; `tail` receives the part after
// the first ":". With wholeAddress the element stays 0 and its text is
// handed back for the item parser.
NumericResult ParseNumeric(PlcAddress* header, char16_t* work, char16_t (&tail)[kTailChars],
                           bool wholeAddress, Found& found) {
    NumericResult result{false, nullptr};
    char16_t* rest = work;
    bool typeWordGiven = false;
    if (char16_t* slash = wide::wcschr(work, u'/')) {
        *slash = 0;
        typeWordGiven = true;
        result.letterSyntax = true;
        for (const TypeWord& type : TypeWordTable) {
            if (wide::wcsicmp(work, type.word) == 0) {
                header->fileType = type.fileType;
                result.letterSyntax = false;
                break;
            }
        }
        rest = slash + 1;
    } else {
        header->fileType = kFileInteger;
    }
    if (result.letterSyntax) return result;

    char16_t* colon = wide::wcschr(rest, u':');
    if (colon == nullptr) return {true, nullptr};
    *colon = 0;
    const char16_t* first = rest;
    if (!IsDigit(first[0])) return {true, nullptr};
    // A numeric tail that does not fit its work text is refused as a whole
    // rather than read shortened into a different address.
    if (!Fits(colon + 1, kTailChars)) return {true, nullptr, true};
    wide::CopyText(tail, kTailChars, colon + 1);
    header->fileNumber = 0;
    header->slot = 0;
    header->elementBase = 0;
    if (tail[0] == 0) return {true, nullptr};

    if (char16_t* second = wide::wcschr(tail, u':')) {
        *second = 0;
        if (!typeWordGiven) result.letterSyntax = true;
        header->slot = HeaderNumber(first, found);
        header->fileNumber = HeaderNumber(tail, found);
        if (wholeAddress)
            result.itemText = second + 1;
        else
            header->elementBase = HeaderNumber(second + 1, found);
    } else {
        header->slot = 0;
        header->fileNumber = HeaderNumber(first, found);
        if (wholeAddress)
            result.itemText = tail;
        else
            header->elementBase = HeaderNumber(tail, found);
    }
    return result;
}

// Whether the file-letter token of the letter syntax passed its length
// check; fileType and fileLetter are set either way, as callers rely on.
enum class TokenCheck { Good, Refused };

// A "-" right after the file letters: N-7, ST-3.
bool MinusAfterLetters(const char16_t* token) {
    if (token[1] == u'-') return true;
    return token[0] == u'S' && token[1] != 0 && token[2] == u'-';
}

int32_t LookUpLetter(const char16_t* token) {
    for (int32_t row = 0; row < int32_t(FileLetterTable.size()); ++row) {
        if (FileLetterTable[row].letters[0] == token[0]) {
            if (row == kRowS && token[1] == u'T') return kRowST;
            return row;
        }
    }
    return -1;
}

// Sets fileType, checks the token length, then sets fileNumber.
TokenCheck ApplyLetterRow(PlcAddress* header, int32_t row, const char16_t* token, Found& found) {
    const size_t length = wide::wcslen(token);
    header->fileLetter = row;
    header->fileType = FileLetterTable[row].fileType;
    switch (row) {
        case kRowO:
        case kRowI:
        case kRowS:
            if (length != 1) return TokenCheck::Refused;
            header->fileNumber = row == kRowO ? 0 : row == kRowI ? 1 : 2;
            return TokenCheck::Good;
        case kRowU:
            header->fileNumber = -1;
            return TokenCheck::Good;
        case kRowST:
            if (length < 3) return TokenCheck::Refused;
            header->fileNumber = HeaderNumber(token + 2, found);
            return TokenCheck::Good;
        default:
            if (length < 2) return TokenCheck::Refused;
            header->fileNumber = HeaderNumber(token + 1, found);
            return TokenCheck::Good;
    }
}

// A mnemonic text against the table of a file type: the row, or -1.
int32_t FindMnemonic(int32_t fileType, const char16_t* text) {
    const MnemonicTable table = MnemonicsOf(fileType);
    for (int32_t row = 0; row < table.count; ++row)
        if (wide::wcsicmp(text, table.texts[row]) == 0) return row;
    return -1;
}

int32_t DefaultKind(int32_t fileType) {
    switch (fileType) {
        case kFileStatus:
        case kFileBit:
        case kFileTimer:
        case kFileCounter:
        case kFileControl:
        case kFileInteger:
        case kFileOutput:
        case kFileInput: return kKindWord;
        case kFileFloat: return kKindFloat;
        case kFileString:
        case kFileAscii: return kKindString;
        default: return kKindNone;
    }
}

// The opening of the letter syntax, shared by headers and whole addresses: a
// fresh trimmed, upper-cased copy of the text and the file fields cleared.
// Returns the first token (up to ":"), or null when there is none or a "-"
// follows the file letters.
char16_t* BeginLetterSyntax(PlcAddress* header, char16_t (&work)[kWorkChars], const char16_t* text,
                            char16_t** save, Found& found) {
    found.letterSyntax = true;
    wide::CopyText(work, kWorkChars, text);
    TrimBlanks(work);
    wide::wcsupr(work);
    ClearFileFields(header);
    char16_t* token = wide::wcstok(work, u":", save);
    return token != nullptr && !MinusAfterLetters(token) ? token : nullptr;
}

}  // namespace

void TrimBlanks(char16_t* text) {
    if (text == nullptr || text[0] == 0) return;
    size_t lead = 0;
    while (wide::IsSpace(text[lead])) ++lead;
    size_t n = 0;
    for (; text[lead + n] != 0; ++n) text[n] = text[lead + n];
    text[n] = 0;
    while (n > 0 && wide::IsSpace(text[n - 1])) text[--n] = 0;
}

namespace {

// The header parse proper; ParseHeader adds the refusals of texts it would
// misread, after the fields are set as the address checks rely on.
int32_t ReadHeader(PlcAddress* header, const char16_t* stationText, const char16_t* headerText,
                   uint32_t modelClass, Found& found) {
    header->stationText[0] = 0;
    if (headerText == nullptr || !Fits(headerText, kWorkChars)) {
        RefuseWhole(header, found);
        return MIRA_ERR_BAD_HEADER;
    }
    if (wide::wcsnicmp(headerText, u"INVALID:", 8) == 0) return MIRA_ERR_BAD_HEADER;
    header->station = stationText != nullptr ? wtol(stationText) : 0;

    char16_t work[kWorkChars];
    char16_t tail[kTailChars];
    wide::CopyText(work, kWorkChars, headerText);
    const NumericResult numeric = ParseNumeric(header, work, tail, false, found);
    if (!numeric.letterSyntax) return 0;
    if (numeric.tooLong) {
        RefuseWhole(header, found);
        return MIRA_ERR_BAD_HEADER;
    }

    char16_t* save = nullptr;
    const char16_t* token = BeginLetterSyntax(header, work, headerText, &save, found);
    if (token == nullptr) return MIRA_ERR_BAD_HEADER;
    const int32_t row = LookUpLetter(token);
    if (row < 0) return MIRA_ERR_BAD_HEADER;
    if (ApplyLetterRow(header, row, token, found) != TokenCheck::Good) return MIRA_ERR_BAD_HEADER;

    if (modelClass != 5 && header->fileNumber >= 0 &&
        header->fileNumber < int32_t(ReservedFileTypes.size()) &&
        ReservedFileTypes[header->fileNumber] != header->fileType)
        return MIRA_ERR_BAD_HEADER;

    char16_t* element = wide::wcstok(nullptr, u":", &save);
    if (element == nullptr) return 0;
    if (row == kRowO || row == kRowI) {
        char16_t* pieceSave = nullptr;
        const char16_t* slotText = wide::wcstok(element, u".", &pieceSave);
        if (slotText == nullptr) return MIRA_ERR_BAD_HEADER;
        header->slot = HeaderNumber(slotText, found);
        const char16_t* elementText = wide::wcstok(nullptr, u".", &pieceSave);
        if (elementText == nullptr) return MIRA_ERR_BAD_HEADER;
        header->elementBase = HeaderNumber(elementText, found);
    } else {
        header->elementBase = HeaderNumber(element, found);
    }
    return 0;
}

int32_t ReadItem(const PlcAddress* header, ItemRequest* item, const char16_t* itemText, bool* typePrefix);

}  // namespace

HeaderResult ParseHeader(PlcAddress* header, const char16_t* stationText, const char16_t* headerText,
                         uint32_t modelClass) {
    Found found;
    int32_t code = ReadHeader(header, stationText, headerText, modelClass, found);
    if (code == 0 && (found.negativeNumber || !PrintableAscii(headerText, kWorkChars)))
        code = MIRA_ERR_BAD_HEADER;
    return {code, found.letterSyntax};
}

ItemResult ParseItem(const PlcAddress* header, ItemRequest* item, const char16_t* itemText) {
    ItemResult parsed{0, true};
    parsed.code = ReadItem(header, item, itemText, &parsed.typePrefix);
    // An empty item, or one with characters it cannot show, would be read
    // as element 0 (or a number other than the one the host sees).
    if (parsed.code == 0 && (itemText == nullptr || !PrintableAscii(itemText, kItemChars)))
        parsed.code = MIRA_ERR_BAD_MNEMONIC;
    return parsed;
}

namespace {

int32_t ReadItem(const PlcAddress* header, ItemRequest* item, const char16_t* itemText, bool* typePrefix) {
    item->mnemonic = 0;
    item->kind = 0;
    item->element = 0;
    item->size = 0;
    item->hasBit = 0;
    *typePrefix = true;

    char16_t text[kItemChars + 1];
    CopyPrefix(text, itemText != nullptr ? itemText : u"", kItemChars);
    TrimBlanks(text);
    wide::wcsupr(text);

    const char16_t* elementSource = text;
    int32_t prefix = -1;
    for (int32_t kind = 0; kind < int32_t(TypePrefixTable.size()); ++kind)
        if (text[0] != 0 && text[0] == TypePrefixTable[kind][0]) {
            prefix = kind;
            break;
        }
    if (prefix >= 0) {
        item->kind = prefix;
        elementSource = text + 1;
    } else {
        *typePrefix = false;
        if (header->fileType == kFileNone) return MIRA_ERR_BAD_HEADER;
        item->kind = DefaultKind(header->fileType);
    }
    char16_t element[kElementChars + 1];
    CopyPrefix(element, elementSource, kElementChars);

    item->hasBit = 0;
    const char16_t* dot = wide::wcschr(element, u'.');
    const char16_t* slash = wide::wcschr(element, u'/');
    switch (header->fileType) {
        case kFileTimer:
        case kFileCounter:
        case kFileControl: {
            const char16_t* separator = dot != nullptr ? dot : slash;
            if (separator == nullptr) {
                item->element = wtol(element);
                return MIRA_ERR_BAD_MNEMONIC;
            }
            const int32_t row = FindMnemonic(header->fileType, separator + 1);
            if (row < 0) return MIRA_ERR_BAD_MNEMONIC;
            item->mnemonic = row;
            item->element = wtol(element);
            return 0;
        }
        case kFileString:
            if (dot != nullptr) {
                item->size = wtol(dot + 1);
                item->element = wtol(element);
            } else {
                item->size = 2;
                item->element = wtol(element);
            }
            return 0;
        default:
            if (slash != nullptr) {
                item->hasBit = 1;
                item->separator = u'/';
                item->bit = wtol(slash + 1);
                item->element = wtol(element);
            } else if (dot != nullptr) {
                if (item->kind == kKindString) {
                    const int32_t size = wtol(dot + 1);
                    item->size = size != 0 ? size : 2;
                } else {
                    item->hasBit = 1;
                    item->separator = u'.';
                    item->bit = wtol(dot + 1);
                }
                item->element = wtol(element);
            } else {
                item->size = 2;
                item->element = wtol(element);
            }
            return 0;
    }
}

}  // namespace

namespace {

// An item within a whole address; when there are two (the numeric syntax
// gave way to the letter syntax), the last one stands.
void ReadAddressItem(const PlcAddress* header, ItemRequest* item, const char16_t* text,
                     AddressResult& parsed) {
    parsed.itemParsed = true;
    parsed.typePrefix = ParseItem(header, item, text).typePrefix;
}

void ReadAddress(PlcAddress* header, ItemRequest* item, const char16_t* stationText,
                 const char16_t* addressText, Found& found, AddressResult& parsed) {
    if (stationText == nullptr) stationText = u"";
    char16_t station[kStationChars + 1] = {};
    PkStationText(nullptr, stationText, station, kStationChars);
    station[kStationChars] = 0;
    header->station = wtol(station);
    wide::CopyText(header->stationText, kStationChars + 1, stationText);

    if (addressText == nullptr || !Fits(addressText, kWorkChars)) {
        RefuseWhole(header, found);
        return;
    }

    char16_t work[kWorkChars];
    char16_t tail[kTailChars];
    wide::CopyText(work, kWorkChars, addressText);
    const NumericResult numeric = ParseNumeric(header, work, tail, true, found);
    if (numeric.tooLong) {
        RefuseWhole(header, found);
        return;
    }
    if (numeric.itemText != nullptr) {
        header->elementBase = 0;
        ReadAddressItem(header, item, numeric.itemText, parsed);
    }
    if (!numeric.letterSyntax) return;

    char16_t* save = nullptr;
    const char16_t* token = BeginLetterSyntax(header, work, addressText, &save, found);
    if (token == nullptr) return;
    int32_t row = LookUpLetter(token);
    if (wide::wcsnicmp(token, u"INVALID", 7) == 0) row = kRowU;
    if (row < 0) return;
    if (ApplyLetterRow(header, row, token, found) != TokenCheck::Good) return;

    char16_t* element = wide::wcstok(nullptr, u":", &save);
    if (element == nullptr) return;
    if (element[0] == u'-' || element[1] == u'-') return;
    const char16_t* elementText = element;
    if (row == kRowO || row == kRowI) {
        const char16_t* dot = wide::wcschr(element, u'.');
        if (dot == nullptr) return;
        header->slot = wtol(element);
        elementText = dot + 1;
        if (elementText[0] == 0) return;
    }
    header->elementBase = 0;
    ReadAddressItem(header, item, elementText, parsed);
}

}  // namespace

AddressResult ParseFullAddress(PlcAddress* header, ItemRequest* item, const char16_t* stationText,
                               const char16_t* addressText) {
    Found found;
    AddressResult parsed{};
    ReadAddress(header, item, stationText, addressText, found, parsed);
    parsed.letterSyntax = found.letterSyntax;
    return parsed;
}

}  // namespace mira
