// Small pieces of Python glue shared by the engine modules.
#pragma once

#include "forksafe.hpp"

#include <nanobind/nanobind.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

namespace varnel {

namespace nb = nanobind;

// True when the calling thread is attached to the interpreter.
inline bool py_attached() noexcept { return PyThreadState_GetUnchecked() != nullptr; }

// Set once, by the runtime's exit hook, just before the interpreter finalizes.
// Finalization frees thread states, so an attach that comes late touches freed
// memory: from then on a reference that would need one is leaked instead (the
// process is ending), and the engine's threads are quiesced (asyncrt.hpp).
inline std::atomic<bool> interpreter_closed{false};

// Whether a thread that is not attached may still attach. Once the interpreter
// has begun to finalize it frees every thread state, then itself, so no engine
// thread begins to attach from then on: it checks this just before. CPython
// 3.14 has no way to close the rest: a thread that began to make its thread
// state just before can be held up inside the interpreter (behind the world
// stopped for finalization) until finalization has freed what it uses.
inline bool may_attach() noexcept { return !Py_IsFinalizing(); }

// Engine threads make their thread states one at a time: made concurrently,
// they contend on the interpreter's own locks long enough for finalization to
// begin meanwhile and free what they are using.
inline ForkSafeMutex new_thread_state_mutex;

// Makes a thread state for the calling thread, which has none, and attaches
// it; null, not attached, once the interpreter finalizes. A state made before
// finalization began is one it stops: attaching it then waits for good. One
// made as finalization began is not, and is left alone.
inline PyThreadState* attach_new_thread_state() {
    PyThreadState* made = nullptr;
    {
        std::lock_guard one_at_a_time(new_thread_state_mutex);
        if (!may_attach()) return nullptr;
        made = PyThreadState_New(PyInterpreterState_Main());  // bound to this thread
    }
    if (made == nullptr) Py_FatalError("varnel: cannot make a thread state for an engine thread");
    if (!may_attach()) return nullptr;
    PyEval_RestoreThread(made);
    if (may_attach()) return made;
    PyEval_SaveThread();
    return nullptr;
}

// Gives back a state made by attach_new_thread_state; the caller is attached
// to it, and is not afterwards.
inline void delete_current_thread_state() {
    PyThreadState_Clear(PyThreadState_Get());
    PyThreadState_DeleteCurrent();
}

// Attaches, for its scope, a thread that is not attached; false when it could
// not (the interpreter is finalizing). An engine thread has no thread state of
// its own and makes one for the scope.
class ScopedAttachment {
public:
    ScopedAttachment() {
        if (!may_attach()) return;
        if (PyGILState_GetThisThreadState() == nullptr) {
            made_ = attach_new_thread_state();
            attached_ = made_ != nullptr;
        } else {
            gil_ = PyGILState_Ensure();  // a Python thread, detached: its own state
            attached_ = true;
        }
    }
    ~ScopedAttachment() {
        if (made_ != nullptr) delete_current_thread_state();
        else if (attached_) PyGILState_Release(gil_);
    }
    ScopedAttachment(const ScopedAttachment&) = delete;
    ScopedAttachment& operator=(const ScopedAttachment&) = delete;
    explicit operator bool() const noexcept { return attached_; }

private:
    PyThreadState* made_ = nullptr;
    PyGILState_STATE gil_{};
    bool attached_ = false;
};

// Attaches an engine thread for a call that cannot be skipped. Once the
// interpreter finalizes the thread never returns from here: the process is
// ending, and CPython parks its own threads that try to attach then alike.
template <class F>
auto attached_or_parked(F call) {
    ScopedAttachment attached;
    while (!attached) std::this_thread::sleep_for(std::chrono::hours(1));
    return call();
}

// An owned strong reference that may be dropped on any thread. Engine structures
// (cases, callbacks, protocol state) outlive the Python calls that made them and
// are often released by a worker thread; the release then attaches just long
// enough to decrement. Once the interpreter is closing the reference is leaked:
// attaching then could block forever or touch a freed thread state.
class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
    static PyRef borrow(PyObject* o) noexcept { Py_XINCREF(o); return PyRef(o); }
    static PyRef borrow(nb::handle h) noexcept { return borrow(h.ptr()); }
    static PyRef steal(nb::object o) noexcept { return PyRef(o.release().ptr()); }

