// Constructors and methods of the module's classes, defined through the C API.
// nanobind's own functions put a rendered signature in front of __doc__ and give
// inspect no text signature; built-in methods keep their docstring as written and
// take a text signature from its "name($self, ...)\n--\n\n" prefix. A class whose
// constructor is a tp_new slot likewise takes its signature from the class doc.
#pragma once

#include "pyargs.hpp"

#include <memory>
#include <span>

namespace varnel {

// A METH_FASTCALL, METH_NOARGS or METH_O function as the pointer type of PyMethodDef.
template <class F>
PyCFunction as_cfunction(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Binds each entry of `defs` (static storage, ended by an empty entry) to `cls`.
inline void add_methods(nb::handle cls, PyMethodDef* defs) {
    for (PyMethodDef* def = defs; def->ml_name != nullptr; ++def) {
        nb::object descr =
            nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), def));
        if (!descr.is_valid() || PyObject_SetAttrString(cls.ptr(), def->ml_name, descr.ptr()) != 0)
            throw nb::python_error();
    }
}

// The C++ value of `self`, whose type the method descriptor has checked. An object
// made by calling __new__ of a class without a constructor holds no value yet.
template <class T>
T& self_of(PyObject* self) {
    if (!nb::inst_ready(self)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not initialized", Py_TYPE(self)->tp_name);
        throw nb::python_error();
    }
    return *nb::inst_ptr<T>(self);
}

// Runs a method body at the Python boundary: its result as a new reference, or
// nullptr with the exception set.
template <class Body>
PyObject* py_boundary(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)().release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// A new instance of the bound class `type` holding T(args...).
template <class T, class... Args>
nb::object new_instance(PyTypeObject* type, Args&&... args) {
    nb::object self = nb::inst_alloc(type);
    std::construct_at(nb::inst_ptr<T>(self), std::forward<Args>(args)...);
    nb::inst_mark_ready(self);
    return self;
}

// The arguments of a tp_new call bound to `names`, as for bind_arguments.
template <std::size_t N>
std::array<nb::handle, N> bind_new_arguments(const char* fn, const std::array<const char*, N>& names,
                                             std::size_t required, PyObject* args, PyObject* kwargs) {
    nb::kwargs given_kwargs = kwargs ? nb::borrow<nb::kwargs>(kwargs) : nb::kwargs();
    return take(bind_arguments<N>(fn, names, required, nb::borrow<nb::args>(args), given_kwargs));
}

// A tp_new call must carry no argument at all.
inline void refuse_new_arguments(const char* fn, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) == 0 && (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0)) return;
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", fn);
    throw nb::python_error();
}

// tp_init of a class whose tp_new builds the whole value: nothing left to do.
inline int init_done(PyObject*, PyObject*, PyObject*) noexcept { return 0; }

// Vectorcall arguments bound to `names`, as for bind_arguments.
template <std::size_t N>
std::array<nb::handle, N> bind_fastcall(const char* fn, const std::array<const char*, N>& names,
                                        std::size_t required, PyObject* const* args, Py_ssize_t nargsf,
                                        PyObject* kwnames) {
    const std::size_t npos = std::size_t(PyVectorcall_NARGS(nargsf));
    if (kwnames == nullptr && npos >= required && npos <= N) {
        std::array<nb::handle, N> out{};
        for (std::size_t i = 0; i < npos; ++i) out[i] = args[i];
        return out;
    }
    nb::object positional = nb::steal(PyTuple_New(Py_ssize_t(npos)));
    if (!positional.is_valid()) throw nb::python_error();
    for (std::size_t i = 0; i < npos; ++i) PyTuple_SET_ITEM(positional.ptr(), i, Py_NewRef(args[i]));
    nb::kwargs keywords;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i)
        keywords[PyTuple_GET_ITEM(kwnames, i)] = nb::handle(args[Py_ssize_t(npos) + i]);
    return take(bind_arguments<N>(fn, names, required, nb::borrow<nb::args>(positional), keywords));
}

}  // namespace varnel
