// What a child of fork() must not take over from its parent. The child has only
// the thread that forked: a lock another thread held at that moment stays held
// for ever, and per-thread state copied from the parent repeats what the parent
// goes on to do.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace varnel {

// How many fork() calls this process descends from. Per-thread state that a
// child must not share with its parent (a batch of masking keys) records it.
std::uint64_t fork_generation() noexcept;

// A mutex that a child of fork() finds unlocked, for the process-wide locks a
// child may need while a parent thread held them (a value the parent was still
// making). Constant-initialized, so it may be a static of any kind.
class ForkSafeMutex {
public:
    constexpr ForkSafeMutex() noexcept = default;
    ForkSafeMutex(const ForkSafeMutex&) = delete;
    ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

    void lock() {
        enlist();
        mutex_.lock();
    }
    bool try_lock() {
        enlist();
        return mutex_.try_lock();
    }
    void unlock() { mutex_.unlock(); }

private:
    // Joins the list that a child walks: always before the first lock, so no
    // mutex is held without being on it.
    void enlist();
    static void reset_in_child() noexcept;
    friend struct ForkHandlers;

    std::mutex mutex_;
    ForkSafeMutex* next_ = nullptr;
    std::atomic<bool> enlisted_{false};
};

}  // namespace varnel