    PyRef(const PyRef&) = delete;  // copying needs the interpreter: use clone()
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        if (this != &o) { reset(); obj_ = std::exchange(o.obj_, nullptr); }
        return *this;
    }
    ~PyRef() { reset(); }

    // Another strong reference to the same object; the caller must be attached.
    PyRef clone() const noexcept { return borrow(obj_); }

    PyObject* get() const noexcept { return obj_; }
    nb::handle handle() const noexcept { return obj_; }
    // A new nanobind reference; the caller must be attached.
    nb::object object() const noexcept { return nb::borrow(obj_); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

    void reset() noexcept {
        PyObject* o = std::exchange(obj_, nullptr);
        if (o == nullptr) return;
        if (py_attached()) { Py_DECREF(o); return; }
        if (interpreter_closed.load(std::memory_order_acquire)) return;
        if (ScopedAttachment attached; attached) Py_DECREF(o);
    }

private:
    explicit PyRef(PyObject* o) noexcept : obj_(o) {}
    PyObject* obj_ = nullptr;
};

// Sets a Python exception of the given class and captures it, so the caller can
// return it as an error value and restore it at the Python boundary.
inline nb::python_error make_py_error(PyObject* type, std::string_view text) {
    PyErr_SetObject(type, nb::str(text.data(), text.size()).ptr());
    return nb::python_error();
}

// Calls `callable` with no arguments; returns a new reference or nullptr with
// the error set. Passes a writable slot before the (empty) argument array, which
// lets the callee prepend `self` without copying a null array.
inline PyObject* call_no_args(nb::handle callable) noexcept {
    PyObject* slots[1] = {nullptr};
    return PyObject_Vectorcall(callable.ptr(), slots + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// A process-wide value made once, on first use, by a caller attached to the
// interpreter. Callers that must wait for another thread's initialisation wait
// detached, so an attached thread never blocks while attached. A failed
// initialisation (a C++ exception) leaves the cell empty for the next caller,
// and so does a fork() in the middle of one: the child makes the value itself.
template <class T>
class DetachedOnce {
public:
    DetachedOnce() noexcept {}
    ~DetachedOnce() {}  // the value lives until the process ends: never destroyed

    template <class Init>
    const T& get(Init&& init) {
        if (ready_.load(std::memory_order_acquire)) return slot_.value;
        std::unique_lock lock(mutex_, std::defer_lock);
        {
            nb::gil_scoped_release detached;
            lock.lock();
        }
        if (!ready_.load(std::memory_order_relaxed)) {
            std::construct_at(&slot_.value, std::forward<Init>(init)());
            ready_.store(true, std::memory_order_release);
        }
        return slot_.value;
    }

private:
    union Slot {
        Slot() noexcept {}
        ~Slot() {}
        T value;
    };
    Slot slot_;
    std::atomic<bool> ready_{false};
    ForkSafeMutex mutex_;
};

}  // namespace varnel

namespace varnel {

// Module registration: every member is appended to the module's __all__ before
// it is bound, so __all__ lists the members in registration order.
void append_to_all(nb::module_ m, const char* name);

inline void export_member(nb::module_ m, const char* name, nb::handle value) {
    append_to_all(m, name);
    m.attr(name) = value;
}

// Registers class T under `name`. The type object is made once per process by
// `define` (which binds it into m, e.g. through nb::class_<T>(m, name)) and
// reused by any later module object, such as after a re-import.
template <class T, class Define>
void export_class(nb::module_ m, const char* name, Define&& define) {
    append_to_all(m, name);
    if (nb::handle existing = nb::type<T>(); existing.is_valid()) {
        m.attr(name) = existing;
        return;
    }
    std::forward<Define>(define)(m);
}

}  // namespace varnel
