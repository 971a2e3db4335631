// The process-wide table of Python strings the engine uses again and again as
// module, attribute and method names, dictionary keys and wire-log codes. Each is
// made once per process and shared by handle, so hot paths build no strings.
#pragma once

#include "pyglue.hpp"

#include <memory>

namespace varnel {

// field, text; in table order.
#define VARNEL_CONSTANTS(X)                                               \
    X(cases_module, "varnel.cases")                                         \
    X(cases_attr, "CASES")                                                  \
    X(on_open, "onOpen")                                                    \
    X(on_connection_lost, "onConnectionLost")                               \
    X(on_ping, "onPing")                                                    \
    X(on_pong, "onPong")                                                    \
    X(on_close, "onClose")                                                  \
    X(on_message, "onMessage")                                              \
    X(description, "DESCRIPTION")                                           \
    X(expectation, "EXPECTATION")                                           \
    X(behavior, "behavior")                                                 \
    X(behavior_close, "behaviorClose")                                      \
    X(result, "result")                                                     \
    X(result_close, "resultClose")                                          \
    X(report_time, "reportTime")                                            \
    X(report_compression_ratio, "reportCompressionRatio")                   \
    X(expected, "expected")                                                 \
    X(expected_close, "expectedClose")                                      \
    X(received, "received")                                                 \
    X(traffic_stats, "trafficStats")                                        \
    X(outgoing_octets_wire_level, "outgoingOctetsWireLevel")                \
    X(outgoing_octets_websocket_level, "outgoingOctetsWebSocketLevel")      \
    X(outgoing_octets_app_level, "outgoingOctetsAppLevel")                  \
    X(outgoing_compression_ratio, "outgoingCompressionRatio")               \
    X(outgoing_websocket_overhead, "outgoingWebSocketOverhead")             \
    X(outgoing_websocket_frames, "outgoingWebSocketFrames")                 \
    X(outgoing_websocket_messages, "outgoingWebSocketMessages")             \
    X(preopen_outgoing_octets_wire_level, "preopenOutgoingOctetsWireLevel") \
    X(incoming_octets_wire_level, "incomingOctetsWireLevel")                \
    X(incoming_octets_websocket_level, "incomingOctetsWebSocketLevel")      \
    X(incoming_octets_app_level, "incomingOctetsAppLevel")                  \
    X(incoming_compression_ratio, "incomingCompressionRatio")               \
    X(incoming_websocket_overhead, "incomingWebSocketOverhead")             \
    X(incoming_websocket_frames, "incomingWebSocketFrames")                 \
    X(incoming_websocket_messages, "incomingWebSocketMessages")             \
    X(preopen_incoming_octets_wire_level, "preopenIncomingOctetsWireLevel") \
    X(wl_log_switch, "WLM")                                                 \
    X(wl_rx_octets, "RO")                                                   \
    X(wl_tx_octets, "TO")                                                   \
    X(wl_rx_frame, "RF")                                                    \
    X(wl_tx_frame, "TF")                                                    \
    X(wl_later, "CT")                                                       \
    X(wl_later_fired, "CTE")                                                \
    X(wl_kill, "KL")                                                        \
    X(wl_kill_fired, "KLE")                                                 \
    X(wl_close_after, "TI")                                                 \
    X(wl_close_after_fired, "TIE")

// Borrowed references to the 47 strings. Immutable; never freed.
struct ConstantsInner {
#define VARNEL_CONSTANT_FIELD(field, text) PyObject* field;
    VARNEL_CONSTANTS(VARNEL_CONSTANT_FIELD)
#undef VARNEL_CONSTANT_FIELD
};

inline constexpr int constants_count = 47;

class Constants {
public:
    // The process-wide table, made on the first call. The caller must be attached;
    // a caller that has to wait for another thread's first call waits detached.
    // Throws nb::python_error when the strings cannot be made (the next call retries).
    static Constants get();

    const ConstantsInner* operator->() const noexcept { return inner_.get(); }
    const ConstantsInner& operator*() const noexcept { return *inner_; }

private:
    explicit Constants(std::shared_ptr<const ConstantsInner> inner) : inner_(std::move(inner)) {}
    static Constants make();
    std::shared_ptr<const ConstantsInner> inner_;
};

}  // namespace varnel
