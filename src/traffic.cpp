#include "traffic.hpp"

#include "constants.hpp"
#include "pymethods.hpp"

namespace varnel {

namespace {

constexpr const char* traffic_doc =
    "TrafficStats()\n--\n\n"
    "Per-case octet, frame, and message counters for sent and received traffic.";

// ws / app and (wire - ws) / ws, or None when the divisor is 0. The overhead is
// computed in floating point: a case can announce more payload than it sends,
// and the result must then be negative rather than wrap around.
nb::object ratio(std::uint64_t num, std::uint64_t den) {
    if (den == 0) return nb::none();
    return nb::float_(double(num) / double(den));
}
nb::object overhead(std::uint64_t wire, std::uint64_t ws) {
    if (ws == 0) return nb::none();
    return nb::float_((double(wire) - double(ws)) / double(ws));
}

nb::dict traffic_json(const TrafficStats& s) {
    using T = TrafficStats;
    const std::uint64_t out_wire = T::read(s.outgoing_octets_wire_level);
    const std::uint64_t out_ws = T::read(s.outgoing_octets_websocket_level);
    const std::uint64_t out_app = T::read(s.outgoing_octets_app_level);
    const std::uint64_t in_wire = T::read(s.incoming_octets_wire_level);
    const std::uint64_t in_ws = T::read(s.incoming_octets_websocket_level);
    const std::uint64_t in_app = T::read(s.incoming_octets_app_level);

    Constants c = Constants::get();
    nb::dict d;
    auto put = [&](PyObject* key, nb::handle value) { d[nb::handle(key)] = value; };
    put(c->outgoing_octets_wire_level, nb::int_(out_wire));
    put(c->outgoing_octets_websocket_level, nb::int_(out_ws));
    put(c->outgoing_octets_app_level, nb::int_(out_app));
    put(c->outgoing_compression_ratio, ratio(out_ws, out_app));
    put(c->outgoing_websocket_overhead, overhead(out_wire, out_ws));
    put(c->outgoing_websocket_frames, nb::int_(T::read(s.outgoing_websocket_frames)));
    put(c->outgoing_websocket_messages, nb::int_(T::read(s.outgoing_websocket_messages)));
    put(c->preopen_outgoing_octets_wire_level, nb::int_(0));
    put(c->incoming_octets_wire_level, nb::int_(in_wire));
    put(c->incoming_octets_websocket_level, nb::int_(in_ws));
    put(c->incoming_octets_app_level, nb::int_(in_app));
    put(c->incoming_compression_ratio, ratio(in_ws, in_app));
    put(c->incoming_websocket_overhead, overhead(in_wire, in_ws));
    put(c->incoming_websocket_frames, nb::int_(T::read(s.incoming_websocket_frames)));
    put(c->incoming_websocket_messages, nb::int_(T::read(s.incoming_websocket_messages)));
    put(c->preopen_incoming_octets_wire_level, nb::int_(0));
    return d;
}

nb::object traffic_deepcopy(const TrafficStats& s) {
    auto copy = new_traffic_stats();
    if (!copy) throw std::move(copy.error());
    TrafficStats& to = *copy->counters;
    auto take = [](TrafficStats::Counter& dst, const TrafficStats::Counter& src) {
        dst.store(TrafficStats::read(src), std::memory_order_relaxed);
    };
    take(to.outgoing_octets_wire_level, s.outgoing_octets_wire_level);
    take(to.outgoing_octets_websocket_level, s.outgoing_octets_websocket_level);
    take(to.outgoing_octets_app_level, s.outgoing_octets_app_level);
    take(to.outgoing_websocket_frames, s.outgoing_websocket_frames);
    take(to.outgoing_websocket_messages, s.outgoing_websocket_messages);
    take(to.incoming_octets_wire_level, s.incoming_octets_wire_level);
    take(to.incoming_octets_websocket_level, s.incoming_octets_websocket_level);
    take(to.incoming_octets_app_level, s.incoming_octets_app_level);
    take(to.incoming_websocket_frames, s.incoming_websocket_frames);
    take(to.incoming_websocket_messages, s.incoming_websocket_messages);
    return nb::steal(copy->object.release());
}

}  // namespace

std::expected<TrafficStatsRef, nb::python_error> new_traffic_stats() {
    nb::handle type = nb::type<TrafficStats>();
    if (!type.is_valid())
        return std::unexpected(make_py_error(PyExc_RuntimeError, "TrafficStats is not registered"));
    PyObject* object = call_no_args(type);
    if (object == nullptr) return std::unexpected(nb::python_error());
    TrafficStats* counters = nb::inst_ptr<TrafficStats>(object);
    return TrafficStatsRef{PyRef::steal(object), counters};
}

TrafficStats* traffic_stats_of(nb::handle object) noexcept {
    if (!nb::isinstance<TrafficStats>(object)) return nullptr;
    return nb::inst_ptr<TrafficStats>(object);
}

namespace {

PyObject* new_traffic_stats_object(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py_boundary([&] {
        refuse_new_arguments("TrafficStats", args, kwargs);
        return new_instance<TrafficStats>(type);
    });
}

PyObject* py_json(PyObject* self, PyObject*) {
    return py_boundary([&] { return nb::object(traffic_json(self_of<TrafficStats>(self))); });
}

// The memo may be anything, None included; a copy of counters refers to nothing.
PyObject* py_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return py_boundary([&] {
        bind_fastcall<1>("__deepcopy__", {"_memo"}, 1, args, nargsf, kwnames);
        return traffic_deepcopy(self_of<TrafficStats>(self));
    });
}

PyMethodDef traffic_methods[] = {
    {"__json__", as_cfunction(&py_json), METH_NOARGS, "__json__($self, /)\n--\n\n"},
    {"__deepcopy__", as_cfunction(&py_deepcopy), METH_FASTCALL | METH_KEYWORDS,
     "__deepcopy__($self, /, _memo)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot traffic_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&new_traffic_stats_object)},
    {Py_tp_init, reinterpret_cast<void*>(&init_done)},
    {0, nullptr},
};

}  // namespace

void register_traffic_stats(nb::module_ m) {
    export_class<TrafficStats>(m, "TrafficStats", [](nb::module_ scope) {
        nb::class_<TrafficStats> cls(scope, "TrafficStats", nb::is_final(), nb::type_slots(traffic_slots),
                                     traffic_doc);
        add_methods(cls, traffic_methods);
    });
}

}  // namespace varnel
