// The Win32 primitives MIRA's Windows files share: a lock, an event, a
// thread, and the text of a system error code. Only files built for Windows
// include this header; the driver's portable code never does.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <string>

namespace mira::win {

// A slim reader/writer lock taken exclusively; needs no set-up, so it can be
// a static object that every thread meets initialised.
class Lock {
public:
    void Take() { AcquireSRWLockExclusive(&lock_); }
    void Give() { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class Held {
public:
    explicit Held(Lock& lock) : lock_(lock) { lock_.Take(); }
    ~Held() { lock_.Give(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    Lock& lock_;
};

// A manual-reset event: Set wakes every waiter until Reset.
class Event {
public:
    Event() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() {
        if (handle_ != nullptr) CloseHandle(handle_);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool Valid() const { return handle_ != nullptr; }
    HANDLE Handle() const { return handle_; }
    void Set() { SetEvent(handle_); }
    void Reset() { ResetEvent(handle_); }
    // True when set within waitMs (INFINITE waits for ever).
    bool Wait(DWORD waitMs) { return WaitForSingleObject(handle_, waitMs) == WAIT_OBJECT_0; }

private:
    HANDLE handle_;
};

// A thread running body(context); joined by Join or on destruction.
class Thread {
public:
    Thread() = default;
    ~Thread() { Join(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    bool Start(DWORD (*body)(void*), void* context) {
        handle_ = CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(body), context, 0, nullptr);
        return handle_ != nullptr;
    }
    DWORD Id() const { return handle_ != nullptr ? GetThreadId(handle_) : 0; }
    void Join() {
        if (handle_ == nullptr) return;
        WaitForSingleObject(handle_, INFINITE);
        CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// The system's text for an error code, without its closing full stop and line
// break, so that it reads as the Linux strerror texts do.
inline std::string ErrorText(DWORD code) {
    char buffer[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                             sizeof buffer, nullptr);
    while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' ' || buffer[n - 1] == '.'))
        --n;
    if (n == 0) return "error " + std::to_string(code);
    return std::string(buffer, n);
}

// UTF-8 to the platform's wide text.
inline std::wstring Widen(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

}  // namespace mira::win
