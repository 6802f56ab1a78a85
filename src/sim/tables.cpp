#include "sim/tables.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace mira::sim {
namespace {

struct TypeName {
    uint8_t code;
    const char* letters;
};
constexpr TypeName kTypeNames[] = {
    {kTypeOutput, "O"},  {kTypeInput, "I"},   {kTypeStatus, "S"},  {kTypeBit, "B"},
    {kTypeTimer, "T"},   {kTypeCounter, "C"}, {kTypeControl, "R"}, {kTypeInteger, "N"},
    {kTypeFloat, "F"},   {kTypeString, "ST"}, {kTypeAscii, "A"},
};

struct SubName {
    const char* name;
    int word;  // word of the element
    int bit;   // -1: the whole word
};
constexpr SubName kTimer3[] = {{"CON", 0, -1}, {"PRE", 1, -1}, {"ACC", 2, -1},
                               {"DN", 0, 13},  {"TT", 0, 14},  {"EN", 0, 15}};
constexpr SubName kTimer5[] = {{"CON", 0, -1}, {"PRE", 1, -1}, {"EX1", 2, -1}, {"ACC", 3, -1},
                               {"EX2", 4, -1}, {"DN", 0, 13},  {"TT", 0, 14},  {"EN", 0, 15}};
constexpr SubName kCounter[] = {{"CON", 0, -1}, {"PRE", 1, -1}, {"ACC", 2, -1}, {"UA", 0, 10},
                                {"UN", 0, 11},  {"OV", 0, 12},  {"DN", 0, 13},  {"CD", 0, 14},
                                {"CU", 0, 15}};
constexpr SubName kControl[] = {{"CON", 0, -1}, {"LEN", 1, -1}, {"POS", 2, -1}, {"FD", 0, 8},
                                {"IN", 0, 9},   {"UL", 0, 10},  {"ER", 0, 11},  {"EM", 0, 12},
                                {"DN", 0, 13},  {"EU", 0, 14},  {"EN", 0, 15}};

struct SubTable {
    const SubName* names;
    size_t count;
};

SubTable SubNamesFor(uint8_t type, uint16_t timerWords) {
    switch (type) {
        case kTypeTimer:
            if (timerWords == 5) return {kTimer5, std::size(kTimer5)};
            return {kTimer3, std::size(kTimer3)};
        case kTypeCounter: return {kCounter, std::size(kCounter)};
        case kTypeControl: return {kControl, std::size(kControl)};
        default: return {nullptr, 0};
    }
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Reads an unsigned number in the given base at s[*pos]; false when no digit
// is there or the value exceeds the limit.
bool ReadNumber(const std::string& s, size_t* pos, int base, unsigned long limit, unsigned long* out) {
    size_t p = *pos;
    unsigned long v = 0;
    while (p < s.size() && std::isdigit(static_cast<unsigned char>(s[p]))) {
        const int d = s[p] - '0';
        if (d >= base) return false;
        v = v * static_cast<unsigned long>(base) + static_cast<unsigned long>(d);
        if (v > limit) return false;
        ++p;
    }
    if (p == *pos) return false;
    *pos = p;
    *out = v;
    return true;
}

bool IsIo(uint8_t type) { return type == kTypeOutput || type == kTypeInput; }

bool ParseInteger(const std::string& text, long* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (end == text.c_str() || *end != '\0') return false;
    if (v < -32768 || v > 65535) return false;
    *out = v;
    return true;
}

std::string Unquote(const std::string& text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
    return text;
}

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

}  // namespace

const char* TypeLetters(uint8_t typeCode) {
    for (const TypeName& t : kTypeNames)
        if (t.code == typeCode) return t.letters;
    return nullptr;
}

uint8_t TypeFromLetters(const std::string& letters) {
    const std::string u = Upper(letters);
    for (const TypeName& t : kTypeNames)
        if (u == t.letters) return t.code;
    return 0;
}

uint8_t DataFile::ByteAt(size_t k) const {
    const uint16_t w = words[k / 2];
    return static_cast<uint8_t>(k % 2 == 0 ? w & 0xFF : w >> 8);
}

void DataFile::SetByte(size_t k, uint8_t value) {
    uint16_t& w = words[k / 2];
    if (k % 2 == 0)
        w = static_cast<uint16_t>((w & 0xFF00) | value);
    else
        w = static_cast<uint16_t>((w & 0x00FF) | (value << 8));
}

std::string StringFromWords(const uint16_t* words) {
    size_t len = words[0];
    if (len > kStringChars) len = kStringChars;
    std::string s;
    for (size_t i = 0; i < len; ++i) {
        const uint16_t w = words[1 + i / 2];
        s.push_back(static_cast<char>(i % 2 == 0 ? w >> 8 : w & 0xFF));
    }
    return s;
}

void StringToWords(const std::string& text, uint16_t* words) {
    const size_t len = text.size() < kStringChars ? text.size() : kStringChars;
    for (size_t i = 0; i < kStringWords; ++i) words[i] = 0;
    words[0] = static_cast<uint16_t>(len);
    for (size_t i = 0; i < len; ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        uint16_t& w = words[1 + i / 2];
        if (i % 2 == 0)
            w = static_cast<uint16_t>(w | (c << 8));
        else
            w = static_cast<uint16_t>(w | c);
    }
}

DataTables::DataTables(uint16_t timerWords, uint16_t ioWordsPerSlot, bool octalIo)
    : timerWords_(timerWords == 5 ? 5 : 3),
      ioWordsPerSlot_(ioWordsPerSlot == 0 ? 1 : ioWordsPerSlot),
      octalIo_(octalIo) {}

bool DataTables::AddFile(const FileShape& shape) {
    const uint8_t type = TypeFromLetters(shape.letters);
    if (type == 0 || shape.elements == 0) return false;
    DataFile f;
    f.number = shape.number;
    f.type = type;
    switch (type) {
        case kTypeTimer: f.wordsPerElement = timerWords_; break;
        case kTypeCounter:
        case kTypeControl: f.wordsPerElement = 3; break;
        case kTypeFloat: f.wordsPerElement = 2; break;
        case kTypeString: f.wordsPerElement = kStringWords; break;
        case kTypeOutput:
        case kTypeInput: f.wordsPerElement = octalIo_ ? 1 : ioWordsPerSlot_; break;
        default: f.wordsPerElement = 1; break;
    }
    const unsigned long total = static_cast<unsigned long>(shape.elements) * f.wordsPerElement;
    if (total > 65535) return false;
    f.words.assign(total, 0);
    for (DataFile& old : files_) {
        if (old.number == shape.number) {
            old = std::move(f);
            return true;
        }
    }
    files_.push_back(std::move(f));
    return true;
}

DataFile* DataTables::Find(uint16_t number) {
    for (DataFile& f : files_)
        if (f.number == number) return &f;
    return nullptr;
}

const DataFile* DataTables::Find(uint16_t number) const {
    for (const DataFile& f : files_)
        if (f.number == number) return &f;
    return nullptr;
}

DataTables::Lookup DataTables::Locate(const std::string& address, WordRef* ref) {
    constexpr Lookup kBad = Lookup::BadFormat;
    constexpr Lookup kNone = Lookup::NoSuchAddress;
    const std::string s = Upper(Trim(address));
    size_t p = 0;
    while (p < s.size() && std::isalpha(static_cast<unsigned char>(s[p]))) ++p;
    const std::string letters = s.substr(0, p);
    const uint8_t type = TypeFromLetters(letters);
    if (type == 0) return kBad;
    unsigned long number = 0;
    if (!ReadNumber(s, &p, 10, 65535, &number)) {
        if (type == kTypeOutput) number = 0;
        else if (type == kTypeInput) number = 1;
        else if (type == kTypeStatus) number = 2;
        else return kBad;
    }
    DataFile* file = Find(static_cast<uint16_t>(number));
    if (file == nullptr || file->type != type) return kNone;
    const int base = IsIo(type) && octalIo_ ? 8 : 10;
    size_t word = 0;
    int bit = -1;
    bool whole = true;
    if (p < s.size() && s[p] == ':') {
        ++p;
        unsigned long element = 0;
        if (!ReadNumber(s, &p, base, 65535, &element)) return kBad;
        word = element * file->wordsPerElement;
        if (p < s.size() && s[p] == '.') {
            ++p;
            unsigned long sub = 0;
            if (p < s.size() && std::isdigit(static_cast<unsigned char>(s[p]))) {
                if (!ReadNumber(s, &p, base, 65535, &sub)) return kBad;
                if (IsIo(type) && octalIo_) {
                    if (sub > 15) return kBad;
                    bit = static_cast<int>(sub);  // PLC-5 style I:010.05 names a bit
                } else {
                    if (sub >= file->wordsPerElement) return kNone;
                    word += sub;
                    whole = false;
                }
            } else {
                const SubTable t = SubNamesFor(type, timerWords_);
                const std::string name = s.substr(p);
                p = s.size();
                bool found = false;
                for (size_t i = 0; i < t.count; ++i) {
                    if (name == t.names[i].name) {
                        word += static_cast<size_t>(t.names[i].word);
                        bit = t.names[i].bit;
                        whole = false;
                        found = true;
                    }
                }
                if (!found) return kBad;
            }
        }
    } else if (p < s.size() && s[p] == '/') {
        // B3/37: a bit counted from the start of the file.
        ++p;
        unsigned long n = 0;
        if (!ReadNumber(s, &p, 10, 65535UL * 16, &n)) return kBad;
        word = n / 16;
        bit = static_cast<int>(n % 16);
        if (p != s.size()) return kBad;
        if (word >= file->words.size()) return kNone;
        *ref = {file, word, bit, false};
        return Lookup::Ok;
    } else {
        return kBad;
    }
    if (p < s.size() && s[p] == '/') {
        ++p;
        unsigned long n = 0;
        if (!ReadNumber(s, &p, base, 15, &n)) return kBad;
        bit = static_cast<int>(n);
        whole = false;
    }
    if (p != s.size()) return kBad;
    if (word >= file->words.size()) return kNone;
    *ref = {file, word, bit, whole};
    return Lookup::Ok;
}

bool DataTables::Poke(const std::string& address, const std::string& rawValue) {
    WordRef ref;
    if (!Resolve(address, &ref)) return false;
    const std::string value = Trim(rawValue);
    DataFile& f = *ref.file;
    if (ref.bit >= 0) {
        long v = 0;
        if (!ParseInteger(value, &v) || (v != 0 && v != 1)) return false;
        const auto mask = static_cast<uint16_t>(1u << ref.bit);
        f.words[ref.word] = static_cast<uint16_t>(v ? f.words[ref.word] | mask : f.words[ref.word] & ~mask);
        return true;
    }
    if (f.type == kTypeFloat) {
        char* end = nullptr;
        const float v = std::strtof(value.c_str(), &end);
        if (value.empty() || *end != '\0') return false;
        uint32_t bits = 0;
        std::memcpy(&bits, &v, 4);
        const size_t w = ref.word - ref.word % 2;
        f.words[w] = static_cast<uint16_t>(bits & 0xFFFF);
        f.words[w + 1] = static_cast<uint16_t>(bits >> 16);
        return true;
    }
    if (f.type == kTypeString) {
        const std::string text = Unquote(value);
        if (text.size() > kStringChars) return false;
        StringToWords(text, &f.words[ref.word - ref.word % kStringWords]);
        return true;
    }
    if (f.type == kTypeAscii && !value.empty() && value.front() == '"') {
        const std::string text = Unquote(value);
        const size_t byteStart = ref.word * 2;
        if (byteStart + text.size() > f.Bytes()) return false;
        for (size_t i = 0; i < text.size(); ++i) {
            // Characters two to a word, the first in the high byte.
            const size_t k = byteStart + i;
            f.SetByte(k ^ 1u, static_cast<uint8_t>(text[i]));
        }
        return true;
    }
    long v = 0;
    if (!ParseInteger(value, &v)) return false;
    f.words[ref.word] = static_cast<uint16_t>(v);
    return true;
}

// gcc 12 at -O3 reports a false -Wrestrict (GCC PR 105329) where short literals
// are joined to a std::string in Peek and Dump.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
bool DataTables::Peek(const std::string& address, std::string* out) {
    WordRef ref;
    if (!Resolve(address, &ref)) return false;
    const DataFile& f = *ref.file;
    char buf[64];
    if (ref.bit >= 0) {
        *out = ((f.words[ref.word] >> ref.bit) & 1) ? "1" : "0";
        return true;
    }
    if (f.type == kTypeFloat) {
        const size_t w = ref.word - ref.word % 2;
        const uint32_t bits = f.words[w] | (static_cast<uint32_t>(f.words[w + 1]) << 16);
        float v = 0;
        std::memcpy(&v, &bits, 4);
        std::snprintf(buf, sizeof buf, "%g", static_cast<double>(v));
        *out = buf;
        return true;
    }
    if (f.type == kTypeString) {
        *out = "\"" + StringFromWords(&f.words[ref.word - ref.word % kStringWords]) + "\"";
        return true;
    }
    std::snprintf(buf, sizeof buf, "%d", static_cast<int>(static_cast<int16_t>(f.words[ref.word])));
    *out = buf;
    return true;
}

int DataTables::Seed(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const size_t hash = line.find('#');
        // A '#' inside a quoted text is a character, not a comment.
        if (hash != std::string::npos && line.find('"') > hash) line.resize(hash);
        line = Trim(line);
        if (line.empty()) continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) return number;
        if (!Poke(line.substr(0, eq), line.substr(eq + 1))) return number;
    }
    return 0;
}

