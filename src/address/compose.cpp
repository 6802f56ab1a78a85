// Whole addresses (a station text and one text naming file and element):
// their order, and the split of a second address into the header and item
// texts of the group functions, with whether it fits in one read with the
// first.
#include <cstdint>

#include "address/checks.h"
#include "address/parser.h"
#include "address/tables.h"
#include "mira/mira.h"
#include "platform/wide.h"
#include "setup/driver_state.h"

namespace mira {
namespace {

// Elements one read can span: any file, floating-point files, timer and
// counter files (control files have no limit of their own).
constexpr int64_t kSpanAny = 117;
constexpr int64_t kSpanFloat = 57;
constexpr int64_t kSpanTimerCounter = 38;

struct Parsed {
    PlcAddress header = FreshHeader();
    ItemRequest item{};
    uint32_t letterSyntax = 0;
};

Parsed Parse(const char16_t* station, const char16_t* address) {
    const WorkText s(station);
    Parsed p;
    const AddressResult parsed = ParseFullAddress(&p.header, &p.item, s.text, address);
    p.letterSyntax = Driver.LetterSyntax = parsed.letterSyntax;
    if (parsed.itemParsed) Driver.HasTypePrefix = parsed.typePrefix;
    return p;
}

int32_t Order(int64_t a, int64_t b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

// Station texts up to the end of A's, as unsigned code units.
int32_t OrderStationTexts(const char16_t* a, const char16_t* b) {
    constexpr size_t n = sizeof(PlcAddress::stationText) / sizeof(char16_t);
    for (size_t i = 0; i < n && a[i] != 0; ++i)
        if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
    return 0;
}

bool SameStationText(const char16_t* a, const char16_t* b) {
    return OrderStationTexts(a, b) == 0 && OrderStationTexts(b, a) == 0;
}

// The type word of the numeric form for a file type, or null.
const char16_t* TypeWordOf(int32_t fileType) {
    for (const TypeWord& row : TypeWordTable)
        if (row.fileType == fileType) return row.word;
    return nullptr;
}

// The header text of B, naming its first element 0.
void ComposeHeader(const Parsed& b, char16_t* out, size_t cap) {
    const PlcAddress& h = b.header;
    const char16_t* letters = LettersOf(h.fileLetter);
    if (h.fileType < 0) {
        wide::CopyText(out, cap, u"N7:0");
    } else if (b.letterSyntax == 0) {
        // A numeric address gets a numeric header with its type word, so that
        // the header parser finds the same file and slot again and applies no
        // reserved-number rule that the whole address did not.
        const char16_t* word = TypeWordOf(h.fileType);
        if (word == nullptr)
            wide::CopyText(out, cap, u"N7:0");
        else if (h.slot == 0)
            wide::swprintf(out, cap, u"%s/%d:0", word, h.fileNumber);
        else
            wide::swprintf(out, cap, u"%s/%d:%d:0", word, h.slot, h.fileNumber);
    } else {
        switch (h.fileType) {
            case kFileStatus:
                wide::swprintf(out, cap, u"S:%d", 0);
                break;
            case kFileBit:
            case kFileTimer:
            case kFileCounter:
            case kFileControl:
            case kFileInteger:
            case kFileFloat:
            case kFileString:
            case kFileAscii:
                wide::swprintf(out, cap, u"%s%d:%d", letters, h.fileNumber, 0);
                break;
            case kFileOutput:
            case kFileInput:
                if (h.slot < 0)
                    wide::swprintf(out, cap, u"%s:0.%d", letters, 0);
                else
                    wide::swprintf(out, cap, u"%s:%d.%d", letters, h.slot, 0);
                break;
            case kFileNone:
                wide::swprintf(out, cap, u"%s:%d", letters, 0);
                break;
            default:
                wide::CopyText(out, cap, u"N7:0");
                break;
        }
    }
}

bool FitsOneRead(const Parsed& a, const Parsed& b) {
    const PlcAddress &ha = a.header, &hb = b.header;
    const int64_t span = int64_t(b.item.element) - a.item.element;
    if (span < 0) return false;
    if (ha.station != hb.station || ha.fileType != hb.fileType || ha.fileNumber != hb.fileNumber ||
        ha.slot != hb.slot || !SameStationText(ha.stationText, hb.stationText))
        return false;
    if (span > kSpanAny) return false;
    if (b.item.kind == kKindString && int64_t(b.item.size) + a.item.element > kSpanAny) return false;
    if (ha.fileType == kFileFloat && span > kSpanFloat) return false;
    if ((ha.fileType == kFileTimer || ha.fileType == kFileCounter) && span > kSpanTimerCounter) return false;
    return true;
}

}  // namespace

int32_t CompareAddress(const char16_t* stationA, const char16_t* addressA,
                                    const char16_t* stationB, const char16_t* addressB) {
    const Parsed a = Parse(stationA, addressA);
    const Parsed b = Parse(stationB, addressB);
    const PlcAddress &ha = a.header, &hb = b.header;
    const ItemRequest &ia = a.item, &ib = b.item;
    if (int32_t r = OrderStationTexts(ha.stationText, hb.stationText)) return r;
    const int32_t fields[][2] = {{ha.station, hb.station},       {ha.fileType, hb.fileType},
                                 {ha.fileNumber, hb.fileNumber}, {ha.slot, hb.slot},
                                 {ia.element, ib.element},       {ia.hasBit != 0, ib.hasBit != 0}};
    for (const auto& f : fields)
        if (int32_t r = Order(f[0], f[1])) return r;
    if (ia.hasBit != 0 && ib.hasBit != 0)
        if (int32_t r = Order(ia.bit, ib.bit)) return r;
    if (ia.kind == kKindString) return Order(ia.size, ib.size);
    return 0;
}

int32_t GetHeaderAddress(const char16_t* stationA, const char16_t* addressA,
                                      const char16_t* stationB, const char16_t* addressB,
                                      char16_t* headerText, char16_t* itemText) {
    const Parsed a = Parse(stationA, addressA);
    const Parsed b = Parse(stationB, addressB);
    char16_t header[kWorkChars], item[kWorkChars];
    ComposeHeader(b, header, kWorkChars);
    WriteLongElement(b.header.fileType, b.item, true, item, kWorkChars);
    CopyOut(headerText, kHeaderAddressHeaderMax, header);
    CopyOut(itemText, kHeaderAddressItemMax, item);
    return FitsOneRead(a, b) ? 1 : 0;
}

}  // namespace mira
