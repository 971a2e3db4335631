// Test-only module: makes CaseResults and error results the way the engine does
// and runs the end-of-run judgement on a list of them.
#include "result.hpp"

#include <asio/co_spawn.hpp>
#include <asio/strand.hpp>

#include <nanobind/stl/string.h>

namespace nb = nanobind;
using namespace varnel;

namespace {

// The exception object as a captured error, as the engine holds it.
nb::python_error captured(nb::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    return nb::python_error();
}

template <class T>
T value_or_raise(PyResult<T> r) {
    if (!r) throw std::move(r.error());
    return std::move(*r);
}

nb::object object_of(PyResult<PyRef> r) { return nb::steal(value_or_raise(std::move(r)).release()); }

// A result with the given verdict labels, built like a normal result; the other
// fields are those of an error result.
nb::object make_result(const std::string& case_id, std::uint64_t case_index,
                       const std::string& behavior, const std::string& behavior_close,
                       nb::handle result_text) {
    nb::object exc = nb::steal(PyObject_CallOneArg(PyExc_Exception, result_text.ptr()));
    if (!exc.is_valid()) throw nb::python_error();
    CaseResult r = value_or_raise(CaseResult::errored(case_id, case_index, "agent", captured(exc)));
    r.result = PyRef::borrow(result_text);
    r.behavior = value_or_raise(Behavior::from_label(behavior));
    r.behavior_close = value_or_raise(BehaviorClose::from_label(behavior_close));
    return object_of(std::move(r).into_python());
}

asio::awaitable<PyResult<void>> record_one(std::string case_id, std::uint64_t case_index,
                                           PyRef exc, SharedResults results) {
    auto error = co_await attach_blocking("capture", [exc = std::move(exc)]() -> PyResult<PyRef> {
        return std::unexpected(captured(exc.handle()));
    });
    co_return co_await record_error(std::move(case_id), case_index, "agent",
                                    std::move(error.error()), std::move(results));
}

// Records one error result per exception from runtime tasks, one after another;
// yields the list (in recording order) or the first failure.
Operation record_errors(std::vector<PyRef> excs) {
    SharedResults results = make_results();
    auto strand = asio::make_strand(Runtime::current().executor());
    std::vector<PyResult<void>> outcomes;
    for (std::size_t i = 0; i < excs.size(); ++i)
        outcomes.push_back(co_await asio::co_spawn(
            strand, record_one("1." + std::to_string(i + 1), i + 1, std::move(excs[i]), results),
            asio::use_awaitable));
    for (auto& o : outcomes)
        if (!o) co_return std::unexpected(std::move(o.error()));
    auto list = results->to_list();
    if (!list) co_return std::unexpected(std::move(list.error()));
    co_return list->object();
}

}  // namespace

NB_MODULE(_testing_result, m) {
    nb::set_leak_warnings(false);
    register_result_classes(m);
    m.def("make_result", &make_result, nb::arg("case_id"), nb::arg("case_index"),
          nb::arg("behavior") = "OK", nb::arg("behavior_close") = "OK",
          nb::arg("result") = nb::str("prose"));
    m.def("errored", [](const std::string& case_id, std::uint64_t case_index,
                        const std::string& agent, nb::handle exc) {
        return object_of(
            value_or_raise(CaseResult::errored(case_id, case_index, agent, captured(exc))).into_python());
    });
    m.def("behavior", [](const std::string& label) {
        return object_of(value_or_raise(Behavior::from_label(label)).to_python());
    });
    m.def("behavior_close", [](const std::string& label) {
        return object_of(value_or_raise(BehaviorClose::from_label(label)).to_python());
    });
    // Judges `results` through a results list; returns (sorted list, exception or None).
    m.def("finalize", [](nb::list results) {
        ResultsList list;
        for (nb::handle r : results) list.push(PyRef::borrow(r));
        PyResult<void> outcome = list.finalize();
        nb::object error = nb::none();
        if (!outcome) error = nb::borrow(outcome.error().value());
        return nb::make_tuple(object_of(list.to_list()), error);
    });
    m.def("record_errors", [](nb::list excs) {
        value_or_raise(get_runtime());
        std::vector<PyRef> refs;
        for (nb::handle e : excs) refs.push_back(PyRef::borrow(e));
        return make_coroutine(record_errors(std::move(refs)), "record_errors", "record_errors");
    });
}
