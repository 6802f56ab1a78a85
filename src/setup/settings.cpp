#include <array>

#include "platform/atomic_word.h"
#include "platform/wide.h"
#include "setup/driver_state.h"

namespace mira {
namespace {

constexpr PlcModel kNoRowMatches{u"", kClassSlc500, 0, 0, false};

// A text field of the settings block is 82 code units; the host may leave it
// unterminated, so it is read into a terminated copy and never beyond.
constexpr size_t kFieldChars = sizeof(DriverSettings::ModelText) / sizeof(char16_t);

void CopyField(char16_t (&dest)[kFieldChars + 1], const char16_t* field) {
    const size_t n = wide::wcsnlen(field, kFieldChars);
    for (size_t i = 0; i < n; ++i) dest[i] = field[i];
    dest[n] = 0;
}

// Exact comparison, code unit by code unit; both must end at the same place.
bool TextsEqual(const char16_t* a, const char16_t* b) {
    size_t i = 0;
    for (; a[i] != 0 && a[i] == b[i]; ++i) {
    }
    return a[i] == b[i];
}

}  // namespace

void ApplySettings(MiraWindowHandle window, const DriverSettings* settings, char16_t* versionText,
                   int32_t* error) {
    *error = 0;
    Driver.Plc5Family = 0;
    wide::CopyText(versionText, 5, u"10.3");
    Driver.NotifyWindow = window;

    char16_t field[kFieldChars + 1];
    CopyField(field, settings->StationText);
    Driver.LocalStation = static_cast<uint32_t>(wide::wtol(field));

    // The model text is cut at its first ':'; what follows stays readable for
    // the "5:n" form, whose number chooses octal I/O numbering.
    char16_t model[256];
    CopyField(field, settings->ModelText);
    wide::CopyText(model, 256, field);
    wide::wcsupr(model);
    const char16_t* suffix = nullptr;
    if (char16_t* colon = wide::wcschr(model, u':')) {
        *colon = 0;
        suffix = colon + 1;
    }

    const PlcModel* row = &kNoRowMatches;
    for (const PlcModel& candidate : PlcModelTable) {
        if (TextsEqual(candidate.text, model)) {
            row = &candidate;
            break;
        }
    }

    CopyField(field, settings->ModeText);
    Driver.NonStandardBcd = wide::wcsicmp(field, u"Standard") == 0 ? 0 : 1;
    Driver.OctalIo = 0;
    Driver.ModelClass = row->modelClass;
    Driver.Plc5Family = row->plc5Family;
    Driver.OctalIo = row->octalIo;
    if (row->octalFromSuffix && suffix != nullptr && wide::wtol(suffix) >= 1) Driver.OctalIo = 1;

    Driver.UseCrc = settings->ErrorCheckOption > 0 ? 1 : 0;
    Store(Driver.ChannelBusy, 0);
    Driver.AltAddressMode = settings->AddressOption != 0 ? 1 : 0;
}

}  // namespace mira
