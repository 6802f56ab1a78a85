// The host's entry points: the one place where the exported UDrv functions
// and HandInts are defined. Each takes its error word the same way (the
// host's, or a word of the call's own when it passed none, cleared on
// entry, except by the write finishes), refuses a closed driver where it needs the port, and hands the
// work to the subsystem that does it. No subsystem calls back in here.
#include "address/checks.h"
#include "commands/read_start.h"
#include "commands/write_common.h"
#include "commands/write_group.h"
#include "commands/write_item.h"
#include "groups/registry.h"
#include "groups/unsolicited.h"
#include "link/channel.h"
#include "link/receive.h"
#include "mira/mira.h"
#include "mira/portkit_codes.h"
#include "platform/wide.h"
#include "setup/driver_state.h"
#include "setup/open_close.h"

namespace mira {
namespace {

// The line is reset this many times at the end of a successful open.
constexpr int kOpenResets = 4;

// The error word of one call. Every call but the write finishes clears it on
// entry; those leave it as the host set it while the reply is still out.
enum class Entry { kClear, kKeep };
class ErrorWord {
public:
    explicit ErrorWord(int32_t* host, Entry entry = Entry::kClear) : word_(host != nullptr ? host : &own_) {
        if (entry == Entry::kClear) *word_ = 0;
    }
    ErrorWord(const ErrorWord&) = delete;
    ErrorWord& operator=(const ErrorWord&) = delete;
    int32_t* get() { return word_; }
    // Sets the code and gives the call's result.
    int32_t Fail(int32_t code, int32_t result) {
        *word_ = code;
        return result;
    }

private:
    int32_t own_ = 0;
    int32_t* word_;
};

// Every start first forgets the exchange a finish could take, so that no
// finish reports a reply its own start did not ask for.
void ForgetExchange() { Driver.Outstanding = kNoExchange; }

}  // namespace
}  // namespace mira

using namespace mira;

