// The host's address editor: one whole address text (N7:5, T4:2.ACC,
// I:1.3/4) rewritten in place into its canonical form, or into an example
// address of its file where it names no element or cannot be read; the
// result says whether a read would take it, split into header and item.
#include <array>
#include <cstdint>

#include "address/checks.h"
#include "address/parser.h"
#include "address/taken.h"
#include "address/tables.h"
#include "mira/mira.h"
#include "platform/wide.h"
#include "setup/driver_state.h"

namespace mira {
namespace {

// Example addresses of one file type. misplacedFloat answers an "F" item on
// a file that is not a float file; fileOnly a file without a usable number;
// numbered (a format taking the file number) a file number at or above the
// threshold (0: the file has no number of its own); slotted (a format taking
// the letters and the file number, or for the I/O files the slot) an address
// with a slot but no element.
struct ExampleRow {
    int32_t fileType;
    const char16_t* misplacedFloat;
    const char16_t* fileOnly;
    const char16_t* numbered;
    int32_t threshold;
    const char16_t* slotted;
};

constexpr std::array<ExampleRow, 12> ExampleTable{{
    {kFileStatus, u"S:W0", u"S:W0", u"S:W0", 0, u"S:W0"},
    {kFileBit, u"B3:W0", u"B3:W0", u"B%d:W0", 10, u"%s%d:W0"},
    {kFileTimer, u"T4:W0.DN", u"T4:W0.DN", u"T%d:W0.DN", 10, u"%s%d:W0.DN"},
    {kFileCounter, u"C5:W0.UA", u"C5:W0.UA", u"C%d:W0.UA", 10, u"%s%d:W0.UA"},
    {kFileControl, u"R6:W0.FD", u"R6:W0.FD", u"R%d:W0.FD", 10, u"%s%d:W0.FD"},
    {kFileInteger, u"N7:W0", u"N7:W0", u"N%d:W0", 9, u"%s%d:W0"},
    {kFileFloat, u"F8:F0", u"F8:F0", u"F%d:F0", 10, u"%s%d:F0"},
    {kFileOutput, u"O:0.W0", u"O:0.W0", u"O:0.W0", 0, u"%s:%d.W0"},
    {kFileInput, u"I:0.W0", u"I:0.W0", u"I:0.W0", 0, u"%s:%d.W0"},
    {kFileString, u"ST11:S0.2", u"ST11:S0.2", u"ST%d:S0.2", 9, u"%s%d:S0.2"},
    {kFileAscii, u"A14:S0.2", u"A10:S0.2", u"A%d:S0.2", 9, u"%s%d:S0.2"},
    {kFileNone, u"U:W0", u"U:W0", u"U:W0", 0, u"U:W0"},
}};

const ExampleRow* ExampleOf(int32_t fileType) {
    for (const ExampleRow& row : ExampleTable)
        if (row.fileType == fileType) return &row;
    return nullptr;
}

bool IsIo(int32_t t) {
    return t == kFileOutput || t == kFileInput;
}

// An address naming a file but no element.
void WriteExample(const ExampleRow& row, const PlcAddress& h, const char16_t* letters, char16_t* out,
                  size_t cap) {
    if (h.slot >= 0)
        wide::swprintf(out, cap, row.slotted, letters, IsIo(h.fileType) ? h.slot : h.fileNumber);
    else if (h.fileNumber == -1 || row.threshold == 0 || h.fileNumber < row.threshold)
        wide::CopyText(out, cap, row.fileOnly);
    else
        wide::swprintf(out, cap, row.numbered, h.fileNumber);
}

// The file prefix: short form (no slot: I/O files on slot 0) or long form.
int WritePrefix(const PlcAddress& h, const char16_t* letters, bool longForm, char16_t* out, size_t cap) {
    switch (h.fileType) {
        case kFileStatus:
            return wide::swprintf(out, cap, u"S:");
        case kFileOutput:
        case kFileInput:
            return wide::swprintf(out, cap, u"%s:%d.", letters, longForm ? h.slot : 0);
        case kFileNone:
            return wide::swprintf(out, cap, u"%s:", letters);
        default:
            return wide::swprintf(out, cap, u"%s%d:", letters, h.fileNumber);
    }
}

// The element text of the short form.
void WriteShortElement(int32_t type, const ItemRequest& i, bool prefixed, char16_t* out, size_t cap) {
    const char16_t* p = PrefixOf(i.kind);
    const int32_t e = i.element;
    if (i.hasBit == 1) {
        const bool bitLess =
            (!prefixed && i.kind == kKindFloat) ||
            (prefixed && i.kind == kKindString && (type == kFileFloat || IsWholeElementFile(type))) ||
            (prefixed && i.kind != kKindString && i.kind != kKindFloat && type == kFileFloat);
        if (bitLess)
            wide::swprintf(out, cap, u"%d", e);
        else if (prefixed && i.kind == kKindFloat)
            wide::swprintf(out, cap, u"F%d", e);
        else if (prefixed)
            wide::swprintf(out, cap, u"%s%d%c%d", p, e, i.separator, i.bit);
        else
            wide::swprintf(out, cap, u"%d%c%d", e, i.separator, i.bit);
    } else if (IsWholeElementFile(type)) {
        const char16_t* m = MnemonicText(type, i.mnemonic);
        if (prefixed && i.kind != kKindString)
            wide::swprintf(out, cap, u"%s%d.%s", p, e, m);
        else
            wide::swprintf(out, cap, u"%d.%s", e, m);
    } else if (type == kFileString) {
        if (prefixed && i.kind == kKindString)
            wide::swprintf(out, cap, u"S%d.%d", e, i.size);
        else
            wide::swprintf(out, cap, u"%d.%d", e, i.size);
    } else if (type == kFileFloat) {
        if (prefixed && i.kind == kKindFloat)
            wide::swprintf(out, cap, u"F%d", e);
        else
            wide::swprintf(out, cap, u"%d", e);
    } else if (i.kind == kKindString) {
        if (prefixed)
            wide::swprintf(out, cap, u"S%d.%d", e, i.size);
        else
            wide::swprintf(out, cap, u"%d.%d", e, i.size);
    } else {
        if (prefixed)
            wide::swprintf(out, cap, u"%s%d", p, e);
        else
            wide::swprintf(out, cap, u"%d", e);
    }
}

// Composes the canonical text; false when the text stays as typed.
bool Compose(const char16_t* typed, char16_t* out, size_t cap) {
    if (typed[0] == 0) {
        wide::CopyText(out, cap, u"N7:W0");
        return true;
    }
    PlcAddress h = FreshHeader();
    ItemRequest item{};
    const AddressResult parsed = ParseFullAddress(&h, &item, u"0", typed);
    Driver.LetterSyntax = parsed.letterSyntax;
    if (parsed.itemParsed) Driver.HasTypePrefix = parsed.typePrefix;
    const uint32_t letterSyntax = Driver.LetterSyntax;
    const bool prefixed = Driver.HasTypePrefix == 1;
    const ExampleRow* row = ExampleOf(h.fileType);
    if (row == nullptr) {
        wide::CopyText(out, cap, u"N7:W0");
        return true;
    }
    const char16_t* letters = LettersFor(h, letterSyntax);
    if (h.fileType != kFileFloat && item.kind == kKindFloat) {
        wide::CopyText(out, cap, row->misplacedFloat);
    } else if (h.elementBase < 0) {
        WriteExample(*row, h, letters, out, cap);
    } else if (h.slot < 0) {
        const int n = WritePrefix(h, letters, false, out, cap);
        WriteShortElement(h.fileType, item, prefixed, out + n, cap - size_t(n));
    } else if (letterSyntax == 0) {
        return false;  // numeric addresses are kept exactly as typed
    } else {
        const int n = WritePrefix(h, letters, true, out, cap);
        WriteLongElement(h.fileType, item, prefixed, out + n, cap - size_t(n));
    }
    return true;
}

}  // namespace

void WriteLongElement(int32_t type, const ItemRequest& i, bool prefixed, char16_t* out, size_t cap) {
    const char16_t* p = PrefixOf(i.kind);
    if (i.hasBit == 1)
        wide::swprintf(out, cap, u"%s%d%c%d", p, i.element, i.separator, i.bit);
    else if (IsWholeElementFile(type))
        wide::swprintf(out, cap, u"%s%d.%s", p, i.element, MnemonicText(type, i.mnemonic));
    else if (i.kind == kKindString)
        wide::swprintf(out, cap, prefixed ? u"S%d.%d" : u"%d.%d", i.element, i.size);
    else if (prefixed)
        wide::swprintf(out, cap, u"%s%d", p, i.element);
    else
        wide::swprintf(out, cap, u"%d", i.element);
}

int32_t ValidAddressEx(char16_t* text) {
    if (text == nullptr) return MIRA_ERR_BAD_HEADER;
    // The verdict is on the text as typed, before it is rewritten.
    const int32_t code = TakeAddress(text);
    char16_t out[kWorkChars];
    if (Compose(text, out, kWorkChars)) CopyOut(text, kValidAddressExMax, out);
    return code;
}

}  // namespace mira
