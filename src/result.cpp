#include "result.hpp"

#include "pymethods.hpp"

#include <algorithm>
#include <array>
#include <format>
#include <numeric>
#include <utility>

namespace varnel {

// ---------------------------------------------------------------------------
// Quoting

namespace {

// One code point decoded from `s` at `i`, advancing `i`; -1 for an invalid octet
// (then `i` moves past that octet only).
long decode_utf8(std::string_view s, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(s[i]);
    if (lead < 0x80) { ++i; return lead; }
    const int extra = (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2 : (lead >> 3) == 0x1E ? 3 : 0;
    if (extra == 0 || s.size() - i <= std::size_t(extra)) { ++i; return -1; }
    long cp = lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        const auto c = static_cast<unsigned char>(s[i + std::size_t(k)]);
        if ((c & 0xC0) != 0x80) { ++i; return -1; }
        cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr long smallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < smallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) { ++i; return -1; }
    i += std::size_t(extra) + 1;
    return cp;
}

bool printable(long cp) {
    if (cp < 0x80) return cp >= 0x20 && cp != 0x7F;
    return Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(cp));
}

}  // namespace

std::string quote_text(std::string_view utf8) {
    std::string out = "\"";
    out.reserve(utf8.size() + 2);
    for (std::size_t i = 0; i < utf8.size();) {
        std::size_t start = i;
        long cp = decode_utf8(utf8, i);
        switch (cp) {
            case -1: out += std::format("\\x{{{:x}}}", static_cast<unsigned char>(utf8[start])); continue;
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        if (printable(cp)) out.append(utf8.substr(start, i - start));
        else out += std::format("\\u{{{:x}}}", cp);
    }
    out += '"';
    return out;
}

// ---------------------------------------------------------------------------
// Verdicts

namespace {

constexpr std::array<std::string_view, 6> behavior_labels = {
    "OK", "NON-STRICT", "FAILED", "UNIMPLEMENTED", "INFORMATIONAL", "ERROR"};
constexpr std::array<std::string_view, 6> behavior_reprs = {
    "Behavior.OK", "Behavior.NON_STRICT", "Behavior.FAILED",
    "Behavior.UNIMPLEMENTED", "Behavior.INFORMATIONAL", "Behavior.ERROR"};
constexpr std::array<std::string_view, 6> close_labels = {
    "OK", "FAILED", "WRONG CODE", "UNCLEAN", "FAILED BY CLIENT", "INFORMATIONAL"};
constexpr std::array<std::string_view, 6> close_reprs = {
    "BehaviorClose.OK", "BehaviorClose.FAILED", "BehaviorClose.WRONG_CODE",
    "BehaviorClose.UNCLEAN", "BehaviorClose.FAILED_BY_CLIENT", "BehaviorClose.INFORMATIONAL"};

std::optional<std::size_t> find_label(const std::array<std::string_view, 6>& labels,
                                      std::string_view label) {
    auto it = std::ranges::find(labels, label);
    if (it == labels.end()) return std::nullopt;
    return std::size_t(it - labels.begin());
}

// One shared Python object per class and value, made on first request and
// never released, so verdicts compare reliably with `is`.
template <class V>
PyResult<PyRef> shared_verdict(V verdict) {
    static DetachedOnce<PyRef> cells[V::count];
    try {
        const PyRef& cell = cells[verdict.value()].get([&] {
            return PyRef::steal(nb::cast(verdict, nb::rv_policy::copy));
        });
        return cell.clone();
    } catch (nb::python_error& e) {
        return std::unexpected(std::move(e));
    } catch (const std::exception& e) {
        return std::unexpected(make_py_error(PyExc_RuntimeError, e.what()));
    }
}

}  // namespace

std::string_view Behavior::label() const noexcept { return behavior_labels[value_]; }
std::string_view Behavior::repr() const noexcept { return behavior_reprs[value_]; }
bool Behavior::acceptable() const noexcept {
    return value_ == Ok || value_ == NonStrict || value_ == Informational;
}
std::optional<Behavior> Behavior::parse(std::string_view label) noexcept {
    auto i = find_label(behavior_labels, label);
    if (!i) return std::nullopt;
    return Behavior(static_cast<Value>(*i));
}
PyResult<Behavior> Behavior::from_label(std::string_view label) {
    if (auto v = parse(label)) return *v;
    return std::unexpected(make_py_error(PyExc_ValueError, "unexpected behavior " + quote_text(label)));
}
PyResult<PyRef> Behavior::to_python() const { return shared_verdict(*this); }

std::string_view BehaviorClose::label() const noexcept { return close_labels[value_]; }
std::string_view BehaviorClose::repr() const noexcept { return close_reprs[value_]; }
bool BehaviorClose::acceptable() const noexcept { return value_ == Ok || value_ == Informational; }
std::optional<BehaviorClose> BehaviorClose::parse(std::string_view label) noexcept {
    auto i = find_label(close_labels, label);
    if (!i) return std::nullopt;
    return BehaviorClose(static_cast<Value>(*i));
}
PyResult<BehaviorClose> BehaviorClose::from_label(std::string_view label) {
    if (auto v = parse(label)) return *v;
    return std::unexpected(
        make_py_error(PyExc_ValueError, "unexpected behaviorClose " + quote_text(label)));
}
PyResult<PyRef> BehaviorClose::to_python() const { return shared_verdict(*this); }

// ---------------------------------------------------------------------------
// CaseResult

namespace {

nb::object to_object(PyResult<PyRef> r) {
    if (!r) throw std::move(r.error());
    return nb::steal(r->release());
}

}  // namespace

PyResult<CaseResult> CaseResult::errored(std::string_view case_id, std::uint64_t case_index,
                                         std::string_view agent, const nb::python_error& exc) {
    try {
        nb::str empty("");
        // Lossy: an agent text with a stray octet must not cost the case its error result.
        auto str = [](std::string_view s) {
            PyObject* o = PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "replace");
            if (o == nullptr) throw nb::python_error();
            return PyRef::steal(o);
        };
        auto shared = [](nb::handle h) { return PyRef::borrow(h); };
        CaseResult r;
        r.case_id = str(case_id);
        r.case_index = PyRef::steal(nb::int_(case_index));
        r.agent = str(agent);
        r.duration = PyRef::steal(nb::int_(0));
        PyObject* text = PyObject_Str(exc.value().ptr());
        if (text == nullptr) return std::unexpected(nb::python_error());
        r.result = PyRef::steal(text);

        r.wirelog = PyRef::steal(nb::list());
        r.rx_octet_stats = PyRef::steal(nb::dict());
        r.rx_frame_stats = PyRef::steal(nb::dict());
        r.tx_octet_stats = PyRef::steal(nb::dict());
        r.tx_frame_stats = PyRef::steal(nb::dict());

        for (PyRef* f : {&r.description, &r.expectation, &r.started, &r.result_close,
                         &r.http_request, &r.http_response})
            *f = shared(empty);
        for (PyRef* f : {&r.report_time, &r.report_compression_ratio, &r.create_wirelog,
                         &r.closed_by_me, &r.failed_by_me, &r.dropped_by_me, &r.was_clean,
                         &r.was_server_connection_drop_timeout, &r.was_open_handshake_timeout,
                         &r.was_close_handshake_timeout, &r.is_server})
            *f = shared(Py_False);
        r.create_stats = shared(Py_True);
        for (PyRef* f : {&r.expected, &r.expected_close, &r.received, &r.was_not_clean_reason,
                         &r.local_close_code, &r.local_close_reason, &r.remote_close_code,
                         &r.remote_close_reason, &r.traffic_stats})
            *f = shared(Py_None);
        r.behavior = Behavior::Error;
        r.behavior_close = BehaviorClose::Failed;
        return r;
    } catch (nb::python_error& e) {
        return std::unexpected(std::move(e));
    }
}

