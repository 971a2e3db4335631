// Per-connection traffic counters, shared by the Python `TrafficStats` object and
// the engine. The counters live inside the Python object; the engine keeps a
// reference to the object and updates the counters from any thread, attached or
// not, with relaxed atomic adds.
#pragma once

#include "pyglue.hpp"

#include <atomic>
#include <cstdint>
#include <expected>

namespace varnel {

struct TrafficStats {
    using Counter = std::atomic<std::uint64_t>;
    Counter outgoing_octets_wire_level{0};
    Counter outgoing_octets_websocket_level{0};
    Counter outgoing_octets_app_level{0};
    Counter outgoing_websocket_frames{0};
    Counter outgoing_websocket_messages{0};
    Counter incoming_octets_wire_level{0};
    Counter incoming_octets_websocket_level{0};
    Counter incoming_octets_app_level{0};
    Counter incoming_websocket_frames{0};
    Counter incoming_websocket_messages{0};

    static void add(Counter& c, std::uint64_t n) noexcept { c.fetch_add(n, std::memory_order_relaxed); }
    static std::uint64_t read(const Counter& c) noexcept { return c.load(std::memory_order_relaxed); }
};

// Data frames (opcodes 0 to 2) are the only frames the counters see.
inline bool is_data_opcode(std::uint8_t opcode) noexcept { return opcode <= 2; }

// A new Python TrafficStats object (all counters 0) and the counters inside it,
// valid for as long as the reference is held. The caller must be attached and
// the class registered (module import or register_traffic_stats).
struct TrafficStatsRef {
    PyRef object;
    TrafficStats* counters = nullptr;
};
std::expected<TrafficStatsRef, nb::python_error> new_traffic_stats();

// The counters inside a Python TrafficStats object, or nullptr if it is not one.
TrafficStats* traffic_stats_of(nb::handle object) noexcept;

void register_traffic_stats(nb::module_ m);

}  // namespace varnel
