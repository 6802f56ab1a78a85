#include "host/checks.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "host/text.h"
#include "host/values.h"

namespace mira::host {

bool KnownModel(const std::string& model) { return UDrvValidString1(ToWide(model).c_str()) == 0; }

std::string Checked(const std::string& text, const std::function<void(char16_t*)>& check) {
    char16_t buffer[MIRA_CHECKED_TEXT_BUFFER] = {};
    const std::u16string w = ToWide(text);
    std::copy(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(w.size(), MIRA_MAX_CHECKED_TEXT)),
              buffer);
    check(buffer);
    return ToUtf8(buffer, MIRA_CHECKED_TEXT_BUFFER);
}

CheckedForm CheckHeader(const std::string& header) {
    CheckedForm f;
    f.canonical = Checked(header, [&f](char16_t* b) { f.refused = UDrvValidHeader(b); });
    return f;
}

CheckedForm CheckItem(const std::string& header, const std::string& item) {
    const std::u16string h = ToWide(header);
    CheckedForm f;
    f.canonical = Checked(item, [&](char16_t* b) { f.refused = UDrvValidAddress(h.c_str(), b); });
    return f;
}

CheckedForm CheckAddress(const std::string& address) {
    CheckedForm f;
    f.canonical = Checked(address, [&f](char16_t* b) { f.refused = UDrvValidAddressEx(b); });
    return f;
}

std::string CanonicalHeader(const std::string& header) { return CheckHeader(header).canonical; }
std::string CanonicalItem(const std::string& header, const std::string& item) { return CheckItem(header, item).canonical; }
std::string CanonicalAddress(const std::string& address) { return CheckAddress(address).canonical; }

int32_t TypeOf(const std::string& header, const std::string& item) {
    return UDrvGetType(ToWide(header).c_str(), ToWide(item).c_str());
}

std::string WholeStringItem(const std::string& header, const std::string& item) {
    // A length follows the string's number after '.' (or '/', which the
    // driver reads alike).
    if (item.find_first_of("./") != std::string::npos || TypeOf(header, item) != MIRA_VALUE_STRING) return item;
    return item + "." + std::to_string(kWholeStringChars);
}

std::string GroupWriteProblem(const std::string& header, const std::string& item) {
    // A text the driver refuses gets the driver's own code, not a hint
    // about a write it could never make.
    const CheckedForm checked = CheckItem(header, item);
    if (checked.refused != 0) return "";
    if (TypeOf(header, item) == MIRA_VALUE_STRING) return "a string";
    const std::string& canonical = checked.canonical;
    // Every item of a timer, counter or control file names a part by its
    // mnemonic (W0 is 0.DN); a bit has a number after its separator.
    const size_t at = canonical.find_first_of("./");
    if (at != std::string::npos && at + 1 < canonical.size() &&
        std::isalpha(static_cast<unsigned char>(canonical[at + 1])))
        return "a timer, counter or control part";
    return RuleFor(TypeOf(header, item), canonical).kind == ValueRule::Kind::Bit ? "a bit" : "";
}

std::string LetterHeader(const std::string& numeric) {
    static const std::pair<const char*, const char*> kLetters[] = {
        {"integer/", "N"}, {"bit/", "B"}, {"timer/", "T"}, {"counter/", "C"}, {"control/", "R"}, {"status/", "S"}};
    for (const auto& [word, letter] : kLetters) {
        if (numeric.rfind(word, 0) != 0) continue;
        unsigned slot = 0, file = 0, element = 0;
        char end = 0;
        if (std::sscanf(numeric.c_str() + std::strlen(word), "%u:%u:%u%c", &slot, &file, &element, &end) != 3 ||
            slot != 0)
            return "";
        const std::string letters = letter + std::to_string(file) + ":" + std::to_string(element);
        return CanonicalHeader(letters) == letters ? letters : "";
    }
    return "";
}

bool MakeValue(const std::string& header, const std::string& item, const std::string& text, HostValueCore* value,
               std::string* why) {
    const std::string whole = WholeStringItem(header, item);
    return MakeHostValue(RuleFor(TypeOf(header, whole), CanonicalItem(header, whole)), text, value, why);
}

std::string ValueRefusal(const std::string& item, const std::string& why, const std::string& text) {
    return item + ": expected " + why + ", got \"" + text + "\"";
}

}  // namespace mira::host
