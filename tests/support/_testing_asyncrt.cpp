// Test-only module: engine operations on the async runtime, returned to Python as
// coroutines, so the bridge can be driven from asyncio.
#include "asyncrt.hpp"
#include "mask.hpp"

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>

#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>

namespace {

using namespace varnel;

PyResult<PyRef> call(const PyRef& fn) { return PyRef::steal(fn.object()()); }

asio::awaitable<void> sleep_for(double seconds) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    timer.expires_after(std::chrono::duration_cast<asio::steady_timer::duration>(
        std::chrono::duration<double>(seconds)));
    co_await timer.async_wait(asio::use_awaitable);
}

PyResult<nb::object> to_object(PyResult<PyRef> r) {
    if (!r) return std::unexpected(std::move(r.error()));
    return r->object();
}

Runtime& runtime() {
    PyResult<Runtime*> rt = get_runtime();
    if (!rt) throw std::move(rt.error());
    return **rt;
}

BlockingPool& blocking_pool() { return runtime().blocking(); }

// Waits on an engine timer, then calls `fn` in a blocking job.
Operation sleep_then_call(double seconds, PyRef fn) {
    co_await sleep_for(seconds);
    co_return to_object(
        co_await attach_blocking("test job", [fn = std::move(fn)] { return call(fn); }));
}

// The resumption of the one operation parked in wait_for_wake_then_call, until
// wake_from_io_thread() takes it. Never destroyed: what it holds may only be
// released while the interpreter is alive.
struct ParkedWake {
    std::mutex mutex;
    std::move_only_function<void()> resume;
};
ParkedWake& parked_wake() {
    static ParkedWake* const wake = std::make_unique<ParkedWake>().release();
    return *wake;
}

// Parks until wake_from_io_thread(), then calls `fn` in a blocking job. The
// wake-up comes when the test says, not when a timer decides.
Operation wait_for_wake_then_call(PyRef fn) {
    co_await asio::async_initiate<const asio::use_awaitable_t<>&, void()>(
        [](auto handler) {
            auto lock = detail::lock_detached(parked_wake().mutex);
            // Resumed through its own executor: the coroutine's core, from the caller's thread.
            parked_wake().resume = [h = std::move(handler)]() mutable { asio::post(std::move(h)); };
        },
        asio::use_awaitable);
    co_return to_object(
        co_await attach_blocking("test job", [fn = std::move(fn)] { return call(fn); }));
}

// Wakes the parked operation from an I/O thread, which is not attached, as a
// timer or a socket would; returns once the wake-up has been handed on.
void wake_from_io_thread() {
    std::move_only_function<void()> resume;
    {
        auto lock = detail::lock_detached(parked_wake().mutex);
        resume = std::move(parked_wake().resume);
        parked_wake().resume = nullptr;
    }
    if (!resume) throw std::runtime_error("no operation waits for a wake-up");
    std::promise<void> handed_on;
    std::future<void> done = handed_on.get_future();
    asio::post(runtime().executor(), [&] {
        resume();
        handed_on.set_value();
    });
    nb::gil_scoped_release detached;
    done.wait();
}

// The job runs for a task on a runtime worker thread, not for the coroutine itself.
asio::awaitable<PyResult<PyRef>> worker_task(PyRef fn) {
    co_return co_await attach_blocking("worker job", [fn = std::move(fn)] { return call(fn); });
}

Operation call_from_worker(PyRef fn) {
    auto strand = asio::make_strand(Runtime::current().executor());
    PyResult<PyRef> r =
        co_await asio::co_spawn(strand, worker_task(std::move(fn)), asio::use_awaitable);
    co_return to_object(std::move(r));
}

Operation cpp_failure() {
    co_return to_object(co_await attach_blocking(
        "failing job", []() -> PyResult<PyRef> { throw std::runtime_error("boom"); }));
}

Operation immediate(PyRef value) { co_return value.object(); }

Operation fail_at_once() {
    co_return std::unexpected(make_py_error(PyExc_ValueError, "refused before suspending"));
}

}  // namespace

NB_MODULE(_testing_asyncrt, m) {
    // The coroutine class and its bridge live until exit by design.
    nb::set_leak_warnings(false);
    m.def("sleep_then_call", [](double seconds, nb::object fn) {
        return make_coroutine(sleep_then_call(seconds, PyRef::steal(std::move(fn))),
                              "sleep_then_call", "Testing.sleep_then_call");
    });
    m.def("call_from_worker", [](nb::object fn) {
        return make_coroutine(call_from_worker(PyRef::steal(std::move(fn))), "call_from_worker",
                              "call_from_worker");
    });
    m.def("wait_for_wake_then_call", [](nb::object fn) {
        return make_coroutine(wait_for_wake_then_call(PyRef::steal(std::move(fn))),
                              "wait_for_wake_then_call", "wait_for_wake_then_call");
    });
    m.def("wake_from_io_thread", &wake_from_io_thread);
    m.def("cpp_failure", [] { return make_coroutine(cpp_failure(), "cpp_failure", "cpp_failure"); });
    m.def("immediate", [](nb::object value) {
        return make_coroutine(immediate(PyRef::steal(std::move(value))), "immediate", "immediate");
    });
    m.def("fail_at_once",
          [] { return make_coroutine(fail_at_once(), "fail_at_once", "fail_at_once"); });
    m.def("pool_threads", [] { return blocking_pool().thread_count(); });
    // As the interpreter's exit does first: the pool runs no job from now on.
    m.def("close_blocking_pool", [] { blocking_pool().close(); });
    m.def("draw_mask_key", [] {
        const MaskKey key = next_mask_key();
        return nb::bytes(key.data(), key.size());
    });
}
