// Access to the words the host thread shares with Portkit's receive thread.
//
// The receive handler and the senders hand frames over through a few plain
// words (ChannelBusy, ReplyReady, a slot's InUse, ...). Every access goes
// through these helpers so that each one is a whole, untorn atomic access,
// with release and acquire where a hand-over relies on the order of writes.
#pragma once

#include <atomic>

namespace mira {

// A shared word is only ever a plain load or store of the processor: an
// access that took a hidden lock could leave the receive thread waiting on
// the host thread, on any target (ARM ones as much as x86-64).
template <class T>
inline std::atomic_ref<T> Word(T& word) {
    static_assert(std::atomic_ref<T>::is_always_lock_free, "a shared word the processor cannot access whole");
    return std::atomic_ref<T>(word);
}

template <class T>
inline T Load(T& word) {
    return Word(word).load(std::memory_order_relaxed);
}

template <class T>
inline T LoadAcquire(T& word) {
    return Word(word).load(std::memory_order_acquire);
}

template <class T, class V>
inline void Store(T& word, V value) {
    Word(word).store(static_cast<T>(value), std::memory_order_relaxed);
}

template <class T, class V>
inline void StoreRelease(T& word, V value) {
    Word(word).store(static_cast<T>(value), std::memory_order_release);
}

}  // namespace mira
