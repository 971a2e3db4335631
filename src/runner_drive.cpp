// The drive loop of one case and the CaseResult it ends with.
#include "runner.hpp"

#include "traffic.hpp"
#include "wirelog.hpp"

#include <asio/as_tuple.hpp>
#include <asio/buffer.hpp>
#include <asio/cancel_at.hpp>
#include <asio/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <chrono>
#include <format>
#include <limits>

#ifdef __linux__
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif

namespace varnel::runner {

// ---------------------------------------------------------------------------
// Case result

namespace {

PyResult<PyRef> made(PyObject* o) {
    if (o == nullptr) return std::unexpected(nb::python_error());
    return PyRef::steal(o);
}

// Engine texts (agent, handshake heads) can hold octets a peer chose: a stray
// invalid one shows as U+FFFD rather than costing the case its result.
PyResult<PyRef> new_str(std::string_view s) {
    return made(PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "replace"));
}

PyRef new_bool(bool b) { return PyRef::borrow(b ? Py_True : Py_False); }

nb::python_error not_instance(nb::handle value, const char* want) {
    if (value.is_none()) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", want);
        return nb::python_error();
    }
    PyObject* qualname = PyType_GetQualName(Py_TYPE(value.ptr()));
    if (qualname == nullptr) return nb::python_error();
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname, want);
    Py_DECREF(qualname);
    return nb::python_error();
}

PyResult<PyRef> read_attr(nb::handle obj, PyObject* name) { return made(PyObject_GetAttr(obj.ptr(), name)); }

PyResult<PyRef> read_str(nb::handle obj, PyObject* name) {
    auto v = read_attr(obj, name);
    if (v && !PyUnicode_Check(v->get())) return std::unexpected(not_instance(v->handle(), "str"));
    return v;
}

PyResult<PyRef> read_bool(nb::handle obj, PyObject* name) {
    auto v = read_attr(obj, name);
    if (v && !PyBool_Check(v->get())) return std::unexpected(not_instance(v->handle(), "bool"));
    return v;
}

// The UTF-8 text of a str attribute, for the verdict labels.
template <class Verdict>
PyResult<Verdict> read_verdict(nb::handle obj, PyObject* name) {
    auto v = read_str(obj, name);
    if (!v) return std::unexpected(std::move(v.error()));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(v->get(), &size);
    if (text == nullptr) return std::unexpected(nb::python_error());
    return Verdict::from_label(std::string_view(text, std::size_t(size)));
}

PyResult<PyRef> optional_text(const std::optional<ByteVec>& octets) {
    if (!octets) return PyRef::borrow(Py_None);
    return made(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(octets->data()), Py_ssize_t(octets->size()),
                                     "replace"));
}

PyRef optional_int(const std::optional<std::uint16_t>& v) {
    return v ? PyRef::steal(PyLong_FromLong(*v)) : PyRef::borrow(Py_None);
}

template <class Map>
PyResult<PyRef> count_dict(const Map& counts) {
    auto dict = made(PyDict_New());
    if (!dict) return dict;
    for (auto [key, count] : counts) {
        auto k = made(PyLong_FromUnsignedLongLong(key));
        if (!k) return k;
        auto v = made(PyLong_FromUnsignedLongLong(count));
        if (!v) return v;
        if (PyDict_SetItem(dict->get(), k->get(), v->get()) < 0) return std::unexpected(nb::python_error());
    }
    return dict;
}

// The connection state the result shows, copied in one hold of the mutex.
struct StateSnapshot {
    std::optional<ByteVec> local_close_reason, remote_close_reason;
    WireLog wirelog;
    bool create_wirelog, closed_by_me, failed_by_me, dropped_by_me, was_clean;
    std::optional<std::string> was_not_clean_reason;
    bool drop_timeout, open_timeout, close_timeout;
    std::optional<std::uint16_t> local_close_code, remote_close_code;
    bool is_server;
    std::map<std::size_t, std::uint32_t> rx_octets, tx_octets;
    std::map<std::uint8_t, std::uint32_t> rx_frames, tx_frames;
    std::string http_request, http_response;
};

