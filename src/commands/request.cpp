// PCCC request layouts of the three controller classes.
#include "commands/request.h"

#include <cstdio>
#include <initializer_list>

#include "address/tables.h"
#include "commands/element_layout.h"
#include "link/pccc.h"
#include "platform/atomic_word.h"
#include "setup/driver_state.h"

namespace mira {
namespace {

bool TypedCommands() { return Driver.ModelClass == kClassSlc500 || Driver.Plc5Family == 1; }

uint8_t Low(int32_t v) { return static_cast<uint8_t>(v & 0xFF); }
uint8_t High(int32_t v) { return static_cast<uint8_t>((v >> 8) & 0xFF); }

// The file letters of a header. A header read in the numeric syntax leaves
// fileLetter as it was, so the row is trusted only when it names the
// header's file type; otherwise the row of that file type is used.
const char16_t* HeaderLetters(const PlcAddress& header) {
    if (header.fileLetter >= 0 && header.fileLetter < int32_t(FileLetterTable.size()) &&
        FileLetterTable[header.fileLetter].fileType == header.fileType)
        return FileLetterTable[header.fileLetter].letters;
    for (const FileLetter& row : FileLetterTable)
        if (row.fileType == header.fileType) return row.letters;
    return u"";
}

}  // namespace

uint8_t ReadCommandByte() { return TypedCommands() ? pccc::kCmdTyped : pccc::kCmdUnprotectedRead; }
uint8_t WriteCommandByte() { return TypedCommands() ? pccc::kCmdTyped : pccc::kCmdUnprotectedWrite; }

void PutCommandHeader(RequestWriter& w, const PlcAddress& header, uint8_t command) {
    // The receive handler matches the reply against TnsCounter - 1, so the
    // counter moves on before the request can leave.
    const uint32_t tns = Load(Driver.TnsCounter);
    StoreRelease(Driver.TnsCounter, tns + 1);
    w.Byte(Low(header.station));
    w.Byte(Driver.LocalStation & 0xFF);
    w.Byte(command);
    w.Byte(pccc::kStsOk);
    w.Byte(tns & 0xFF);
    w.Byte(0);
}

int32_t PutSlcNumber(uint8_t* out, int32_t number) {
    if (number < 0 || number > kMaxFieldNumber) return 0;
    // 0xFF opens the three-byte form, so 255 itself must take that form too.
    if (number < 0xFF) {
        out[0] = static_cast<uint8_t>(number);
        return 1;
    }
    out[0] = 0xFF;
    out[1] = Low(number);
    out[2] = High(number);
    return 3;
}

int32_t PutSlcAddress(uint8_t* out, PlcAddress* header, int32_t element) {
    if (header->slot < 0) header->slot = 0;
    // Input, output and the three-word structures carry the slot (or the
    // structure's sub-element) first.
    const bool slotFirst =
        header->fileNumber == 0 || header->fileNumber == 1 || IsWholeElementFile(header->fileType);
    uint8_t bytes[kMaxSlcAddressBytes];
    int32_t n = 0;
    int32_t field = PutSlcNumber(bytes, header->fileNumber);
    if (field == 0 || header->fileType < 0 || header->fileType > 0xFF) return MIRA_ERR_RANGE;
    n += field;
    bytes[n++] = Low(header->fileType);
    for (const int32_t number : {slotFirst ? header->slot : element, slotFirst ? element : header->slot}) {
        field = PutSlcNumber(bytes + n, number);
        if (field == 0) return MIRA_ERR_RANGE;
        n += field;
    }
    for (int32_t i = 0; i < n; ++i) out[i] = bytes[i];
    return n;
}

int32_t CheckDestination(const PlcAddress& header) {
    if (header.station < 0 || header.station > 0xFF) return MIRA_ERR_RANGE;
    if (Driver.ModelClass == kClassSlc500 && Driver.Plc5Family == 0) return 0;
    // PLC-2 and PLC-5 requests have no slot field: a slot would be dropped
    // and the request would name slot 0.
    if (header.slot > 0) return MIRA_ERR_RANGE;
    // The PLC-5 address text prints the file number itself; a number past
    // 16 bits can only be one saturated from a longer text.
    if (Driver.Plc5Family == 1 && header.fileNumber > kMaxFieldNumber) return MIRA_ERR_RANGE;
    return 0;
}

int32_t FormatAsciiAddress(char* text, int32_t capacity, int32_t element) {
    if (text == nullptr || capacity <= 0) return 0;
    const PlcAddress& h = Driver.CurrentHeader;
    char letters[4] = {};
    const char16_t* wideLetters = HeaderLetters(h);
    for (int i = 0; i < 3 && wideLetters[i] != 0; ++i) letters[i] = static_cast<char>(wideLetters[i]);

    int written;
    switch (h.fileType) {
        case kFileStatus:
            written = std::snprintf(text, size_t(capacity), "S:%d", element);
            break;
        case kFileOutput:
        case kFileInput:
            // With octal I/O the caller already passes octal digits.
            if (Driver.OctalIo == 0)
                written = std::snprintf(text, size_t(capacity), "%s:%o.%o", letters, unsigned(element), 0u);
            else
                written = std::snprintf(text, size_t(capacity), "%s:%d.%d", letters, element, 0);
            break;
        case kFileNone:
            written = std::snprintf(text, size_t(capacity), "%s:%d", letters, element);
            break;
        default:
            written = std::snprintf(text, size_t(capacity), "%s%d:%d", letters, h.fileNumber, element);
            break;
    }
    if (written < 0) {
        text[0] = 0;
        return 0;
    }
    return written < capacity ? written : capacity - 1;
}

void PutPlc5Address(RequestWriter& w, int32_t element) {
    char text[kAsciiAddressCapacity];
    const int32_t length = FormatAsciiAddress(text, kAsciiAddressCapacity, element);
    w.Bytes(pccc::kPlc5AddressOpen, sizeof pccc::kPlc5AddressOpen);
    w.Text(text, length);
    w.Byte(0x00);
}

void PutPlc5WriteHead(RequestWriter& w, const PlcAddress& header, int32_t total, int32_t element) {
    PutCommandHeader(w, header, pccc::kCmdTyped);
    w.Byte(pccc::kFncPlc5TypedWrite);
    w.Word(0);  // packet offset
    w.Word(static_cast<uint16_t>(total));
    PutPlc5Address(w, element);
}

int32_t Plc5ArraySize(int32_t fileType, int32_t count) {
    const ElementLayout& layout = ElementLayoutOf(true, fileType);
    const int32_t size = 2 * layout.wordsPerElement;
    // The element's flag byte, and a byte of its own for a type or a size above 7.
    return 1 + (layout.plc5Type > 7 ? 1 : 0) + (size > 7 ? 1 : 0) + count * size;
}

void PutPlc5DataType(RequestWriter& w, int32_t fileType, int32_t count) {
    const ElementLayout& layout = ElementLayoutOf(true, fileType);
    if (layout.plc5Type == 0) {
        w.Byte(pccc::kPlc5Characters);
        return;
    }
    const uint32_t type = layout.plc5Type;
    const uint32_t size = static_cast<uint32_t>(2 * layout.wordsPerElement);
    w.Bytes(pccc::kPlc5Array, sizeof pccc::kPlc5Array);
    w.Byte(static_cast<uint32_t>(Plc5ArraySize(fileType, count)));
    w.Byte(((type > 7 ? 9u : type) << 4) | (size > 7 ? 9u : size));
    if (type > 7) w.Byte(type);
    if (size > 7) w.Byte(size);
}

int32_t OctalDigitsToValue(int32_t n) {
    if (n <= 0) return 0;
    int32_t value = 0;
    int32_t weight = 1;
    while (n > 0) {
        value += (n % 10) * weight;
        n /= 10;
        if (n > 0) weight *= 8;
    }
    return value;
}

int32_t ValueToOctalDigits(int32_t value) {
    if (value <= 0) return 0;
    // The digits of a large value exceed 32 bits; accumulate wide and keep
    // the low 32 bits, so the conversion never overflows a signed word.
    int64_t digits = 0;
    int64_t weight = 1;
    while (value > 0) {
        digits += (value % 8) * weight;
        value /= 8;
        weight *= 10;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(digits & 0xFFFFFFFF));
}

int32_t BuildPlc2Read(uint8_t* out, const PlcAddress& header, int32_t byteAddress, int32_t byteCount) {
    if (byteAddress < 0 || byteAddress > 0xFFFF || byteCount < 0 || byteCount > 255) return MIRA_ERR_RANGE;
    if (CheckDestination(header) != 0) return MIRA_ERR_RANGE;
    RequestWriter w(out, kMaxRequestBytes);
    PutCommandHeader(w, header, ReadCommandByte());
    w.Word(static_cast<uint16_t>(byteAddress));
    w.Byte(static_cast<uint32_t>(byteCount));
    return w.Result();
}

int32_t BuildSlcRead(uint8_t* out, PlcAddress* header, int32_t element, int32_t byteCount) {
    if (byteCount < 0 || byteCount > 255 || CheckDestination(*header) != 0) return MIRA_ERR_RANGE;
    // The address fields first, so that a refused one leaves the TNS alone.
    uint8_t address[kMaxSlcAddressBytes];
    const int32_t addressBytes = PutSlcAddress(address, header, element);
    if (addressBytes < 0) return addressBytes;
    RequestWriter w(out, kMaxRequestBytes);
    PutCommandHeader(w, *header, ReadCommandByte());
    w.Byte(pccc::kFncSlcProtectedRead);
    w.Byte(static_cast<uint32_t>(byteCount));
    w.Bytes(address, addressBytes);
    return w.Result();
}

int32_t BuildPlc5Read(uint8_t* out, const PlcAddress& header, int32_t element, int32_t count) {
    if (element < 0 || element > kMaxFieldNumber || count < 1 || count > 0xFFFF) return MIRA_ERR_RANGE;
    if (CheckDestination(header) != 0) return MIRA_ERR_RANGE;
    RequestWriter w(out, kMaxRequestBytes);
    PutCommandHeader(w, header, ReadCommandByte());
    w.Byte(pccc::kFncPlc5TypedRead);
    w.Word(0);  // packet offset
    w.Word(static_cast<uint16_t>(count));  // total transaction
    PutPlc5Address(w, element);
    w.Word(static_cast<uint16_t>(count));  // size
    return w.Result();
}

}  // namespace mira
