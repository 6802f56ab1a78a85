#include "host/values.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "host/text.h"

namespace mira::host {
namespace {

// The sub-element mnemonics that name one status bit of a timer, counter or
// control element; the others name whole words.
bool IsStatusBitMnemonic(const std::string& m) {
    static const char* const kBits[] = {"DN", "TT", "EN", "UA", "UN", "OV", "CD", "CU",
                                        "FD", "IN", "UL", "ER", "EM", "EU"};
    for (const char* bit : kBits)
        if (m == bit) return true;
    return false;
}

bool AllDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool WholeNumber(const std::string& text, long long min, long long max, int32_t* out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (*end != 0 || errno != 0 || v < min || v > max) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

}  // namespace

ValueRule RuleFor(int32_t type, const std::string& canonical) {
    ValueRule rule;
    if (type == 2) {
        rule.kind = ValueRule::Kind::Float;
        return rule;
    }
    const size_t dot = canonical.find('.');
    if (type == 3) {
        rule.kind = ValueRule::Kind::String;
        const std::string size = dot == std::string::npos ? "" : canonical.substr(dot + 1);
        rule.chars = AllDigits(size) ? std::atoi(size.c_str()) : 2;  // the parser's default size
        return rule;
    }
    const bool bcd = !canonical.empty() && canonical[0] == 'B';
    rule.kind = bcd ? ValueRule::Kind::Bcd : ValueRule::Kind::Word;
    const size_t separator = canonical.find_first_of("/.");
    if (separator != std::string::npos) {
        const std::string after = canonical.substr(separator + 1);
        if (AllDigits(after) || IsStatusBitMnemonic(after)) rule.kind = ValueRule::Kind::Bit;
    }
    return rule;
}

bool MakeHostValue(const ValueRule& rule, const std::string& text, HostValueCore* value, std::string* why) {
    *value = HostValueCore{};
    switch (rule.kind) {
        case ValueRule::Kind::String: {
            const std::u16string w = ToWide(text);
            // The host record holds 83 characters and a terminator; the
            // driver would send no more than the item's size.
            const size_t limit = static_cast<size_t>(std::max(0, std::min(rule.chars, 82)));
            for (char16_t c : w)
                if (c > 0xFF) {
                    *why = "characters the controller's 8-bit strings hold (up to U+00FF)";
                    return false;
                }
            if (w.size() > limit) {
                *why = "a string of at most " + std::to_string(limit) + " characters";
                return false;
            }
            value->valueType = MIRA_VALUE_STRING;
            std::copy(w.begin(), w.end(), value->value.text);
            value->value.text[w.size()] = 0;
            return true;
        }
        case ValueRule::Kind::Float: {
            char* end = nullptr;
            const double d = text.empty() ? 0 : std::strtod(text.c_str(), &end);
            // The controller holds single precision: a number that rounds
            // past its range would be written as an infinity. The largest
            // float as people type it (3.40282347e+38) lies just above it and
            // rounds to it, so it is taken as that float.
            constexpr double kRoundsToInfinity = 0x1.ffffffp127;  // FLT_MAX and half its last step
            if (text.empty() || *end != 0 || !std::isfinite(d) || std::fabs(d) >= kRoundsToInfinity) {
                *why = "a finite number from -3.40282347e+38 to 3.40282347e+38 (single precision)";
                return false;
            }
            value->valueType = MIRA_VALUE_DOUBLE;
            value->value.real = std::fabs(d) > FLT_MAX ? std::copysign(double(FLT_MAX), d) : d;
            return true;
        }
        case ValueRule::Kind::Bit:
            if (text != "0" && text != "1") {
                *why = "0 or 1";
                return false;
            }
            break;
        case ValueRule::Kind::Bcd:
            // Four BCD digits in the 16-bit word.
            if (!WholeNumber(text, 0, 9999, &value->value.integer)) {
                *why = "a whole number from 0 to 9999 (four BCD digits)";
                return false;
            }
            break;
        case ValueRule::Kind::Word:
            if (!WholeNumber(text, -32768, 32767, &value->value.integer)) {
                *why = "a whole number from -32768 to 32767";
                return false;
            }
            break;
    }
    value->valueType = MIRA_VALUE_INTEGER;
    if (rule.kind == ValueRule::Kind::Bit) value->value.integer = text == "1" ? 1 : 0;
    return true;
}

std::string AddressTextProblem(const std::string& text) {
    if (text.empty()) return "is empty";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c > 0x7E) return "holds a character outside printable ASCII";
    }
    return "";
}

bool ReplacedByDefault(CheckedText kind, const std::string& typed, const std::string& canonical,
                       const std::function<std::string(const std::string&)>& check) {
    if (canonical == typed) return false;
    // The element is the last number; of a whole address, one after its ':'
    // and not an I/O slot with nothing after it (I:1.).
    const size_t colon = typed.find(':');
    const size_t from = kind == CheckedText::Address ? (colon == std::string::npos ? typed.size() : colon) : 0;
    size_t end = typed.size();
    while (end > from && !std::isdigit(static_cast<unsigned char>(typed[end - 1]))) --end;
    size_t begin = end;
    while (begin > from && std::isdigit(static_cast<unsigned char>(typed[begin - 1]))) --begin;
    if (begin == end || (kind == CheckedText::Address && typed.back() == '.')) {
        if (kind != CheckedText::Header) return true;
        std::string upper = typed;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return canonical == "N7:0" && upper != "N";
    }
    const std::string other = typed.substr(begin, end - begin) == "7" ? "8" : "7";
    return check(typed.substr(0, begin) + other + typed.substr(end)) == canonical;
}

}  // namespace mira::host
