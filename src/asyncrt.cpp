#include "asyncrt.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/execution.hpp>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <exception>
#include <format>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>

#include <pthread.h>
#include <unistd.h>

namespace varnel {

namespace {

using detail::lock_detached;

// Something that cannot be released safely any more (the interpreter is going
// away) is kept until the process ends.
template <class T>
void leak(T value) {
    (void)std::make_unique<T>(std::move(value)).release();
}

// A pool thread's attachment to the interpreter: one thread state for the life of
// the thread, attached for each job and detached in between. The pool decides
// when attaching is still allowed (see BlockingPool::close).
class PoolAttachment {
public:
    PoolAttachment() = default;
    PoolAttachment(const PoolAttachment&) = delete;
    PoolAttachment& operator=(const PoolAttachment&) = delete;

    void attach() {
        if (tstate_ == nullptr) {
            gil_ = PyGILState_Ensure();
            tstate_ = PyThreadState_Get();
        } else {
            PyEval_RestoreThread(tstate_);
        }
    }
    void detach() { PyEval_SaveThread(); }

    bool has_thread_state() const noexcept { return tstate_ != nullptr; }
    // Gives the thread state back, for a thread that retires.
    void release() {
        PyEval_RestoreThread(std::exchange(tstate_, nullptr));
        PyGILState_Release(gil_);
    }

private:
    PyThreadState* tstate_ = nullptr;
    PyGILState_STATE gil_{};
};

}  // namespace

// ---------------------------------------------------------------------------
// Blocking pool

struct BlockingPool::State {
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<Task> queue;
    std::size_t threads = 0;
    std::size_t sleeping = 0;  // threads parked on `wake`
    std::size_t max_threads;
    std::chrono::milliseconds keep_alive;
    bool stopping = false;
    // Set by close(): no thread attaches from then on.
    bool closed = false;
    // Threads attached, or between the decision to attach and having detached.
    std::size_t attached = 0;
    // Read without the mutex by spinning threads; written under it.
    std::atomic<std::size_t> queued{0};
    std::atomic<std::size_t> spinning{0};
};

namespace {

void run_attached(PoolAttachment& py, BlockingPool::Task& task) {
    py.attach();
    try {
        task();
    } catch (...) {
        // Tasks report their own failures; nothing may escape into the pool.
    }
    task = nullptr;  // the task's captures are released attached
    PyErr_Clear();   // a stray error indicator must not leak into the next job
    py.detach();
}

// A job usually follows the last one within microseconds (the next frame of the
// same connection), so a thread that just finished polls the queue for a short,
// bounded while before it parks: a parked thread costs a futex wake-up and a
// context switch per job. Spinning happens detached.
constexpr auto spin_limit = std::chrono::microseconds(50);

void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Polls `done` for up to spin_limit; true as soon as it holds.
template <class Done>
bool spin_until(Done done) noexcept {
    const auto until = std::chrono::steady_clock::now() + spin_limit;
    for (int i = 0;; ++i) {
        if (done()) return true;
        cpu_relax();
        if ((i & 63) == 63 && std::chrono::steady_clock::now() >= until) return done();
    }
}

// Whether a job arrived while polling for up to spin_limit.
bool spin_for_job(BlockingPool::State& s) {
    s.spinning.fetch_add(1, std::memory_order_seq_cst);
    const bool found = spin_until([&] { return s.queued.load(std::memory_order_acquire) > 0; });
    s.spinning.fetch_sub(1, std::memory_order_seq_cst);
    return found;
}

BlockingPool::Task take_front(BlockingPool::State& s) {
    BlockingPool::Task task = std::move(s.queue.front());
    s.queue.pop_front();
    s.queued.store(s.queue.size(), std::memory_order_release);
    return task;
}

// Runs `work`, which attaches, counted in `attached` from before it attaches to
// after it detaches, so that the interpreter's exit can wait for it; false, and
// nothing run, once the pool is closed.
template <class Work>
bool run_counted_attached(BlockingPool::State& s, std::unique_lock<std::mutex>& lock, Work work) {
    if (s.closed) return false;
    ++s.attached;
    lock.unlock();
    work();
    lock.lock();
    --s.attached;
    return true;
}

void serve(BlockingPool::State& s, PoolAttachment& py) {
    std::unique_lock lock(s.mutex);
    for (;;) {
        if (s.stopping) break;
        if (!s.queue.empty()) {
            BlockingPool::Task task = take_front(s);
            if (!run_counted_attached(s, lock, [&] { run_attached(py, task); })) leak(std::move(task));
            continue;
        }
        lock.unlock();
        const bool found = spin_for_job(s);
        lock.lock();
        if (found || !s.queue.empty() || s.stopping) continue;
        ++s.sleeping;
        bool ready = s.wake.wait_for(lock, s.keep_alive,
                                     [&] { return s.stopping || !s.queue.empty(); });
        --s.sleeping;
        if (!ready && !s.stopping && s.threads > 1) break;  // one thread always stays
    }
    // A closed pool leaves the thread state to the interpreter's finalization.
    if (py.has_thread_state()) run_counted_attached(s, lock, [&] { py.release(); });
    --s.threads;
}

void pool_thread(std::shared_ptr<BlockingPool::State> s) {
    PoolAttachment py;
    serve(*s, py);
}

}  // namespace

BlockingPool::BlockingPool(std::size_t max_threads, std::chrono::milliseconds keep_alive)
    : state_(std::make_shared<State>()) {
    state_->max_threads = std::max<std::size_t>(max_threads, 1);
    state_->keep_alive = keep_alive;
    std::lock_guard lock(state_->mutex);
    spawn_locked();  // so a job can always be served, even when no thread can be added later
}

BlockingPool::~BlockingPool() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
}

