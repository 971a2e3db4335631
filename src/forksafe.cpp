#include "forksafe.hpp"

#include <memory>

#include <pthread.h>

namespace varnel {

namespace {

// Guards additions to the list; made anew in the child. The head is published
// only once its node is linked, so a fork in the middle of an addition leaves
// the child a whole list.
std::mutex list_mutex;
std::atomic<ForkSafeMutex*> enlisted{nullptr};
std::atomic<std::uint64_t> generation{0};

}  // namespace

struct ForkHandlers {
    // In the child, which runs only this thread until the handler returns.
    static void in_child() noexcept {
        std::construct_at(&list_mutex);
        ForkSafeMutex::reset_in_child();
        generation.fetch_add(1, std::memory_order_relaxed);
    }
};

namespace {

// Registered as the library loads, before any thread of the engine exists.
[[maybe_unused]] const int handlers_registered = pthread_atfork(nullptr, nullptr, &ForkHandlers::in_child);

}  // namespace

std::uint64_t fork_generation() noexcept { return generation.load(std::memory_order_relaxed); }

void ForkSafeMutex::enlist() {
    if (enlisted_.load(std::memory_order_acquire)) return;
    std::lock_guard guard(list_mutex);
    if (enlisted_.load(std::memory_order_relaxed)) return;
    next_ = enlisted.load(std::memory_order_relaxed);
    enlisted.store(this, std::memory_order_release);
    enlisted_.store(true, std::memory_order_release);
}

void ForkSafeMutex::reset_in_child() noexcept {
    for (ForkSafeMutex* m = enlisted.load(std::memory_order_acquire); m != nullptr; m = m->next_) {
        std::construct_at(&m->mutex_);
        m->enlisted_.store(true, std::memory_order_relaxed);  // the fork may have come before the flag
    }
}

}  // namespace varnel
