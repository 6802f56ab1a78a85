// The driver's own checks of address texts and the typing of a value for a
// write, as `mira check` and `mira write` use them. They follow the model the
// driver holds: the open line's, or ApplyModelOnly's (host/line.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "mira/mira.h"

namespace mira::host {

// The model texts the driver knows, for messages.
inline constexpr const char* kModelTexts = "SLC500, 500, PLC5, 5, 5:0, 5:1, \"PLC5 WITH I/O OCTAL\", PLC2, 2 (any case)";

// Whether the driver knows a model text (UDrvValidString1). The driver takes
// any text and reads an unknown one as SLC 500; a host refuses it instead.
bool KnownModel(const std::string& model);

// A text rewritten in place by one of the driver's checks, in a buffer of
// the size the checks write into (MIRA_CHECKED_TEXT_BUFFER).
std::string Checked(const std::string& text, const std::function<void(char16_t*)>& check);

// What a check made of a text: its canonical form, and the check's result,
// the verdict on the text as typed: 0 when a read or write takes it, else
// the code a read refuses it with (-34, -37, -39; an item under a refused
// header gets the header's).
struct CheckedForm {
    std::string canonical;
    int32_t refused = 0;
};
CheckedForm CheckHeader(const std::string& header);
CheckedForm CheckItem(const std::string& header, const std::string& item);
CheckedForm CheckAddress(const std::string& address);

// The canonical forms of a header (UDrvValidHeader), of an item under a
// header (UDrvValidAddress) and of a whole address (UDrvValidAddressEx).
std::string CanonicalHeader(const std::string& header);
std::string CanonicalItem(const std::string& header, const std::string& item);
std::string CanonicalAddress(const std::string& address);

// The driver's type of an item (UDrvGetType): 1 whole number, 2 floating
// point, 3 string.
int32_t TypeOf(const std::string& header, const std::string& item);

// The item text our hosts hand the driver: a string item without a length
// reads and writes the controller's whole string (S0 is S0.82), where the
// driver keeps its default of 2 characters for the hosts that rely on it.
// Every other item as given.
inline constexpr int32_t kWholeStringChars = 82;
std::string WholeStringItem(const std::string& header, const std::string& item);

// What a group write cannot carry, which only an item write changes: "a bit",
// "a string", "a timer, counter or control part"; "" for a word or a float.
std::string GroupWriteProblem(const std::string& header, const std::string& item);

// The letter form of the numeric header by which the driver names an SLC 500
// controller's message ("integer/0:7:5" is "N7:5"), as the driver's check
// takes it; "" for a header without one (another slot, an unknown type).
std::string LetterHeader(const std::string& numeric);

// The host value for a write, typed as the driver types the item (a string
// item without a length as WholeStringItem reads it) and refused when it
// does not fit the item (the driver would send another): false with what the
// item takes in *why.
bool MakeValue(const std::string& header, const std::string& item, const std::string& text, HostValueCore* value,
               std::string* why);

// The refusal of a value that does not fit: "W0: expected a whole number
// from -32768 to 32767, got "70000"".
std::string ValueRefusal(const std::string& item, const std::string& why, const std::string& text);

}  // namespace mira::host
