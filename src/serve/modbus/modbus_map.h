// The Modbus register map of `mira serve`: where each tag sits among the four
// tables (its `modbus` key: "hr:100", "ir:100", "co:10", "di:10", zero-based)
// and how its value reads as registers or bits. Pure, so the load's checks,
// the --plan printer, the face and the fuzz target share one reading of it.
//
// A bit takes a coil or a discrete input. Everything else takes registers:
// a word, BCD value or timer, counter or control part one, a float two in
// the configured word and byte order, a string one per two characters, high
// byte first, padded with 0.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "serve/tag.h"

namespace mira::serve::modbus {

enum class Table : uint8_t { Coils, DiscreteInputs, HoldingRegisters, InputRegisters };
inline constexpr size_t kTables = 4;

const char* TablePrefix(Table table);  // "co", "di", "hr", "ir"
inline bool IsBitTable(Table table) { return table == Table::Coils || table == Table::DiscreteInputs; }
// Whether Modbus clients may write the table at all (coils, holding registers).
inline bool IsWritableTable(Table table) { return table == Table::Coils || table == Table::HoldingRegisters; }

// The order of a float's four bytes over its two registers, A the most
// significant: ABCD sends the high word first, CDAB the low word first,
// BADC and DCBA the same with the bytes of each register swapped.
enum class FloatOrder { Abcd, Cdab, Badc, Dcba };
std::optional<FloatOrder> ParseFloatOrder(const std::string& text);
const char* FloatOrderName(FloatOrder order);

// Where a tag sits: its table, its first address and how many registers or
// bits it takes from there.
struct Place {
    Table table = Table::HoldingRegisters;
    uint16_t start = 0;
    uint32_t count = 1;
    uint32_t end() const { return start + count; }  // one past the last
};

// The registers (or bits) a tag takes.
uint32_t WidthOf(const TagInfo& tag);

// Reads a tag's `modbus` text ("hr:100", any case); false with what it must
// be in *why.
bool ParsePlace(const std::string& text, const TagInfo& tag, Place* out, std::string* why);
// "hr:100", or "hr:100-101" for more than one register.
std::string PlaceText(const Place& place);

// The tag's `modbus` text as the load kept it (TagInfo::faces), or nullopt.
std::optional<std::string> MappingOf(const TagInfo& tag);

struct Entry {
    Place place;
    size_t tag = 0;  // index into the tags the map was built from
};

class RegisterMap {
public:
    RegisterMap() = default;
    // The places of the tags that have one. A tag whose text does not parse
    // is left out (the load refused it already). Each place that overlaps an
    // earlier one is reported in *overlaps as (earlier tag, later tag), in
    // address order, and left out of the map.
    static RegisterMap Build(const std::vector<TagInfo>& tags,
                             std::vector<std::pair<size_t, size_t>>* overlaps = nullptr);

    const std::vector<Entry>& Of(Table table) const { return tables_[static_cast<size_t>(table)]; }
    bool empty() const;
    // The entries the range address .. address+quantity-1 touches, in address
    // order; false when an address of the range has no tag.
    bool Cover(Table table, uint32_t address, uint32_t quantity, std::vector<const Entry*>* out) const;

private:
    std::array<std::vector<Entry>, kTables> tables_;  // each sorted by start
};

// Fills WidthOf(tag) registers (a bit: one, 0 or 1) with a value of the
// tag. False when the registers cannot show it truly: no value, a value of
// another type, a whole number outside 16 bits, a string longer than its
// registers or with a character past U+00FF.
bool Encode(const TagInfo& tag, const Value& value, FloatOrder order, uint16_t* out);

// The value a client's registers (WidthOf(tag) of them; a coil: one, 0 or 1)
// write to the tag, as the store's Write takes it: a signed number for a
// word, the register as it stands for BCD, a float, 0 or 1, a text
// up to its first 0.
nlohmann::json DecodeWrite(const TagInfo& tag, const uint16_t* in, FloatOrder order);

}  // namespace mira::serve::modbus
