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
#include <vector>

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

// Traffic entries ("RO", "TO", "RF", "TF") one connection logs before traffic
// logging switches itself off. A peer flooding tiny frames would otherwise grow
// the log, and the result's Python list after it, without bound; no normal case
// comes near this many.
inline constexpr std::size_t traffic_log_limit = 100'000;

inline bool is_traffic(const WireEntry& e) noexcept {
    return std::holds_alternative<wire::RxOctets>(e) || std::holds_alternative<wire::TxOctets>(e) ||
           std::holds_alternative<wire::RxFrame>(e) || std::holds_alternative<wire::TxFrame>(e);
}

// The log of one connection, kept as a packed byte string: an empty frame's
// entry takes a dozen octets or so rather than a WireEntry and its strings.
// Entries are decoded back to WireEntry when the result is built.
class WireLog {
public:
    void push_back(const WireEntry& entry);

    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    std::size_t traffic_entries() const noexcept { return traffic_; }
    std::size_t stored_octets() const noexcept { return packed_.size(); }
    void clear() noexcept {
        packed_.clear();
        count_ = traffic_ = 0;
    }

    // Calls f with each entry, decoded, in order.
    template <class F>
    void for_each(F&& f) const {
        std::size_t at = 0;
        while (at < packed_.size()) f(decode(at));
    }
    std::vector<WireEntry> entries() const;

private:
    WireEntry decode(std::size_t& at) const;

    std::vector<std::uint8_t> packed_;
    std::size_t count_ = 0;
    std::size_t traffic_ = 0;
};

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
