// mira.exe takes the driver as a host does: mira.dll is loaded with
// LoadLibraryW from mira.exe's own folder, and each UDrv function is taken
// with GetProcAddress once, on its first call. The functions defined here
// have the names and types of mira.h, so the command line calls them exactly
// as it calls libmira on Linux. UDrvOpen and UDrvClose also open and close
// the host window when the command line asks for unsolicited messages.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/args.h"
#include "cli/windows/host_window.h"
#include "mira/mira.h"
#include "mira/portkit_codes.h"

namespace mira::cli::windows {
namespace {

HMODULE Driver() {
    static const HMODULE module = [] {
        wchar_t path[MAX_PATH];
        DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
        while (n > 0 && path[n - 1] != L'\\' && path[n - 1] != L'/') --n;
        std::wstring dll(path, n);
        dll += L"mira.dll";
        const HMODULE loaded = LoadLibraryW(dll.c_str());
        if (loaded == nullptr) {
            std::fprintf(stderr, "mira: cannot load mira.dll (system error %lu)\n", GetLastError());
            std::exit(kExitComm);
        }
        return loaded;
    }();
    return module;
}

template <class Function>
Function Resolve(const char* name) {
    const FARPROC found = GetProcAddress(Driver(), name);
    if (found == nullptr) {
        std::fprintf(stderr, "mira: mira.dll has no %s\n", name);
        std::exit(kExitComm);
    }
    // Through void (*)(), the one function pointer type the cast warning allows.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

}  // namespace
}  // namespace mira::cli::windows

#define MIRA_THUNK(result, name, parameters, arguments)                                          \
    extern "C" result name parameters {                                                          \
        static const auto function = mira::cli::windows::Resolve<result(*) parameters>(#name); \
        return function arguments;                                                               \
    }

using mira_texts = const mira_char* const*;

MIRA_THUNK(int32_t, UDrvGetType, (const mira_char* h, const mira_char* a), (h, a))
MIRA_THUNK(int32_t, UDrvValidHeader, (mira_char* h), (h))
MIRA_THUNK(int32_t, UDrvValidAddress, (const mira_char* h, mira_char* a), (h, a))
MIRA_THUNK(int32_t, UDrvValidString1, (const mira_char* t), (t))
MIRA_THUNK(int32_t, UDrvGetHeaderAddress,
           (const mira_char* sa, const mira_char* aa, const mira_char* sb, const mira_char* ab, mira_char* h,
            mira_char* i),
           (sa, aa, sb, ab, h, i))
MIRA_THUNK(int32_t, UDrvCompareAddress,
           (const mira_char* sa, const mira_char* aa, const mira_char* sb, const mira_char* ab), (sa, aa, sb, ab))
MIRA_THUNK(int32_t, UDrvValidAddressEx, (mira_char* t), (t))
MIRA_THUNK(int32_t, UDrvReadGroupStart,
           (const mira_char* s, const mira_char* h, mira_texts i, int32_t n, int32_t* e), (s, h, i, n, e))
MIRA_THUNK(int32_t, UDrvReadGroupStartEx2, (int32_t g, int32_t* e), (g, e))
MIRA_THUNK(int32_t, UDrvReadGroupFinishExt, (HostValue* v, int32_t r, int32_t n, int32_t* e), (v, r, n, e))
MIRA_THUNK(int32_t, UDrvWriteGroupStart,
           (const mira_char* s, const mira_char* h, mira_texts i, HostValueCore* v, int32_t n, int32_t* e),
           (s, h, i, v, n, e))
MIRA_THUNK(int32_t, UDrvWriteGroupFinish, (int32_t* e), (e))
MIRA_THUNK(int32_t, UDrvWriteItemStart,
           (const mira_char* s, const mira_char* h, const mira_char* i, HostValueCore* v, int32_t* e),
           (s, h, i, v, e))
MIRA_THUNK(int32_t, UDrvWriteItemFinish, (int32_t* e), (e))
MIRA_THUNK(int32_t, UDrvAddGroup, (int32_t g, const mira_char* s, const mira_char* h, mira_texts i, int32_t n),
           (g, s, h, i, n))
MIRA_THUNK(void, UDrvRemoveGroup, (int32_t g), (g))
MIRA_THUNK(void, UDrvRemoveAllGroups, (void), ())
MIRA_THUNK(int32_t, UDrvProcessUnsolicitedReadMessage,
           (int32_t r, const mira_char* h, const mira_char* s, mira_texts i, HostValueCore* v, int32_t n,
            int32_t* e),
           (r, h, s, i, v, n, e))

// The command line hands over the address of its MiraWindow record, as on
// Linux; the driver is given a real window instead.
extern "C" int32_t UDrvOpen(MiraWindowHandle window, const DriverSettings* settings, mira_char* versionText,
                            int32_t* error) {
    using namespace mira::cli::windows;
    using Open = int32_t (*)(MiraWindowHandle, const DriverSettings*, mira_char*, int32_t*);
    static const auto open = Resolve<Open>("UDrvOpen");
    MiraWindowHandle handle = 0;
    if (window != 0) {
        handle = OpenHostWindow(reinterpret_cast<const MiraWindow*>(window));
        if (handle == 0) {
            if (error != nullptr) *error = MIRA_PK_ERR_RESOURCES;
            return 0;
        }
    }
    const int32_t opened = open(handle, settings, versionText, error);
    if (opened != 1 && handle != 0) CloseHostWindow();
    return opened;
}

extern "C" int32_t UDrvClose(void) {
    using namespace mira::cli::windows;
    static const auto close = Resolve<int32_t (*)()>("UDrvClose");
    DrainHostWindow();
    const int32_t closed = close();
    CloseHostWindow();
    return closed;
}
