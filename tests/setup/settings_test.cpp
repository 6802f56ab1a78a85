#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "setup/driver_state.h"

namespace mira {
namespace {

void PutText(char16_t (&field)[82], const std::u16string& text) {
    std::memset(field, 0, sizeof field);
    for (size_t i = 0; i < text.size() && i < 82; ++i) field[i] = text[i];
}

// The settings applied; the error, once the version text is checked.
int32_t Apply(const DriverSettings& settings, MiraWindowHandle window = 0) {
    char16_t version[8]{};
    int32_t error = -1;
    ApplySettings(window, &settings, version, &error);
    EXPECT_EQ(std::u16string(version), u"10.3");
    return error;
}

struct ModelCase { const char16_t* model; uint32_t modelClass; uint32_t plc5Family; uint32_t octalIo; };

class ModelTextTest : public ::testing::TestWithParam<ModelCase> {};

TEST_P(ModelTextTest, ChoosesTheRow) {
    const ModelCase& c = GetParam();
    ResetDriverState();
    DriverSettings settings{};
    PutText(settings.ModelText, c.model);
    // Leftovers of an earlier open must not survive.
    Driver.OctalIo = 1;
    Driver.Plc5Family = 1;
    EXPECT_EQ(Apply(settings), 0);
    EXPECT_EQ(Driver.ModelClass, c.modelClass);
    EXPECT_EQ(Driver.Plc5Family, c.plc5Family);
    EXPECT_EQ(Driver.OctalIo, c.octalIo);
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelTextTest,
    ::testing::Values(ModelCase{u"2", 2, 0, 0}, ModelCase{u"5", 5, 1, 0}, ModelCase{u"500", 500, 0, 0},
                      ModelCase{u"PLC2", 2, 0, 0}, ModelCase{u"plc5", 5, 1, 0},
                      ModelCase{u"plc5 with i/o octal", 5, 1, 1}, ModelCase{u"SLC500", 500, 0, 0},
                      ModelCase{u"5:1", 5, 1, 1}, ModelCase{u"5:0", 5, 1, 0}, ModelCase{u"5:", 5, 1, 0},
                      ModelCase{u"5:-3", 5, 1, 0}, ModelCase{u"5: 2", 5, 1, 1}, ModelCase{u"PLC5:1", 5, 1, 0},
                      ModelCase{u"5x", 5, 1, 0}, ModelCase{u"", 500, 0, 0}, ModelCase{u" 5", 500, 0, 0},
                      ModelCase{u"SLC500 ", 500, 0, 0}, ModelCase{u"2:1", 2, 0, 0}));

struct OptionCase {
    const char16_t* mode;
    int32_t errorCheck;
    int32_t addressOption;
    const char16_t* station;
    uint8_t nonStandardBcd;
    uint32_t useCrc;
    uint32_t altAddress;
    uint32_t station_;
};

class OptionTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(OptionTest, SetsTheFields) {
    const OptionCase& c = GetParam();
    ResetDriverState();
    DriverSettings settings{};
    PutText(settings.ModeText, c.mode);
    PutText(settings.StationText, c.station);
    settings.ErrorCheckOption = c.errorCheck;
    settings.AddressOption = c.addressOption;
    Driver.ChannelBusy = 1;
    (void)Apply(settings, 0x1234);
    EXPECT_EQ(Driver.NonStandardBcd, c.nonStandardBcd);
    EXPECT_EQ(Driver.UseCrc, c.useCrc);
    EXPECT_EQ(Driver.AltAddressMode, c.altAddress);
    EXPECT_EQ(Driver.LocalStation, c.station_);
    EXPECT_EQ(Driver.ChannelBusy, 0u);
    EXPECT_EQ(Driver.NotifyWindow, 0x1234u);
}

INSTANTIATE_TEST_SUITE_P(Options, OptionTest,
                         ::testing::Values(OptionCase{u"Standard", 0, 0, u"5", 0, 0, 0, 5},
                                           OptionCase{u"sTaNdArD", 1, 1, u"  12", 0, 1, 1, 12},
                                           OptionCase{u"Standard ", -1, -7, u"x", 1, 0, 1, 0},
                                           OptionCase{u"", 2, 0, u"-3", 1, 1, 0, 0xFFFFFFFDu},
                                           OptionCase{u"Non-standard", 0x7FFFFFFF, 0, u"", 1, 1, 0, 0}));

// Every text field filled to its last code unit, and the words after them
// holding no zero code unit either: a copy that ran past its field would
// overflow the local buffers, which the sanitizer build reports.
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
