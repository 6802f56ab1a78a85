#include "sim/pccc.h"

#include <cstring>
#include <string>

namespace mira::sim {

// One command being answered: a read cursor over its data and the reply
// under construction.
struct Controller::Req {
    const uint8_t* data;  // the bytes after the six-byte header
    size_t size;
    size_t pos = 0;
    std::vector<uint8_t>* reply;
    bool failed = false;

    size_t Left() const { return size - pos; }
    bool Byte(uint8_t* out) {
        if (pos >= size) return false;
        *out = data[pos++];
        return true;
    }
    bool Word(uint16_t* out) {
        if (Left() < 2) return false;
        *out = static_cast<uint16_t>(data[pos] | (data[pos + 1] << 8));
        pos += 2;
        return true;
    }
    // A one-byte number, or 0xFF followed by a 16-bit number.
    bool Number(uint16_t* out) {
        uint8_t b = 0;
        if (!Byte(&b)) return false;
        if (b != 0xFF) {
            *out = b;
            return true;
        }
        return Word(out);
    }
    void Fail(uint8_t sts, uint8_t ext = 0) {
        failed = true;
        (*reply)[3] = sts;
        reply->resize(6);
        if (sts == kStsExtended) reply->push_back(ext);
    }
    void Put(uint8_t b) { reply->push_back(b); }
};

namespace {

// PLC-5 type/data parameter identifiers.
enum : unsigned {
    kDtBitString = 2,
    kDtByteString = 3,
    kDtInteger = 4,
    kDtTimer = 5,
    kDtCounter = 6,
    kDtControl = 7,
    kDtFloat = 8,
    kDtArray = 9,
};

unsigned BytesFor(unsigned v) { return v <= 0xFF ? 1u : 2u; }

// A type/data parameter: a flag byte whose two nibbles hold the type and
// the size, or (with their high bit set) how many bytes of each follow.
// Arrays and byte strings carry their size in a byte of its own even when
// it would fit the nibble, as controllers send them.
void PutTypeSize(std::vector<uint8_t>* out, unsigned type, unsigned size, bool sizeByte = false) {
    const unsigned tn = type <= 7 ? type : 8 | BytesFor(type);
    const unsigned sn = size <= 7 && !sizeByte ? size : 8 | BytesFor(size);
    out->push_back(static_cast<uint8_t>(tn << 4 | sn));
    if (type > 7)
        for (unsigned i = 0; i < BytesFor(type); ++i) out->push_back(static_cast<uint8_t>(type >> (8 * i)));
    if (sn & 8)
        for (unsigned i = 0; i < BytesFor(size); ++i) out->push_back(static_cast<uint8_t>(size >> (8 * i)));
}

size_t TypeSizeLength(unsigned type, unsigned size) {
    return 1 + (type > 7 ? BytesFor(type) : 0) + (size > 7 ? BytesFor(size) : 0);
}

// A requested type code names the file's type; output and input also come
// with their older codes.
bool TypeMatches(uint8_t fileType, uint8_t requested) {
    if (fileType == requested) return true;
    if (fileType == kTypeOutput && requested == 0x82) return true;
    if (fileType == kTypeInput && requested == 0x83) return true;
    return false;
}

}  // namespace

void Controller::Execute(const uint8_t* msg, size_t count, std::vector<uint8_t>* reply) {
    reply->clear();
    if (msg == nullptr || count < 6) return;
    reply->assign({msg[1], msg[0], static_cast<uint8_t>(msg[2] | 0x40), kStsOk, msg[4], msg[5]});
    Req r{msg + 6, count - 6, 0, reply, false};
    const uint8_t cmd = msg[2];
    const bool plc2 = family_ == Family::Plc2;
    const bool plc5 = family_ == Family::Plc5;
    const bool slc = family_ == Family::Slc500;
    switch (cmd) {
        case 0x01: Plc2Read(r); return;
        case 0x08: Plc2Write(r); return;
        case 0x05: Plc2BitWrite(r); return;
        case 0x06: Diagnostic(r); return;
        case 0x0F: break;
        default: r.Fail(kStsIllegalCommand); return;
    }
    uint8_t fnc = 0;
    if (plc2 || !r.Byte(&fnc)) {
        r.Fail(kStsIllegalCommand);
        return;
    }
    if (slc) {
        switch (fnc) {
            case 0xA1: SlcRead(r, false); return;
            case 0xA2: SlcRead(r, true); return;
            case 0xA9: SlcWrite(r, false, false); return;
            case 0xAA: SlcWrite(r, true, false); return;
            case 0xAB: SlcWrite(r, true, true); return;
            default: break;
        }
    }
    if (plc5) {
        switch (fnc) {
            case 0x68: TypedRead(r); return;
            case 0x67: TypedWrite(r); return;
            case 0x01: WordRangeRead(r); return;
            case 0x00: WordRangeWrite(r); return;
            case 0x26: ReadModifyWrite(r); return;
            case 0x02: BitWrite(r); return;
            default: break;
        }
    }
    r.Fail(kStsIllegalCommand);
}

// ---- PLC-2 style commands: byte addresses into the compatibility file ----

void Controller::Plc2Read(Req& r) {
    uint16_t address = 0;
    uint8_t size = 0;
    if (!r.Word(&address) || !r.Byte(&size) || r.Left() != 0 || size == 0) return r.Fail(kStsIllegalCommand);
    DataFile* f = tables_->Find(kCompatFile);
    if (f == nullptr || f->type != kTypeInteger) return r.Fail(kStsNoCompatFile);
    if (static_cast<size_t>(address) + size > f->Bytes()) return r.Fail(kStsAddressProblem);
    for (size_t k = 0; k < size; ++k) r.Put(f->ByteAt(address + k));
}

void Controller::Plc2Write(Req& r) {
    uint16_t address = 0;
    if (!r.Word(&address) || r.Left() == 0) return r.Fail(kStsIllegalCommand);
    DataFile* f = tables_->Find(kCompatFile);
    if (f == nullptr || f->type != kTypeInteger) return r.Fail(kStsNoCompatFile);
    if (static_cast<size_t>(address) + r.Left() > f->Bytes()) return r.Fail(kStsAddressProblem);
    for (size_t k = 0; r.Left() > 0; ++k) {
        uint8_t b = 0;
        (void)r.Byte(&b);
        f->SetByte(address + k, b);
    }
}

void Controller::Plc2BitWrite(Req& r) {
    if (r.Left() == 0 || r.Left() % 4 != 0) return r.Fail(kStsIllegalCommand);
    DataFile* f = tables_->Find(kCompatFile);
    if (f == nullptr || f->type != kTypeInteger) return r.Fail(kStsNoCompatFile);
    // Every address is checked before any byte changes.
    for (size_t p = 0; p < r.size; p += 4) {
        const size_t address = r.data[p] | (r.data[p + 1] << 8);
        if (address >= f->Bytes()) return r.Fail(kStsAddressProblem);
    }
    for (size_t p = 0; p < r.size; p += 4) {
        const size_t address = r.data[p] | (r.data[p + 1] << 8);
        const uint8_t set = r.data[p + 2];
        const uint8_t reset = r.data[p + 3];
        f->SetByte(address, static_cast<uint8_t>((f->ByteAt(address) & ~reset) | set));
    }
    r.pos = r.size;
}

void Controller::Diagnostic(Req& r) {
    uint8_t fnc = 0;
    if (!r.Byte(&fnc)) return r.Fail(kStsIllegalCommand);
    if (fnc == 0x00) {  // echo: the data come back unchanged
        if (r.Left() > 243) return r.Fail(kStsIllegalCommand);
        while (r.Left() > 0) {
            uint8_t b = 0;
            (void)r.Byte(&b);
            r.Put(b);
        }
        return;
    }
    if (fnc != 0x03 || r.Left() != 0) return r.Fail(kStsIllegalCommand);
    // Diagnostic status: the status bytes of one processor of each family,
    // laid out as the command reference gives them for its serial port.
    std::vector<uint8_t> status;
    switch (family_) {
        case Family::Slc500:
            // Mode, type extender EE, interface 34 (DF1 full duplex on channel
            // 0), processor 49 (SLC 5/03), series C firmware release 3, the
            // bulletin name in 11 bytes, major error word, mode word (run),
            // program ID, 16 KB of RAM, no program owner (3F).
            status = {0x00, 0xEE, 0x34, 0x49, 0x42, '5', '/', '0', '3', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                      0x00, 0x00, 0x1E, 0x00, 0x00, 0x00, 0x10, 0xFC};
            break;
        case Family::Plc5:
            // Run mode, processor B with its expansion byte E, PLC-5/40 (15),
            // 48K words of user memory, series E revision D, the station, a
            // scanner (FD), no options, 10 data table files, 10 program files,
            // no forces, memory unprotected, RAM good.
            status = {0x02, 0xEB, 0x15, 0x00, 0xC0, 0x00, 0x00, 0x83, station_, 0xFD, 0x00,
                      0x0A, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00};
            break;
        case Family::Plc2:
            // Run mode, a PLC-2/30 (7) behind a serial interface of type 4,
            // the program at octal 10000, no memory size, no counters, the
            // interface's series A revision B, its option switches.
            status = {0x02, 0x74, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x01, 0x06};
            break;
    }
    for (uint8_t b : status) r.Put(b);
}

// ---- Protected typed logical reads and writes (two or three fields) ----

// The file and first byte that a typed logical command's fields name, or
// nullptr once the command is refused for them.
static DataFile* SlcTarget(Controller::Req& r, DataTables* tables, uint16_t fileNo, uint8_t type, uint16_t element,
                           uint16_t sub, uint8_t size, size_t* firstByte) {
    const auto refuse = [&r](uint8_t ext) -> DataFile* {
        r.Fail(kStsExtended, ext);
        return nullptr;
    };
    DataFile* f = tables->Find(fileNo);
    if (f == nullptr) return refuse(kExtNotUsable);
    if (!TypeMatches(f->type, type)) return refuse(kExtIllegalType);
    const size_t word = static_cast<size_t>(element) * f->wordsPerElement + sub;
    if (word >= f->words.size()) return refuse(kExtNotUsable);
    if (word * 2 + size > f->Bytes()) return refuse(kExtRunsPastEnd);
    *firstByte = word * 2;
    return f;
}

void Controller::SlcRead(Req& r, bool threeFields) {
    uint8_t size = 0;
    uint16_t fileNo = 0;
    uint8_t type = 0;
    uint16_t element = 0;
    uint16_t sub = 0;
    if (!r.Byte(&size) || !r.Number(&fileNo) || !r.Byte(&type) || !r.Number(&element) ||
        (threeFields && !r.Number(&sub)) || r.Left() != 0 || size == 0)
        return r.Fail(kStsIllegalCommand);
    size_t first = 0;
    const DataFile* f = SlcTarget(r, tables_, fileNo, type, element, sub, size, &first);
    if (f == nullptr) return;
    for (size_t k = 0; k < size; ++k) r.Put(f->ByteAt(first + k));
}

void Controller::SlcWrite(Req& r, bool threeFields, bool masked) {
    uint8_t size = 0;
    uint16_t fileNo = 0;
    uint8_t type = 0;
    uint16_t element = 0;
    uint16_t sub = 0;
    uint16_t mask = 0xFFFF;
    if (!r.Byte(&size) || !r.Number(&fileNo) || !r.Byte(&type) || !r.Number(&element) ||
        (threeFields && !r.Number(&sub)) || (masked && !r.Word(&mask)) || size == 0 || r.Left() < size)
        return r.Fail(kStsIllegalCommand);
    size_t first = 0;
    DataFile* f = SlcTarget(r, tables_, fileNo, type, element, sub, size, &first);
    if (f == nullptr) return;
    // Bytes after the declared count are not part of the write.
    for (size_t k = 0; k < size; ++k) {
        const size_t at = first + k;
        const auto m = static_cast<uint8_t>(k % 2 == 0 ? mask & 0xFF : mask >> 8);
        const uint8_t d = r.data[r.pos + k];
        f->SetByte(at, static_cast<uint8_t>((f->ByteAt(at) & ~m) | (d & m)));
    }
    r.pos += size;
}

// ---- PLC-5 commands with a system address ----

namespace {

// What a typed command moves per element of the addressed file.
struct Unit {
    unsigned dataType;
    size_t words;  // words per element; 0 for byte strings
};

Unit UnitFor(const DataFile& f, bool whole) {
    if (!whole) return {kDtInteger, 1};
    switch (f.type) {
        case kTypeFloat: return {kDtFloat, 2};
        case kTypeTimer: return {kDtTimer, f.wordsPerElement};
        case kTypeCounter: return {kDtCounter, 3};
        case kTypeControl: return {kDtControl, 3};
        case kTypeString:
        case kTypeAscii: return {kDtByteString, 0};
        default: return {kDtInteger, 1};
    }
}

}  // namespace

// Reads the address that follows in `r`: 0x00 '$' text 0x00 (logical
// ASCII), or a level mask byte followed by its levels (logical binary).
static bool ReadSystemAddress(Controller::Req& r, DataTables* tables, WordRef* ref) {
    uint8_t first = 0;
    if (!r.Byte(&first)) {
        r.Fail(kStsIllegalCommand);
        return false;
    }
    if (first == 0x00) {
        uint8_t dollar = 0;
        if (!r.Byte(&dollar) || dollar != '$') {
            r.Fail(kStsExtended, kExtBadAddressFormat);
            return false;
        }
        std::string text;
        for (;;) {
            uint8_t c = 0;
            if (!r.Byte(&c)) {
                r.Fail(kStsIllegalCommand);
                return false;
            }
            if (c == 0) break;
            if (text.size() >= 51) {
                r.Fail(kStsExtended, kExtBadAddressFormat);
                return false;
            }
            text.push_back(static_cast<char>(c));
        }
        const DataTables::Lookup l = tables->Locate(text, ref);
        if (l == DataTables::Lookup::Ok) return true;
        r.Fail(kStsExtended, l == DataTables::Lookup::BadFormat ? kExtBadAddressFormat : kExtNotUsable);
        return false;
    }
    // Binary: bit n of the mask says level n + 1 follows. Level 1 is the
    // data table (0), then file, element and sub-element.
    uint16_t levels[4] = {0, 0, 0, 0};
    if (first & 0xF0) {
        r.Fail(kStsExtended, kExtIllegalField);
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        if (!(first & (1u << i))) continue;
        if (!r.Number(&levels[i])) {
            r.Fail(kStsIllegalCommand);
            return false;
        }
    }
    if (!(first & 0x02) || levels[0] != 0) {
        r.Fail(kStsExtended, kExtNotUsable);
        return false;
    }
    DataFile* f = tables->Find(levels[1]);
    const size_t word = f == nullptr ? 0 : static_cast<size_t>(levels[2]) * f->wordsPerElement + levels[3];
    if (f == nullptr || word >= f->words.size()) {
        r.Fail(kStsExtended, kExtNotUsable);
        return false;
    }
    *ref = {f, word, -1, !(first & 0x08)};
    return true;
}

void Controller::TypedRead(Req& r) {
    uint16_t offset = 0;
    uint16_t total = 0;
    if (!r.Word(&offset) || !r.Word(&total)) return r.Fail(kStsIllegalCommand);
    WordRef ref;
    if (!ReadSystemAddress(r, tables_, &ref)) return;
    uint16_t count = 0;
    if (!r.Word(&count) || r.Left() != 0 || count == 0) return r.Fail(kStsIllegalCommand);
    if (static_cast<uint32_t>(offset) + count > total) return r.Fail(kStsIllegalCommand);
    const DataFile& f = *ref.file;
    const Unit u = UnitFor(f, ref.wholeElement);
    std::vector<uint8_t>& out = *r.reply;
    if (f.type == kTypeString && u.words == 0) {
        // One string element: its length, then its characters in order.
        if (count != 1 || offset != 0) return r.Fail(kStsIllegalCommand);
        const std::string s = StringFromWords(&f.words[ref.word - ref.word % kStringWords]);
        PutTypeSize(&out, kDtByteString, static_cast<unsigned>(s.size()), true);
        for (char c : s) out.push_back(static_cast<uint8_t>(c));
        return;
    }
    if (u.words == 0) {
        // ASCII file: the element number counts characters.
        const size_t start = ref.word + offset;
        if (start + count > f.Bytes()) return r.Fail(kStsExtended, kExtRunsPastEnd);
        if (count > kMaxReplyData) return r.Fail(kStsExtended, kExtTooLarge);
        PutTypeSize(&out, kDtByteString, count, true);
        for (size_t k = 0; k < count; ++k) out.push_back(f.ByteAt((start + k) ^ 1u));
        return;
    }
    const size_t first = ref.word + static_cast<size_t>(offset) * u.words;
    const size_t words = static_cast<size_t>(count) * u.words;
    if (first >= f.words.size()) return r.Fail(kStsExtended, kExtNotUsable);
    if (first + words > f.words.size()) return r.Fail(kStsExtended, kExtRunsPastEnd);
    if (words * 2 > kMaxReplyData) return r.Fail(kStsExtended, kExtTooLarge);
    const auto unitBytes = static_cast<unsigned>(u.words * 2);
    const size_t inner = TypeSizeLength(u.dataType, unitBytes);
    PutTypeSize(&out, kDtArray, static_cast<unsigned>(inner + words * 2), true);
    PutTypeSize(&out, u.dataType, unitBytes);
    for (size_t w = first; w < first + words; ++w) {
        out.push_back(static_cast<uint8_t>(f.words[w] & 0xFF));
        out.push_back(static_cast<uint8_t>(f.words[w] >> 8));
    }
}

namespace {

bool ReadTypeSize(Controller::Req& r, unsigned* type, unsigned* size) {
    uint8_t flag = 0;
    if (!r.Byte(&flag)) return false;
    const unsigned tn = flag >> 4;
    const unsigned sn = flag & 0x0F;
    auto field = [&r](unsigned nibble, unsigned* out) {
        if (!(nibble & 8)) {
            *out = nibble;
            return true;
        }
        const unsigned n = nibble & 7;
        if (n == 0 || n > 2) return false;
        unsigned v = 0;
        for (unsigned i = 0; i < n; ++i) {
            uint8_t b = 0;
            if (!r.Byte(&b)) return false;
            v |= static_cast<unsigned>(b) << (8 * i);
        }
        *out = v;
        return true;
    };
    return field(tn, type) && field(sn, size);
}

}  // namespace

void Controller::TypedWrite(Req& r) {
    uint16_t offset = 0;
    uint16_t total = 0;
    if (!r.Word(&offset) || !r.Word(&total)) return r.Fail(kStsIllegalCommand);
    WordRef ref;
    if (!ReadSystemAddress(r, tables_, &ref)) return;
    DataFile& f = *ref.file;
    const Unit u = UnitFor(f, ref.wholeElement);
    unsigned type = 0;
    unsigned size = 0;
    if (!ReadTypeSize(r, &type, &size)) return r.Fail(kStsIllegalCommand);
    unsigned elemType = type;
    unsigned elemSize = size;
    size_t dataBytes = size;
    if (type == kDtArray) {
        const size_t before = r.pos;
        if (!ReadTypeSize(r, &elemType, &elemSize)) return r.Fail(kStsIllegalCommand);
        const size_t descriptor = r.pos - before;
        if (size < descriptor) return r.Fail(kStsExtended, kExtWrongSize);
        dataBytes = size - descriptor;
    }
    if (r.Left() < dataBytes || dataBytes == 0) return r.Fail(kStsIllegalCommand);
    if (elemType != u.dataType) return r.Fail(kStsExtended, kExtIllegalType);
    const uint8_t* data = r.data + r.pos;
    r.pos += dataBytes;  // anything after the declared data is not written
    if (u.words == 0) {
        if (f.type == kTypeString) {
            std::string s;
            for (size_t k = 0; k < dataBytes && data[k] != 0; ++k) s.push_back(static_cast<char>(data[k]));
            if (s.size() > kStringChars || offset != 0) return r.Fail(kStsExtended, kExtWrongSize);
            StringToWords(s, &f.words[ref.word - ref.word % kStringWords]);
            return;
        }
        const size_t start = ref.word + offset;
        if (start + dataBytes > f.Bytes()) return r.Fail(kStsExtended, kExtRunsPastEnd);
        for (size_t k = 0; k < dataBytes; ++k) f.SetByte((start + k) ^ 1u, data[k]);
        return;
    }
    if (elemSize != u.words * 2 || dataBytes % elemSize != 0) return r.Fail(kStsExtended, kExtWrongSize);
    const size_t count = dataBytes / elemSize;
    if (static_cast<uint32_t>(offset) + count > total) return r.Fail(kStsIllegalCommand);
    const size_t first = ref.word + static_cast<size_t>(offset) * u.words;
    const size_t words = count * u.words;
    if (first >= f.words.size()) return r.Fail(kStsExtended, kExtNotUsable);
    if (first + words > f.words.size()) return r.Fail(kStsExtended, kExtRunsPastEnd);
    for (size_t w = 0; w < words; ++w)
        f.words[first + w] = static_cast<uint16_t>(data[2 * w] | (data[2 * w + 1] << 8));
}

void Controller::WordRangeRead(Req& r) {
    uint16_t offset = 0;
    uint16_t total = 0;
    if (!r.Word(&offset) || !r.Word(&total)) return r.Fail(kStsIllegalCommand);
    WordRef ref;
    if (!ReadSystemAddress(r, tables_, &ref)) return;
    uint8_t size = 0;
    if (!r.Byte(&size) || r.Left() != 0 || size == 0 || size % 2 != 0) return r.Fail(kStsIllegalCommand);
    if (static_cast<uint32_t>(offset) + size / 2 > total) return r.Fail(kStsIllegalCommand);
    const DataFile& f = *ref.file;
    const size_t first = ref.word + offset;
    if (first >= f.words.size()) return r.Fail(kStsExtended, kExtNotUsable);
    if (first + size / 2 > f.words.size()) return r.Fail(kStsExtended, kExtRunsPastEnd);
    for (size_t k = 0; k < size; ++k) r.Put(f.ByteAt(first * 2 + k));
}

void Controller::WordRangeWrite(Req& r) {
    uint16_t offset = 0;
    uint16_t total = 0;
    if (!r.Word(&offset) || !r.Word(&total)) return r.Fail(kStsIllegalCommand);
    WordRef ref;
    if (!ReadSystemAddress(r, tables_, &ref)) return;
    if (r.Left() == 0 || r.Left() % 2 != 0) return r.Fail(kStsIllegalCommand);
    const size_t words = r.Left() / 2;
    if (static_cast<uint32_t>(offset) + words > total) return r.Fail(kStsIllegalCommand);
    DataFile& f = *ref.file;
    const size_t first = ref.word + offset;
    if (first >= f.words.size()) return r.Fail(kStsExtended, kExtNotUsable);
    if (first + words > f.words.size()) return r.Fail(kStsExtended, kExtRunsPastEnd);
    for (size_t w = 0; w < words; ++w) {
        uint16_t v = 0;
        (void)r.Word(&v);
        f.words[first + w] = v;
    }
}

void Controller::ReadModifyWrite(Req& r) {
    // Every set is checked before any word changes.
    struct Set {
        DataFile* file;
        size_t word;
        uint16_t andMask;
        uint16_t orMask;
    };
    std::vector<Set> sets;
    if (r.Left() == 0) return r.Fail(kStsIllegalCommand);
    while (r.Left() > 0) {
        WordRef ref;
        if (!ReadSystemAddress(r, tables_, &ref)) return;
        Set s{ref.file, ref.word, 0, 0};
        if (!r.Word(&s.andMask) || !r.Word(&s.orMask)) return r.Fail(kStsIllegalCommand);
        sets.push_back(s);
    }
    for (const Set& s : sets)
        s.file->words[s.word] = static_cast<uint16_t>((s.file->words[s.word] & s.andMask) | s.orMask);
}

void Controller::BitWrite(Req& r) {
    WordRef ref;
    if (!ReadSystemAddress(r, tables_, &ref)) return;
    uint16_t set = 0;
    uint16_t reset = 0;
    if (!r.Word(&set) || !r.Word(&reset) || r.Left() != 0) return r.Fail(kStsIllegalCommand);
    uint16_t& w = ref.file->words[ref.word];
    w = static_cast<uint16_t>((w | set) & ~reset);
}

}  // namespace mira::sim
