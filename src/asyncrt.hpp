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
// * Tasks that others wait for or stop: `spawn(executor, name, task)` starts an
//   `asio::awaitable<T>` on a strand of its own and returns a JoinHandle. Awaiting
//   `join()` yields the task's value, or a join-error text when the task threw
//   (a broken invariant) or was aborted. Dropping the handle leaves the task
//   running; `abort()` stops it at its next suspension point. A `TaskSet` joins its
//   tasks in the order they finish and aborts whatever is left when it goes.
//   `Semaphore` (FIFO permits) and `Notify` (one stored wake-up) coordinate them.
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
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <format>
#include <functional>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace varnel {

template <class T>
using PyResult = std::expected<T, nb::python_error>;

// Threads that run Python jobs, each attached to the interpreter only while it
// runs a job. Threads are started on demand up to a cap, kept between jobs, and
// retired after a while idle (one always stays). They have the signal mask of
// the thread that made the pool. Once closed, jobs are no longer run: they are
// kept, unrun, until the process ends.
class BlockingPool {
public:
    using Task = std::move_only_function<void()>;

    // Threads added on demand are started from `starter`, whose threads block
    // the asynchronous signals for good.
    BlockingPool(std::size_t max_threads, std::chrono::milliseconds keep_alive,
                 asio::any_io_executor starter);
    ~BlockingPool();
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;

    // Starts the first thread, so that a job can always be served, even when
    // no thread can be added later. Called once, with the asynchronous signals
    // blocked. Throws std::system_error when the thread cannot be started.
    void start();

    // Queues a task; it runs attached on a pool thread. Never blocks attached.
    void submit(Task task);
    // Threads currently alive in the pool.
    std::size_t thread_count() const;
    // From now on no pool thread attaches to the interpreter again.
    void close();
    // True when no pool thread is attached (or about to attach or detach).
    bool none_attached() const;

    struct State;

private:
    void spawn_locked();
    std::shared_ptr<State> state_;
    asio::any_io_executor starter_;
};

// The process-wide runtime: an io_context run by one worker thread per hardware
// thread, plus the blocking pool for Python jobs. Built once per process, never
// shut down; when the interpreter exits it is quiesced (see quiesce_for_exit).
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
    // The process that built it: a child made by fork() has none of its threads.
    pid_t owner() const noexcept { return owner_; }

    // For the interpreter's exit: no pool thread attaches any more, the workers
    // stop running handlers (engine code may drop Python objects), and this waits,
    // until `deadline` at most, for jobs still attached and handlers still running
    // to finish. Called detached.
    void quiesce_for_exit(std::chrono::steady_clock::time_point deadline);

private:
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    BlockingPool pool_;
    std::atomic<std::size_t> running_workers_{0};  // workers not yet returned
    const pid_t owner_;
};

// Returns this process's runtime, building it on first use (and again in a
// child made by fork()). The caller must be attached; waiting for another
// thread's construction happens detached. Errors: RuntimeError "failed to
// initialize async runtime", with ": the interpreter is exiting" once the exit
// hook has closed the runtime.
PyResult<Runtime*> get_runtime();

// Registers, once per process, the exit hook that quiesces the runtime as the
// interpreter starts to exit (after its non-daemon threads have ended), before
// the atexit handlers registered until then and long before it finalizes. Called attached when the
// module is imported, and again by get_runtime for code that never imports it.
void install_exit_hook();

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

// Where a job's result meets its awaiter. A job usually takes microseconds, so
// the awaiting engine thread first polls for it briefly: caught there, the
// result resumes the awaiter from its own thread, without waking another.
// Otherwise the pool thread posts it. `state` decides who completes.
enum class Meet : int { waiting, ready, posting };

// Polls for up to a short, fixed while until `state` leaves `waiting`; true when
// it did. Never spins on a thread attached to the interpreter.
bool poll_briefly(const std::atomic<Meet>& state) noexcept;

template <class T, class Handler>
struct JobMeeting {
    explicit JobMeeting(Handler h) : handler(std::move(h)) {}
    std::atomic<Meet> state{Meet::waiting};
    std::optional<Handler> handler;
    std::optional<PyResult<T>> result;
};

