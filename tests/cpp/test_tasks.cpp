#include "asyncrt.hpp"

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <vector>

namespace {

using namespace varnel;

Runtime& runtime() {
    auto rt = get_runtime();
    if (!rt) throw std::runtime_error("no runtime");
    return **rt;
}

// Runs `op` on the runtime and waits for it detached.
template <class T>
T run(asio::awaitable<T> op) {
    auto fut = asio::co_spawn(asio::make_strand(runtime().executor()), std::move(op), asio::use_future);
    nb::gil_scoped_release detached;
    return fut.get();
}

asio::awaitable<void> pause(int ms) {
    asio::steady_timer t(co_await asio::this_coro::executor, std::chrono::milliseconds(ms));
    co_await t.async_wait(asio::use_awaitable);
}

asio::awaitable<int> value_after(int ms, int v) {
    co_await pause(ms);
    co_return v;
}

// Ends with `v` once it gets a permit of `gate`.
asio::awaitable<int> value_once_let_through(std::shared_ptr<Semaphore> gate, int v) {
    auto permit = co_await gate->acquire();
    co_return v;
}

asio::awaitable<int> throws_after(int ms) {
    co_await pause(ms);
    throw std::logic_error("broken");
}

TEST(Tasks, JoinYieldsValueOrJoinError) {
    auto ex = runtime().executor();
    auto ok = spawn(ex, "fine", value_after(1, 7));
    auto bad = spawn(ex, "bad", throws_after(0));
    auto outcomes = run([&]() -> asio::awaitable<std::pair<JoinOutcome<int>, JoinOutcome<int>>> {
        auto a = co_await ok.join();
        auto b = co_await bad.join();
        co_return std::pair(std::move(a), std::move(b));
    }());
    EXPECT_EQ(outcomes.first, 7);
    ASSERT_FALSE(outcomes.second);
    EXPECT_TRUE(outcomes.second.error().ends_with("(bad) panicked with message \"broken\""));
}

TEST(Tasks, AbortStopsAtTheNextSuspension) {
    auto handle = spawn(runtime().executor(), "sleeper", value_after(60'000, 1));
    handle.abort();
    auto outcome = run(handle.join());
    ASSERT_FALSE(outcome);
    EXPECT_TRUE(outcome.error().ends_with("(sleeper) was cancelled"));
    handle.abort();  // after the end: nothing left to cancel
}

TEST(Tasks, SetJoinsInOrderOfCompletionAndAbortsTheRest) {
    auto ex = runtime().executor();
    auto gate = std::make_shared<Semaphore>(1);
    auto held = run(gate->acquire());  // the first task started ends once another was joined
    auto seen = run([&]() -> asio::awaitable<std::vector<int>> {
        std::vector<int> out;
        {
            TaskSet<int> set;
            set.spawn(ex, "held", value_once_let_through(gate, 2));
            set.spawn(ex, "fast", value_after(0, 1));
            while (auto next = co_await set.join_next()) {
                out.push_back(next->value_or(-1));
                held = Semaphore::Permit();
            }
        }
        TaskSet<int> abandoned;
        abandoned.spawn(ex, "forever", value_after(60'000, 3));
        co_return out;  // the set goes and aborts its task
    }());
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(Tasks, SemaphoreWaitersRunOnceThePermitIsBack) {
    auto sem = std::make_shared<Semaphore>(1);
    auto ex = runtime().executor();
    auto order = std::make_shared<std::vector<int>>();
    auto mutex = std::make_shared<std::mutex>();
    auto first = run(sem->acquire());  // held here, so the tasks have to wait
    std::vector<JoinHandle<int>> tasks;
    for (int i = 0; i < 3; ++i) {
        tasks.push_back(spawn(ex, "worker", [](auto sem, auto order, auto mutex, int i) -> asio::awaitable<int> {
            auto permit = co_await sem->acquire();
            std::lock_guard lock(*mutex);
            order->push_back(i);
            co_return i;
        }(sem, order, mutex, i)));
    }
    first = Semaphore::Permit();
    for (auto& t : tasks) EXPECT_TRUE(run(t.join()));
    EXPECT_EQ(order->size(), 3u);
    EXPECT_EQ(sem->available(), 1u);
}

TEST(Tasks, NotifyStoresOnePermit) {
    Notify n;
    n.notify_one();
    n.notify_one();
    EXPECT_TRUE(n.take_or_arm([] {}));
    int woken = 0;
    EXPECT_FALSE(n.take_or_arm([&] { ++woken; }));
    n.notify_one();
    EXPECT_EQ(woken, 1);
    EXPECT_FALSE(n.disarm());
    EXPECT_FALSE(n.take_or_arm([&] { ++woken; }));
    EXPECT_TRUE(n.disarm());
    n.notify_one();
    EXPECT_EQ(woken, 1);
    EXPECT_TRUE(n.take_or_arm([] {}));
}

}  // namespace
