// What a value typed for a write must be to fit its item, and the address
// texts a host hands the driver at all. Pure, so it is tested without a line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "mira/mira.h"

namespace mira::host {

struct ValueRule {
    enum class Kind { Word, Bcd, Bit, Float, String } kind = Kind::Word;
    int32_t chars = 0;  // String: the item's size in characters
};

// The rule of an item from the driver's type of it (UDrvGetType: 1 whole
// number, 2 floating point, 3 string) and its canonical text
// (UDrvValidAddress): "B5" is BCD, "5/3", "5.3" and "0.DN" are bits,
// "S0.4" a string of 4 characters.
ValueRule RuleFor(int32_t type, const std::string& canonical);

// Fills *value from the typed text, or returns false with what the item takes
// in *why ("a whole number from -32768 to 32767").
bool MakeHostValue(const ValueRule& rule, const std::string& text, HostValueCore* value, std::string* why);

// Why an address text (a header or an item) is refused, or "" when it is
// fine: it must not be empty and must hold printable ASCII only, so that the
// driver reads the number the user sees.
std::string AddressTextProblem(const std::string& text);

// The kinds of text `mira check` hands the driver's checks.
enum class CheckedText { Header, Item, Address };

// Whether a check wrote its default in place of typed because typed names
// no valid address, rather than typed's canonical form. The checks never say
// so; a default ignores the number that names the element, so rewriting typed
// with that number changed (check) gives the same text again. A text without
// such a number gets the default when it is an item or a whole address, or a
// header that names no file ("N7:0" for anything but N).
bool ReplacedByDefault(CheckedText kind, const std::string& typed, const std::string& canonical,
                       const std::function<std::string(const std::string&)>& check);

}  // namespace mira::host