std::string DataTables::Dump() const {
    std::string out;
    char buf[160];
    for (const DataFile& f : files_) {
        const char* letters = TypeLetters(f.type);
        const bool io = IsIo(f.type);
        for (size_t e = 0; e < f.Elements(); ++e) {
            const uint16_t* w = &f.words[e * f.wordsPerElement];
            bool any = false;
            for (size_t i = 0; i < f.wordsPerElement; ++i) any = any || w[i] != 0;
            if (!any) continue;
            if (f.type == kTypeFloat) {
                const uint32_t bits = w[0] | (static_cast<uint32_t>(w[1]) << 16);
                float v = 0;
                std::memcpy(&v, &bits, 4);
                std::snprintf(buf, sizeof buf, "%s%u:%zu=%g\n", letters, f.number, e, static_cast<double>(v));
                out += buf;
            } else if (f.type == kTypeString) {
                std::snprintf(buf, sizeof buf, "%s%u:%zu=", letters, f.number, e);
                out += buf;
                out += "\"" + StringFromWords(w) + "\"\n";
            } else if (f.type == kTypeTimer || f.type == kTypeCounter || f.type == kTypeControl) {
                const SubTable t = SubNamesFor(f.type, timerWords_);
                for (size_t i = 0; i < t.count; ++i) {
                    if (t.names[i].bit >= 0 || w[t.names[i].word] == 0) continue;
                    std::snprintf(buf, sizeof buf, "%s%u:%zu.%s=%d\n", letters, f.number, e, t.names[i].name,
                                  static_cast<int>(static_cast<int16_t>(w[t.names[i].word])));
                    out += buf;
                }
            } else if (io && octalIo_) {
                std::snprintf(buf, sizeof buf, "%s%u:%zo=%d\n", letters, f.number, e,
                              static_cast<int>(static_cast<int16_t>(w[0])));
                out += buf;
            } else {
                for (size_t i = 0; i < f.wordsPerElement; ++i) {
                    if (w[i] == 0) continue;
                    if (f.wordsPerElement > 1)
                        std::snprintf(buf, sizeof buf, "%s%u:%zu.%zu=%d\n", letters, f.number, e, i,
                                      static_cast<int>(static_cast<int16_t>(w[i])));
                    else
                        std::snprintf(buf, sizeof buf, "%s%u:%zu=%d\n", letters, f.number, e,
                                      static_cast<int>(static_cast<int16_t>(w[i])));
                    out += buf;
                }
            }
        }
    }
    return out;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace mira::sim