extern "C" {

// ---- Setup ----------------------------------------------------------------

MIRA_API int32_t UDrvOpen(MiraWindowHandle window, const DriverSettings* settings, char16_t* versionText,
                          int32_t* error) {
    ErrorWord e(error);
    char16_t ownVersion[5];
    if (versionText == nullptr) versionText = ownVersion;
    if (settings == nullptr) {
        wide::CopyText(versionText, 5, u"10.3");
        return e.Fail(MIRA_PK_ERR_SETTINGS, 0);
    }
    if (OpenDriver(window, settings, versionText, e.get(), HandInts) == 0) return 0;
    for (int i = 0; i < kOpenResets; ++i) ResetLine();
    return 1;
}

MIRA_API int32_t UDrvClose(void) {
    RemoveAllGroups();
    return CloseDriver();
}

MIRA_API int32_t UDrvGetType(const char16_t* headerText, const char16_t* addressText) {
    return ValueTypeOf(headerText, addressText);
}

// ---- Address checks: never the line, open or not ---------------------------

MIRA_API int32_t UDrvValidHeader(char16_t* headerText) { return ValidHeader(headerText); }

MIRA_API int32_t UDrvValidAddress(const char16_t* headerText, char16_t* addressText) {
    return ValidAddress(headerText, addressText);
}

MIRA_API int32_t UDrvValidString1(const char16_t* text) { return ValidString1(text); }

MIRA_API int32_t UDrvGetHeaderAddress(const char16_t* stationA, const char16_t* addressA,
                                      const char16_t* stationB, const char16_t* addressB, char16_t* headerText,
                                      char16_t* itemText) {
    return GetHeaderAddress(stationA, addressA, stationB, addressB, headerText, itemText);
}

MIRA_API int32_t UDrvCompareAddress(const char16_t* stationA, const char16_t* addressA,
                                    const char16_t* stationB, const char16_t* addressB) {
    return CompareAddress(stationA, addressA, stationB, addressB);
}

MIRA_API int32_t UDrvValidAddressEx(char16_t* text) { return ValidAddressEx(text); }

// ---- Reads ----------------------------------------------------------------

MIRA_API int32_t UDrvReadGroupStart(const char16_t* stationRef, const char16_t* headerText,
                                    const char16_t* const* itemTexts, int32_t itemCount, int32_t* error) {
    ErrorWord e(error);
    ForgetExchange();
    if (!DriverIsOpen()) return e.Fail(MIRA_PK_ERR_CLOSED, 0);
    return StartTextRead(stationRef, headerText, itemTexts, itemCount, e.get());
}

MIRA_API int32_t UDrvReadGroupStartEx2(int32_t groupHandle, int32_t* error) {
    ErrorWord e(error);
    ForgetExchange();
    // An unknown handle, or no group table at all, is no error: 0 with the
    // error word left at 0.
    GroupRecord* group = FindGroup(groupHandle);
    if (group == nullptr) return 0;
    if (!DriverIsOpen()) return e.Fail(MIRA_PK_ERR_CLOSED, 0);
    return StartGroupRead(group->header, group->items, group->itemCount, e.get());
}

MIRA_API int32_t UDrvReadGroupFinishExt(HostValue* values, int32_t, int32_t itemCount, int32_t* error) {
    ErrorWord e(error);
    if (!DriverIsOpen()) return e.Fail(MIRA_PK_ERR_CLOSED, 1);
    return FinishRead(values, itemCount, e.get());
}

// ---- Writes ---------------------------------------------------------------

MIRA_API int32_t UDrvWriteGroupStart(const char16_t* stationRef, const char16_t* headerText,
                                     const char16_t* const* itemTexts, HostValueCore* values, int32_t itemCount,
                                     int32_t* error) {
    ErrorWord e(error);
    ForgetExchange();
    if (!DriverIsOpen()) return e.Fail(MIRA_PK_ERR_CLOSED, 0);
    return StartGroupWrite(stationRef, headerText, itemTexts, values, itemCount, e.get());
}

MIRA_API int32_t UDrvWriteGroupFinish(int32_t* error) {
    ErrorWord e(error, Entry::kKeep);
    if (!DriverIsOpen()) return e.Fail(MIRA_PK_ERR_CLOSED, 1);
    return FinishWrite(e.get(), kGroupWriteExchange);
}

MIRA_API int32_t UDrvWriteItemStart(const char16_t* stationRef, const char16_t* headerText,
                                    const char16_t* itemText, HostValueCore* valueRecord, int32_t* error) {
    ErrorWord e(error);
    ForgetExchange();
    if (!DriverIsOpen()) return e.Fail(MIRA_PK_ERR_CLOSED, 0);
    return StartItemWrite(stationRef, headerText, itemText, valueRecord, e.get());
}

MIRA_API int32_t UDrvWriteItemFinish(int32_t* error) {
    ErrorWord e(error, Entry::kKeep);
    if (!DriverIsOpen()) return e.Fail(MIRA_PK_ERR_CLOSED, 1);
    return FinishWrite(e.get(), kItemWriteExchange);
}

// ---- Registered groups: a closed driver has no group table -----------------

MIRA_API int32_t UDrvAddGroup(int32_t groupHandle, const char16_t* stationRef, const char16_t* headerText,
                              const char16_t* const* itemTexts, int32_t itemCount) {
    return AddGroup(groupHandle, stationRef, headerText, itemTexts, itemCount);
}

MIRA_API void UDrvRemoveGroup(int32_t groupNumber) { RemoveGroup(groupNumber); }

MIRA_API void UDrvRemoveAllGroups(void) { RemoveAllGroups(); }

// ---- Unsolicited messages: a closed driver has no stored frame -------------

MIRA_API int32_t UDrvProcessUnsolicitedReadMessage(int32_t, const char16_t* headerText, const char16_t* stationRef,
                                                   const char16_t* const* itemTexts, HostValueCore* values,
                                                   int32_t itemCount, int32_t* error) {
    ErrorWord e(error);
    return ProcessUnsolicited(headerText, stationRef, itemTexts, values, itemCount, e.get());
}

// ---- The receive handler --------------------------------------------------

MIRA_API void HandInts(generic_port* port) {
    if (port != nullptr) ReceiveWaitingByte(port);
}

}  // extern "C"
