// Properties over generated addresses, and overlong texts no sheet should hold.

#include <memory>
#include <tuple>

#include "address/checks_support.h"
#include "address/parser.h"

namespace mira::test {
namespace {

// Canonical whole addresses of every file type, with bits and sub-elements.
std::vector<std::u16string> CanonicalAddresses() {
    std::vector<std::u16string> out;
    const std::pair<const char16_t*, const char16_t*> forms[] = {
        {u"N7:", u""}, {u"N9:W", u""}, {u"B3:", u""}, {u"B12:B", u""}, {u"S:W", u""}, {u"U:W", u""}, {u"I:1.", u""},
        {u"O:0.", u""}, {u"N7:W", u"/15"}, {u"B3:", u"/3"}, {u"I:2.W", u"/4"}, {u"T4:", u".ACC"}, {u"T4:W", u".DN"},
        {u"C5:", u".CU"}, {u"R6:W", u".POS"}, {u"F8:F", u""}, {u"ST11:S", u".20"}, {u"A10:", u".2"},
    };
    for (const std::u16string x : {u"0", u"1", u"57", u"117", u"999"})
        for (const auto& [prefix, suffix] : forms) out.push_back(prefix + x + suffix);
    return out;
}

TEST(CheckProperties, CanonicalAddressesComeBackUnchangedAndSplitFaithfully) {
    for (uint32_t model : {500u, 5u}) {
        for (const std::u16string& address : CanonicalAddresses()) {
            SCOPED_TRACE(Narrow(address));
            PrepareDriver(model);
            EXPECT_EQ(Narrow(ValidAddressEx(address)), Narrow(address));
            PlcAddress whole{};
            ItemRequest wholeItem{};
            ParseFullAddress(&whole, &wholeItem, u"1", address.c_str());
            const HeaderAddress split = GetHeaderAddress(u"1", address, u"1", address);
            EXPECT_EQ(Narrow(ValidHeader(split.header)), Narrow(split.header));
            EXPECT_EQ(Narrow(ValidAddress(split.header, split.item)), Narrow(split.item));
            PlcAddress header{};
            ItemRequest item{};
            EXPECT_EQ(ParseHeader(&header, u"1", split.header.c_str(), model).code, 0);
            EXPECT_EQ(ParseItem(&header, &item, split.item.c_str()).code, 0);
            EXPECT_EQ(std::tuple(header.fileType, header.fileNumber, header.elementBase + item.element, item.hasBit),
                      std::tuple(whole.fileType, whole.fileNumber, wholeItem.element, wholeItem.hasBit));
            EXPECT_EQ(item.hasBit ? item.bit : 0, item.hasBit ? wholeItem.bit : 0);
        }
    }
}

// Texts that end exactly at the end of their allocation, without terminator:
// a read past the bound is caught by the sanitizer build.
TEST(CheckBadInput, LongAndUnterminatedTexts) {
    PrepareDriver(500);
    const size_t n = MIRA_CHECKED_TEXT_BUFFER;
    std::unique_ptr<char16_t[]> raw(new char16_t[n]);
    std::fill(raw.get(), raw.get() + n, u'7');
    raw[0] = u'N';
    EXPECT_EQ(UDrvValidString1(raw.get()), 3);
    EXPECT_EQ(UDrvCompareAddress(u"1", raw.get(), u"1", u"N7:W0"), -1);  // names no file
    HostBuffer header(u"", MIRA_HEADER_ADDRESS_HEADER_MAX), item(u"", MIRA_HEADER_ADDRESS_ITEM_MAX);
    EXPECT_EQ(UDrvGetHeaderAddress(u"1", u"N7:W0", u"1", raw.get(), header.data(), item.data()), 0);
    EXPECT_EQ(Narrow(header.Text()), "N7:0");
    const std::u16string longText = u"N7:5" + std::u16string(4000, u' ');
    EXPECT_EQ(Narrow(ValidHeader(longText)), "N7:0");
    EXPECT_EQ(Narrow(ValidAddressEx(longText)), "N7:W0");
    EXPECT_EQ(Narrow(ValidAddress(longText, u"W5" + std::u16string(3000, u'9'))),
              "W2147483647");  // 14 digits, saturated
}  // random texts: the address_checks fuzz target and its replayed corpus

}  // namespace
}  // namespace mira::test
