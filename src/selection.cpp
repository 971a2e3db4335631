#include "selection.hpp"

#include "result.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <charconv>
#include <format>
#include <unordered_set>

namespace varnel {

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
                std::format("invalid case pattern {}: {}", quote_text(pattern), re.error()));
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