StateSnapshot snapshot(const Protocol& protocol) {
    auto g = protocol.lock_py();
    const ProtocolInner& s = *g;
    return StateSnapshot{s.local_close_reason, s.remote_close_reason, s.wirelog, s.create_wirelog,
                         s.closed_by_me, s.failed_by_me, s.dropped_by_me, s.was_clean, s.was_not_clean_reason,
                         s.was_server_connection_drop_timeout, s.was_open_handshake_timeout,
                         s.was_close_handshake_timeout, s.local_close_code, s.remote_close_code, s.is_server,
                         s.rx_octet_stats, s.tx_octet_stats, s.rx_frame_stats, s.tx_frame_stats,
                         s.http_request, s.http_response};
}

PyResult<PyRef> wirelog_list(const WireLog& log, const Constants& constants) {
    auto list = made(PyList_New(Py_ssize_t(log.size())));
    if (!list) return list;
    try {
        Py_ssize_t i = 0;
        log.for_each([&](const WireEntry& e) {
            PyList_SET_ITEM(list->get(), i++, wire_entry_to_python(e, constants).release().ptr());
        });
    } catch (nb::python_error& e) {
        return std::unexpected(std::move(e));
    }
    return list;
}

#define VARNEL_TRY(target, expr)                                   \
    do {                                                           \
        auto r_ = (expr);                                          \
        if (!r_) return std::unexpected(std::move(r_.error()));    \
        target = std::move(*r_);                                   \
    } while (0)

}  // namespace

PyResult<CaseResult> build_case_result(nb::handle case_obj, const Protocol& protocol, std::string_view case_id,
                                       std::uint64_t case_index, std::string_view agent,
                                       std::string_view started, std::int64_t duration,
                                       const Constants& c) {
    // The case's attributes are read before the state is locked: a property that
    // calls back into this Protocol would otherwise wait on the mutex for ever.
    // Only the attribute steps can fail other than by lack of memory, so their
    // order decides which exception wins, as it would under the lock.
    CaseResult r;
    VARNEL_TRY(r.behavior, read_verdict<Behavior>(case_obj, c->behavior));
    VARNEL_TRY(r.behavior_close, read_verdict<BehaviorClose>(case_obj, c->behavior_close));
    VARNEL_TRY(r.case_id, new_str(case_id));
    VARNEL_TRY(r.case_index, made(PyLong_FromUnsignedLongLong(case_index)));
    VARNEL_TRY(r.description, read_str(case_obj, c->description));
    VARNEL_TRY(r.expectation, read_str(case_obj, c->expectation));
    VARNEL_TRY(r.agent, new_str(agent));
    VARNEL_TRY(r.started, new_str(started));
    VARNEL_TRY(r.duration, made(PyLong_FromLongLong(duration)));
    VARNEL_TRY(r.report_time, read_bool(case_obj, c->report_time));
    VARNEL_TRY(r.report_compression_ratio, read_bool(case_obj, c->report_compression_ratio));
    VARNEL_TRY(r.expected, read_attr(case_obj, c->expected));
    VARNEL_TRY(r.expected_close, read_attr(case_obj, c->expected_close));
    VARNEL_TRY(r.received, read_attr(case_obj, c->received));
    VARNEL_TRY(r.result, read_str(case_obj, c->result));
    VARNEL_TRY(r.result_close, read_str(case_obj, c->result_close));
    VARNEL_TRY(r.traffic_stats, read_attr(case_obj, c->traffic_stats));
    if (!r.traffic_stats.handle().is_none() && traffic_stats_of(r.traffic_stats.handle()) == nullptr)
        return std::unexpected(not_instance(r.traffic_stats.handle(), "TrafficStats"));

    // Copied under one hold of the mutex, converted after it: making Python
    // objects may run a collection, and with it code that needs the mutex.
    const StateSnapshot s = snapshot(protocol);
    VARNEL_TRY(r.local_close_reason, optional_text(s.local_close_reason));
    VARNEL_TRY(r.remote_close_reason, optional_text(s.remote_close_reason));
    VARNEL_TRY(r.wirelog, wirelog_list(s.wirelog, c));
    r.create_wirelog = new_bool(s.create_wirelog);
    r.closed_by_me = new_bool(s.closed_by_me);
    r.failed_by_me = new_bool(s.failed_by_me);
    r.dropped_by_me = new_bool(s.dropped_by_me);
    r.was_clean = new_bool(s.was_clean);
    if (s.was_not_clean_reason) VARNEL_TRY(r.was_not_clean_reason, new_str(*s.was_not_clean_reason));
    else r.was_not_clean_reason = PyRef::borrow(Py_None);
    r.was_server_connection_drop_timeout = new_bool(s.drop_timeout);
    r.was_open_handshake_timeout = new_bool(s.open_timeout);
    r.was_close_handshake_timeout = new_bool(s.close_timeout);
    r.local_close_code = optional_int(s.local_close_code);
    r.remote_close_code = optional_int(s.remote_close_code);
    if (!r.local_close_code || !r.remote_close_code) return std::unexpected(nb::python_error());
    r.is_server = new_bool(s.is_server);
    r.create_stats = new_bool(true);
    VARNEL_TRY(r.rx_octet_stats, count_dict(s.rx_octets));
    VARNEL_TRY(r.rx_frame_stats, count_dict(s.rx_frames));
    VARNEL_TRY(r.tx_octet_stats, count_dict(s.tx_octets));
    VARNEL_TRY(r.tx_frame_stats, count_dict(s.tx_frames));
    VARNEL_TRY(r.http_request, new_str(s.http_request));
    VARNEL_TRY(r.http_response, new_str(s.http_response));
    return r;
}

