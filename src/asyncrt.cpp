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
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <csignal>

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

// What a signal's Python handler raises (KeyboardInterrupt; SystemExit from a
// handler that calls sys.exit) is no Exception: it interrupted a call, which
// did not fail.
bool is_interrupt(const nb::python_error& e) { return !e.matches(PyExc_Exception); }

// The signals a process is sent, which belong to Python's threads: all but
// those a fault raises in the thread that caused it.
sigset_t async_signals() noexcept {
    sigset_t set;
    sigfillset(&set);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&set, fault);
    return set;
}

// Sets `mask`, which may unblock some of the asynchronous signals. A thread that
// unblocks a signal already pending for the process takes it, although the
// kernel woke another thread for it (the main one, as a rule), which then
// sleeps on. So this first waits, briefly, for such a signal to be taken where
// it was meant to go; one still pending after that is one no other thread
// takes. The main thread takes it at once: it is where it was meant to go.
void unblock_once_taken(const sigset_t& mask) noexcept {
    constexpr auto limit = std::chrono::milliseconds(250);
    const auto until = std::chrono::steady_clock::now() + limit;
    sigset_t unblocked = async_signals();  // those that `mask` lets through
    for (int signo = 1; signo < NSIG; ++signo)
        if (sigismember(&mask, signo) == 1) sigdelset(&unblocked, signo);
    while (gettid() != getpid() && std::chrono::steady_clock::now() < until) {
        sigset_t pending, arriving;
        sigpending(&pending);
        sigandset(&arriving, &pending, &unblocked);
        if (sigisemptyset(&arriving) == 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
}

// Blocks the asynchronous signals in the calling thread for its scope, so the
// threads it starts meanwhile begin with them blocked.
class AsyncSignalsBlocked {
public:
    AsyncSignalsBlocked() noexcept {
        const sigset_t set = async_signals();
        pthread_sigmask(SIG_BLOCK, &set, &saved_);
    }
    ~AsyncSignalsBlocked() { unblock_once_taken(saved_); }
    AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
    AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;

private:
    sigset_t saved_;
};

// A pool thread's attachment to the interpreter: one thread state for the life of
// the thread, attached for each job and detached in between. The pool decides
// when attaching is still allowed (see BlockingPool::close).
class PoolAttachment {
public:
    PoolAttachment() = default;
    PoolAttachment(const PoolAttachment&) = delete;
    PoolAttachment& operator=(const PoolAttachment&) = delete;

    // False, with nothing done, when the interpreter has begun to finalize.
    bool attach() {
        if (tstate_ != nullptr) {
            PyEval_RestoreThread(tstate_);  // a state it knows: late, the thread waits for good
            return true;
        }
        tstate_ = attach_new_thread_state();
        return tstate_ != nullptr;
    }
    void detach() { PyEval_SaveThread(); }

    bool has_thread_state() const noexcept { return tstate_ != nullptr; }
    // Gives the thread state back, for a thread that retires.
    void release() {
        PyEval_RestoreThread(std::exchange(tstate_, nullptr));
        delete_current_thread_state();
    }

private:
    PyThreadState* tstate_ = nullptr;
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
    // The mask of the thread that made the pool, which its threads have all
    // their life, so that callbacks and the processes they start see what they
    // would on any Python thread.
    sigset_t python_mask;
    // Read without the mutex by spinning threads; written under it.
    std::atomic<std::size_t> queued{0};
    std::atomic<std::size_t> spinning{0};
};

namespace {

// False, with the task not run, when the thread could not attach.
bool run_attached(PoolAttachment& py, BlockingPool::Task& task) {
    if (!py.attach()) return false;
    try {
        task();
    } catch (...) {
        // Tasks report their own failures; nothing may escape into the pool.
    }
    task = nullptr;  // the task's captures are released attached
    PyErr_Clear();   // a stray error indicator must not leak into the next job
    py.detach();
    return true;
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
// after it detaches, so that the interpreter's exit can wait for it. False, and
// nothing run, once the pool is closed, or when `work` could not attach: a
// pool the exit never closed (it was not told) closes as the interpreter
// finalizes.
template <class Work>
bool run_counted_attached(BlockingPool::State& s, std::unique_lock<std::mutex>& lock, Work work) {
    if (!may_attach()) s.closed = true;
    if (s.closed) return false;
    ++s.attached;
    lock.unlock();
    const bool ran = work();
    lock.lock();
    --s.attached;
    if (!ran) s.closed = true;
    return ran;
}

void serve(BlockingPool::State& s, PoolAttachment& py) {
    std::unique_lock lock(s.mutex);
    for (;;) {
        if (s.stopping) break;
        if (!s.queue.empty()) {
            BlockingPool::Task task = take_front(s);
            const bool ran = run_counted_attached(s, lock, [&] { return run_attached(py, task); });
            if (!ran) leak(std::move(task));
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
    if (py.has_thread_state()) run_counted_attached(s, lock, [&] {
        py.release();
        return true;
    });
    --s.threads;
}

// Starts with the asynchronous signals blocked, and takes Python's mask once,
// before it serves: changing it again (per job, say) could take a signal that
// the kernel meant for the main thread.
void pool_thread(std::shared_ptr<BlockingPool::State> s) {
    unblock_once_taken(s->python_mask);
    PoolAttachment py;
    serve(*s, py);
}

void start_pool_thread(std::shared_ptr<BlockingPool::State> s) {
    std::thread(pool_thread, std::move(s)).detach();
}

}  // namespace

BlockingPool::BlockingPool(std::size_t max_threads, std::chrono::milliseconds keep_alive,
                           asio::any_io_executor starter)
    : state_(std::make_shared<State>()), starter_(std::move(starter)) {
    state_->max_threads = std::max<std::size_t>(max_threads, 1);
    state_->keep_alive = keep_alive;
    pthread_sigmask(SIG_SETMASK, nullptr, &state_->python_mask);
}

void BlockingPool::start() {
    std::lock_guard lock(state_->mutex);
    start_pool_thread(state_);
    ++state_->threads;
}

BlockingPool::~BlockingPool() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
}

// Pool threads are detached: each owns a share of the state, and an idle one
// retires on its own. Starting a thread blocks and restores the starter's
// signals, which the thread asking (a Python thread, or a pool thread running
// a callback) must not do: the starter blocks them for good.
void BlockingPool::spawn_locked() {
    ++state_->threads;
    asio::post(starter_, [s = state_] {
        try {
            start_pool_thread(s);
        } catch (...) {
            std::lock_guard lock(s->mutex);
            --s->threads;  // the threads already running serve the queue
        }
    });
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
        if (s.queue.size() > s.sleeping + spinning && s.threads < s.max_threads) spawn_locked();
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
ForkSafeMutex runtime_mutex;
std::atomic<Runtime*> built_runtime{nullptr};

nb::python_error runtime_failure(std::string_view why) {
    return make_py_error(PyExc_RuntimeError, std::format("failed to initialize async runtime{}", why));
}

void stop_coroutines(const asio::io_context& io);

// Runs attached, before the interpreter begins to finalize and while it is
// still whole. Once closed, no runtime is built again.
void close_for_exit() {
    Runtime* rt = nullptr;
    {
        auto lock = lock_detached(runtime_mutex);
        if (interpreter_closed.exchange(true, std::memory_order_acq_rel)) return;
        rt = built_runtime.load(std::memory_order_acquire);
    }
    if (rt == nullptr || rt->owner() != getpid()) return;  // a forked child runs nothing of it
    {
        nb::gil_scoped_release detached;  // jobs still running may need the GIL
        rt->quiesce_for_exit(std::chrono::steady_clock::now() + kExitDrainLimit);
    }
    // Nothing will wake what waits on the runtime any more, and whoever waits
    // for those runs (a thread an exit handler joins) must go on.
    stop_coroutines(rt->context());
}

// ---------------------------------------------------------------------------
// Exit hook
//
// The interpreter exits in this order: threading._shutdown() (when threading is
// imported), which runs the threading._register_atexit callbacks and then joins
// the non-daemon threads; pending calls; the atexit handlers, newest first, over
// a copy of their list; then finalization. The engine closes from a threading
// callback, which no program can clear: at once, or, while non-daemon threads
// still run (their runs must finish), through an atexit entry made at that
// moment, which runs once they are joined, before the atexit handlers made
// earlier. Runs that exit handlers start are refused.
//
// A module first imported while the interpreter exits cannot register that
// callback any more (threading refuses it once its shutdown has begun). On a
// non-daemon thread, which the interpreter still joins, it makes the atexit
// entry itself; anywhere else it closes at once. When threading had not been
// imported before the exit began, nothing shows that it has begun, and the
// atexit entry made at import is one the interpreter never calls: it is dropped
// when the exit handlers have run, on the main thread, outside any Python code.
// A weak reference to a sentinel the entry holds reports that drop, and the
// engine closes then, still before finalization. A program clearing its exit
// handlers drops the entry too, inside Python code: before the exit that is left
// to the threading callback; while the interpreter joins its threads, the entry
// is made again.
//
// The callbacks may run inside any frame, whose builtins may be empty: they use
// the import machinery not at all, only objects taken when installed. And they
// never raise into the interpreter's exit, which would cut it short.

struct ExitHooks {
    PyRef atexit_register;
    PyRef threading_enumerate;
    PyRef main_thread;
    PyRef current_thread;
    PyRef main_thread_ident;
};
ExitHooks* exit_hooks = nullptr;  // set once, never released

// Set once the closing waits for the non-daemon threads to be joined.
std::atomic<bool> closing_after_joins{false};

// Whether a non-daemon thread other than the main one is still running: the
// interpreter joins those before it runs the exit handlers.
bool threads_left_to_join() {
    nb::object main = exit_hooks->main_thread.object()();
    for (nb::handle thread : exit_hooks->threading_enumerate.object()()) {
        if (thread.is(main) || nb::cast<bool>(thread.attr("daemon"))) continue;
        if (nb::cast<bool>(thread.attr("is_alive")())) return true;
    }
    return false;
}

unsigned long main_thread_ident() {
    nb::object ident = nb::steal(call_no_args(exit_hooks->main_thread_ident.handle()));
    if (!ident.is_valid()) throw nb::python_error();
    return nb::cast<unsigned long>(ident);
}

bool running_python() {
    PyFrameObject* frame = PyThreadState_GetFrame(PyThreadState_Get());
    Py_XDECREF(frame);
    return frame != nullptr;
}

// Whether the calling thread is one the interpreter joins as it exits.
bool on_thread_to_join() {
    nb::object self = exit_hooks->current_thread.object()();
    return !self.is(exit_hooks->main_thread.object()()) && !nb::cast<bool>(self.attr("daemon"));
}

// A failure inside a callback of the interpreter's exit is reported, not
// raised. An interrupt is raised, as by any Python code the exit runs then.
template <class F>
PyObject* reporting_failures(F body) noexcept {
    try {
        body();
        Py_RETURN_NONE;
    } catch (nb::python_error& e) {
        const bool interrupt = is_interrupt(e);
        e.restore();
        if (interrupt) return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    PyErr_WriteUnraisable(nullptr);
    Py_RETURN_NONE;
}

void close_after_joins();

PyObject* exit_hook(PyObject*, PyObject*) { return reporting_failures(close_for_exit); }

PyObject* on_entry_dropped(PyObject*, PyObject* /* weak reference */) {
    return reporting_failures([] {
        if (interpreter_closed.load(std::memory_order_acquire) || Py_IsFinalizing()) return;
        if (!running_python() && main_thread_ident() == PyThread_get_thread_ident()) {
            close_for_exit();  // the exit's drop of an entry made too late
        } else if (closing_after_joins.load(std::memory_order_acquire)) {
            // Cleared while the interpreter joins its threads.
            if (threads_left_to_join()) close_after_joins();
            else close_for_exit();
        }
    });
}

PyObject* on_threading_shutdown(PyObject*, PyObject*) {
    return reporting_failures([] {
        if (threads_left_to_join()) close_after_joins();
        else close_for_exit();
    });
}

// Plain functions, not bindings: they may be called late in the interpreter's
// exit, when the bindings are gone.
PyMethodDef exit_hook_def = {"_close_for_exit", &exit_hook, METH_VARARGS, nullptr};
PyMethodDef on_entry_dropped_def = {"_exit_entry_dropped", &on_entry_dropped, METH_O, nullptr};
PyMethodDef on_threading_shutdown_def = {"_close_at_shutdown", &on_threading_shutdown, METH_NOARGS, nullptr};

nb::object plain_function(PyMethodDef& def) {
    nb::object fn = nb::steal(PyCFunction_New(&def, nullptr));
    if (!fn.is_valid()) throw nb::python_error();
    return fn;
}

// An atexit entry that closes the engine; its drop, uncalled, is reported.
void register_atexit_entry() {
    nb::object sentinel = nb::steal(PySet_New(nullptr));
    if (!sentinel.is_valid()) throw nb::python_error();
    // Never released: a weak reference that is gone reports nothing.
    if (PyWeakref_NewRef(sentinel.ptr(), plain_function(on_entry_dropped_def).ptr()) == nullptr)
        throw nb::python_error();
    exit_hooks->atexit_register.object()(plain_function(exit_hook_def), sentinel);
}

void close_after_joins() {
    closing_after_joins.store(true, std::memory_order_release);
    register_atexit_entry();
}

// False when the exit had begun already: threading refuses the callback then.
bool register_threading_callback(nb::handle threading) {
    try {
        threading.attr("_register_atexit")(plain_function(on_threading_shutdown_def));
        return true;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        return false;
    }
}

}  // namespace

void install_exit_hook() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    try {
        nb::module_ threading = nb::module_::import_("threading");
        if (exit_hooks == nullptr)
            exit_hooks = std::make_unique<ExitHooks>(ExitHooks{
                             PyRef::steal(nb::module_::import_("atexit").attr("register")),
                             PyRef::steal(threading.attr("enumerate")),
                             PyRef::steal(threading.attr("main_thread")),
                             PyRef::steal(threading.attr("current_thread")),
                             PyRef::steal(nb::module_::import_("_thread").attr("_get_main_thread_ident")),
                         }).release();
        if (register_threading_callback(threading)) register_atexit_entry();
        else if (on_thread_to_join()) close_after_joins();
        else close_for_exit();
    } catch (...) {
        installed.store(false);
        throw;
    }
}

Runtime::Runtime()
    : io_(static_cast<int>(worker_count())),
      work_(io_.get_executor()),
      pool_(kMaxBlockingThreads, kBlockingKeepAlive, io_.get_executor()),
      owner_(getpid()) {
    std::vector<std::jthread> workers;  // joined only if one fails to start
    AsyncSignalsBlocked engine_threads_start_blocked;
    try {
        pool_.start();
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
        // Detached: starting its threads may wait for a pending signal to be taken.
        nb::gil_scoped_release detached;
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

// Fires each waker; caller attached. A closed loop means nobody waits any more.
// On the main thread a signal's handler may raise inside a call: that must
// neither cancel the wake-up nor vanish, so the call is made again (releasing
// a waiter twice is harmless), and the interrupt is returned, for the caller to
// raise once every waker has fired.
std::optional<nb::python_error> fire_all(std::span<Waker> wakers) {
    // A loop that raises such an exception on its own, every time, must not
    // keep the caller here.
    constexpr int max_interrupts = 100;
    std::optional<nb::python_error> interrupt;
    for (Waker& w : wakers) {
        for (int interrupts = 0;; ++interrupts) {
            try {
                w.loop.object().attr("call_soon_threadsafe")(bridge().release_waiter.handle(),
                                                              w.future.handle());
                break;
            } catch (nb::python_error& e) {
                if (!is_interrupt(e) || interrupts == max_interrupts) break;
                if (interrupt && !e.value().is(interrupt->value()))
                    PyException_SetContext(e.value().ptr(), interrupt->value().inc_ref().ptr());
                interrupt.emplace(std::move(e));
            }
        }
    }
    return interrupt;
}

// Raises `interrupt` in the main thread at its next bytecode, where the
// signal's handler would have raised it.
void raise_at_next_bytecode(nb::python_error interrupt) {
    interrupt.restore();
    PyObject* raised = PyErr_GetRaisedException();
    auto raise = [](void* e) {
        PyErr_SetRaisedException(static_cast<PyObject*>(e));
        return -1;
    };
    if (Py_AddPendingCall(raise, raised) == 0) return;
    PyErr_SetRaisedException(raised);  // the queue is full: shown at least
    PyErr_WriteUnraisable(nullptr);
}

void release_waiter(nb::handle future) {
    if (!nb::cast<bool>(future.attr("done")())) future.attr("set_result")(nb::none());
}

class CoroCore;

// Every CoroCore alive, so that the interpreter's exit can end the operations
// still waiting on the runtime it stops.
class LiveCores {
public:
    // True when the exit has stopped the runtime already.
    bool add(CoroCore* core) {
        auto lock = lock_detached(mutex_);
        cores_.push_back(core);
        return interpreter_closed.load(std::memory_order_acquire);
    }
    void remove(CoroCore* core) {
        auto lock = lock_detached(mutex_);
        std::erase(cores_, core);
    }
    // Marks each core on `io` stopped; the wakers of those parked, to fire.
    std::vector<Waker> stop(const asio::io_context& io);

private:
    ForkSafeMutex mutex_;
    std::vector<CoroCore*> cores_;
};

// Never destroyed: a core may go after the process's static destructors ran.
LiveCores& live_cores() {
    static LiveCores* const cores = std::make_unique<LiveCores>().release();
    return *cores;
}

// The shared heart of one Coroutine: its ready queue, its waker and its outcome.
class CoroCore : public std::enable_shared_from_this<CoroCore> {
public:
    using Handler = std::move_only_function<void()>;

    explicit CoroCore(asio::io_context& ctx) : ctx_(ctx) {
        if (live_cores().add(this)) stop();
    }
    ~CoroCore() { live_cores().remove(this); }
    CoroCore(const CoroCore&) = delete;
    CoroCore& operator=(const CoroCore&) = delete;
    asio::io_context& context() const noexcept { return ctx_; }
    asio::cancellation_slot slot() noexcept { return signal_.slot(); }

    // Any thread. The parked polling thread is woken from here when attached,
    // else through a blocking-pool job.
    void push(Handler h) {
        Waker w;
        bool dropped = false, send = false;
        {
            auto lock = lock_detached(mutex_);
            if (phase_ == Phase::dropped) {
                dropped = true;
            } else {
                ready_.push_back(std::move(h));
                if (phase_ == Phase::waiting && py_attached()) {
                    phase_ = Phase::active;
                    w = std::move(waker_);
                } else if (phase_ == Phase::waiting) {
                    phase_ = Phase::waking;
                    send = true;
                }
            }
        }
        if (dropped) discard(std::move(h));
        if (w) {
            if (auto interrupt = fire_all({&w, 1})) raise_at_next_bytecode(std::move(*interrupt));
        }
        if (send) Runtime::current().blocking().submit([core = shared_from_this()] { core->fire_waking(); });
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

    // Parks on `w` unless something became ready, or the runtime stopped,
    // meanwhile (then returns false).
    bool park(Waker w) {
        auto lock = lock_detached(mutex_);
        if (!ready_.empty() || stopped_) return false;
        phase_ = Phase::waiting;
        waker_ = std::move(w);
        return true;
    }

    // A poll that comes without a wake-up forgets the old waker. True when the
    // runtime has stopped; a stop that comes later makes park() refuse, so the
    // next poll learns of it.
    bool unpark() {
        Waker old;
        auto lock = lock_detached(mutex_);
        if (phase_ == Phase::waiting || phase_ == Phase::waking) {
            phase_ = Phase::active;
            old = std::move(waker_);
        }
        return stopped_;
    }

    // The runtime has stopped for good: what the operation waits for never
    // comes. Returns the waker to fire when the polling thread is parked, also
    // one whose wake-up the closed pool will never run.
    Waker stop() {
        auto lock = lock_detached(mutex_);
        stopped_ = true;
        if (phase_ != Phase::waiting && phase_ != Phase::waking) return {};
        phase_ = Phase::active;
        return std::move(waker_);
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
    // waking: parked, with a wake-up on its way through the blocking pool. The
    // waker stays here until that job fires it, so that stop() can fire it
    // when the pool closes first (it never runs the job then).
    enum class Phase { active, waiting, waking, dropped };

    // On a pool thread, attached. A poll that came first took the waker.
    void fire_waking() {
        Waker w;
        {
            auto lock = lock_detached(mutex_);
            if (phase_ != Phase::waking) return;
            phase_ = Phase::active;
            w = std::move(waker_);
        }
        fire_all({&w, 1});  // no signal's handler runs on a pool thread
    }

    // A handler may hold Python objects: it is released attached, on this
    // thread if it is attached, else as a blocking-pool task.
    static void discard(Handler h) {
        if (py_attached()) return;  // `h` goes here
        Runtime::current().blocking().submit([h = std::move(h)]() mutable { h = nullptr; });
    }

    asio::io_context& ctx_;
    std::mutex mutex_;
    std::deque<Handler> ready_;
    Phase phase_ = Phase::active;
    Waker waker_;
    bool stopped_ = false;
    asio::cancellation_signal signal_;
    // Touched only by the polling thread.
    bool finished_ = false;
    PyRef value_;
    std::optional<nb::python_error> error_;
};

std::vector<Waker> LiveCores::stop(const asio::io_context& io) {
    std::vector<Waker> parked;
    auto lock = lock_detached(mutex_);
    for (CoroCore* core : cores_) {
        if (&core->context() != &io) continue;  // a parent's, in a child of fork()
        if (Waker w = core->stop()) parked.push_back(std::move(w));
    }
    return parked;
}

// Caller attached. Raises an interrupt that came while firing, once all fired.
void stop_coroutines(const asio::io_context& io) {
    std::vector<Waker> parked = live_cores().stop(io);
    if (auto interrupt = fire_all(parked)) throw std::move(*interrupt);
}

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
        : s_(std::make_unique<State>(std::move(name), std::move(qualname))) {
        s_->op.emplace(std::move(op));
    }
    Coroutine(ReadyBody body, std::string name, std::string qualname)
        : s_(std::make_unique<State>(std::move(name), std::move(qualname))) {
        s_->ready_body = std::move(body);
    }
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
        State(std::string n, std::string q) : name(std::move(n)), qualname(std::move(q)) {}
        std::optional<Operation> op;  // until the first poll
        ReadyBody ready_body;          // or this, run by the first poll
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
        if (s_->ready_body) {
            ReadyBody body = std::move(s_->ready_body);
            s_->ready_body = nullptr;
            s_->finished = true;
            conclude(body());
        }
        if (!s_->core) start();
        CoroCore& core = *s_->core;
        const bool stopped = core.unpark();
        core.run_ready();
        if (core.finished()) conclude(core);
        if (stopped) {
            drop_operation();
            raise_runtime_error("run stopped: the interpreter is exiting");
        }

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
        return_value(core.take_value().get());
    }

    [[noreturn]] static void conclude(PyResult<nb::object> outcome) {
        if (!outcome) throw std::move(outcome.error());
        return_value(outcome->ptr());
    }

    // Ends the poll as a coroutine returns: StopIteration carrying `value`.
    [[noreturn]] static void return_value(PyObject* value) {
        PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
        if (stop == nullptr) throw nb::python_error();
        PyErr_SetRaisedException(stop);
        throw nb::python_error();
    }

    void drop_operation() {
        s_->finished = true;
        s_->op.reset();
        s_->ready_body = nullptr;
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

nb::object make_ready_coroutine(ReadyBody body, std::string name, std::string qualname) {
    bridge();
    return nb::cast(Coroutine(std::move(body), std::move(name), std::move(qualname)),
                    nb::rv_policy::move);
}

}  // namespace varnel
