// The async runtime and the bridge between engine operations and Python.
//
// How to use it (subsystems 3 and 4):
//
// * Engine operations are Asio coroutines: `asio::awaitable<R>`. Anything that can
//   fail returns `PyResult<T>` (an `std::expected` whose error is a captured Python
//   exception, see make_py_error in pyglue.hpp).
//
// * Long-running engine tasks (case tasks, the accept loop, connection tasks) run on
//   the process-wide runtime: `get_runtime()` (call it attached; it builds the
//   runtime on first use), then
//       asio::co_spawn(asio::make_strand(rt->executor()), task(...), token);
//   Spawn on a strand, so a cancellation emitted through the token's slot never
//   races the task. These tasks run on worker threads and never touch Python: they
//   hold Python objects as PyRef (safe to drop anywhere), never as nb::object.
//
// * Running Python from an engine coroutine goes through the blocking pool, one
//   job at a time:
//       PyResult<PyRef> r = co_await attach_blocking("opening callback",
//           [case_obj = std::move(case_obj)]() -> PyResult<PyRef> {
//               // attached here: call into Python freely
//               return PyRef::steal(case_obj.object().attr("onOpen")());
//           });
//   The job owns what it captures (it may outlive the awaiting task; it is released
//   on the pool thread, attached). It returns PyResult<T>; a Python exception thrown
//   by nanobind inside it is passed on unchanged. T must be safe to move and drop
//   on any thread (PyRef, plain C++ values; nb::object is refused at compile time).
//   A job that throws a C++ exception or is cancelled before it ran yields
//   RuntimeError "python worker task failed: task N (name) ...". A started job
//   always runs to its end, even if its awaiter is dropped.
//
// * A Python-facing async entry point returns `make_coroutine(body(args...), name,
//   qualname)`, where body is an `Operation` (an awaitable yielding a Python
//   object). Nothing of the body runs until the first await; then it runs on the
//   awaiting Python thread, attached, up to each suspension point, and resumes
//   there when woken. So the body itself may use nb::object and call Python
//   directly; what it spawns on the runtime may not. Closing the coroutine (or
//   cancelling its asyncio task) cancels the pending wait and destroys the body's
//   frames, attached; blocking jobs already started still finish.
#pragma once

#include "pyglue.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/cancellation_type.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace varnel {

template <class T>
using PyResult = std::expected<T, nb::python_error>;

// Threads that run Python jobs, each attached to the interpreter only while it
// runs a job. Threads are started on demand up to a cap, kept between jobs, and
// retired after a while idle (one always stays).
class BlockingPool {
public:
    using Task = std::move_only_function<void()>;

    BlockingPool(std::size_t max_threads, std::chrono::milliseconds keep_alive);
    ~BlockingPool();
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;

    // Queues a task; it runs attached on a pool thread. Never blocks attached.
    void submit(Task task);
    // Threads currently alive in the pool.
    std::size_t thread_count() const;

    struct State;

private:
    void spawn_locked();
    std::shared_ptr<State> state_;
};

// The process-wide runtime: an io_context run by one worker thread per hardware
// thread, plus the blocking pool for Python jobs. Built once, never shut down.
class Runtime {
public:
    Runtime();  // throws std::system_error when threads cannot be started
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    asio::io_context& context() noexcept { return io_; }
    asio::any_io_executor executor() noexcept { return io_.get_executor(); }
    BlockingPool& blocking() noexcept { return pool_; }

    // The runtime once built; only for code already running on it.
    static Runtime& current() noexcept;

private:
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    BlockingPool pool_;
    std::vector<std::jthread> workers_;
};

// Returns the runtime, building it on first use. The caller must be attached;
// waiting for another thread's construction happens detached.
// Error: RuntimeError "failed to initialize async runtime".
PyResult<Runtime*> get_runtime();

namespace detail {

enum class JobPhase : int { queued, running, abandoned };

std::uint64_t next_job_id() noexcept;
// RuntimeError "python worker task failed: task N (name) <what>"; caller attached.
nb::python_error join_failure(std::uint64_t id, const std::string& name, const std::string& what);

template <class T>
struct JobResultType;
template <class T>
struct JobResultType<std::expected<T, nb::python_error>> { using type = T; };

// Runs the job attached, mapping escaping exceptions to the job's result.
template <class T, class F>
PyResult<T> run_job(std::uint64_t id, const std::string& name, F& job) {
    try {
        return job();
    } catch (nb::python_error& e) {
        return std::unexpected(std::move(e));
    } catch (const std::exception& e) {
        return std::unexpected(join_failure(id, name, std::string("raised a C++ exception: ") + e.what()));
    } catch (...) {
        return std::unexpected(join_failure(id, name, "raised an unknown C++ exception"));
    }
}

template <class T, class F, class Handler>
void start_blocking_job(std::string name, F job, Handler handler) {
    auto phase = std::make_shared<std::atomic<JobPhase>>(JobPhase::queued);
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) {
        // Dropping the awaiter skips a job that has not started; a started one runs on.
        slot.assign([phase](asio::cancellation_type) {
            JobPhase expected = JobPhase::queued;
            phase->compare_exchange_strong(expected, JobPhase::abandoned);
        });
    }
    Runtime& rt = Runtime::current();
    auto ex = asio::get_associated_executor(handler, rt.executor());
    std::uint64_t id = next_job_id();
    rt.blocking().submit([phase, id, name = std::move(name), job = std::optional<F>(std::move(job)),
                          handler = std::move(handler), ex]() mutable {
        JobPhase expected = JobPhase::queued;
        PyResult<T> result =
            phase->compare_exchange_strong(expected, JobPhase::running)
                ? run_job<T>(id, name, *job)
                : PyResult<T>(std::unexpected(join_failure(id, name, "was cancelled before it ran")));
        job.reset();  // release what the job holds while still attached
        asio::post(ex, [handler = std::move(handler), result = std::move(result)]() mutable {
            std::move(handler)(std::move(result));
        });
    });
}

}  // namespace detail

// Runs `job` on the blocking pool, attached, and awaits its result. `name` says
// what the job is, for the join-failure text.
template <class F>
auto attach_blocking(std::string name, F job)
    -> asio::awaitable<std::invoke_result_t<F&>> {
    using Result = std::invoke_result_t<F&>;
    using T = typename detail::JobResultType<Result>::type;
    static_assert(!std::is_base_of_v<nb::handle, T>,
                  "a job result crosses threads: return PyRef, not a nanobind object");
    co_return co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(Result)>(
        [&](auto handler) {
            detail::start_blocking_job<T>(std::move(name), std::move(job), std::move(handler));
        },
        asio::use_awaitable);
}

// An engine operation behind a Python coroutine: runs on the awaiting thread.
using Operation = asio::awaitable<PyResult<nb::object>>;

// The object an async entry point returns: a `Coroutine` that asyncio can await.
// The caller must be attached. Nothing of `op` runs before the first await.
nb::object make_coroutine(Operation op, std::string name, std::string qualname);

}  // namespace varnel
