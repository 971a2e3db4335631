// Test-only module: makes Protocol objects the way the endpoints do and shows
// what they queued and logged.
#include "constants.hpp"
#include "protocol.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <stdexcept>

namespace nb = nanobind;
using namespace varnel;

namespace {

// The connection state behind a Python Protocol object.
Protocol handle_of(nb::handle p) { return nb::cast<Protocol>(p); }

}  // namespace

NB_MODULE(_testing_protocol, m) {
    m.attr("traffic_log_limit") = traffic_log_limit;
    m.def("new_protocol", [](bool is_server) {
        auto p = Protocol::create(is_server);
        if (!p) throw std::move(p.error());
        return p->to_python();
    });
    // The queued chunks as bytes, oldest first; `take` empties the queue.
    m.def("queued", [](nb::handle p, bool take) {
        std::vector<Bytes> chunks;
        {
            auto g = handle_of(p).lock_py();
            chunks = take ? std::exchange(g->out_queue, {}) : g->out_queue;
        }
        nb::list out;
        for (const Bytes& c : chunks) out.append(nb::bytes(c.data(), c.size()));
        return out;
    }, nb::arg("p"), nb::arg("take") = false);
    // Whether every queued chunk shares one buffer (chopped frames must).
    m.def("chunks_share_buffer", [](nb::handle p) {
        auto g = handle_of(p).lock_py();
        for (const Bytes& c : g->out_queue)
            if (!c.shares_buffer_with(g->out_queue.front())) return false;
        return true;
    });
    m.def("wirelog", [](nb::handle p) {
        std::vector<WireEntry> entries = handle_of(p).lock_py()->wirelog.entries();
        Constants c = Constants::get();
        nb::list out;
        for (const WireEntry& e : entries) out.append(wire_entry_to_python(e, c));
        return out;
    });
    m.def("tx_octet_stats", [](nb::handle p) {
        auto stats = handle_of(p).lock_py()->tx_octet_stats;
        nb::dict d;
        for (auto [size, count] : stats) d[nb::int_(size)] = nb::int_(count);
        return d;
    });
    m.def("state", [](nb::handle p) {
        auto g = handle_of(p).lock_py();
        nb::dict d;
        d["close_sent"] = g->close_sent;
        d["closed_by_me"] = g->closed_by_me;
        d["local_close_code"] = g->local_close_code;
        d["message_opcode"] = g->message_opcode;
        d["frame_pos"] = g->frame_pos;
        return d;
    });
    m.def("set_close_received", [](nb::handle p) { handle_of(p).lock_py()->close_received = true; });
    // Pending timers as (tag, func, nanoseconds from the clock's epoch).
    m.def("laters", [](nb::handle p) {
        nb::list out;
        auto g = handle_of(p).lock_py();
        for (const Later& l : g->laters)
            out.append(nb::make_tuple(l.tag, l.func.object(), l.deadline.time_since_epoch().count()));
        return out;
    });
    m.def("deadlines", [](nb::handle p) {
        auto g = handle_of(p).lock_py();
        auto ns = [](const std::optional<MonoInstant>& d) -> std::optional<std::int64_t> {
            if (!d) return std::nullopt;
            return d->time_since_epoch().count();
        };
        return nb::make_tuple(ns(g->close_deadline), ns(g->kill_deadline));
    });
    m.def("monotonic_ns", [] { return MonoClock::now().time_since_epoch().count(); });
    // Compression as negotiated with no parameters: 15-bit windows, context takeover.
    m.def("install_deflate", [](nb::handle p) {
        handle_of(p).lock_py()->deflate.emplace(false, 0, false, 0);
    });
    // A fatal failure while the connection mutex is held.
    m.def("fail_while_locked", [](nb::handle p) {
        auto g = handle_of(p).lock_py();
        throw std::runtime_error("broken invariant");
    });
    m.def("bridge_message", [](nb::bytes payload, bool binary) {
        return bridge_message(
            {reinterpret_cast<const std::uint8_t*>(payload.c_str()), payload.size()}, binary);
    });
    m.def("payload_to_bytes", [](nb::handle value, bool utf8) {
        auto b = payload_to_bytes(value, utf8);
        if (!b) throw std::move(b.error());
        return nb::bytes(b->data(), b->size());
    }, nb::arg("value").none(), nb::arg("utf8"));
}