// Pool threads are detached: each owns a share of the state, and an idle one
// retires on its own.
void BlockingPool::spawn_locked() {
    std::thread(pool_thread, state_).detach();
    ++state_->threads;
}

// Wakes a parked thread only when the spinning ones cannot take every queued job.
void BlockingPool::submit(Task task) {
    bool wake = false;
    {
        auto lock = lock_detached(state_->mutex);
        State& s = *state_;
        if (s.closed) {
            leak(std::move(task));  // releasing its captures would need the interpreter
            return;
        }
        s.queue.push_back(std::move(task));
        s.queued.store(s.queue.size(), std::memory_order_seq_cst);
        const std::size_t spinning = s.spinning.load(std::memory_order_seq_cst);
        wake = s.sleeping > 0 && s.queue.size() > spinning;
        if (s.queue.size() > s.sleeping + spinning && s.threads < s.max_threads) {
            try {
                spawn_locked();
            } catch (const std::system_error&) {
                // The threads already running serve the queue.
            }
        }
    }
    if (wake) state_->wake.notify_one();
}

std::size_t BlockingPool::thread_count() const {
    auto lock = lock_detached(state_->mutex);
    return state_->threads;
}

void BlockingPool::close() {
    auto lock = lock_detached(state_->mutex);
    state_->closed = true;
}

bool BlockingPool::none_attached() const {
    auto lock = lock_detached(state_->mutex);
    return state_->attached == 0;
}

// ---------------------------------------------------------------------------
// Runtime