// ---------------------------------------------------------------------------
// Drive loop

namespace {

using Case = std::shared_ptr<const PyRef>;

constexpr auto read_wait = std::chrono::milliseconds(50);

// RFC 3339 UTC with six fractional digits and a numeric offset.
std::string utc_stamp() {
    const auto now = std::chrono::floor<std::chrono::microseconds>(std::chrono::system_clock::now());
    return std::format("{:%FT%T}+00:00", now);
}

std::int64_t whole_millis(MonoClock::duration d) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    return std::max<std::int64_t>(0, std::min<std::int64_t>(ms, std::numeric_limits<std::int64_t>::max()));
}

// Calls each due timer in order, logging each that returns; the first that
// raises ends the batch.
PyResult<void> fire_timers(const Protocol& protocol, std::vector<Later>& due) {
    for (Later& later : due) {
        PyObject* r = call_no_args(later.func.handle());
        if (r == nullptr) return std::unexpected(nb::python_error());
        Py_DECREF(r);
        auto g = protocol.lock_py();
        g->wirelog.push_back(wire::LaterFired{later.tag});
    }
    return {};
}

enum class WriteOutcome { written, failed, stalled, killed };

// Chunks handed to one gathered write at most (the socket layer takes no more).
constexpr std::size_t max_gathered = 64;

// The unwritten part of the batch from chunk `first`, `offset` octets in.
std::vector<asio::const_buffer> unwritten(const std::vector<Bytes>& batch, std::size_t first, std::size_t offset) {
    std::vector<asio::const_buffer> out;
    for (std::size_t i = first; i < batch.size() && out.size() < max_gathered; ++i) {
        const std::size_t skip = i == first ? offset : 0;
        if (batch[i].size() > skip) out.emplace_back(batch[i].data() + skip, batch[i].size() - skip);
    }
    return out;
}

