// Which texts a request may be built from. The parsers are lenient: they
// read what they can of a text (W5junk is W5, B3:0/3 is B3:0, foo is the
// float at element 0) and the address checks rewrite a text from that. A
// request must never name another address than the host's text, so the read
// and write starts, group registration and the unsolicited read take a text
// only when the parse accounts for every character of it (blanks at both
// ends and the case of letters aside) and it names a file and element the
// driver can address. The address checks return the same verdict, so that
// a host learns before it reads whether a text will be taken.
#pragma once

#include <cstdint>

#include "address/parser.h"
#include "setup/records.h"

namespace mira {

// The largest number an address field can carry: the SLC 500 three-byte
// form, the PLC-2 byte address, the PLC-5 element and file numbers.
inline constexpr int32_t kMaxFieldNumber = 0xFFFF;

// The header parse under the driver's model, then the rule: 0 when taken;
// -37 for a text the parse does not account for (N7:0/3, B3/5, N7:0:5,
// T4:0.ACC, U7:40) or a string file on PLC-2; -39 for a file number, slot
// or element no field carries, a slot on PLC-2 or PLC-5, or with octal I/O
// numbering an element with a digit 8 or 9. The record is filled as
// ParseHeader fills it.
[[nodiscard]] HeaderResult TakeHeader(PlcAddress* header, const char16_t* stationText, const char16_t* headerText);

// The item parse under a parsed header, then the rule: 0 when taken; the
// parser's -34 or -37; -34 for a text the parse does not account for (X3,
// foo, 5.DN under an integer file, 0.ACCX) or a type letter or bit the file
// has no value for (a float letter outside float files, a word letter in a
// float file, anything but a string in a string file, a bit of a float or
// string); -39 for an element or bit no request carries. The record is
// filled as ParseItem fills it.
[[nodiscard]] ItemResult TakeItem(const PlcAddress* header, ItemRequest* item, const char16_t* itemText);

// The same rule for a whole address (N7:W5, I:1.W3/4, timer/1:4:0.DN), as
// the split into a header and an item would take it: 0, or -37 for the file
// part (also when no element follows it), or the item's code.
[[nodiscard]] int32_t TakeAddress(const char16_t* addressText);

// With octal I/O numbering (OctalIo, input and output files): true when the
// header's element and the item's element and bit are octal numbers, which
// the conversions carry to the address the host wrote (18 would become 20,
// and a negative offset 0). Always true otherwise.
bool OctalNumbersFit(const PlcAddress& header, const ItemRequest& item);

}  // namespace mira
