// A child of fork() has only the thread that forked: what the engine's other
// threads held or drew in the parent must not reach into the child's runs.
#include "forksafe.hpp"
#include "mask.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <latch>
#include <mutex>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace varnel;

// The exit code of `child` run in a child of fork(), or -1 when the child did
// not end by itself within 10 s.
int in_forked_child(const std::function<int()>& child) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        _exit(child());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Fork, AChildTakesAForkSafeMutexThatAnotherParentThreadHeld) {
    static ForkSafeMutex mutex;
    std::latch held(1), release(1);
    std::thread holder([&] {
        std::lock_guard lock(mutex);
        held.count_down();
        release.wait();
    });
    held.wait();
    int code = in_forked_child([] {
        std::lock_guard lock(mutex);
        return 0;
    });
    release.count_down();
    holder.join();
    EXPECT_EQ(code, 0);
}

TEST(Fork, AChildDrawsMaskingKeysOfItsOwn) {
    next_mask_key();  // this thread's batch of keys is drawn
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int code = in_forked_child([&] {
        MaskKey key = next_mask_key();
        return write(fds[1], key.data(), key.size()) == ssize_t(key.size()) ? 0 : 1;
    });
    MaskKey parent = next_mask_key();
    MaskKey child{};
    EXPECT_EQ(read(fds[0], child.data(), child.size()), ssize_t(child.size()));
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(code, 0);
    EXPECT_NE(parent, child);
}

}  // namespace
