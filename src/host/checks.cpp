#include "host/checks.h"

#include <algorithm>

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

bool MakeValue(const std::string& header, const std::string& item, const std::string& text, HostValueCore* value,
               std::string* why) {
    return MakeHostValue(RuleFor(TypeOf(header, item), CanonicalItem(header, item)), text, value, why);
}

std::string ValueRefusal(const std::string& item, const std::string& why, const std::string& text) {
    return item + ": expected " + why + ", got \"" + text + "\"";
}

}  // namespace mira::host
