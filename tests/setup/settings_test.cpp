#include <gtest/gtest.h>

#include <string>

#include "setup/driver_state.h"

namespace mira {
namespace {

// The settings applied; the error, once the version text is checked.
int32_t Apply(const DriverSettings& settings, MiraWindowHandle window = 0) {
    char16_t version[8]{};
    int32_t error = -1;
    ApplySettings(window, &settings, version, &error);
    EXPECT_EQ(std::u16string(version), u"10.3");
    return error;
}

// A model text with the other settings. Only the bare "5" row reads a number after ':'; no row
// matches a text with blanks around it.
struct SettingsCase {
    const char16_t *model, *mode, *station;
    int32_t errorCheck, addressOption;
    uint32_t modelClass, plc5Family, octalIo;
    uint8_t nonStandardBcd;
    uint32_t useCrc, altAddress, localStation;
};

TEST(ApplySettings, SetsTheFields) {
    const SettingsCase cases[] = {
        {u"5", u"Standard", u"5", 0, 0, 5, 1, 0, 0, 0, 0, 5},
        {u"plc5", u"sTaNdArD", u"  12", 1, 1, 5, 1, 0, 0, 1, 1, 12},
        {u"plc5 with i/o octal", u"Standard ", u"x", -1, -7, 5, 1, 1, 1, 0, 1, 0},
        {u"5:1", u"", u"-3", 2, 0, 5, 1, 1, 1, 1, 0, 0xFFFFFFFDu},
        {u"5:0", u"Non-standard", u"", 0x7FFFFFFF, 0, 5, 1, 0, 1, 1, 0, 0},
        {u"PLC5:1", u"Standard", u"5", 0, 0, 5, 1, 0, 0, 0, 0, 5},
        {u"", u"Standard", u"5", 0, 0, 500, 0, 0, 0, 0, 0, 5},
        {u" 5", u"Standard", u"5", 0, 0, 500, 0, 0, 0, 0, 0, 5},
        {u"SLC500 ", u"Standard", u"5", 0, 0, 500, 0, 0, 0, 0, 0, 5},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(&c - cases);
        ResetDriverState();
        DriverSettings settings{};
        std::u16string(c.model).copy(settings.ModelText, 81);
        std::u16string(c.mode).copy(settings.ModeText, 81);
        std::u16string(c.station).copy(settings.StationText, 81);
        settings.ErrorCheckOption = c.errorCheck;
        settings.AddressOption = c.addressOption;
        // Leftovers of an earlier open must not survive.
        Driver.OctalIo = 1;
        Driver.Plc5Family = 1;
        Driver.ChannelBusy = 1;
        EXPECT_EQ(Apply(settings, 0x1234), 0);
        EXPECT_EQ(Driver.ModelClass, c.modelClass);
        EXPECT_EQ(Driver.Plc5Family, c.plc5Family);
        EXPECT_EQ(Driver.OctalIo, c.octalIo);
        EXPECT_EQ(Driver.NonStandardBcd, c.nonStandardBcd);
        EXPECT_EQ(Driver.UseCrc, c.useCrc);
        EXPECT_EQ(Driver.AltAddressMode, c.altAddress);
        EXPECT_EQ(Driver.LocalStation, c.localStation);
        EXPECT_EQ(Driver.ChannelBusy, 0u);
        EXPECT_EQ(Driver.NotifyWindow, 0x1234u);
    }
}

// Every text field filled to its last code unit, and the words after them holding no zero code unit
// either: a copy that ran past its field would overflow the local buffers under the sanitizers.
TEST(ApplySettings, UnterminatedFieldsAreReadWithinTheirBounds) {
    ResetDriverState();
    DriverSettings settings{};
    for (char16_t& c : settings.StationText) c = u'9';
    for (char16_t& c : settings.ModelText) c = u'5';
    for (char16_t& c : settings.ModeText) c = u'S';
    settings.AddressOption = 0x00410041;
    settings.ErrorCheckOption = 0x00410041;
    for (char16_t& c : settings.portName) c = u'A';
    EXPECT_EQ(Apply(settings), 0);
    EXPECT_EQ(Driver.ModelClass, 500u);  // 82 fives match no row
    EXPECT_EQ(Driver.NonStandardBcd, 1);
    EXPECT_EQ(Driver.AltAddressMode, 1u);
    EXPECT_EQ(Driver.UseCrc, 1u);
    // "2:" then letters to the end of the field: the cut at the colon leaves "2".
    ResetDriverState();
    for (char16_t& c : settings.ModelText) c = u'A';
    settings.ModelText[0] = u'2';
    settings.ModelText[1] = u':';
    (void)Apply(settings);
    EXPECT_EQ(Driver.ModelClass, 2u);
}

}  // namespace
}  // namespace mira
