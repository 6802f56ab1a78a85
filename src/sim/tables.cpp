#include "sim/tables.h"

#include <cctype>
#include <cerrno>
#include <cmath>
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

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A word as `mira write` takes it: -32768 to 32767; or its 16 bits as 0x0000
// to 0xFFFF.
bool ParseWord(const std::string& text, uint16_t* out) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = text.c_str() + (hex ? 2 : 0);
    if (*digits == '\0' || (hex && HexDigit(*digits) < 0)) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(digits, &end, hex ? 16 : 10);
    if (end == digits || *end != '\0' || errno != 0) return false;
    if (hex ? v > 0xFFFF : (v < -32768 || v > 32767)) return false;
    *out = static_cast<uint16_t>(v);
    return true;
}

// Takes the UTF-8 character at s[*pos] as the controller's byte for it.
bool TakeCharacter(const std::string& s, size_t* pos, std::string* out, std::string* why) {
    const auto lead = static_cast<uint8_t>(s[*pos]);
    const size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                                            : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
    uint32_t c = length == 1 ? lead : length == 2 ? lead & 0x1Fu : length == 3 ? lead & 0x0Fu : lead & 0x07u;
    bool ok = length != 0 && *pos + length <= s.size();
    for (size_t k = 1; ok && k < length; ++k) {
        const auto b = static_cast<uint8_t>(s[*pos + k]);
        ok = (b & 0xC0) == 0x80;
        c = (c << 6) | (b & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    ok = ok && !(length == 3 && (c < 0x800 || (c >= 0xD800 && c < 0xE000))) &&
         !(length == 4 && (c < 0x10000 || c > 0x10FFFF));
    char text[96];
    if (!ok) {
        std::snprintf(text, sizeof text, "byte 0x%02X is not UTF-8 (seed files are UTF-8)", lead);
        *why = text;
        return false;
    }
    if (c > 0xFF) {
        std::snprintf(text, sizeof text, "character U+%04X is beyond U+00FF, the controller's 8-bit range", c);
        *why = text;
        return false;
    }
    out->push_back(static_cast<char>(c));
    *pos += length;
    return true;
}

// A text value as the controller's bytes: quoted, with \" \\ \t and \xNN,
// or bare, taken as it stands.
bool DecodeText(const std::string& value, std::string* out, std::string* why) {
    out->clear();
    const bool quoted = !value.empty() && value.front() == '"';
    size_t pos = quoted ? 1 : 0;
    while (pos < value.size()) {
        const char c = value[pos];
        if (quoted && c == '"') {
            if (pos + 1 == value.size()) return true;
            *why = "text after the closing quote";
            return false;
        }
        if (!quoted || c != '\\') {
            if (!TakeCharacter(value, &pos, out, why)) return false;
            continue;
        }
        const char e = pos + 1 < value.size() ? value[pos + 1] : '\0';
        if (e == '"' || e == '\\' || e == 't') {
            out->push_back(e == 't' ? '\t' : e);
            pos += 2;
        } else if (e == 'x' && pos + 3 < value.size() && HexDigit(value[pos + 2]) >= 0 && HexDigit(value[pos + 3]) >= 0) {
            out->push_back(static_cast<char>(HexDigit(value[pos + 2]) * 16 + HexDigit(value[pos + 3])));
            pos += 4;
        } else {
            *why = std::string("unknown escape \\") + (e == '\0' ? "" : std::string(1, e)) +
                   " (a text takes \\\", \\\\, \\t and \\xNN)";
            return false;
        }
    }
    if (!quoted) return true;
    *why = "no closing quote";
    return false;
}

// The controller's bytes as a quoted UTF-8 text that DecodeText reads back.
std::string EncodeText(const std::string& bytes) {
    std::string out = "\"";
    for (const char ch : bytes) {
        const auto c = static_cast<uint8_t>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {  // control characters
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        } else if (c >= 0xA0) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

// The shortest decimal that reads back as the same float.
std::string FloatText(float v) {
    char text[32];
    for (int digits = 6; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(v));
        if (std::strtof(text, nullptr) == v) break;
    }
    return text;
}

float FloatAt(const uint16_t* w) {
    const uint32_t bits = w[0] | (static_cast<uint32_t>(w[1]) << 16);
    float v = 0;
    std::memcpy(&v, &bits, 4);
    return v;
}

// The line up to its comment: a '#' outside a quoted text.
std::string WithoutComment(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (quoted && line[i] == '\\')
            ++i;
        else if (line[i] == '"')
            quoted = !quoted;
        else if (!quoted && line[i] == '#')
            return line.substr(0, i);
    }
    return line;
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

std::string DataTables::Aliased(const std::string& address) const {
    const std::string a = Trim(address);
    if (uFile_ < 0 || a.size() < 2 || (a[0] != 'U' && a[0] != 'u') || a[1] != ':') return a;
    std::string named(1, 'N');
    named += std::to_string(uFile_);
    return named.append(a, 1);
}

bool DataTables::Poke(const std::string& address, const std::string& rawValue, std::string* why) {
    std::string unused;
    if (why == nullptr) why = &unused;
    const std::string name = Trim(address);
    WordRef ref;
    const Lookup found = Locate(Aliased(name), &ref);
    if (found != Lookup::Ok) {
        *why = "\"" + name + "\" " +
               (found == Lookup::BadFormat ? "is not an address (N7:0, B3:0/5, T4:0.PRE, F8:1, ST9:0)"
                                           : "names no element this controller has");
        return false;
    }
    const std::string value = Trim(rawValue);
    DataFile& f = *ref.file;
    if (ref.bit >= 0) {
        if (value != "0" && value != "1") {
            *why = name + ": expected 0 or 1";
            return false;
        }
        const auto mask = static_cast<uint16_t>(1u << ref.bit);
        f.words[ref.word] = static_cast<uint16_t>(value == "1" ? f.words[ref.word] | mask : f.words[ref.word] & ~mask);
        return true;
    }
    if (f.type == kTypeFloat) {
        char* end = nullptr;
        // The controller holds single precision: a number that does not
        // round to a finite one (1e40, inf, nan) is refused, as `mira write`
        // refuses it.
        const float single = std::strtof(value.c_str(), &end);
        if (value.empty() || *end != '\0' || !std::isfinite(single)) {
            *why = name + ": expected a finite number from -3.40282347e+38 to 3.40282347e+38 (single precision)";
            return false;
        }
        uint32_t bits = 0;
        std::memcpy(&bits, &single, 4);
        const size_t w = ref.word - ref.word % 2;
        f.words[w] = static_cast<uint16_t>(bits & 0xFFFF);
        f.words[w + 1] = static_cast<uint16_t>(bits >> 16);
        return true;
    }
    const bool text = f.type == kTypeString || (f.type == kTypeAscii && !value.empty() && value.front() == '"');
    std::string bytes;
    if (text && !DecodeText(value, &bytes, why)) {
        *why = name + ": " + *why;
        return false;
    }
    if (f.type == kTypeString) {
        if (bytes.size() > kStringChars) {
            *why = name + ": expected a text of at most 82 characters";
            return false;
        }
        StringToWords(bytes, &f.words[ref.word - ref.word % kStringWords]);
        return true;
    }
    if (text) {
        const size_t byteStart = ref.word * 2;
        if (byteStart + bytes.size() > f.Bytes()) {
            *why = name + ": the text runs past the end of the file";
            return false;
        }
        // Characters two to a word, the first in the high byte.
        for (size_t i = 0; i < bytes.size(); ++i) f.SetByte((byteStart + i) ^ 1u, static_cast<uint8_t>(bytes[i]));
        return true;
    }
    uint16_t word = 0;
    if (!ParseWord(value, &word)) {
        *why = name + ": expected a whole number from -32768 to 32767 (or 0x0000 to 0xFFFF)";
        return false;
    }
    f.words[ref.word] = word;
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
    if (!Resolve(Aliased(address), &ref)) return false;
    const DataFile& f = *ref.file;
    if (ref.bit >= 0) {
        *out = ((f.words[ref.word] >> ref.bit) & 1) ? "1" : "0";
        return true;
    }
    if (f.type == kTypeFloat) {
        *out = FloatText(FloatAt(&f.words[ref.word - ref.word % 2]));
        return true;
    }
    if (f.type == kTypeString) {
        *out = EncodeText(StringFromWords(&f.words[ref.word - ref.word % kStringWords]));
        return true;
    }
    *out = std::to_string(static_cast<int16_t>(f.words[ref.word]));
    return true;
}

int DataTables::Seed(const std::string& text, std::vector<SeedProblem>* problems) {
    // A byte-order mark some editors put first is no part of the first line.
    std::istringstream in(text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text);
    std::string line;
    int number = 0;
    int first = 0;
    while (std::getline(in, line)) {
        ++number;
        line = Trim(WithoutComment(line));
        if (line.empty()) continue;
        const size_t eq = line.find('=');
        std::string why = "expected ADDRESS=VALUE";
        if (eq != std::string::npos && Poke(line.substr(0, eq), line.substr(eq + 1), &why)) continue;
        if (first == 0) first = number;
        if (problems != nullptr) problems->push_back({number, why});
    }
    return first;
}

std::string DataTables::Dump() const {
    std::string out;
    char buf[160];
    for (const DataFile& f : files_) {
        // On a PLC-2 the memory reads back as the U:n its seeds name.
        const std::string file = f.number == uFile_ ? "U" : TypeLetters(f.type) + std::to_string(f.number);
        const char* name = file.c_str();
        const bool io = IsIo(f.type);
        for (size_t e = 0; e < f.Elements(); ++e) {
            const uint16_t* w = &f.words[e * f.wordsPerElement];
            bool any = false;
            for (size_t i = 0; i < f.wordsPerElement; ++i) any = any || w[i] != 0;
            if (!any) continue;
            if (f.type == kTypeFloat) {
                const float v = FloatAt(w);
                // No seed line gives an infinity or a NaN (a master's write may).
                std::snprintf(buf, sizeof buf, std::isfinite(v) ? "%s:%zu=%s\n" : "# %s:%zu holds %s\n", name, e,
                              FloatText(v).c_str());
                out += buf;
            } else if (f.type == kTypeString) {
                std::snprintf(buf, sizeof buf, "%s:%zu=", name, e);
                out += buf + EncodeText(StringFromWords(w)) + "\n";
            } else if (f.type == kTypeTimer || f.type == kTypeCounter || f.type == kTypeControl) {
                const SubTable t = SubNamesFor(f.type, timerWords_);
                for (size_t i = 0; i < t.count; ++i) {
                    if (t.names[i].bit >= 0 || w[t.names[i].word] == 0) continue;
                    std::snprintf(buf, sizeof buf, "%s:%zu.%s=%d\n", name, e, t.names[i].name,
                                  static_cast<int>(static_cast<int16_t>(w[t.names[i].word])));
                    out += buf;
                }
            } else if (io && octalIo_) {
                std::snprintf(buf, sizeof buf, "%s:%zo=%d\n", name, e, static_cast<int>(static_cast<int16_t>(w[0])));
                out += buf;
            } else {
                for (size_t i = 0; i < f.wordsPerElement; ++i) {
                    if (w[i] == 0) continue;
                    if (f.wordsPerElement > 1)
                        std::snprintf(buf, sizeof buf, "%s:%zu.%zu=%d\n", name, e, i,
                                      static_cast<int>(static_cast<int16_t>(w[i])));
                    else
                        std::snprintf(buf, sizeof buf, "%s:%zu=%d\n", name, e,
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
