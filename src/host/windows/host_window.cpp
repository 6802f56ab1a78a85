#include "host/windows/host_window.h"

#include <windows.h>

#include <atomic>

namespace mira::host::windows {
namespace {

// Posted behind everything queued; its lParam is the event to set.
constexpr UINT kDrainMessage = WM_APP + 1;
constexpr wchar_t kClassName[] = L"MiraHostWindow";

struct HostWindow {
    const MiraWindow* record = nullptr;
    std::atomic<bool> discard{false};
    HWND window = nullptr;
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = nullptr;
    ~HostWindow() {
        if (thread != nullptr) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        if (ready != nullptr) CloseHandle(ready);
    }
};

HostWindow* g_open = nullptr;  // the line's thread only

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* host = reinterpret_cast<HostWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case MIRA_WM_UNSOLICITED:
            if (host != nullptr && !host->discard.load() && host->record->post != nullptr)
                host->record->post(host->record->context, message, static_cast<uintptr_t>(wParam),
                                   static_cast<intptr_t>(lParam));
            return 0;
        case kDrainMessage:
            SetEvent(reinterpret_cast<HANDLE>(lParam));
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

DWORD WINAPI MessageLoop(void* context) {
    auto* host = static_cast<HostWindow*>(context);
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW type{};
    type.cbSize = sizeof type;
    type.lpfnWndProc = WindowProc;
    type.hInstance = instance;
    type.lpszClassName = kClassName;
    RegisterClassExW(&type);  // fails harmlessly when registered by an earlier open
    host->window = CreateWindowExW(0, kClassName, L"mira", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (host->window != nullptr) SetWindowLongPtrW(host->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(host));
    SetEvent(host->ready);
    if (host->window == nullptr) return 1;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}

}  // namespace

MiraWindowHandle OpenHostWindow(const MiraWindow* record) {
    CloseHostWindow();
    auto* host = new HostWindow;
    host->record = record;
    if (host->ready != nullptr) host->thread = CreateThread(nullptr, 0, MessageLoop, host, 0, nullptr);
    if (host->thread == nullptr) {
        delete host;
        return 0;
    }
    WaitForSingleObject(host->ready, INFINITE);
    if (host->window == nullptr) {
        delete host;  // joins the loop thread, which has ended
        return 0;
    }
    g_open = host;
    return reinterpret_cast<MiraWindowHandle>(host->window);
}

void DrainHostWindow() {
    if (g_open == nullptr) return;
    const HANDLE drained = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (drained != nullptr && PostMessageW(g_open->window, kDrainMessage, 0, reinterpret_cast<LPARAM>(drained)))
        WaitForSingleObject(drained, INFINITE);
    if (drained != nullptr) CloseHandle(drained);
    g_open->discard.store(true);
}

void CloseHostWindow() {
    if (g_open == nullptr) return;
    g_open->discard.store(true);
    // DestroyWindow must run on the window's own thread.
    PostMessageW(g_open->window, WM_CLOSE, 0, 0);
    delete g_open;  // joins the loop thread
    g_open = nullptr;
}

}  // namespace mira::host::windows
