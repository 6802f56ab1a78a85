// Properties over generated addresses, and overlong texts no sheet should hold.

#include <memory>

#include "address/checks_support.h"
#include "address/parser.h"

namespace mira::test {
namespace {

// Canonical whole addresses of every file type, with bits and sub-elements.
std::vector<std::u16string> CanonicalAddresses() {
    std::vector<std::u16string> out;
    for (const std::u16string x : {u"0", u"1", u"57", u"117", u"999"}) {
        for (const char16_t* p : {u"N7:", u"N9:W", u"B3:", u"B12:B", u"S:W", u"U:W", u"I:1.", u"O:0."})
            out.push_back(p + x);
        out.push_back(u"N7:W" + x + u"/15");
        out.push_back(u"B3:" + x + u"/3");
        out.push_back(u"I:2.W" + x + u"/4");
        out.push_back(u"T4:" + x + u".ACC");
        out.push_back(u"T4:W" + x + u".DN");
        out.push_back(u"C5:" + x + u".CU");
        out.push_back(u"R6:W" + x + u".POS");
        out.push_back(u"F8:F" + x);
        out.push_back(u"ST11:S" + x + u".20");
        out.push_back(u"A10:" + x + u".2");
    }
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
            EXPECT_EQ(header.fileType, whole.fileType);
            EXPECT_EQ(header.fileNumber, whole.fileNumber);
            EXPECT_EQ(header.elementBase + item.element, wholeItem.element);
            EXPECT_EQ(item.hasBit, wholeItem.hasBit);
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
