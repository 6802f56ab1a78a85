// The window bridge on Windows: the handle is the host's HWND and a message
// reaches it through the system's PostMessageW, to wait in the window's own
// queue. A post is still held back until the poster lets it go, as on the
// other platforms: the receive handler lets go when it is done with the byte
// that posted, so a stored frame's DLE ACK is on the line before the host's
// thread can take the message and answer the frame. No thread is needed:
// posting never blocks, so letting go posts at once.
#include <atomic>

#include "platform/win32.h"
#include "platform/window.h"

namespace mira {
namespace {

struct Posted {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

struct Bridge {
    win::Lock lock;
    Posted queue[kWindowQueueSlots]{};
    uint32_t count = 0;
    bool running = false;
    std::atomic<bool> held{false};  // something queued is not let go yet
};

Bridge g_bridge;

// A message the system refuses (the window is gone, its queue is full) is
// lost, as a PostMessageW of the host's own would be.
void LetGoLocked(Bridge& b) {
    for (uint32_t i = 0; i < b.count; ++i)
        ::PostMessageW(b.queue[i].window, b.queue[i].message, b.queue[i].wParam, b.queue[i].lParam);
    b.count = 0;
    b.held.store(false, std::memory_order_relaxed);
}

}  // namespace

bool PostMessageW(MiraWindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (window == 0) return false;
    const HWND target = reinterpret_cast<HWND>(window);
    if (!::IsWindow(target)) return false;
    Bridge& b = g_bridge;
    win::Held hold(b.lock);
    if (!b.running || b.count == kWindowQueueSlots) return false;
    b.queue[b.count++] = {target, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)};
    b.held.store(true, std::memory_order_relaxed);
    return true;
}

void ReleasePostedMessages() {
    Bridge& b = g_bridge;
    if (!b.held.load(std::memory_order_relaxed)) return;
    win::Held hold(b.lock);
    LetGoLocked(b);
}

bool StartWindowBridge() {
    win::Held hold(g_bridge.lock);
    g_bridge.running = true;
    return true;
}

void FlushWindowMessages() {
    win::Held hold(g_bridge.lock);
    LetGoLocked(g_bridge);
}

void StopWindowBridge() {
    win::Held hold(g_bridge.lock);
    LetGoLocked(g_bridge);
    g_bridge.running = false;
}

}  // namespace mira