// Octets written to the socket that the peer's kernel has not acknowledged yet,
// where the system tells (Linux); none elsewhere or when asking fails.
std::optional<std::size_t> unacknowledged(asio::ip::tcp::socket& stream) {
#ifdef __linux__
    int n = 0;
    if (::ioctl(stream.native_handle(), SIOCOUTQ, &n) == 0 && n >= 0) return std::size_t(n);
#endif
    return std::nullopt;
}

// Whether the peer took octets of a blocked write since the last look: what its
// kernel acknowledged, where the system tells. The local send buffer taking
// octets proves nothing (it takes some whenever it has grown); only where
// acknowledgements cannot be counted do octets the socket took count.
class PeerProgress {
public:
    void wrote(std::size_t n) noexcept { sent_ += n; }
    bool took(asio::ip::tcp::socket& stream) {
        const std::optional<std::size_t> left = unacknowledged(stream);
        const bool took = left && unacked_ ? *left < *unacked_ + sent_ : sent_ > 0;
        unacked_ = left;
        sent_ = 0;
        return took;
    }

private:
    std::optional<std::size_t> unacked_;  // at the last look
    std::size_t sent_ = 0;                // octets written since
};

// How often a blocked write looks whether the peer took octets: a stall counts
// from the last time it did, so that must be seen soon after.
constexpr auto progress_poll = std::chrono::seconds(1);

enum class Woken { writable, readable, timed_out, failed };

// Waits until the socket can take octets, or, when `or_readable`, until the
// peer has sent something; at `deadline` gives up. Waits move no data, so the
// wait that loses is cancelled without losing anything.
asio::awaitable<Woken> wait_to_write(asio::ip::tcp::socket& stream, bool or_readable, MonoInstant deadline) {
    using tcp = asio::ip::tcp;
    if (!or_readable) {
        auto [ec] = co_await stream.async_wait(tcp::socket::wait_write,
                                               asio::cancel_at(deadline, asio::as_tuple(asio::use_awaitable)));
        if (ec == asio::error::operation_aborted) co_return Woken::timed_out;
        co_return ec ? Woken::failed : Woken::writable;
    }
    asio::steady_timer timer(stream.get_executor());
    auto [order, write_ec, read_ec] =
        co_await asio::experimental::make_parallel_group(stream.async_wait(tcp::socket::wait_write, asio::deferred),
                                                         stream.async_wait(tcp::socket::wait_read, asio::deferred))
            .async_wait(asio::experimental::wait_for_one(), asio::cancel_at(timer, deadline, asio::use_awaitable));
    const std::error_code& ec = order[0] == 0 ? write_ec : read_ec;
    if (ec == asio::error::operation_aborted) co_return Woken::timed_out;
    if (ec) co_return Woken::failed;
    co_return order[0] == 0 ? Woken::writable : Woken::readable;
}

