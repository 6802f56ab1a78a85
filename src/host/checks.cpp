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

std::string CanonicalHeader(const std::string& header) {
    return Checked(header, [](char16_t* b) { UDrvValidHeader(b); });
}

std::string CanonicalItem(const std::string& header, const std::string& item) {
    const std::u16string h = ToWide(header);
    return Checked(item, [&](char16_t* b) { UDrvValidAddress(h.c_str(), b); });
}

std::string CanonicalAddress(const std::string& address) {
    return Checked(address, [](char16_t* b) { UDrvValidAddressEx(b); });
}

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
