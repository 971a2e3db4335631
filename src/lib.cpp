#include "lib.hpp"

#include "asyncrt.hpp"
#include "client.hpp"
#include "compress.hpp"
#include "pyargs.hpp"
#include "result.hpp"
#include "selection.hpp"
#include "server.hpp"
#include "traffic.hpp"
#include "utf8.hpp"

#include <algorithm>
#include <format>

namespace varnel {

// ---------------------------------------------------------------------------
// Module definition

void append_to_all(nb::module_ m, const char* name) {
    if (!nb::hasattr(m, "__all__")) m.attr("__all__") = nb::list();
    nb::list all = nb::borrow<nb::list>(m.attr("__all__"));
    all.append(nb::str(name));
}

namespace {

// Members in their fixed registration order; each joins at its place as it is built.
void register_members(nb::module_ m) {
    server::export_fuzzing_server(m);  // 1
    register_entry_functions(m);       // 2 run_fuzzingclient, 3 run_fuzzingserver
    // 4 PerMessageDeflateOffer, 5 PerMessageDeflateOfferAccept,
    // 6 PerMessageDeflateResponse, 7 PerMessageDeflateResponseAccept
    export_compress_classes(m);
    // 8 Behavior, 9 BehaviorClose, 10 CaseResult
    register_result_classes(m);
    register_traffic_stats(m);  // 11
    // 12 Utf8Validator
    export_utf8_validator(m);
}

bool in_main_interpreter() { return PyInterpreterState_Get() == PyInterpreterState_Main(); }

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'module'",
                     Py_TYPE(module)->tp_name);
        return -1;
    }
    // The engine's process-wide state (runtime, exit hook, type objects) belongs
    // to one interpreter: a subinterpreter sharing the process would hang or
    // crash it, so the module is refused there.
    if (!in_main_interpreter()) {
        PyErr_SetString(PyExc_ImportError, "module varnel._varnel does not support loading in subinterpreters");
        return -1;
    }
    nb::detail::nb_module_exec(NB_DOMAIN_STR, module);
    // Process-wide objects (verdicts, the names table) live until exit by design.
    nb::set_leak_warnings(false);
    try {
        nb::module_ m = nb::borrow<nb::module_>(module);
        if (!nb::hasattr(m, "__all__")) m.attr("__all__") = nb::list();
        register_members(m);
        install_exit_hook();
        return 0;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

// Gives back the nanobind reference that the exec step took, if it took one. A
// module object can be made and dropped without its exec step having run
// (importlib.util.module_from_spec): the interpreter sets a module's state, even
// of size 0, just before the exec step, so a module without one was never
// executed. The exec step refuses a subinterpreter before it takes the reference.
void module_free(void* module) {
    if (PyModule_GetState(static_cast<PyObject*>(module)) != nullptr && in_main_interpreter())
        nb::detail::nb_module_free(module);
}

PyModuleDef make_module_def() {
    PyModuleDef def{};
    def.m_base = PyModuleDef_HEAD_INIT;
    def.m_name = "_varnel";
    def.m_doc = "";
    def.m_size = 0;
    def.m_methods = nullptr;
    def.m_slots = module_slots;
    def.m_free = &module_free;
    return def;
}

PyModuleDef module_def = make_module_def();

}  // namespace

// ---------------------------------------------------------------------------
// Entry functions