PyResult<PyRef> CaseResult::into_python() && {
    try {
        return PyRef::steal(nb::cast(std::move(*this), nb::rv_policy::move));
    } catch (nb::python_error& e) {
        return std::unexpected(std::move(e));
    } catch (const std::exception& e) {
        return std::unexpected(make_py_error(PyExc_RuntimeError, e.what()));
    }
}

const CaseResult* case_result_of(nb::handle object) noexcept {
    if (!nb::isinstance<CaseResult>(object)) return nullptr;
    return nb::inst_ptr<CaseResult>(object);
}

namespace {

// "CaseResult(case_id=\"9.7.1\", behavior=\"NON-STRICT\", ...)"
nb::str case_result_repr(const CaseResult& r) {
    Py_ssize_t size = 0;
    const char* id = PyUnicode_AsUTF8AndSize(r.case_id.get(), &size);
    if (id == nullptr) throw nb::python_error();
    std::string text =
        std::format("CaseResult(case_id={}, behavior={}, behavior_close={}, passed={})",
                    quote_text({id, std::size_t(size)}), quote_text(r.behavior.label()),
                    quote_text(r.behavior_close.label()), r.passed() ? "true" : "false");
    return nb::str(text.data(), text.size());
}

struct Field {
    const char* name;
    PyRef CaseResult::* member;  // null for the two verdicts
    const char* doc;
};

// Attribute order is the record's order; the verdicts sit between the others.
constexpr Field fields[] = {
    {"case_id", &CaseResult::case_id, "Case id, e.g. `\"1.1.1\"`."},
    {"case_index", &CaseResult::case_index, "1-based position of this case in the run."},
    {"description", &CaseResult::description, "The case's `DESCRIPTION` text."},
    {"expectation", &CaseResult::expectation,
     "The case's `EXPECTATION` text \u2014 what a conformant peer should do."},
    {"agent", &CaseResult::agent,
     "Name of the peer under test \u2014 from its `Server` header (client mode) or\n"
     "the `agent` it reported (server mode)."},
    {"started", &CaseResult::started, "ISO-8601 UTC timestamp of when the case started."},
    {"duration", &CaseResult::duration, "Case run time, in milliseconds."},
    {"report_time", &CaseResult::report_time,
     "Whether the report shows `duration` (set by the timing cases, 9.x/12.x)."},
    {"report_compression_ratio", &CaseResult::report_compression_ratio,
     "Whether the report shows the compression ratio (set by the 12.x cases)."},
    {"behavior", nullptr, "Verdict for the message exchange."},
    {"behavior_close", nullptr, "Verdict for the closing handshake."},
    {"expected", &CaseResult::expected,
     "Accepted event sequences, keyed by the verdict each would yield."},
    {"expected_close", &CaseResult::expected_close,
     "Expected close parameters: who closes, whether a clean close is required,\n"
     "and the acceptable close codes."},
    {"received", &CaseResult::received, "The events actually observed: messages, pings, and pongs."},
    {"result", &CaseResult::result,
     "Prose explaining `behavior`, e.g. \"Actual events match at least one\n"
     "expected.\" or \"Actual events differ from any expected.\""},
    {"result_close", &CaseResult::result_close,
     "Prose explaining `behavior_close`, e.g. \"Connection was properly closed\"\n"
     "or \"The close code should have been ...\"."},
    {"wirelog", &CaseResult::wirelog, "Ordered wire-log trace of octets, frames, and timer events."},
    {"create_wirelog", &CaseResult::create_wirelog,
     "Whether the wire log was captured (disabled for very large payloads)."},
    {"closed_by_me", &CaseResult::closed_by_me, "Whether varnel sent the close frame first."},
    {"failed_by_me", &CaseResult::failed_by_me,
     "Whether varnel failed the connection on a protocol error (by sending a\n"
     "close or dropping the TCP)."},
    {"dropped_by_me", &CaseResult::dropped_by_me, "Whether varnel dropped the TCP connection."},
    {"was_clean", &CaseResult::was_clean,
     "Whether the closing handshake completed cleanly \u2014 close sent and\n"
     "received, then the responsible side dropped the connection."},
    {"was_not_clean_reason", &CaseResult::was_not_clean_reason,
     "Why the close was not clean, when `was_clean` is false."},
    {"was_server_connection_drop_timeout", &CaseResult::was_server_connection_drop_timeout,
     "Whether varnel expected the server to drop the connection but it did not\n"
     "in time (client mode)."},
    {"was_open_handshake_timeout", &CaseResult::was_open_handshake_timeout,
     "Whether the opening handshake timed out."},
    {"was_close_handshake_timeout", &CaseResult::was_close_handshake_timeout,
     "Whether the closing handshake timed out."},
    {"local_close_code", &CaseResult::local_close_code, "The close code varnel sent, if any."},
    {"local_close_reason", &CaseResult::local_close_reason, "The close reason varnel sent, if any."},
    {"remote_close_code", &CaseResult::remote_close_code, "The close code the peer sent, if any."},
    {"remote_close_reason", &CaseResult::remote_close_reason,
     "The close reason the peer sent, if any."},
    {"is_server", &CaseResult::is_server,
     "Whether varnel acted as the server (the peer under test is the client)."},
    {"create_stats", &CaseResult::create_stats,
     "Whether octet and frame statistics were collected."},
    {"rx_octet_stats", &CaseResult::rx_octet_stats, "Count of socket reads by size."},
    {"rx_frame_stats", &CaseResult::rx_frame_stats, "Count of received frames by opcode."},
    {"tx_octet_stats", &CaseResult::tx_octet_stats, "Count of socket writes by size."},
    {"tx_frame_stats", &CaseResult::tx_frame_stats, "Count of sent frames by opcode."},
    {"http_request", &CaseResult::http_request, "The opening-handshake request, verbatim."},
    {"http_response", &CaseResult::http_response, "The opening-handshake response, verbatim."},
    {"traffic_stats", &CaseResult::traffic_stats, "Traffic and compression counters for the case."},
};
static_assert(std::size(fields) == 39);

constexpr const char* passed_doc =
    "Whether the case passed \u2014 both `behavior` and `behavior_close` are\n"
    "acceptable (`OK`, `NON-STRICT`, or `INFORMATIONAL`).";

PyObject* py_case_result_repr(PyObject* self, PyObject*) {
    return py_boundary([&] { return nb::object(case_result_repr(self_of<CaseResult>(self))); });
}

PyMethodDef case_result_methods[] = {
    {"__repr__", as_cfunction(&py_case_result_repr), METH_NOARGS, "__repr__($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Classes without a constructor still give inspect an (empty) signature, as the
// interpreter's own uninstantiable types do.
void define_case_result(nb::module_ scope) {
    nb::class_<CaseResult> cls(scope, "CaseResult", nb::is_final(),
                               "CaseResult()\n--\n\nThe result of one conformance test case.");
    for (const Field& f : fields) {
        if (f.member == nullptr) {
            if (std::string_view(f.name) == "behavior")
                cls.def_prop_ro(f.name, [](const CaseResult& r) { return to_object(r.behavior.to_python()); },
                                f.doc);
            else
                cls.def_prop_ro(f.name,
                                [](const CaseResult& r) { return to_object(r.behavior_close.to_python()); },
                                f.doc);
            continue;
        }
        // A field the builder left empty reads as None rather than crashing.
        cls.def_prop_ro(f.name, [m = f.member](const CaseResult& r) -> nb::object {
            const PyRef& v = r.*m;
            return v ? v.object() : nb::none();
        }, f.doc);
    }
    cls.def_prop_ro("passed", [](const CaseResult& r) { return r.passed(); }, passed_doc);
    add_methods(cls, case_result_methods);
}

// ---------------------------------------------------------------------------
// Verdict classes

template <class V>
struct VerdictInfo;

template <>
struct VerdictInfo<Behavior> {
    static constexpr const char* name = "Behavior";
    static constexpr const char* doc =
        "Behavior()\n--\n\nVerdict for a case's message exchange. `value` is the verdict label.";
    static constexpr const char* value_doc = "The verdict's string form, e.g. `\"NON-STRICT\"`.";
    static constexpr std::array<const char*, 6> attrs = {
        "OK", "NON_STRICT", "FAILED", "UNIMPLEMENTED", "INFORMATIONAL", "ERROR"};
};

template <>
struct VerdictInfo<BehaviorClose> {
    static constexpr const char* name = "BehaviorClose";
    static constexpr const char* doc =
        "BehaviorClose()\n--\n\nVerdict for a case's closing handshake. `value` is the verdict label.";
    static constexpr const char* value_doc = "The verdict's string form, e.g. `\"WRONG CODE\"`.";
    static constexpr std::array<const char*, 6> attrs = {
        "OK", "FAILED", "WRONG_CODE", "UNCLEAN", "FAILED_BY_CLIENT", "INFORMATIONAL"};
};

// Equal only to the same class's same value; anything else is left to identity.
template <class V>
nb::object verdict_compare(V self, nb::handle other, bool equal) {
    if (!nb::isinstance<V>(other)) return nb::borrow(Py_NotImplemented);
    bool same = self == nb::cast<V>(other);
    return nb::bool_(same == equal);
}

template <class V>
PyObject* py_verdict_int(PyObject* self, PyObject*) {
    return py_boundary([&] { return nb::object(nb::int_(int(self_of<V>(self).value()))); });
}

template <class V>
PyObject* py_verdict_repr(PyObject* self, PyObject*) {
    return py_boundary([&] {
        std::string_view repr = self_of<V>(self).repr();
        return nb::object(nb::str(repr.data(), repr.size()));
    });
}

template <class V, bool Equal>
PyObject* py_verdict_compare(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return py_boundary([&] {
        auto bound = bind_fastcall<1>(Equal ? "__eq__" : "__ne__", {"other"}, 1, args, nargsf, kwnames);
        return verdict_compare(self_of<V>(self), bound[0], Equal);
    });
}

template <class V>
PyMethodDef verdict_methods[] = {
    {"__int__", as_cfunction(&py_verdict_int<V>), METH_NOARGS, "__int__($self, /)\n--\n\n"},
    {"__repr__", as_cfunction(&py_verdict_repr<V>), METH_NOARGS, "__repr__($self, /)\n--\n\n"},
    {"__eq__", as_cfunction(&py_verdict_compare<V, true>), METH_FASTCALL | METH_KEYWORDS,
     "__eq__($self, /, other)\n--\n\n"},
    {"__ne__", as_cfunction(&py_verdict_compare<V, false>), METH_FASTCALL | METH_KEYWORDS,
     "__ne__($self, /, other)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

template <class V>
void define_verdict(nb::module_ scope) {
    using Info = VerdictInfo<V>;
    nb::class_<V> cls(scope, Info::name, nb::is_final(), Info::doc);
    cls.def_prop_ro("value", [](V v) { return nb::str(v.label().data(), v.label().size()); },
                    Info::value_doc);
    add_methods(cls, verdict_methods<V>);
    // Equality without a hash: verdicts are unhashable.
    cls.attr("__hash__") = nb::none();
    for (int i = 0; i < V::count; ++i)
        cls.attr(Info::attrs[std::size_t(i)]) =
            to_object(V(static_cast<typename V::Value>(i)).to_python());
}

}  // namespace

void register_result_classes(nb::module_ m) {
    export_class<Behavior>(m, "Behavior", &define_verdict<Behavior>);
    export_class<BehaviorClose>(m, "BehaviorClose", &define_verdict<BehaviorClose>);
    export_class<CaseResult>(m, "CaseResult", &define_case_result);
}

// ---------------------------------------------------------------------------
// Results list and the end of a run

namespace {

std::unique_lock<std::mutex> lock_detached(std::mutex& mutex) {
    std::unique_lock lock(mutex, std::defer_lock);
    if (py_attached()) {
        nb::gil_scoped_release detached;
        lock.lock();
    } else {
        lock.lock();
    }
    return lock;
}

nb::python_error fatal(std::string_view text) { return make_py_error(PyExc_RuntimeError, text); }

PyResult<std::string_view> utf8_of(const PyRef& text) {
    Py_ssize_t size = 0;
    const char* data = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (data == nullptr) {
        if (!PyErr_Occurred()) return std::unexpected(fatal("result text missing"));
        return std::unexpected(nb::python_error());
    }
    return std::string_view(data, std::size_t(size));
}

// Stable sort by case index; a result without a readable index breaks an invariant.
PyResult<void> sort_by_case_index(std::vector<PyRef>& results) {
    std::vector<std::pair<std::size_t, std::size_t>> keys;  // (case index, position)
    keys.reserve(results.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
        const CaseResult* r = case_result_of(results[i].handle());
        if (r == nullptr || !r->case_index) return std::unexpected(fatal("case_index is a usize"));
        std::size_t key = PyLong_AsSize_t(r->case_index.get());
        if (key == std::size_t(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return std::unexpected(fatal("case_index is a usize"));
        }
        keys.emplace_back(key, i);
    }
    std::ranges::stable_sort(keys, {}, &std::pair<std::size_t, std::size_t>::first);
    std::vector<PyRef> sorted;
    sorted.reserve(results.size());
    for (auto [key, i] : keys) sorted.push_back(std::move(results[i]));
    results = std::move(sorted);
    return {};
}

// varnel.FailureError, looked up once per process on the first failed run.
PyResult<nb::handle> failure_error_class() {
    static DetachedOnce<PyRef> cell;
    try {
        return cell.get([] {
            nb::object cls;
            try {
                cls = nb::module_::import_("varnel").attr("FailureError");
            } catch (nb::python_error& e) {
                throw fatal(std::string("failed to import exception varnel.FailureError: ") + e.what());
            }
            if (!PyType_Check(cls.ptr()))
                throw fatal(std::format("failed to import exception varnel.FailureError: '{}' object "
                                        "is not an instance of 'type'",
                                        Py_TYPE(cls.ptr())->tp_name));
            return PyRef::steal(std::move(cls));
        }).handle();
    } catch (nb::python_error& e) {
        return std::unexpected(std::move(e));
    }
}

PyResult<void> raise_failure(std::string summary, const std::vector<PyRef>& results) {
    auto cls = failure_error_class();
    if (!cls) return std::unexpected(std::move(cls.error()));
    nb::list list;
    for (const PyRef& r : results) list.append(r.handle());
    nb::str text(summary.data(), summary.size());
    PyObject* exc = PyObject_CallFunctionObjArgs(cls->ptr(), text.ptr(), list.ptr(), nullptr);
    if (exc == nullptr) return std::unexpected(nb::python_error());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
    return std::unexpected(nb::python_error());
}

}  // namespace

PyResult<void> finalize_results(std::vector<PyRef>& results) {
    if (auto sorted = sort_by_case_index(results); !sorted) return sorted;
    std::string lines;
    std::size_t failed = 0;
    for (const PyRef& ref : results) {
        const CaseResult& r = *case_result_of(ref.handle());  // checked by the sort
        if (r.passed()) continue;
        auto id = utf8_of(r.case_id);
        if (!id) return std::unexpected(std::move(id.error()));
        auto prose = utf8_of(r.result);
        if (!prose) return std::unexpected(std::move(prose.error()));
        if (failed++ > 0) lines += '\n';
        lines += std::format("  {}: behavior={}, behaviorClose={} \u2014 {}", *id, r.behavior.label(),
                             r.behavior_close.label(), *prose);
    }
    if (failed == 0) return {};
    return raise_failure(std::format("{} of {} cases failed:\n{}", failed, results.size(), lines),
                         results);
}

void ResultsList::push(PyRef result) {
    auto lock = lock_detached(mutex_);
    results_.push_back(std::move(result));
}

PyResult<void> ResultsList::finalize() {
    auto lock = lock_detached(mutex_);
    return finalize_results(results_);
}

namespace {

PyResult<PyRef> new_list_of(const std::vector<PyRef>& results) {
    PyObject* list = PyList_New(Py_ssize_t(results.size()));
    if (list == nullptr) return std::unexpected(nb::python_error());
    for (std::size_t i = 0; i < results.size(); ++i)
        PyList_SET_ITEM(list, Py_ssize_t(i), results[i].clone().release());
    return PyRef::steal(list);
}

}  // namespace

PyResult<PyRef> ResultsList::to_list() const {
    auto lock = lock_detached(mutex_);
    return new_list_of(results_);
}

PyResult<PyRef> ResultsList::to_sorted_list() {
    auto lock = lock_detached(mutex_);
    if (auto sorted = sort_by_case_index(results_); !sorted) return std::unexpected(std::move(sorted.error()));
    return new_list_of(results_);
}

std::size_t ResultsList::size() const {
    auto lock = lock_detached(mutex_);
    return results_.size();
}

asio::awaitable<PyResult<void>> record_error(std::string case_id, std::uint64_t case_index,
                                             std::string agent, nb::python_error exc,
                                             SharedResults results) {
    PyResult<PyRef> made = co_await attach_blocking(
        "error result", [case_id = std::move(case_id), case_index, agent = std::move(agent),
                         exc = std::move(exc)]() -> PyResult<PyRef> {
            auto r = CaseResult::errored(case_id, case_index, agent, exc);
            if (!r) return std::unexpected(std::move(r.error()));
            return std::move(*r).into_python();
        });
    if (!made) co_return std::unexpected(std::move(made.error()));
    results->push(std::move(*made));
    co_return PyResult<void>{};
}

}  // namespace varnel
