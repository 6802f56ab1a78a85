// The checks of a driver sheet's row: the header text, the item text under
// it, and the controller model text of the settings. The first two always
// rewrite, a bad entry as a usable default, and return whether a read would
// take the text as typed.
#include "address/checks.h"
#include "address/parser.h"
#include "address/taken.h"
#include "address/tables.h"
#include "mira/mira.h"
#include "platform/wide.h"
#include "setup/driver_state.h"

namespace mira {
namespace {

bool IsIo(int32_t fileType) {
    return fileType == kFileOutput || fileType == kFileInput;
}

// Files whose header is letters, file number and element (B3:0 ... A14:0).
bool IsNumberedFile(int32_t fileType) {
    return (fileType >= kFileBit && fileType <= kFileFloat) || fileType == kFileString ||
           fileType == kFileAscii;
}

const char16_t* DefaultHeaderOf(int32_t fileType) {
    for (const FileLetter& row : FileLetterTable)
        if (row.fileType == fileType) return row.defaultHeader;
    return u"N7:0";
}

// Composes the canonical header into out; false when the text stays as typed.
bool ComposeHeader(const PlcAddress& h, uint32_t letterSyntax, char16_t* out, size_t cap) {
    const int32_t type = h.fileType, e = h.elementBase, s = h.slot, f = h.fileNumber;
    const char16_t* letters = LettersFor(h, letterSyntax);
    const bool known = type == kFileStatus || type == kFileNone || IsIo(type) || IsNumberedFile(type);
    if (type < 0 || !known) {
        wide::CopyText(out, cap, u"N7:0");
    } else if (e < 0) {
        if (type == kFileStatus || type == kFileNone) {
            wide::CopyText(out, cap, DefaultHeaderOf(type));
        } else if (IsIo(type)) {
            if (s < 0)
                wide::CopyText(out, cap, DefaultHeaderOf(type));
            else
                wide::swprintf(out, cap, u"%s:%d.0", letters, s);
        } else if (s < 0 && f == -1) {
            wide::CopyText(out, cap, DefaultHeaderOf(type));
        } else if (s < 0) {
            // The letters of the file type itself, as its default header has.
            wide::swprintf(out, cap, u"%s%d:0", LettersOfType(type), f);
        } else {
            wide::swprintf(out, cap, u"%s%d:0", letters, f);
        }
    } else if (s >= 0 && letterSyntax == 0) {
        return false;  // the numeric form is kept exactly as the user typed it
    } else if (type == kFileStatus) {
        wide::swprintf(out, cap, u"S:%d", e);
    } else if (type == kFileNone) {
        wide::swprintf(out, cap, u"%s:%d", letters, e);
    } else if (IsIo(type)) {
        if (s < 0)
            wide::swprintf(out, cap, u"%s:0.%d", letters, e);
        else
            wide::swprintf(out, cap, u"%s:%d.%d", letters, s, e);
    } else {
        wide::swprintf(out, cap, u"%s%d:%d", letters, f, e);
    }
    return true;
}

void ComposeItem(int32_t type, const ItemRequest& item, bool prefixed, char16_t* out, size_t cap) {
    const int32_t kind = item.kind, e = item.element, s = item.size, b = item.bit;
    const char16_t* p = PrefixOf(kind);
    const bool wordKind = kind == kKindWord || kind == kKindBcd;
    if (item.hasBit == 1) {
        if (prefixed && kind == kKindFloat && type == kFileFloat)
            wide::swprintf(out, cap, u"F%d", e);
        else if (kind == kKindFloat || (prefixed && type == kFileFloat))
            wide::swprintf(out, cap, u"%d", e);
        else if (prefixed)
            wide::swprintf(out, cap, u"%s%d%c%d", p, e, item.separator, b);
        else
            wide::swprintf(out, cap, u"%d%c%d", e, item.separator, b);
        return;
    }
    switch (type) {
        case kFileTimer:
        case kFileCounter:
        case kFileControl: {
            const char16_t* m = MnemonicText(type, item.mnemonic);
            if (prefixed && wordKind)
                wide::swprintf(out, cap, u"%s%d.%s", p, e, m);
            else
                wide::swprintf(out, cap, u"%d.%s", e, m);
            return;
        }
        case kFileFloat:
            if (prefixed && kind == kKindFloat)
                wide::swprintf(out, cap, u"F%d", e);
            else
                wide::swprintf(out, cap, u"%d", e);
            return;
        case kFileString:
            if (prefixed && kind == kKindString)
                wide::swprintf(out, cap, u"S%d.%d", e, s);
            else
                wide::swprintf(out, cap, u"%d.%d", e, s);
            return;
        default:
            if (prefixed && kind == kKindString)
                wide::swprintf(out, cap, u"S%d.%d", e, s);
            else if (prefixed && wordKind)
                wide::swprintf(out, cap, u"%s%d", p, e);
            else if (type == kFileAscii)
                wide::swprintf(out, cap, u"%d.%d", e, s);
            else
                wide::swprintf(out, cap, u"%d", e);
            return;
    }
}

// Upper-cases the ASCII letters of a character.
char16_t Upper(char16_t c) {
    return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c;
}

}  // namespace

// Both rewrite from the record of the parse; the verdict on the text as
// typed is the result.
int32_t ValidHeader(char16_t* headerText) {
    if (headerText == nullptr) return MIRA_ERR_BAD_HEADER;
    PlcAddress header = FreshHeader();
    const HeaderResult taken = TakeHeader(&header, u"0", headerText);
    Driver.LetterSyntax = taken.letterSyntax;
    char16_t out[kWorkChars];
    if (ComposeHeader(header, Driver.LetterSyntax, out, kWorkChars))
        CopyOut(headerText, kValidHeaderMax, out);
    return taken.code;
}

int32_t ValidAddress(const char16_t* headerText, char16_t* addressText) {
    PlcAddress header = FreshHeader();
    ItemRequest item{};
    const HeaderResult headerTaken = TakeHeader(&header, u"", headerText != nullptr ? headerText : u"");
    Driver.LetterSyntax = headerTaken.letterSyntax;
    const ItemResult taken = TakeItem(&header, &item, addressText != nullptr ? addressText : u"");
    Driver.HasTypePrefix = taken.typePrefix;
    char16_t out[kWorkChars];
    ComposeItem(header.fileType, item, Driver.HasTypePrefix == 1, out, kWorkChars);
    CopyOut(addressText, kValidAddressMax, out);
    // A refused header refuses the pair, whatever the item.
    return headerTaken.code != 0 ? headerTaken.code : taken.code;
}

int32_t ValueTypeOf(const char16_t* headerText, const char16_t* addressText) {
    // A blank station: the type does not depend on it. The parsers' results
    // are not examined, only the kind the item ends with.
    PlcAddress header = FreshHeader();
    ItemRequest item{};
    Driver.LetterSyntax = ParseHeader(&header, u" ", headerText, Driver.ModelClass).letterSyntax;
    Driver.HasTypePrefix = ParseItem(&header, &item, addressText).typePrefix;
    return item.kind == kKindFloat ? MIRA_VALUE_DOUBLE : item.kind == kKindString ? MIRA_VALUE_STRING : MIRA_VALUE_INTEGER;
}

// The settings accept "5X" and "5x" alike for the table's "5X" row (they
// upper-case the text), so every row is compared here in capital letters.
int32_t ValidString1(const char16_t* text) {
    if (text != nullptr && wide::wcsnlen(text, kWorkChars) >= kWorkChars) return 3;  // no model is that long
    const WorkText typed(text);
    // Every row of the model table in any case; a row whose number after
    // ':' chooses octal I/O also with ":0" or ":1".
    for (const PlcModel& row : PlcModelTable) {
        size_t i = 0;
        while (row.text[i] != 0 && Upper(typed.text[i]) == Upper(row.text[i])) ++i;
        if (row.text[i] != 0) continue;
        const char16_t* rest = typed.text + i;
        if (rest[0] == 0) return 0;
        if (row.octalFromSuffix && rest[0] == u':' && (rest[1] == u'0' || rest[1] == u'1') && rest[2] == 0) return 0;
    }
    return 3;
}

}  // namespace mira