namespace {

// None, or a sequence of str (a str itself is refused) as a list of texts.
PyResult<std::optional<CaseIds>> arg_case_list(nb::handle value, const char* name) {
    if (!value.is_valid() || value.is_none()) return std::nullopt;
    bool sequence = !PyUnicode_Check(value.ptr()) && PySequence_Check(value.ptr());
    if (!sequence && !PyUnicode_Check(value.ptr())) {
        nb::object abc = nb::module_::import_("collections.abc").attr("Sequence");
        int is = PyObject_IsInstance(value.ptr(), abc.ptr());
        if (is < 0) return std::unexpected(nb::python_error());
        sequence = is == 1;
    }
    if (!sequence) return std::unexpected(argument_type_error(name, value, "Sequence[str]"));
    CaseIds out;
    nb::object iter = nb::steal(PyObject_GetIter(value.ptr()));
    if (!iter.is_valid()) return std::unexpected(nb::python_error());
    while (PyObject* raw = PyIter_Next(iter.ptr())) {
        nb::object item = nb::steal(raw);
        if (!PyUnicode_Check(item.ptr())) return std::unexpected(argument_type_error(name, item, "str"));
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
        if (text == nullptr) return std::unexpected(nb::python_error());
        out.emplace_back(text, std::size_t(size));
    }
    if (PyErr_Occurred()) return std::unexpected(nb::python_error());
    return out;
}

PyResult<std::string> arg_text(nb::handle value, const char* name) {
    if (!PyUnicode_Check(value.ptr())) return std::unexpected(argument_type_error(name, value, "str"));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (text == nullptr) return std::unexpected(nb::python_error());
    return std::string(text, std::size_t(size));
}

#define VARNEL_TRY(var, expr)                                         \
    auto var##_r = (expr);                                           \
    if (!var##_r) co_return std::unexpected(std::move(var##_r.error())); \
    auto var = std::move(*var##_r)

Operation client_run(PyRef url_arg, PyRef cases_arg, PyRef exclude_arg, PyRef concurrency_arg) {
    VARNEL_TRY(url_text, arg_text(url_arg.handle(), "url"));
    VARNEL_TRY(cases, arg_case_list(cases_arg.handle(), "cases"));
    VARNEL_TRY(exclude, arg_case_list(exclude_arg.handle(), "exclude_cases"));
    std::uint64_t concurrency = 1;
    if (concurrency_arg) {
        VARNEL_TRY(given, arg_unsigned(concurrency_arg.handle(), "concurrency", UINT64_MAX));
        concurrency = given;
    }
    Constants constants = Constants::get();
    VARNEL_TRY(selection, resolve_cases(cases, exclude, constants));
    auto url = client::parse_ws_url(url_text);
    if (!url) co_return std::unexpected(make_py_error(PyExc_ValueError, url.error()));
    auto permits = std::make_shared<Semaphore>(std::size_t(std::max<std::uint64_t>(concurrency, 1)));
    SharedResults results = make_results();
    VARNEL_TRY(rt, get_runtime());

    auto shared_url = std::make_shared<const client::WsUrl>(std::move(*url));
    std::vector<JoinHandle<PyResult<void>>> tasks;
    tasks.reserve(selection.size());
    for (std::size_t i = 0; i < selection.size(); ++i)
        tasks.push_back(spawn(rt->executor(), "case " + selection[i]->id,
                              client::case_task(permits, shared_url, selection[i], i, constants, results)));
    for (auto& task : tasks) {
        JoinOutcome<PyResult<void>> outcome = co_await task.join();
        if (!outcome) co_return std::unexpected(make_py_error(PyExc_RuntimeError, outcome.error()));
        if (!*outcome) co_return std::unexpected(std::move(outcome->error()));
    }
    if (auto judged = results->finalize(); !judged) co_return std::unexpected(std::move(judged.error()));
    VARNEL_TRY(list, results->to_list());
    co_return list.object();
}

#undef VARNEL_TRY

PyRef optional_ref(nb::handle h) { return h.is_valid() ? PyRef::borrow(h) : PyRef(); }

PyObject* run_fuzzingclient(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        Py_ssize_t npos = PyVectorcall_NARGS(nargs);
        nb::object given = nb::steal(PyTuple_New(npos));
        if (!given.is_valid()) throw nb::python_error();
        for (Py_ssize_t i = 0; i < npos; ++i) PyTuple_SET_ITEM(given.ptr(), i, Py_NewRef(args[i]));
        nb::kwargs kw;
        Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) kw[PyTuple_GET_ITEM(kwnames, i)] = nb::handle(args[npos + i]);
        auto bound = take(bind_arguments<4>("run_fuzzingclient", {"url", "cases", "exclude_cases", "concurrency"},
                                            1, nb::borrow<nb::args>(given), kw));
        return make_coroutine(client_run(PyRef::borrow(bound[0]), optional_ref(bound[1]), optional_ref(bound[2]),
                                         optional_ref(bound[3])),
                              "run_fuzzingclient", "run_fuzzingclient")
            .release()
            .ptr();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

nb::object fuzzingserver(nb::handle cases_arg, nb::handle exclude_arg, nb::handle host_arg, nb::handle port_arg) {
    auto cases = take(arg_case_list(cases_arg, "cases"));
    auto exclude = take(arg_case_list(exclude_arg, "exclude_cases"));
    std::string host = "127.0.0.1";
    if (host_arg.is_valid() && !host_arg.is_none()) host = take(arg_text(host_arg, "host"));
    std::uint16_t port = 9001;
    if (port_arg.is_valid()) port = std::uint16_t(take(arg_unsigned(port_arg, "port", 65535)));
    Constants constants = Constants::get();
    auto selection = take(resolve_cases(cases, exclude, constants));
    return server::make_server(std::move(host), port, std::move(selection), std::move(constants));
}

PyObject* run_fuzzingserver(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        Py_ssize_t npos = PyVectorcall_NARGS(nargs);
        if (npos > 2) {
            PyErr_Format(PyExc_TypeError, "run_fuzzingserver() takes at most 2 positional arguments (%zd given)",
                         npos);
            return nullptr;
        }
        static constexpr std::array<const char*, 4> names = {"cases", "exclude_cases", "host", "port"};
        std::array<nb::handle, 4> bound{};
        for (Py_ssize_t i = 0; i < npos; ++i) bound[std::size_t(i)] = args[i];
        Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, i);
            std::size_t k = 0;
            while (k < names.size() && !PyUnicode_EqualToUTF8(key, names[k])) ++k;
            if (k == names.size()) {
                PyErr_Format(PyExc_TypeError, "run_fuzzingserver() got an unexpected keyword argument '%U'", key);
                return nullptr;
            }
            if (bound[k].is_valid()) {
                PyErr_Format(PyExc_TypeError, "run_fuzzingserver() got multiple values for argument '%s'",
                             names[k]);
                return nullptr;
            }
            bound[k] = args[npos + i];
        }
        return fuzzingserver(bound[0], bound[1], bound[2], bound[3]).release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

constexpr const char* client_doc =
    "run_fuzzingclient(url, cases=None, exclude_cases=None, concurrency=1)\n--\n\n"
    "Run the WebSocket conformance test cases against a WebSocket server.\n"
    "\n"
    "Args:\n"
    "    url: The server under test, e.g. `ws://127.0.0.1:9001`; `ws://` is\n"
    "        assumed when no scheme is given.\n"
    "    cases: Case ids or `*` globs to run, e.g. `[\"1.*\", \"9.7.1\"]`. The whole\n"
    "        suite runs when omitted.\n"
    "    exclude_cases: Case ids or `*` globs to remove from the selection.\n"
    "    concurrency: How many cases may run at the same time.\n"
    "\n"
    "Returns:\n"
    "    The result of each case, in case order.\n"
    "\n"
    "Raises:\n"
    "    FailureError: If any case did not pass. Its `results` attribute holds\n"
    "        the same results that would otherwise be returned.";

constexpr const char* server_doc =
    "run_fuzzingserver(cases=None, exclude_cases=None, *, host=None, port=9001)\n--\n\n"
    "Serve the WebSocket conformance test cases to a WebSocket client under test.\n"
    "\n"
    "Returns a server to use as an async context manager: entering it starts\n"
    "accepting connections, `address` and `port` give the endpoint to point the\n"
    "client at, and `get_result()` yields the outcome once the client has run\n"
    "every case.\n"
    "\n"
    "Example:\n"
    "    async with run_fuzzingserver(port=9001) as server:\n"
    "        results = await server.get_result()\n"
    "\n"
    "Args:\n"
    "    cases: Case ids or `*` globs to serve, e.g. `[\"1.*\", \"9.7.1\"]`. The whole\n"
    "        suite is served when omitted.\n"
    "    exclude_cases: Case ids or `*` globs to remove from the selection.\n"
    "    host: Address to bind. Defaults to `127.0.0.1`.\n"
    "    port: Port to bind. Pass `0` for an ephemeral port and read the chosen\n"
    "        one back from `port`.\n"
    "\n"
    "Returns:\n"
    "    A `FuzzingServer` to use as an `async with` context manager.";

PyMethodDef client_def = {"run_fuzzingclient", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&run_fuzzingclient)),
                          METH_FASTCALL | METH_KEYWORDS, client_doc};
PyMethodDef server_def = {"run_fuzzingserver", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&run_fuzzingserver)),
                          METH_FASTCALL | METH_KEYWORDS, server_doc};

void add_function(nb::module_ m, PyMethodDef* def) {
    nb::object fn = nb::steal(PyCFunction_NewEx(def, m.ptr(), nb::str(PyModule_GetName(m.ptr())).ptr()));
    if (!fn.is_valid()) throw nb::python_error();
    export_member(m, def->ml_name, fn);
}

}  // namespace

void register_entry_functions(nb::module_ m) {
    add_function(m, &client_def);
    add_function(m, &server_def);
}

}  // namespace varnel

PyMODINIT_FUNC PyInit__varnel(void) {
    return PyModuleDef_Init(&varnel::module_def);
}
