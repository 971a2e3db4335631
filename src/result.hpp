// Case results: the two verdict classes, the CaseResult record, error results,
// the results list a run's tasks share, and the end-of-run judgement.
#pragma once

#include "asyncrt.hpp"
#include "pyglue.hpp"

#include <asio/awaitable.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// The text in double quotes with backslash escapes: \" \\ \n \r \t \0, and
// \u{hex} for other non-printable characters. Invalid UTF-8 octets are shown as
// \x{hex}. Used in error texts and reprs.
std::string quote_text(std::string_view utf8);

// Verdict for a case's message exchange. A value type; the Python class of the
// same name wraps it, with one shared Python object per value.
class Behavior {
public:
    enum Value : std::uint8_t { Ok, NonStrict, Failed, Unimplemented, Informational, Error };
    static constexpr int count = 6;

    constexpr Behavior(Value v = Ok) noexcept : value_(v) {}
    constexpr Value value() const noexcept { return value_; }
    friend constexpr bool operator==(Behavior, Behavior) noexcept = default;

    // "OK", "NON-STRICT", ...; "Behavior.OK", ...
    std::string_view label() const noexcept;
    std::string_view repr() const noexcept;
    // OK, NON-STRICT and INFORMATIONAL pass.
    bool acceptable() const noexcept;

    // Exact, case-sensitive match of one of the six labels.
    static std::optional<Behavior> parse(std::string_view label) noexcept;
    // As parse; else ValueError "unexpected behavior " + the quoted label. Attached.
    static PyResult<Behavior> from_label(std::string_view label);

    // A new reference to the shared Python object of this value. Attached; the
    // class must be registered (module import or register_result_classes).
    PyResult<PyRef> to_python() const;

private:
    Value value_;
};

// Verdict for a case's closing handshake; same shape as Behavior.
class BehaviorClose {
public:
    enum Value : std::uint8_t { Ok, Failed, WrongCode, Unclean, FailedByClient, Informational };
    static constexpr int count = 6;

    constexpr BehaviorClose(Value v = Ok) noexcept : value_(v) {}
    constexpr Value value() const noexcept { return value_; }
    friend constexpr bool operator==(BehaviorClose, BehaviorClose) noexcept = default;

    std::string_view label() const noexcept;
    std::string_view repr() const noexcept;
    // OK and INFORMATIONAL pass.
    bool acceptable() const noexcept;

    static std::optional<BehaviorClose> parse(std::string_view label) noexcept;
    // ValueError "unexpected behaviorClose " + the quoted label. Attached.
    static PyResult<BehaviorClose> from_label(std::string_view label);

    PyResult<PyRef> to_python() const;

private:
    Value value_;
};

// The one passing rule, shared by CaseResult.passed and the end of a run.
inline bool case_passed(Behavior b, BehaviorClose c) noexcept {
    return b.acceptable() && c.acceptable();
}

// The record of one case run, in attribute order. Every field except the two
// verdicts holds a Python object (never null once built); the builder fills
// them attached, then calls into_python(). Immutable once it is a Python object.
struct CaseResult {
    PyRef case_id;                             // str
    PyRef case_index;                          // int
    PyRef description;                         // str
    PyRef expectation;                         // str
    PyRef agent;                               // str
    PyRef started;                             // str
    PyRef duration;                            // int
    PyRef report_time;                         // bool
    PyRef report_compression_ratio;            // bool
    Behavior behavior;
    BehaviorClose behavior_close;
    PyRef expected;                            // any object
    PyRef expected_close;                      // any object
    PyRef received;                            // any object
    PyRef result;                              // str
    PyRef result_close;                        // str
    PyRef wirelog;                             // list
    PyRef create_wirelog;                      // bool
    PyRef closed_by_me;                        // bool
    PyRef failed_by_me;                        // bool
    PyRef dropped_by_me;                       // bool
    PyRef was_clean;                           // bool
    PyRef was_not_clean_reason;                // str or None
    PyRef was_server_connection_drop_timeout;  // bool
    PyRef was_open_handshake_timeout;          // bool
    PyRef was_close_handshake_timeout;         // bool
    PyRef local_close_code;                    // int or None
    PyRef local_close_reason;                  // str or None
    PyRef remote_close_code;                   // int or None
    PyRef remote_close_reason;                 // str or None
    PyRef is_server;                           // bool
    PyRef create_stats;                        // bool
    PyRef rx_octet_stats;                      // dict
    PyRef rx_frame_stats;                      // dict
    PyRef tx_octet_stats;                      // dict
    PyRef tx_frame_stats;                      // dict
    PyRef http_request;                        // str
    PyRef http_response;                       // str
    PyRef traffic_stats;                       // TrafficStats or None

    bool passed() const noexcept { return case_passed(behavior, behavior_close); }

    // The result of a case that could not be run to a verdict: behavior ERROR,
    // close verdict FAILED, `result` the str() of the exception (whose own
    // failure is returned instead). Attached.
    static PyResult<CaseResult> errored(std::string_view case_id, std::uint64_t case_index,
                                        std::string_view agent, const nb::python_error& exc);

    // Moves the record into a new Python CaseResult object. Attached; the class
    // must be registered.
    PyResult<PyRef> into_python() &&;
};

// The record inside a Python CaseResult object, or nullptr if it is not one.
const CaseResult* case_result_of(nb::handle object) noexcept;

// A run's results: Python CaseResult objects in the order they were recorded,
// behind the results mutex. Shared by the run and all its tasks.
class ResultsList {
public:
    // Appends one CaseResult object. Any thread; an attached caller waits for
    // the mutex detached.
    void push(PyRef result);
    // Sorts by case index and judges the run (finalize_results). Attached.
    PyResult<void> finalize();
    // A new Python list of the results in their present order. Attached.
    PyResult<PyRef> to_list() const;
    // Sorts by case index, without judging the run, and returns a new Python
    // list of the results. Attached.
    PyResult<PyRef> to_sorted_list();
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    std::vector<PyRef> results_;
};
using SharedResults = std::shared_ptr<ResultsList>;

inline SharedResults make_results() { return std::make_shared<ResultsList>(); }

// Sorts `results` stably by case index in place; then, when any case failed,
// returns varnel.FailureError(summary, list of all results). Attached.
PyResult<void> finalize_results(std::vector<PyRef>& results);

// Builds the error result of a case in a blocking job and appends it to
// `results`. The exception is released inside the job. Runs on the runtime.
asio::awaitable<PyResult<void>> record_error(std::string case_id, std::uint64_t case_index,
                                             std::string agent, nb::python_error exc,
                                             SharedResults results);

// Registers Behavior, BehaviorClose and CaseResult, in this order, and makes the
// twelve shared verdict objects.
void register_result_classes(nb::module_ m);

}  // namespace varnel
