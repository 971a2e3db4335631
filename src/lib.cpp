#include "lib.hpp"

#include "compress.hpp"
#include "result.hpp"
#include "traffic.hpp"
#include "utf8.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <charconv>
#include <format>
#include <unordered_set>

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
    // 1 FuzzingServer, 2 run_fuzzingclient, 3 run_fuzzingserver
    // 4 PerMessageDeflateOffer, 5 PerMessageDeflateOfferAccept,
    // 6 PerMessageDeflateResponse, 7 PerMessageDeflateResponseAccept
    export_compress_classes(m);
    // 8 Behavior, 9 BehaviorClose, 10 CaseResult
    register_result_classes(m);
    register_traffic_stats(m);  // 11
    // 12 Utf8Validator
    export_utf8_validator(m);
}

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'module'",
                     Py_TYPE(module)->tp_name);
        return -1;
    }
    nb::detail::nb_module_exec(NB_DOMAIN_STR, module);
    // Process-wide objects (verdicts, the names table) live until exit by design.
    nb::set_leak_warnings(false);
    try {
        nb::module_ m = nb::borrow<nb::module_>(module);
        if (!nb::hasattr(m, "__all__")) m.attr("__all__") = nb::list();
        register_members(m);
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

PyModuleDef make_module_def() {
    PyModuleDef def = {PyModuleDef_HEAD_INIT};
    def.m_name = "_varnel";
    def.m_doc = "";
    def.m_size = 0;
    def.m_methods = nullptr;
    def.m_slots = module_slots;
    def.m_free = nb::detail::nb_module_free;  // balances nanobind's per-module reference
    return def;
}

PyModuleDef module_def = make_module_def();

}  // namespace

// ---------------------------------------------------------------------------
// Case selection

// Quoted for error texts: in double quotes, with escapes for quotes, backslashes
// and control characters.
std::string debug_quote(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) out += std::format("\\u{{{:x}}}", c);
                else out += char(c);
        }
    }
    return out + "\"";
}

namespace {

std::string glob_to_regex(std::string_view glob) {
    std::string re = "^";
    for (char c : glob) {
        if (c == '.') re += "\\.";
        else if (c == '*') re += ".*";
        else re += c;
    }
    return re;
}

// One part of an id as a number: optional "+", then decimal digits fitting in
// 32 bits; anything else counts as 0.
std::uint32_t part_value(std::string_view part) {
    if (part.starts_with('+')) part.remove_prefix(1);
    if (part.empty()) return 0;
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (ec != std::errc() || end != part.data() + part.size()) return 0;
    return value;
}

std::vector<std::uint32_t> sort_key(std::string_view id) {
    std::vector<std::uint32_t> key;
    std::size_t start = 0;
    while (true) {
        std::size_t dot = id.find('.', start);
        key.push_back(part_value(id.substr(start, dot - start)));
        if (dot == std::string_view::npos) return key;
        start = dot + 1;
    }
}

}  // namespace

std::expected<CaseIds, std::string> expand_patterns(const CaseIds& patterns, const CaseIds& ids,
                                                    bool strict) {
    CaseIds out;
    for (const std::string& pattern : patterns) {
        if (pattern.find('*') == std::string::npos) {
            if (std::ranges::find(ids, pattern) != ids.end()) out.push_back(pattern);
            else if (strict) return std::unexpected("no such case: " + pattern);
            continue;
        }
        RE2::Options options;
        options.set_log_errors(false);
        RE2 re(glob_to_regex(pattern), options);
        if (!re.ok())
            return std::unexpected(
                std::format("invalid case pattern {}: {}", debug_quote(pattern), re.error()));
        std::size_t before = out.size();
        for (const std::string& id : ids)
            if (RE2::PartialMatch(id, re)) out.push_back(id);
        if (strict && out.size() == before)
            return std::unexpected("no cases match pattern: " + pattern);
    }
    return out;
}

void sort_ids(CaseIds& ids) {
    std::ranges::stable_sort(ids, [](const std::string& a, const std::string& b) {
        return sort_key(a) < sort_key(b);
    });
}

namespace {

nb::python_error type_error_not_instance(nb::handle obj, const char* expected) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                 Py_TYPE(obj.ptr())->tp_name, expected);
    return nb::python_error();
}

std::expected<CaseIds, nb::python_error> index_ids(nb::handle index) {
    nb::object keys = nb::steal(PyDict_Keys(index.ptr()));
    if (!keys.is_valid()) return std::unexpected(nb::python_error());
    CaseIds ids;
    ids.reserve(std::size_t(PyList_GET_SIZE(keys.ptr())));
    for (nb::handle key : nb::borrow<nb::list>(keys)) {
        if (!PyUnicode_Check(key.ptr())) return std::unexpected(type_error_not_instance(key, "str"));
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
        if (text == nullptr) return std::unexpected(nb::python_error());
        ids.emplace_back(text, std::size_t(size));
    }
    return ids;
}

}  // namespace

std::expected<std::vector<Case>, nb::python_error> resolve_cases(
    const std::optional<CaseIds>& cases, const std::optional<CaseIds>& exclude_cases,
    const Constants& constants) {
    nb::object package = nb::steal(PyImport_Import(constants->cases_module));
    if (!package.is_valid()) return std::unexpected(nb::python_error());
    nb::object index = nb::steal(PyObject_GetAttr(package.ptr(), constants->cases_attr));
    if (!index.is_valid()) return std::unexpected(nb::python_error());
    if (!PyDict_Check(index.ptr())) return std::unexpected(type_error_not_instance(index, "dict"));

    auto all_ids = index_ids(index);
    if (!all_ids) return std::unexpected(std::move(all_ids.error()));
    if (all_ids->empty())
        return std::unexpected(make_py_error(
            PyExc_ValueError, "varnel.cases index is empty \u2014 this is a bug in varnel"));

    CaseIds selection;
    if (!cases || cases->empty()) {
        selection = *all_ids;
    } else {
        auto expanded = expand_patterns(*cases, *all_ids, true);
        if (!expanded) return std::unexpected(make_py_error(PyExc_ValueError, expanded.error()));
        selection = std::move(*expanded);
    }

    if (exclude_cases && !exclude_cases->empty()) {
        auto excluded = expand_patterns(*exclude_cases, selection, false);
        if (!excluded) return std::unexpected(make_py_error(PyExc_ValueError, excluded.error()));
        std::unordered_set<std::string> drop(excluded->begin(), excluded->end());
        std::erase_if(selection, [&](const std::string& id) { return drop.contains(id); });
    }

    sort_ids(selection);
    selection.erase(std::unique(selection.begin(), selection.end()), selection.end());

    std::vector<Case> out;
    out.reserve(selection.size());
    for (std::string& id : selection) {
        nb::str key(id.data(), id.size());
        PyObject* cls = PyObject_GetItem(index.ptr(), key.ptr());
        if (cls == nullptr) return std::unexpected(nb::python_error());
        out.push_back(std::make_shared<const CaseInner>(std::move(id), PyRef::steal(cls)));
    }
    return out;
}

}  // namespace varnel

PyMODINIT_FUNC PyInit__varnel(void) {
    return PyModuleDef_Init(&varnel::module_def);
}