template <class T, class Handler, class Executor>
void complete_job(const Executor& ex, std::shared_ptr<JobMeeting<T, Handler>> meeting) {
    asio::post(ex, [meeting = std::move(meeting)]() mutable {
        Handler handler = std::move(*meeting->handler);
        meeting->handler.reset();
        PyResult<T> result = std::move(*meeting->result);
        meeting->result.reset();
        std::move(handler)(std::move(result));
    });
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
    auto meeting = std::make_shared<JobMeeting<T, Handler>>(std::move(handler));
    std::uint64_t id = next_job_id();
    rt.blocking().submit([phase, id, name = std::move(name), job = std::optional<F>(std::move(job)), meeting,
                          ex]() mutable {
        JobPhase expected = JobPhase::queued;
        PyResult<T> result =
            phase->compare_exchange_strong(expected, JobPhase::running)
                ? run_job<T>(id, name, *job)
                : PyResult<T>(std::unexpected(join_failure(id, name, "was cancelled before it ran")));
        job.reset();  // release what the job holds while still attached
        meeting->result.emplace(std::move(result));
        Meet waiting = Meet::waiting;
        if (meeting->state.compare_exchange_strong(waiting, Meet::ready, std::memory_order_acq_rel)) return;
        complete_job(ex, std::move(meeting));  // the awaiter stopped polling
    });
    if (!poll_briefly(meeting->state)) {
        Meet waiting = Meet::waiting;
        if (meeting->state.compare_exchange_strong(waiting, Meet::posting, std::memory_order_acq_rel)) return;
    }
    complete_job(ex, std::move(meeting));  // posted from the awaiter's own thread
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

// make_py_error for any thread: attaches for the call when needed.
inline nb::python_error make_py_error_anywhere(PyObject* type, std::string_view text) {
    if (py_attached()) return make_py_error(type, text);
    return attached_or_parked([&] { return make_py_error(type, text); });
}

// ---------------------------------------------------------------------------
// Spawned tasks

// A task's outcome as its joiner sees it: the value, or the join-error text of a
// task that threw or was aborted.
template <class T>
using JoinOutcome = std::expected<T, std::string>;

namespace detail {

std::uint64_t next_task_id() noexcept;

// Takes `m`; a thread attached to the interpreter waits for it detached.
template <class Mutex>
std::unique_lock<Mutex> lock_detached(Mutex& m) {
    std::unique_lock lock(m, std::try_to_lock);
    if (lock.owns_lock()) return lock;
    if (!py_attached()) {
        lock.lock();
        return lock;
    }
    nb::gil_scoped_release detached;
    lock.lock();
    return lock;
}

// Completes `handler` on its own executor with (ec, value...), clearing its
// cancellation slot first so the slot may be reused.
template <class Handler, class... Args>
void complete_on_own_executor(Handler handler, Args... args) {
    auto ex = asio::get_associated_executor(handler, Runtime::current().executor());
    asio::post(ex, [handler = std::move(handler), ... args = std::move(args)]() mutable {
        auto slot = asio::get_associated_cancellation_slot(handler);
        if (slot.is_connected()) slot.clear();
        std::move(handler)(std::move(args)...);
    });
}

template <class T>
struct TaskState {
    using Sink = std::move_only_function<void(JoinOutcome<T>)>;

    TaskState(std::uint64_t id, std::string name, asio::strand<asio::any_io_executor> strand)
        : id(id), name(std::move(name)), strand(std::move(strand)) {}

    const std::uint64_t id;
    const std::string name;
    asio::strand<asio::any_io_executor> strand;
    asio::cancellation_signal abort_signal;  // touched on the strand only
    std::atomic<bool> abort_requested{false};

    std::mutex mutex;
    std::optional<JoinOutcome<T>> outcome;
    Sink sink;  // who takes the outcome when it arrives

    void finish(JoinOutcome<T> o) {
        auto lock = lock_detached(mutex);
        if (sink) {
            Sink s = std::move(sink);
            sink = nullptr;
            lock.unlock();
            s(std::move(o));
            return;
        }
        outcome.emplace(std::move(o));
    }
};

template <class T>
asio::awaitable<void> run_task(std::shared_ptr<TaskState<T>> st, asio::awaitable<T> task) {
    std::string failure;
    try {
        T value = co_await std::move(task);
        st->finish(std::move(value));
        co_return;
    } catch (const std::exception& e) {
        failure = std::format("panicked with message \"{}\"", e.what());
    } catch (...) {
        failure = "panicked";
    }
    if (st->abort_requested.load(std::memory_order_acquire)) failure = "was cancelled";
    st->finish(std::unexpected(std::format("task {} ({}) {}", st->id, st->name, failure)));
}

template <class T>
std::shared_ptr<TaskState<T>> start_task(asio::any_io_executor ex, std::string name,
                                         asio::awaitable<T> task,
                                         typename TaskState<T>::Sink sink) {
    auto st = std::make_shared<TaskState<T>>(next_task_id(), std::move(name), asio::make_strand(ex));
    st->sink = std::move(sink);
    asio::co_spawn(st->strand, run_task(st, std::move(task)),
                   asio::bind_cancellation_slot(st->abort_signal.slot(), [st](std::exception_ptr) {
                       // On the strand: later aborts find nothing to cancel.
                       st->abort_signal.slot().clear();
                   }));
    return st;
}

template <class T>
void abort_task(const std::shared_ptr<TaskState<T>>& st) {
    st->abort_requested.store(true, std::memory_order_release);
    asio::post(st->strand, [st] { st->abort_signal.emit(asio::cancellation_type::terminal); });
}

}  // namespace detail

template <class T>
class JoinHandle {
public:
    explicit JoinHandle(std::shared_ptr<detail::TaskState<T>> st) : st_(std::move(st)) {}

    // Waits for the task. Throws asio's operation_aborted when the wait itself is
    // cancelled; the task runs on. One join per handle.
    asio::awaitable<JoinOutcome<T>> join() {
        auto st = st_;
        co_return co_await asio::async_initiate<const asio::use_awaitable_t<>&,
                                                void(std::error_code, JoinOutcome<T>)>(
            [st](auto handler) {
                using H = decltype(handler);
                auto slot = asio::get_associated_cancellation_slot(handler);
                auto lock = detail::lock_detached(st->mutex);
                if (st->outcome) {
                    JoinOutcome<T> o = std::move(*st->outcome);
                    st->outcome.reset();
                    lock.unlock();
                    detail::complete_on_own_executor(std::move(handler), std::error_code(), std::move(o));
                    return;
                }
                auto shared = std::make_shared<std::optional<H>>(std::move(handler));
                st->sink = [shared](JoinOutcome<T> o) {
                    detail::complete_on_own_executor(std::move(**shared), std::error_code(), std::move(o));
                };
                if (slot.is_connected()) {
                    slot.assign([st, shared](asio::cancellation_type) {
                        auto lock = detail::lock_detached(st->mutex);
                        if (!st->sink) return;  // the outcome is on its way
                        st->sink = nullptr;
                        lock.unlock();
                        detail::complete_on_own_executor(
                            std::move(**shared), std::error_code(asio::error::operation_aborted),
                            JoinOutcome<T>(std::unexpected(std::string("join cancelled"))));
                    });
                }
            },
            asio::use_awaitable);
    }

    // Stops the task at its next suspension point; its joiner sees "was cancelled".
    void abort() const { detail::abort_task(st_); }
    std::uint64_t id() const noexcept { return st_->id; }

private:
    std::shared_ptr<detail::TaskState<T>> st_;
};

// Starts `task` on a new strand of `ex`.
template <class T>
JoinHandle<T> spawn(asio::any_io_executor ex, std::string name, asio::awaitable<T> task) {
    return JoinHandle<T>(detail::start_task<T>(std::move(ex), std::move(name), std::move(task), nullptr));
}

// Tasks joined in the order they finish. Destroying the set aborts every task
// still running. Used from one task at a time.
template <class T>
class TaskSet {
public:
    TaskSet() : shared_(std::make_shared<Shared>()) {}
    TaskSet(const TaskSet&) = delete;
    TaskSet& operator=(const TaskSet&) = delete;
    ~TaskSet() {
        for (auto& st : tasks_) detail::abort_task(st);
    }

    void spawn(asio::any_io_executor ex, std::string name, asio::awaitable<T> task) {
        {
            auto lock = detail::lock_detached(shared_->mutex);
            ++shared_->running;
        }
        tasks_.push_back(detail::start_task<T>(std::move(ex), std::move(name), std::move(task),
                                               [shared = shared_](JoinOutcome<T> o) {
                                                   shared->push(std::move(o));
                                               }));
    }

    // The next outcome in order of completion; none once every task was joined.
    // Throws asio's operation_aborted when the wait is cancelled.
    asio::awaitable<std::optional<JoinOutcome<T>>> join_next() {
        auto shared = shared_;
        co_return co_await asio::async_initiate<const asio::use_awaitable_t<>&,
                                                void(std::error_code, std::optional<JoinOutcome<T>>)>(
            [shared](auto handler) {
                using H = decltype(handler);
                auto slot = asio::get_associated_cancellation_slot(handler);
                auto lock = detail::lock_detached(shared->mutex);
                if (!shared->done.empty() || shared->running == 0) {
                    auto next = shared->pop_locked();
                    lock.unlock();
                    detail::complete_on_own_executor(std::move(handler), std::error_code(), std::move(next));
                    return;
                }
                auto held = std::make_shared<std::optional<H>>(std::move(handler));
                shared->waiter = [held](std::optional<JoinOutcome<T>> o) {
                    detail::complete_on_own_executor(std::move(**held), std::error_code(), std::move(o));
                };
                if (slot.is_connected()) {
                    slot.assign([shared, held](asio::cancellation_type) {
                        auto lock = detail::lock_detached(shared->mutex);
                        if (!shared->waiter) return;
                        shared->waiter = nullptr;
                        lock.unlock();
                        detail::complete_on_own_executor(
                            std::move(**held), std::error_code(asio::error::operation_aborted),
                            std::optional<JoinOutcome<T>>());
                    });
                }
            },
            asio::use_awaitable);
    }

private:
    struct Shared {
        std::mutex mutex;
        std::deque<JoinOutcome<T>> done;
        std::size_t running = 0;
        std::move_only_function<void(std::optional<JoinOutcome<T>>)> waiter;

        std::optional<JoinOutcome<T>> pop_locked() {
            if (done.empty()) return std::nullopt;
            JoinOutcome<T> o = std::move(done.front());
            done.pop_front();
            return o;
        }
        void push(JoinOutcome<T> o) {
            auto lock = detail::lock_detached(mutex);
            --running;
            done.push_back(std::move(o));
            if (!waiter) return;
            auto w = std::move(waiter);
            waiter = nullptr;
            auto next = pop_locked();
            lock.unlock();
            w(std::move(next));
        }
    };

    std::shared_ptr<Shared> shared_;
    std::vector<std::shared_ptr<detail::TaskState<T>>> tasks_;
};

// A counting semaphore granting permits in the order they were asked for. A wait
// cannot be cancelled: it ends when a permit is free.
class Semaphore : public std::enable_shared_from_this<Semaphore> {
public:
    class Permit {
    public:
        Permit() = default;
        explicit Permit(std::shared_ptr<Semaphore> s) : s_(std::move(s)) {}
        Permit(Permit&&) noexcept = default;
        Permit& operator=(Permit&& o) noexcept {
            if (this != &o) { release(); s_ = std::move(o.s_); }
            return *this;
        }
        ~Permit() { release(); }

    private:
        void release() {
            if (auto s = std::exchange(s_, nullptr)) s->release();
        }
        std::shared_ptr<Semaphore> s_;
    };

    explicit Semaphore(std::size_t permits) : available_(permits) {}

    // Waits for a permit. The semaphore must be owned by a shared_ptr.
    asio::awaitable<Permit> acquire();
    std::size_t available() const;

private:
    void release();

    mutable std::mutex mutex_;
    std::size_t available_;
    std::deque<std::move_only_function<void()>> waiters_;
};

// One wake-up: notify_one wakes the armed waiter, or stores a single permit
// for the next one when none is armed.
class Notify {
public:
    void notify_one();
    // Takes a stored permit (true), or arms `wake` for the next notify_one (false).
    bool take_or_arm(std::move_only_function<void()> wake);
    // Disarms; false when the armed waker was already called.
    bool disarm();

private:
    std::mutex mutex_;
    bool permit_ = false;
    bool armed_ = false;
    std::move_only_function<void()> wake_;
};

// An engine operation behind a Python coroutine: runs on the awaiting thread.
using Operation = asio::awaitable<PyResult<nb::object>>;

// The object an async entry point returns: a `Coroutine` that asyncio can await.
// The caller must be attached. Nothing of `op` runs before the first await.
// When the interpreter's exit stops the runtime, an operation still in flight
// ends with RuntimeError "run stopped: the interpreter is exiting".
nb::object make_coroutine(Operation op, std::string name, std::string qualname);

// The body of an entry point that never waits: it runs at the first await, on
// the awaiting thread, attached, and needs no runtime (so starts no thread).
using ReadyBody = std::move_only_function<PyResult<nb::object>()>;

// A `Coroutine` whose first await runs `body` and ends with its outcome.
nb::object make_ready_coroutine(ReadyBody body, std::string name, std::string qualname);

}  // namespace varnel
