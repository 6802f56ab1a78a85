// Access to the words the host thread shares with Portkit's receive thread.
//
// The receive handler and the senders hand frames over through a few plain
// words (ChannelBusy, ReplyReady, a slot's InUse, ...). Every access goes
// through these helpers so that each one is a whole, untorn atomic access,
// with release and acquire where a hand-over relies on the order of writes.
#pragma once

#include <atomic>

namespace mira {

template <class T>
inline T Load(T& word) {
    return std::atomic_ref<T>(word).load(std::memory_order_relaxed);
}

template <class T>
inline T LoadAcquire(T& word) {
    return std::atomic_ref<T>(word).load(std::memory_order_acquire);
}

template <class T, class V>
inline void Store(T& word, V value) {
    std::atomic_ref<T>(word).store(static_cast<T>(value), std::memory_order_relaxed);
}

template <class T, class V>
inline void StoreRelease(T& word, V value) {
    std::atomic_ref<T>(word).store(static_cast<T>(value), std::memory_order_release);
}

}  // namespace mira
