// The range, layout and request of a group read, shared by both read starts.
#include "commands/read_start.h"

#include "address/tables.h"
#include "commands/element_layout.h"
#include "commands/request.h"
#include "setup/driver_state.h"

namespace mira {
namespace {

bool IsIo(int32_t fileType) { return fileType == kFileInput || fileType == kFileOutput; }

bool Plc5() { return Driver.Plc5Family == 1; }

int32_t Fail(int32_t* error, int32_t code) {
    *error = code;
    return 0;
}

int32_t g_startedItems = 0;

}  // namespace

bool ItemSpan(int32_t fileType, const ItemRequest& item, int32_t* lo, int32_t* hi) {
    const int32_t e = item.element;
    const int32_t kind = item.kind;
    const ElementLayout& layout = ElementLayoutOf(Plc5(), fileType);
    if (kind < kKindWord || kind > kKindString) return false;
    // A bit of a float or of a string names nothing the decoding can give.
    if (item.hasBit == 1 && (kind == kKindFloat || kind == kKindString)) return false;
    if (IsWholeElementFile(fileType)) {
        const MnemonicTable t = MnemonicsOf(fileType);
        if (kind >= kKindFloat || item.mnemonic < 0 || item.mnemonic >= t.count) return false;
        *lo = *hi = e;
        return true;
    }
    if (fileType == kFileAscii) {
        // Item e of an ASCII file starts at unit 2e of the range: a word for
        // PLC-2 and SLC 500, a character for the PLC-5 family.
        if (kind == kKindFloat) return false;
        if (Plc5() && kind != kKindString) return false;
        *lo = 2 * e;
        *hi = 2 * e + (kind == kKindString ? StringUnits(layout, item.size) : 1) - 1;
        return true;
    }
    *lo = e;
    switch (kind) {
        case kKindFloat:
            // In a float file an element is the float (the request reads one
            // more, as the controller expects); elsewhere a float is the
            // words from e on.
            *hi = (fileType == kFileFloat && Plc5()) ? e : e + kWordsPerFloat - 1;
            return true;
        case kKindString:
            *hi = e + StringUnits(layout, item.size) - 1;
            return true;
        default:
            *hi = e;
            return true;
    }
}

int32_t StartedItemCount() { return g_startedItems; }
void SetStartedItemCount(int32_t count) {
    g_startedItems = count;
    Driver.Outstanding = count > 0 ? kReadExchange : kNoExchange;
}

int32_t StartRead(int32_t count, int32_t maxElements, int32_t* error) {
    SetStartedItemCount(0);
    PlcAddress& h = Driver.CurrentHeader;
    ItemRequest* items = Driver.ItemTable;
    if (count <= 0 || count > kItemTableRows) return Fail(error, MIRA_ERR_RANGE);
    // Numbers no request field can carry are refused before any sum of them
    // could leave 32 bits; an item's element is an offset, so it may be
    // negative as long as the element it names is not.
    if (h.elementBase > kMaxFieldNumber) return Fail(error, MIRA_ERR_RANGE);
    for (int32_t i = 0; i < count; ++i) {
        if (items[i].element < -kMaxFieldNumber || items[i].element > kMaxFieldNumber ||
            !OctalNumbersFit(h, items[i]))
            return Fail(error, MIRA_ERR_RANGE);
        if (items[i].size < 0) items[i].size = 0;
        if (items[i].size > kMaxStringChars) items[i].size = kMaxStringChars;
    }

    if (h.fileType == kFileString) {
        // PLC-2 has no string files: its unprotected read carries neither a
        // file nor the string's length word.
        if (Driver.ModelClass == kClassPlc2 && !Plc5()) return Fail(error, MIRA_ERR_BAD_HEADER);
        *error = ReadStringItems(&h, items, count);
        if (*error != 0) return 0;
        SetStartedItemCount(count);
        return 1;
    }

    if (Driver.OctalIo == 1 && IsIo(h.fileType))
        for (int32_t i = 0; i < count; ++i) items[i].element = OctalDigitsToValue(items[i].element);

    int32_t first = 0, last = 0;
    for (int32_t i = 0; i < count; ++i) {
        int32_t lo, hi;
        if (!ItemSpan(h.fileType, items[i], &lo, &hi)) return Fail(error, MIRA_ERR_BAD_MNEMONIC);
        if (i == 0 || lo < first) first = lo;
        if (i == 0 || hi > last) last = hi;
    }
    const int64_t span = int64_t(last) - int64_t(first) + 1;
    if (maxElements > 0 && span > maxElements) return Fail(error, MIRA_ERR_RANGE);
    if (span > kMaxReplyWords) return Fail(error, MIRA_ERR_RANGE);
    const int32_t n = static_cast<int32_t>(span);
    const ElementLayout& layout = ElementLayoutOf(Plc5(), h.fileType);
    if (ReplyWords(layout, n) > kMaxReplyWords) return Fail(error, MIRA_ERR_RANGE);
    h.startElement = first;
    h.elementCount = n;

    // A header that names no element reads from element 0.
    const int32_t base = h.elementBase < 0 ? 0 : h.elementBase;
    uint8_t message[kMaxRequestBytes];
    int32_t length;
    if (Plc5()) {
        int32_t element = base + first;
        if (Driver.OctalIo == 1 && IsIo(h.fileType)) element = ValueToOctalDigits(OctalDigitsToValue(base) + first);
        length = BuildPlc5Read(message, h, element, n);
    } else {
        const int32_t bytes = 2 * layout.wordsPerElement * n;
        // A timer, counter or control is addressed by its first word, on
        // PLC-2 too; other PLC-2 elements by their byte address.
        int32_t address = base + first;
        if (IsWholeElementFile(h.fileType))
            address *= layout.wordsPerElement;
        else if (Driver.ModelClass == kClassPlc2)
            address *= 2;
        length = Driver.ModelClass == kClassSlc500 ? BuildSlcRead(message, &h, address, bytes)
                                                   : BuildPlc2Read(message, h, address, bytes);
    }
    if (length < 0) return Fail(error, length);
    *error = TransmitRequest(message, length);
    if (*error != 0) return 0;
    SetStartedItemCount(count);
    return 1;
}

}  // namespace mira