// Writes the batch in order, as few gathered writes as the peer allows, and
// releases each chunk as soon as it is written; a failed write discards the
// rest. While the peer takes nothing, what it sends is read into `buffer` (up
// to read_ahead_limit), not dispatched: a peer that writes its echo and reads
// no more until that is taken would otherwise wait on this side for ever, and
// this side on it. A write the peer takes nothing of for write_stall_limit is a
// stall (see PeerProgress for what the peer took). A peer that reads slowly
// cannot stretch the flush past the case's kill deadline either.
asio::awaitable<WriteOutcome> flush(asio::ip::tcp::socket& stream, std::vector<Bytes>& batch,
                                    std::optional<MonoInstant> kill_deadline, ReadBuffer& buffer,
                                    const Protocol& protocol) {
    std::size_t first = 0;   // the first chunk not written completely
    std::size_t offset = 0;  // octets written from there on
    bool reading = true;     // until the peer's stream ends or the buffer is full
    std::optional<MonoInstant> stall_at;  // set while the peer takes nothing
    PeerProgress progress;
    if (!stream.non_blocking()) {
        std::error_code ec;
        stream.non_blocking(true, ec);  // writes and reads here must never block the thread
        if (ec) co_return WriteOutcome::failed;
    }
    for (;;) {
        while (first < batch.size() && batch[first].size() <= offset) {
            offset -= batch[first].size();
            batch[first] = Bytes();
            ++first;
        }
        if (first == batch.size()) co_return WriteOutcome::written;
        if (kill_deadline && MonoClock::now() >= *kill_deadline) co_return WriteOutcome::killed;

        std::error_code ec;
        const std::size_t n = stream.write_some(unwritten(batch, first, offset), ec);
        if (!ec && n > 0) {
            offset += n;  // the loop's head steps past the chunks now written
            progress.wrote(n);
            continue;
        }
        if (ec != asio::error::would_block && ec != asio::error::try_again) co_return WriteOutcome::failed;

        const MonoInstant now = MonoClock::now();
        if (progress.took(stream)) stall_at.reset();
        if (!stall_at) stall_at = now + write_stall_limit;
        const bool kill_first = kill_deadline && *kill_deadline < *stall_at;
        const MonoInstant deadline = kill_first ? *kill_deadline : *stall_at;
        if (now >= deadline) co_return kill_first ? WriteOutcome::killed : WriteOutcome::stalled;
        reading = reading && buffer.size() < read_ahead_limit;
        switch (co_await wait_to_write(stream, reading, std::min(deadline, now + progress_poll))) {
        case Woken::timed_out:
            break;  // the loop looks at the progress, then at the deadlines
        case Woken::failed:
            co_return WriteOutcome::failed;
        case Woken::readable:
            if (read_available(stream, buffer, protocol, read_ahead_limit) == ReadAhead::ended) reading = false;
            break;
        case Woken::writable:
            break;
        }
    }
}

struct TurnStart {
    std::vector<Later> due;
    std::optional<MonoInstant> kill_deadline;
    std::optional<MonoInstant> close_deadline;
};

TurnStart take_due_timers(const Protocol& protocol, MonoInstant now) {
    TurnStart t;
    auto g = protocol.lock();
    auto& laters = g->laters;
    auto keep = laters.begin();
    for (auto it = laters.begin(); it != laters.end(); ++it) {
        if (it->deadline <= now) t.due.push_back(std::move(*it));
        else if (keep != it) *keep++ = std::move(*it);
        else ++keep;
    }
    laters.erase(keep, laters.end());
    t.kill_deadline = g->kill_deadline;
    t.close_deadline = g->close_deadline;
    return t;
}

enum class Deadlines { go_on, killed, closed_both_ways };

// The peer stopped reading: the connection is dropped, and the result says why.
void mark_stalled(ProtocolInner& inner) {
    inner.dropped_by_me = true;
    inner.was_not_clean_reason =
        std::format("write timed out: the peer took no octets for {} s", write_stall_limit.count());
}

Deadlines apply_deadlines(const Protocol& protocol, const TurnStart& t, MonoInstant now) {
    auto g = protocol.lock();
    if (t.kill_deadline && now >= *t.kill_deadline) {
        mark_killed(*g);
        return Deadlines::killed;
    }
    if (t.close_deadline && now >= *t.close_deadline) {
        g->wirelog.push_back(wire::CloseFired{});
        (void)g->send_close(1000, std::nullopt);
        g->close_deadline.reset();
    }
    return g->close_sent && g->close_received ? Deadlines::closed_both_ways : Deadlines::go_on;
}

// A Python exception for an engine-side refusal, made in a job.
asio::awaitable<PyResult<void>> value_error(std::string text) {
    co_return co_await attach_blocking("error text", [text = std::move(text)]() -> PyResult<void> {
        return std::unexpected(make_py_error(PyExc_ValueError, text));
    });
}

}  // namespace

