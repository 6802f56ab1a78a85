// Our programs take the driver as a host does: mira.dll is loaded with
// LoadLibraryW from the program's own folder, and each UDrv function is taken
// with GetProcAddress once, on its first call. The functions defined here
// have the names and types of mira.h, so the host library calls them exactly
// as it calls libmira on Linux.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "mira/mira.h"

namespace mira::host::windows {
namespace {

// Without the driver no command can do anything: the program ends with the
// exit status of a failed line (mira's 4).
constexpr int kNoDriver = 4;

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
            std::exit(kNoDriver);
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
        std::exit(kNoDriver);
    }
    // Through void (*)(), the one function pointer type the cast warning allows.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

}  // namespace
}  // namespace mira::host::windows

#define MIRA_THUNK(result, name, parameters, arguments)                                          \
    extern "C" result name parameters {                                                          \
        static const auto function = mira::host::windows::Resolve<result(*) parameters>(#name); \
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

MIRA_THUNK(int32_t, UDrvOpen,
           (MiraWindowHandle w, const DriverSettings* s, mira_char* v, int32_t* e), (w, s, v, e))
MIRA_THUNK(int32_t, UDrvClose, (void), ())
