// The wire log: an ordered trace of the octets and frames that crossed the wire
// and of the timer events a case set, kept per connection and turned into Python
// tuples when the case result is built.
#pragma once

#include "constants.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

namespace varnel {

namespace wire {
struct LogSwitch { bool enable; };                                        // "WLM"
struct RxOctets { std::size_t count; std::string hex; };                  // "RO"
struct TxOctets { std::size_t count; std::string hex; bool sync; };       // "TO"
struct RxFrame {                                                          // "RF"
    std::size_t length;
    std::string text;
    std::uint8_t opcode;
    bool fin;
    std::uint8_t rsv;
    bool masked;
    std::optional<std::string> mask;
};
struct TxFrame {                                                          // "TF"
    std::size_t length;
    std::string text;
    std::uint8_t opcode;
    bool fin;
    std::uint8_t rsv;
    std::optional<std::string> mask;
    std::optional<std::size_t> payload_len;
    std::optional<std::size_t> chopsize;
    bool sync;
};
struct LaterSet { double secs; std::optional<std::string> tag; };         // "CT"
struct LaterFired { std::optional<std::string> tag; };                    // "CTE"
struct KillSet { double secs; };                                          // "KL"
struct KillFired {};                                                      // "KLE"
struct CloseSet { double secs; };                                         // "TI"
struct CloseFired {};                                                     // "TIE"
}  // namespace wire

using WireEntry = std::variant<wire::LogSwitch, wire::RxOctets, wire::TxOctets, wire::RxFrame,
                               wire::TxFrame, wire::LaterSet, wire::LaterFired, wire::KillSet,
                               wire::KillFired, wire::CloseSet, wire::CloseFired>;

// Payload text for "TF"/"RF": the first 64 octets as UTF-8 text when they are
// valid UTF-8, else "0x" and lowercase hex; " ..." marks payloads of 61+ octets.
std::string asciilog(std::span<const std::uint8_t> payload);

// Octet text for "TO"/"RO": lowercase hex of the first 64 octets, same marker.
std::string octets_hex(std::span<const std::uint8_t> chunk);

// A masking key as 8 lowercase hex digits, octets in wire order.
std::string mask_hex(const std::array<std::uint8_t, 4>& key);

// The entry's Python tuple, its first element the shared code string. Attached.
nb::object wire_entry_to_python(const WireEntry& entry, const Constants& constants);

}  // namespace varnel