void mark_killed(ProtocolInner& inner) {
    inner.wirelog.push_back(wire::KillFired{});
    inner.failed_by_me = true;
    inner.dropped_by_me = true;
}

asio::awaitable<PyResult<void>> drive(asio::ip::tcp::socket& stream, ReadBuffer& buffer, Protocol protocol,
                                      PyRef case_ref, std::string case_id, std::string agent,
                                      std::uint64_t case_index, Constants constants, SharedResults results) {
    const MonoInstant start = MonoClock::now();
    std::string started = utc_stamp();
    const Case case_obj = std::make_shared<const PyRef>(std::move(case_ref));

    PyResult<void> opened = co_await attach_blocking("opening callback", [case_obj, constants] {
        return call_callback(case_obj->handle(), constants->on_open, {});
    });
    if (!opened) co_return opened;

    std::optional<PartialMessage> partial;
    for (;;) {
        const MonoInstant now = MonoClock::now();
        TurnStart turn = take_due_timers(protocol, now);
        if (!turn.due.empty()) {
            PyResult<void> fired = co_await attach_blocking(
                "timer callback", [protocol, due = std::move(turn.due)]() mutable {
                    return fire_timers(protocol, due);
                });
            if (!fired) co_return fired;
        }

        const Deadlines d = apply_deadlines(protocol, turn, now);
        if (d == Deadlines::killed) break;

        std::vector<Bytes> batch = std::exchange(protocol.lock()->out_queue, {});
        const WriteOutcome w = co_await flush(stream, batch, turn.kill_deadline, buffer, protocol);
        batch.clear();  // may release Python payloads: never under the mutex
        if (w == WriteOutcome::stalled) {
            mark_stalled(*protocol.lock());
            break;
        }
        if (w == WriteOutcome::killed) {
            mark_killed(*protocol.lock());
            break;
        }
        if (d == Deadlines::closed_both_ways) break;

        auto frame = co_await read_frame(stream, buffer, protocol, MonoClock::now() + read_wait);
        if (!frame) {
            if (frame.error().kind == IoError::Kind::timed_out) continue;
            if (frame.error().kind == IoError::Kind::too_large) co_return co_await value_error(frame.error().message);
            break;
        }
        using DispatchJob = std::pair<Dispatched, std::optional<PartialMessage>>;
        auto dispatched = co_await attach_blocking(
            "frame dispatch", [case_obj, protocol, constants, f = std::move(*frame),
                               p = std::move(partial)]() mutable -> PyResult<DispatchJob> {
                PyResult<Dispatched> r = dispatch(case_obj->handle(), protocol, f, p, constants);
                if (!r) return std::unexpected(std::move(r.error()));
                return DispatchJob{*r, std::move(p)};
            });
        if (!dispatched) co_return std::unexpected(std::move(dispatched.error()));
        if (dispatched->first == Dispatched::killed) break;
        partial = std::move(dispatched->second);
    }

    const std::int64_t duration = whole_millis(MonoClock::now() - start);
    const bool dropped = protocol.lock()->dropped_by_me;
    PyResult<PyRef> made_result = co_await attach_blocking(
        "closing callback and result",
        [case_obj, protocol, constants, dropped, duration, case_id = std::move(case_id), agent = std::move(agent),
         started = std::move(started), case_index]() -> PyResult<PyRef> {
            PyResult<void> lost = call_callback(case_obj->handle(), constants->on_connection_lost,
                                                {dropped ? Py_True : Py_False});
            if (!lost) return std::unexpected(std::move(lost.error()));
            PyResult<CaseResult> built = build_case_result(case_obj->handle(), protocol, case_id, case_index,
                                                           agent, started, duration, constants);
            if (!built) return std::unexpected(std::move(built.error()));
            return std::move(*built).into_python();
        });
    if (!made_result) co_return std::unexpected(std::move(made_result.error()));
    results->push(std::move(*made_result));
    co_return PyResult<void>{};
}

}  // namespace varnel::runner
