// Strict conversion of Python arguments for functions that take raw handles and
// must name the offending argument in their errors.
#pragma once

#include "pyglue.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>

namespace varnel {

using ArgResult = std::expected<void, nb::python_error>;

// Re-raises the pending TypeError or OverflowError with "argument 'name': " in
// front of its message; other exceptions pass through unchanged.
inline nb::python_error argument_error(const char* name) {
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* type = nullptr;
    if (PyErr_GivenExceptionMatches(exc, PyExc_OverflowError)) type = PyExc_OverflowError;
    else if (PyErr_GivenExceptionMatches(exc, PyExc_TypeError)) type = PyExc_TypeError;
    if (type == nullptr) {
        PyErr_SetRaisedException(exc);
        return nb::python_error();
    }
    PyObject* text = PyObject_Str(exc);
    Py_DECREF(exc);
    if (text == nullptr) return nb::python_error();
    PyErr_Format(type, "argument '%s': %U", name, text);
    Py_DECREF(text);
    return nb::python_error();
}

inline nb::python_error argument_type_error(const char* name, nb::handle value, const char* want) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", name,
                 Py_TYPE(value.ptr())->tp_name, want);
    return nb::python_error();
}

// True or False only; NumPy boolean scalars count as bools too.
inline std::expected<bool, nb::python_error> arg_bool(nb::handle value, const char* name) {
    PyObject* o = value.ptr();
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    const char* type = Py_TYPE(o)->tp_name;
    if (std::strcmp(type, "numpy.bool") == 0 || std::strcmp(type, "numpy.bool_") == 0) {
        int truth = PyObject_IsTrue(o);
        if (truth < 0) return std::unexpected(nb::python_error());
        return truth != 0;
    }
    return std::unexpected(argument_type_error(name, value, "bool"));
}

// The integer value of anything with __index__, as a new reference.
inline std::expected<nb::object, nb::python_error> arg_index(nb::handle value, const char* name) {
    PyObject* o = value.ptr();
    if (!PyIndex_Check(o)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be interpreted as an integer",
                     name, Py_TYPE(o)->tp_name);
        return std::unexpected(nb::python_error());
    }
    PyObject* index = PyNumber_Index(o);
    if (index == nullptr) return std::unexpected(argument_error(name));
    return nb::steal(index);
}

// An integer (anything with __index__) from 0 to `max`.
inline std::expected<std::uint64_t, nb::python_error> arg_unsigned(nb::handle value, const char* name,
                                                                   std::uint64_t max) {
    auto index = arg_index(value, name);
    if (!index) return std::unexpected(std::move(index.error()));
    unsigned long long v = PyLong_AsUnsignedLongLong(index->ptr());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        return std::unexpected(argument_error(name));
    if (v > max) {
        PyErr_Format(PyExc_OverflowError,
                     "argument '%s': out of range integral type conversion attempted", name);
        return std::unexpected(nb::python_error());
    }
    return std::uint64_t(v);
}

// None, or an unsigned size.
inline std::expected<std::optional<std::size_t>, nb::python_error> arg_optional_size(
    nb::handle value, const char* name) {
    if (value.is_none()) return std::nullopt;
    auto v = arg_unsigned(value, name, SIZE_MAX);
    if (!v) return std::unexpected(std::move(v.error()));
    return std::size_t(*v);
}

inline std::expected<std::int64_t, nb::python_error> arg_i64(nb::handle value, const char* name) {
    auto index = arg_index(value, name);
    if (!index) return std::unexpected(std::move(index.error()));
    long long v = PyLong_AsLongLong(index->ptr());
    if (v == -1 && PyErr_Occurred()) return std::unexpected(argument_error(name));
    return std::int64_t(v);
}

// Anything the interpreter converts to a float (float, int, __float__, __index__).
inline std::expected<double, nb::python_error> arg_float(nb::handle value, const char* name) {
    double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) return std::unexpected(argument_error(name));
    return v;
}

// Unwraps at the Python boundary: the error becomes the raised exception.
template <class T>
T take(std::expected<T, nb::python_error> r) {
    if (!r) throw std::move(r.error());
    return std::move(*r);
}

}  // namespace varnel

namespace varnel {

// Binds positional and keyword arguments to the parameter names of `fn`, the
// first `required` of which must be given. A parameter left out is a null handle.
// Errors are TypeErrors naming the function and the argument.
template <std::size_t N>
std::expected<std::array<nb::handle, N>, nb::python_error> bind_arguments(
    const char* fn, const std::array<const char*, N>& names, std::size_t required,
    const nb::args& args, const nb::kwargs& kwargs) {
    std::array<nb::handle, N> out{};
    const std::size_t given = args.size();
    if (given > N) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zu given)", fn, N, given);
        return std::unexpected(nb::python_error());
    }
    for (std::size_t i = 0; i < given; ++i) out[i] = args[i];
    for (auto [key, value] : kwargs) {
        // Compared without encoding: a keyword UTF-8 cannot carry is just unknown.
        std::size_t i = 0;
        while (i < N && !PyUnicode_EqualToUTF8(key.ptr(), names[i])) ++i;
        if (i == N) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn, key.ptr());
            return std::unexpected(nb::python_error());
        }
        if (out[i].is_valid()) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fn, names[i]);
            return std::unexpected(nb::python_error());
        }
        out[i] = value;
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (!out[i].is_valid()) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fn,
                         names[i], i + 1);
            return std::unexpected(nb::python_error());
        }
    }
    return out;
}

// The given argument, or `fallback` when it was left out.
inline nb::handle or_default(nb::handle given, nb::handle fallback) {
    return given.is_valid() ? given : fallback;
}

}  // namespace varnel
