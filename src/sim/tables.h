// The controller's data tables: numbered files of 16-bit words, each file of
// one type with a fixed number of words per element. Every access is checked
// against the file it names; nothing here ever touches another file's words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mira::sim {

// The PCCC file type codes a typed command carries.
enum FileTypeCode : uint8_t {
    kTypeStatus = 0x84,
    kTypeBit = 0x85,
    kTypeTimer = 0x86,
    kTypeCounter = 0x87,
    kTypeControl = 0x88,
    kTypeInteger = 0x89,
    kTypeFloat = 0x8A,
    kTypeOutput = 0x8B,
    kTypeInput = 0x8C,
    kTypeString = 0x8D,
    kTypeAscii = 0x8E,
};

// The letters of a file type as a controller writes them (N, B, T, ST ...),
// or null for a code that names no data file.
const char* TypeLetters(uint8_t typeCode);

// The type code for file letters ("N", "st", "I" ...); 0 when unknown.
uint8_t TypeFromLetters(const std::string& letters);

struct DataFile {
    uint16_t number = 0;
    uint8_t type = 0;             // FileTypeCode
    uint16_t wordsPerElement = 1;
    std::vector<uint16_t> words;  // element e, word w at e * wordsPerElement + w

    size_t Elements() const { return words.size() / wordsPerElement; }
    size_t Bytes() const { return words.size() * 2; }
    // Byte k of the file as it goes on the line: words low byte first.
    uint8_t ByteAt(size_t k) const;
    void SetByte(size_t k, uint8_t value);
};

// A line of a seed text that was not taken: its number (from 1) and why.
struct SeedProblem {
    int line = 0;
    std::string cause;
};

struct FileShape {
    std::string letters;  // N, B, T, C, R, F, ST, A (also O, I, S)
    uint16_t number = 0;
    uint32_t elements = 0;
};

// Where a text address points: a file, a word offset within it and an
// optional bit of that word.
struct WordRef {
    DataFile* file = nullptr;
    size_t word = 0;
    int bit = -1;  // -1: the whole word (or element)
    bool wholeElement = false;  // no sub-element was named
};

class DataTables {
public:
    // Words per element of a timer: 3 on SLC 500 class controllers, 5 where
    // the timer carries its two extension words.
    explicit DataTables(uint16_t timerWords = 3, uint16_t ioWordsPerSlot = 4, bool octalIo = false);

    // Adds or replaces a file; false when the shape is not valid (unknown
    // letters, no elements, more than 65535 words).
    bool AddFile(const FileShape& shape);
    DataFile* Find(uint16_t number);
    const DataFile* Find(uint16_t number) const;
    const std::vector<DataFile>& Files() const { return files_; }

    uint16_t TimerWords() const { return timerWords_; }
    uint16_t IoWordsPerSlot() const { return ioWordsPerSlot_; }
    bool OctalIo() const { return octalIo_; }

    // Resolves a text address: N7:12, N7:12/3, B3/37, T4:2.ACC, T4:2.DN,
    // F8:1, ST9:0, A10:3, I:1.0, I:010/05 (octal with octalIo), S:3, S2:3.
    enum class Lookup { Ok, BadFormat, NoSuchAddress };
    Lookup Locate(const std::string& address, WordRef* ref);
    bool Resolve(const std::string& address, WordRef* ref) { return Locate(address, ref) == Lookup::Ok; }

    // On a PLC-2, U:n names word n of this file, its memory.
    void NameWordsU(uint16_t file) { uFile_ = file; }

    // Text values, as seed lines and dumps write them: whole numbers from
    // -32768 to 32767 (or 0x0000 to 0xFFFF), finite numbers within single
    // precision for F files, 0 or 1 for bits, texts for ST and A files. A
    // text is quoted, with the escapes \" \\ \t and \xNN (one byte), or
    // bare; either way it is UTF-8 with characters up to U+00FF, each one
    // byte of the controller's. Poke refuses what `mira write` refuses, with
    // the reason in *why.
    bool Poke(const std::string& address, const std::string& value, std::string* why = nullptr);
    bool Peek(const std::string& address, std::string* value);

    // One "address=value" per line; '#' outside a quoted text starts a
    // comment. Every good line is taken; every bad one goes into *problems.
    // Returns the number of the first bad line, 0 when all were taken.
    int Seed(const std::string& text, std::vector<SeedProblem>* problems = nullptr);

    // Every file, element by element, nonzero elements only, as seed lines:
    // read back as a seed it gives the same tables.
    std::string Dump() const;

private:
    // The address with U:n written as the file it names on a PLC-2.
    std::string Aliased(const std::string& address) const;

    std::vector<DataFile> files_;
    uint16_t timerWords_;
    uint16_t ioWordsPerSlot_;
    bool octalIo_;
    int32_t uFile_ = -1;  // the file U:n names, or none
};

// String elements: word 0 holds the length, the characters follow two to a
// word, the first of each pair in the high byte, up to 82 characters.
constexpr uint16_t kStringWords = 42;
constexpr size_t kStringChars = 82;
std::string StringFromWords(const uint16_t* words);
void StringToWords(const std::string& text, uint16_t* words);

}  // namespace mira::sim
