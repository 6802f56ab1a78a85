// The driver's verdict on the addresses of the tags, taken from its own
// checks (the canonical forms of UDrvValidAddressEx, UDrvValidHeader and
// UDrvValidAddress, the split of UDrvGetHeaderAddress, the type of
// UDrvGetType), never from a grammar of our own.
#include <algorithm>
#include <cctype>
#include <functional>

#include "host/checks.h"
#include "host/codes.h"
#include "host/text.h"
#include "host/values.h"
#include "mira/mira.h"
#include "serve/config.h"

namespace mira::serve {
namespace {

// A string tag without a length reads the controller's whole string.
constexpr int32_t kWholeString = 82;

// Upper case without blanks, '/' and '.' alike (0/ACC is 0.ACC), numbers
// without leading zeros (N7:05 is N7:5): the characters that tell the length
// of a string item apart.
std::string Telling(const std::string& text) {
    std::string out;
    bool inNumber = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
        if (c == ' ' || c == '\t') continue;
        const bool digit = c >= '0' && c <= '9';
        if (digit && !inNumber && c == '0' && i + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1])))
            continue;  // a leading zero
        inNumber = digit;
        out += c == '/' ? '.' : c;
    }
    return out;
}

// Whether the typed text gives the string's length that the canonical item
// shows (ST9:0.10 does; ST9:0 gets the parser's default of 2).
bool TypedLength(const std::string& typed, const std::string& canonicalItem) {
    const size_t dot = canonicalItem.rfind('.');
    if (dot == std::string::npos) return false;
    const std::string suffix = Telling(canonicalItem.substr(dot));
    const std::string t = Telling(typed);
    return t.size() >= suffix.size() && t.compare(t.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string WithLength(const std::string& item, int32_t chars) {
    return item.substr(0, item.rfind('.')) + "." + std::to_string(chars);
}

// The driver's verdict on a text as typed, in words; "" when a read takes
// it. A text the driver would rewrite dropping what was typed (N7:W5x read
// as N7:W5) is refused, naming the form the driver reads.
std::string Verdict(host::CheckedText kind, const std::string& typed, const host::CheckedForm& form,
                    const std::function<std::string(const std::string&)>& check) {
    if (const std::string problem = host::AddressTextProblem(typed); !problem.empty()) return problem;
    if (form.refused == 0) return "";
    if (host::ReplacedByDefault(kind, typed, form.canonical, check))
        return "names no valid address (the driver would read " + Quoted(form.canonical) + ")";
    if (form.refused == MIRA_ERR_RANGE) {
        std::string why = "refused by the driver: error ";
        why.append(std::to_string(form.refused)).append(": ").append(host::DescribeCode(form.refused));
        return why;
    }
    return "likely a typo: the driver reads it as " + Quoted(form.canonical);
}

ResolvedAddress Resolve(const std::string& typed, const std::string& station) {
    ResolvedAddress r;
    // Blanks around the address are no part of it; between two texts they
    // part the header from the item.
    const size_t from = typed.find_first_not_of(" \t");
    if (from == std::string::npos) {
        r.problem = "is empty";
        return r;
    }
    const std::string address = typed.substr(from, typed.find_last_not_of(" \t") + 1 - from);
    const std::u16string st = host::ToWide(station);
    const size_t blank = address.find_first_of(" \t");
    std::string typedItem;
    if (blank == std::string::npos) {
        auto check = [](const std::string& t) { return host::CheckAddress(t).canonical; };
        const host::CheckedForm form = host::CheckAddress(address);
        const std::string& canonical = form.canonical;
        r.problem = Verdict(host::CheckedText::Address, address, form, check);
        if (!r.problem.empty()) return r;
        char16_t header[MIRA_CHECKED_TEXT_BUFFER] = {}, item[MIRA_CHECKED_TEXT_BUFFER] = {};
        const std::u16string a = host::ToWide(canonical);
        UDrvGetHeaderAddress(st.c_str(), a.c_str(), st.c_str(), a.c_str(), header, item);
        r.header = host::ToUtf8(header, MIRA_CHECKED_TEXT_BUFFER);
        r.item = host::ToUtf8(item, MIRA_CHECKED_TEXT_BUFFER);
        typedItem = address;
    } else {
        const std::string headerText = address.substr(0, blank);
        const size_t start = address.find_first_not_of(" \t", blank);
        typedItem = address.substr(start);
        if (typedItem.find_first_of(" \t") != std::string::npos) {
            r.problem = "expected a whole address (N7:10) or a header and an item (N7:0 W10)";
            return r;
        }
        auto checkHeader = [](const std::string& t) { return host::CheckHeader(t).canonical; };
        const host::CheckedForm header = host::CheckHeader(headerText);
        r.header = header.canonical;
        r.problem = Verdict(host::CheckedText::Header, headerText, header, checkHeader);
        if (!r.problem.empty()) {
            r.problem = "header " + Quoted(headerText) + ": " + r.problem;
            return r;
        }
        auto checkItem = [&headerText](const std::string& t) { return host::CheckItem(headerText, t).canonical; };
        const host::CheckedForm item = host::CheckItem(headerText, typedItem);
        r.item = item.canonical;
        r.problem = Verdict(host::CheckedText::Item, typedItem, item, checkItem);
        if (!r.problem.empty()) {
            r.problem = "item " + Quoted(typedItem) + ": " + r.problem;
            return r;
        }
    }
    r.driverType = host::TypeOf(r.header, r.item);
    if (r.driverType == 3) {
        if (!TypedLength(typedItem, r.item)) r.item = WithLength(r.item, kWholeString);
    }
    const host::ValueRule rule = host::RuleFor(r.driverType, r.item);
    r.kind = rule.kind;
    r.chars = r.kind == TagKind::String ? rule.chars : 0;
    if (r.kind == TagKind::String && (r.chars < 1 || r.chars > kWholeString))
        r.problem = "a string of 1 to " + std::to_string(kWholeString) + " characters";
    return r;
}

}  // namespace

AddressCheck DriverAddressCheck(const LineConfig& line) {
    // The checks and the types follow the model the driver holds: the
    // configured one before the line opens, the open line's (the same) after.
    host::ApplyModelOnly(line);
    const std::string station = std::to_string(line.dst);
    return [station](const std::string& address) { return Resolve(address, station); };
}

}  // namespace mira::serve