namespace {

constexpr std::size_t kMaxBlockingThreads = 512;
constexpr std::chrono::milliseconds kBlockingKeepAlive{10'000};
// How long the interpreter's exit waits for callbacks still running. A callback
// that takes longer is left to finalization, like a daemon thread.
constexpr std::chrono::seconds kExitDrainLimit{5};

std::size_t worker_count() { return std::max(1u, std::thread::hardware_concurrency()); }

// Returns once the io_context is stopped.
void run_worker(asio::io_context& io, std::atomic<std::size_t>& running) {
    for (;;) {
        try {
            io.run();
            break;
        } catch (...) {
            // A handler that throws must not take a worker thread down with it.
        }
    }
    running.fetch_sub(1, std::memory_order_release);
}

// Building the runtime and closing it at exit exclude each other, so a runtime
// is either built before the exit hook looks for it, or refused.
std::mutex runtime_mutex;
std::atomic<Runtime*> built_runtime{nullptr};

// A thread that held the mutex at fork() does not exist in the child.
void reset_after_fork() noexcept { std::construct_at(&runtime_mutex); }

nb::python_error runtime_failure(std::string_view why) {
    return make_py_error(PyExc_RuntimeError, std::format("failed to initialize async runtime{}", why));
}

// Runs on the exiting thread, attached, before the interpreter begins to
// finalize and while it is still whole.
void close_for_exit() {
    Runtime* rt = nullptr;
    {
        auto lock = lock_detached(runtime_mutex);
        interpreter_closed.store(true, std::memory_order_release);
        rt = built_runtime.load(std::memory_order_acquire);
    }
    if (rt == nullptr || rt->owner() != getpid()) return;  // a forked child runs nothing of it
    nb::gil_scoped_release detached;  // jobs still running may need the GIL
    rt->quiesce_for_exit(std::chrono::steady_clock::now() + kExitDrainLimit);
}

// ---------------------------------------------------------------------------
// Exit hook
//
// close_for_exit is an entry in the exit handler list (atexit), which holds the
// only reference to a sentinel; a weak reference to the sentinel reports the
// entry gone. An entry gone uncalled was either cleared by the program
// (atexit._clear), and is made again, or made while the exit handlers already
// ran (the interpreter calls a copy of the list) and dropped when they have
// run: then the hook runs at that moment, still before finalization.

void register_exit_entry();

// Set when the interpreter starts to exit, before it runs the exit handlers.
bool exit_has_begun() {
    nb::object threading = nb::module_::import_("sys").attr("modules").attr("get")("threading");
    return !threading.is_none() && nb::cast<bool>(nb::getattr(threading, "_SHUTTING_DOWN", nb::bool_(false)));
}

bool on_main_thread() {
    nb::object threading = nb::module_::import_("threading");
    return threading.attr("main_thread")().attr("ident").equal(threading.attr("get_ident")());
}

PyObject* exit_hook(PyObject*, PyObject* /* sentinel */) {
    close_for_exit();
    Py_RETURN_NONE;
}

PyObject* exit_entry_gone(PyObject*, PyObject* /* weak reference */) {
    try {
        if (interpreter_closed.load(std::memory_order_acquire) || Py_IsFinalizing()) Py_RETURN_NONE;
        if (exit_has_begun()) close_for_exit();
        else register_exit_entry();
    } catch (nb::python_error& e) {
        e.restore();
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Plain functions, not bindings: the drop of an entry made again may be
// reported late in the interpreter's teardown, when the bindings are gone.
PyMethodDef exit_hook_def = {"_close_for_exit", &exit_hook, METH_O, nullptr};
PyMethodDef exit_entry_gone_def = {"_exit_entry_gone", &exit_entry_gone, METH_O, nullptr};

void register_exit_entry() {
    nb::object hook = nb::steal(PyCFunction_New(&exit_hook_def, nullptr));
    nb::object on_gone = nb::steal(PyCFunction_New(&exit_entry_gone_def, nullptr));
    nb::object sentinel = nb::steal(PySet_New(nullptr));
    if (!hook.is_valid() || !on_gone.is_valid() || !sentinel.is_valid()) throw nb::python_error();
    // Never released: a weak reference that is gone reports nothing.
    if (PyWeakref_NewRef(sentinel.ptr(), on_gone.ptr()) == nullptr) throw nb::python_error();
    nb::module_::import_("atexit").attr("register")(hook, sentinel);
}

int register_exit_entry_pending(void*) {
    try {
        register_exit_entry();
    } catch (nb::python_error& e) {
        e.restore();
        PyErr_WriteUnraisable(nullptr);
    }
    return 0;
}

}  // namespace

void install_exit_hook() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    try {
        // The main thread makes the entry: it runs the exit handlers, and the
        // free-threaded interpreter frees an object made by another thread only
        // when that thread next runs Python, which may be too late for the report.
        if (on_main_thread() || Py_AddPendingCall(&register_exit_entry_pending, nullptr) != 0)
            register_exit_entry();
    } catch (...) {
        installed.store(false);
        throw;
    }
    (void)pthread_atfork(nullptr, nullptr, &reset_after_fork);
}

Runtime::Runtime()
    : io_(static_cast<int>(worker_count())),
      work_(io_.get_executor()),
      pool_(kMaxBlockingThreads, kBlockingKeepAlive),
      owner_(getpid()) {
    std::vector<std::jthread> workers;  // joined only if one fails to start
    try {
        for (std::size_t i = 0, n = worker_count(); i < n; ++i) {
            running_workers_.fetch_add(1, std::memory_order_relaxed);
            try {
                workers.emplace_back([this] { run_worker(io_, running_workers_); });
            } catch (...) {
                running_workers_.fetch_sub(1, std::memory_order_relaxed);
                throw;
            }
        }
    } catch (...) {
        work_.reset();
        io_.stop();
        throw;  // the workers already started return, and are joined on the way out
    }
    // The runtime lives until the process ends; its workers are never joined.
    for (std::jthread& worker : workers) worker.detach();
}

Runtime::~Runtime() {
    work_.reset();
    io_.stop();
}

Runtime& Runtime::current() noexcept { return *built_runtime.load(std::memory_order_acquire); }

void Runtime::quiesce_for_exit(std::chrono::steady_clock::time_point deadline) {
    pool_.close();
    io_.stop();
    // Plain polling: this runs once, at exit, for a few milliseconds as a rule.
    while (running_workers_.load(std::memory_order_acquire) > 0 || !pool_.none_attached()) {
        if (std::chrono::steady_clock::now() >= deadline) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

PyResult<Runtime*> get_runtime() {
    const pid_t self = getpid();
    Runtime* rt = built_runtime.load(std::memory_order_acquire);
    if (rt != nullptr && rt->owner() == self && !interpreter_closed.load(std::memory_order_acquire)) return rt;
    try {
        install_exit_hook();  // where the module was not imported, as by the engine's own tests
    } catch (nb::python_error& e) {
        return std::unexpected(std::move(e));
    }
    auto lock = lock_detached(runtime_mutex);
    if (interpreter_closed.load(std::memory_order_acquire) || Py_IsFinalizing())
        return std::unexpected(runtime_failure(": the interpreter is exiting"));
    rt = built_runtime.load(std::memory_order_acquire);
    if (rt != nullptr && rt->owner() == self) return rt;
    // None yet, or the parent's: a child of fork() builds its own, and the
    // parent's, with no threads here, is left as it is.
    try {
        rt = std::make_unique<Runtime>().release();  // lives until the process ends
    } catch (const std::exception&) {
        return std::unexpected(runtime_failure(""));
    }
    built_runtime.store(rt, std::memory_order_release);
    return rt;
}

// ---------------------------------------------------------------------------
// Blocking jobs

namespace detail {

std::uint64_t next_job_id() noexcept {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

bool poll_briefly(const std::atomic<Meet>& state) noexcept {
    if (py_attached()) return state.load(std::memory_order_acquire) != Meet::waiting;
    return spin_until([&] { return state.load(std::memory_order_acquire) != Meet::waiting; });
}

nb::python_error join_failure(std::uint64_t id, const std::string& name, const std::string& what) {
    return make_py_error(PyExc_RuntimeError,
                         std::format("python worker task failed: task {} ({}) {}", id, name, what));
}

std::uint64_t next_task_id() noexcept {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Semaphore and Notify

asio::awaitable<Semaphore::Permit> Semaphore::acquire() {
    auto self = shared_from_this();
    co_await asio::async_initiate<const asio::use_awaitable_t<>&, void()>(
        [self](auto handler) {
            auto lock = lock_detached(self->mutex_);
            if (self->available_ > 0 && self->waiters_.empty()) {
                --self->available_;
                lock.unlock();
                detail::complete_on_own_executor(std::move(handler));
                return;
            }
            self->waiters_.push_back([handler = std::move(handler)]() mutable {
                detail::complete_on_own_executor(std::move(handler));
            });
        },
        asio::use_awaitable);
    co_return Permit(std::move(self));
}

std::size_t Semaphore::available() const {
    auto lock = lock_detached(mutex_);
    return available_;
}

// The permit passes straight to the first waiter, so the order of asking holds.
void Semaphore::release() {
    auto lock = lock_detached(mutex_);
    if (waiters_.empty()) {
        ++available_;
        return;
    }
    auto next = std::move(waiters_.front());
    waiters_.pop_front();
    lock.unlock();
    next();
}

void Notify::notify_one() {
    auto lock = lock_detached(mutex_);
    if (!armed_) {
        permit_ = true;
        return;
    }
    armed_ = false;
    auto wake = std::move(wake_);
    wake_ = nullptr;
    lock.unlock();
    wake();
}

bool Notify::take_or_arm(std::move_only_function<void()> wake) {
    auto lock = lock_detached(mutex_);
    if (permit_) {
        permit_ = false;
        return true;
    }
    armed_ = true;
    wake_ = std::move(wake);
    return false;
}

bool Notify::disarm() {
    auto lock = lock_detached(mutex_);
    if (!armed_) return false;
    armed_ = false;
    wake_ = nullptr;
    return true;
}

// ---------------------------------------------------------------------------
// Coroutine bridge
//
// A Coroutine runs its operation on an executor of its own whose queue is drained
// by the Python thread that polls it. A handler queued from elsewhere (a timer, a
// finished job) wakes the asyncio task through the loop's call_soon_threadsafe.

namespace {

struct Bridge {
    // The class is bound in a scope that is dropped at once, so this is what keeps
    // it (and with it its registration) alive: a type object sits in reference
    // cycles of its own and would otherwise go at some later garbage collection.
    PyRef coroutine_type;
    PyRef release_waiter;
    PyRef get_running_loop;
};
const Bridge& bridge();

// What a poll parks on: the loop and the future the asyncio task waits for.
struct Waker {
    PyRef loop;
    PyRef future;
    explicit operator bool() const noexcept { return static_cast<bool>(future); }
};

// Caller attached. A closed loop means nobody waits any more.
void fire(Waker w) {
    try {
        w.loop.object().attr("call_soon_threadsafe")(bridge().release_waiter.handle(),
                                                      w.future.handle());
    } catch (nb::python_error&) {
    }
}

void release_waiter(nb::handle future) {
    if (!nb::cast<bool>(future.attr("done")())) future.attr("set_result")(nb::none());
}

// The shared heart of one Coroutine: its ready queue, its waker and its outcome.
class CoroCore {
public:
    using Handler = std::move_only_function<void()>;

    explicit CoroCore(asio::io_context& ctx) : ctx_(ctx) {}
    asio::io_context& context() const noexcept { return ctx_; }
    asio::cancellation_slot slot() noexcept { return signal_.slot(); }

    // Any thread.
    void push(Handler h) {
        Waker w;
        bool dropped = false;
        {
            auto lock = lock_detached(mutex_);
            if (phase_ == Phase::dropped) {
                dropped = true;
            } else {
                ready_.push_back(std::move(h));
                if (phase_ == Phase::waiting) {
                    phase_ = Phase::active;
                    w = std::move(waker_);
                }
            }
        }
        if (dropped) discard(std::move(h));
        if (w) wake(std::move(w));
    }

    // The polling thread, attached: runs everything ready, in order.
    void run_ready() {
        for (;;) {
            Handler h;
            {
                auto lock = lock_detached(mutex_);
                if (ready_.empty() || phase_ == Phase::dropped) return;
                h = std::move(ready_.front());
                ready_.pop_front();
            }
            h();
        }
    }

    // Parks on `w` unless something became ready meanwhile (then returns false).
    bool park(Waker w) {
        auto lock = lock_detached(mutex_);
        if (!ready_.empty()) return false;
        phase_ = Phase::waiting;
        waker_ = std::move(w);
        return true;
    }

    // A poll that comes without a wake-up forgets the old waker.
    void unpark() {
        Waker old;
        auto lock = lock_detached(mutex_);
        if (phase_ == Phase::waiting) {
            phase_ = Phase::active;
            old = std::move(waker_);
        }
    }

    // The polling thread, attached: cancels the pending wait and destroys what
    // is queued; anything that completes later is destroyed on arrival.
    void drop(bool cancel) {
        Waker old;
        {
            auto lock = lock_detached(mutex_);
            if (phase_ == Phase::dropped) return;
            // Completions keep queueing until the signal has been emitted: the
            // emission reaches into the frames of pending operations (a timer's
            // queue entry, say), so no frame may be destroyed elsewhere meanwhile.
            phase_ = Phase::active;
            old = std::move(waker_);
        }
        if (cancel) signal_.emit(asio::cancellation_type::terminal);
        std::deque<Handler> queued;
        {
            auto lock = lock_detached(mutex_);
            phase_ = Phase::dropped;
            queued.swap(ready_);
        }
        queued.clear();
    }

    // The operation's completion, on the polling thread.
    void finish(std::exception_ptr ep, PyResult<nb::object> result) {
        if (ep) {
            try {
                std::rethrow_exception(ep);
            } catch (nb::python_error& e) {
                error_.emplace(std::move(e));
            } catch (const std::exception& e) {
                error_.emplace(make_py_error(PyExc_RuntimeError, e.what()));
            } catch (...) {
                error_.emplace(make_py_error(PyExc_RuntimeError, "unknown C++ exception"));
            }
        } else if (result) {
            value_ = PyRef::steal(std::move(*result));
        } else {
            error_.emplace(std::move(result.error()));
        }
        finished_ = true;
    }
    bool finished() const noexcept { return finished_; }
    PyRef take_value() noexcept { return std::move(value_); }
    std::optional<nb::python_error>& error() noexcept { return error_; }

private:
    enum class Phase { active, waiting, dropped };

    // Handlers and wake-ups may hold Python objects: they are released or fired
    // attached, on this thread if it is attached, else as a blocking-pool task.
    static void discard(Handler h) {
        if (py_attached()) return;  // `h` goes here
        Runtime::current().blocking().submit([h = std::move(h)]() mutable { h = nullptr; });
    }
    static void wake(Waker w) {
        if (py_attached()) return fire(std::move(w));
        Runtime::current().blocking().submit([w = std::move(w)]() mutable { fire(std::move(w)); });
    }

    asio::io_context& ctx_;
    std::mutex mutex_;
    std::deque<Handler> ready_;
    Phase phase_ = Phase::active;
    Waker waker_;
    asio::cancellation_signal signal_;
    // Touched only by the polling thread.
    bool finished_ = false;
    PyRef value_;
    std::optional<nb::python_error> error_;
};

// The executor of a Coroutine's operation: queues onto its core. Its execution
// context is the runtime's io_context, so timers and sockets made from it use the
// runtime's reactor.
class PollExecutor {
public:
    explicit PollExecutor(std::shared_ptr<CoroCore> core) noexcept : core_(std::move(core)) {}

    asio::execution_context& query(asio::execution::context_t) const noexcept {
        return core_->context();
    }
    static constexpr asio::execution::blocking_t query(asio::execution::blocking_t) noexcept {
        return asio::execution::blocking.never;
    }
    PollExecutor require(asio::execution::blocking_t::never_t) const noexcept { return *this; }

    template <class F>
    void execute(F&& f) const {
        core_->push(CoroCore::Handler(std::forward<F>(f)));
    }

    friend bool operator==(const PollExecutor& a, const PollExecutor& b) noexcept {
        return a.core_ == b.core_;
    }

private:
    std::shared_ptr<CoroCore> core_;
};

[[noreturn]] void raise_runtime_error(const char* text) {
    throw make_py_error(PyExc_RuntimeError, text);
}

class Coroutine {
public:
    Coroutine(Operation op, std::string name, std::string qualname)
        : s_(std::make_unique<State>(std::move(op), std::move(name), std::move(qualname))) {}
    Coroutine(Coroutine&&) noexcept = default;
    Coroutine& operator=(Coroutine&&) noexcept = default;
    // Also after the operation finished: a handler that arrived late would
    // otherwise be released with the core, possibly on a thread not attached.
    ~Coroutine() {
        if (s_) drop_operation();
    }

    const std::string& name() const noexcept { return s_->name; }
    const std::string& qualname() const noexcept { return s_->qualname; }

    nb::object send(nb::handle) {
        Borrow borrow(*s_);
        return poll();
    }

    nb::object throw_(nb::handle exc) {
        Borrow borrow(*s_);
        if (s_->finished) raise_runtime_error("cannot reuse already awaited coroutine");
        drop_operation();
        if (PyExceptionInstance_Check(exc.ptr()))
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
        else if (PyExceptionClass_Check(exc.ptr()))
            PyErr_SetNone(exc.ptr());
        else
            PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        throw nb::python_error();
    }

    void close() {
        Borrow borrow(*s_);
        if (!s_->finished) drop_operation();
    }

private:
    struct State {
        State(Operation o, std::string n, std::string q)
            : op(std::move(o)), name(std::move(n)), qualname(std::move(q)) {}
        std::optional<Operation> op;  // until the first poll
        std::shared_ptr<CoroCore> core;
        bool finished = false;
        std::atomic<bool> busy{false};
        std::string name;
        std::string qualname;
    };

    // Polls are exclusive: a second thread, or a re-entrant call from the body,
    // gets an error rather than a data race.
    class Borrow {
    public:
        explicit Borrow(State& s) : s_(s) {
            if (s_.busy.exchange(true, std::memory_order_acquire)) raise_runtime_error("Already borrowed");
        }
        ~Borrow() { s_.busy.store(false, std::memory_order_release); }
        Borrow(const Borrow&) = delete;
        Borrow& operator=(const Borrow&) = delete;

    private:
        State& s_;
    };

    void start() {
        PyResult<Runtime*> rt = get_runtime();
        if (!rt) {
            drop_operation();
            throw std::move(rt.error());
        }
        s_->core = std::make_shared<CoroCore>((*rt)->context());
        Operation op = std::move(*s_->op);
        s_->op.reset();
        asio::co_spawn(PollExecutor(s_->core), std::move(op),
                       asio::bind_cancellation_slot(
                           s_->core->slot(),
                           [core = s_->core](std::exception_ptr ep, PyResult<nb::object> r) {
                               core->finish(ep, std::move(r));
                           }));
    }

    nb::object poll() {
        if (s_->finished) raise_runtime_error("cannot reuse already awaited coroutine");
        if (!s_->core) start();
        CoroCore& core = *s_->core;
        core.unpark();
        core.run_ready();
        if (core.finished()) conclude(core);

        nb::object loop = bridge().get_running_loop.object()();
        nb::object future = loop.attr("create_future")();
        if (!core.park(Waker{PyRef::borrow(loop), PyRef::borrow(future)})) return nb::none();
        // Iterating the future marks it as awaited by the task, as `await` would.
        nb::object it = nb::steal(PyObject_GetIter(future.ptr()));
        if (!it.is_valid()) throw nb::python_error();
        nb::object yielded = nb::steal(PyIter_Next(it.ptr()));
        if (!yielded.is_valid()) throw nb::python_error();
        return yielded;
    }

    [[noreturn]] void conclude(CoroCore& core) {
        s_->finished = true;
        if (core.error()) {
            nb::python_error e = std::move(*core.error());
            core.error().reset();
            throw std::move(e);
        }
        PyRef value = core.take_value();
        PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value.get());
        if (stop == nullptr) throw nb::python_error();
        PyErr_SetRaisedException(stop);
        throw nb::python_error();
    }

    void drop_operation() {
        s_->finished = true;
        s_->op.reset();
        if (s_->core) s_->core->drop(!s_->core->finished());
    }

    std::unique_ptr<State> s_;
};

void add_read_only(nb::handle type, const char* name, nb::object getter) {
    nb::object prop = nb::module_::import_("builtins").attr("property")(getter);
    // Set in the type's own dict: assigning through the type would rename the type.
    PyObject* dict = reinterpret_cast<PyTypeObject*>(type.ptr())->tp_dict;
    if (PyDict_SetItemString(dict, name, prop.ptr()) < 0) throw nb::python_error();
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type.ptr()));
}

nb::object define_coroutine_class() {
    if (nb::handle existing = nb::type<Coroutine>(); existing.is_valid()) return nb::borrow(existing);
    // Not a module member: the class lives in a scope of its own.
    nb::module_ scope = nb::steal<nb::module_>(PyModule_New("varnel._varnel"));
    if (!scope.is_valid()) throw nb::python_error();
    nb::class_<Coroutine> cls(scope, "Coroutine", nb::is_final());
    cls.def("__await__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](Coroutine& c) { return c.send(nb::none()); })
        .def("send", &Coroutine::send, nb::arg("_value").none())
        .def("throw", &Coroutine::throw_, nb::arg("exc").none())
        .def("close", &Coroutine::close);
    add_read_only(cls, "__name__", nb::cpp_function([](const Coroutine& c) { return c.name(); }));
    add_read_only(cls, "__qualname__",
                  nb::cpp_function([](const Coroutine& c) { return c.qualname(); }));
    return cls;
}

DetachedOnce<Bridge> bridge_cell;

const Bridge& bridge() {
    return bridge_cell.get([] {
        Bridge b;
        b.coroutine_type = PyRef::steal(define_coroutine_class());
        b.release_waiter = PyRef::steal(
            nb::cpp_function(&release_waiter, nb::name("release_waiter"), nb::arg("future")));
        b.get_running_loop =
            PyRef::steal(nb::module_::import_("asyncio").attr("get_running_loop"));
        return b;
    });
}

}  // namespace

nb::object make_coroutine(Operation op, std::string name, std::string qualname) {
    bridge();
    return nb::cast(Coroutine(std::move(op), std::move(name), std::move(qualname)),
                    nb::rv_policy::move);
}

}  // namespace varnel
