#include "wirelog.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <simdutf.h>

namespace varnel {

namespace {

// Renderings look at no more than this many octets, and mark payloads of
// `marked_from` octets or more (so 61..64-octet payloads are whole yet marked).
constexpr std::size_t shown_octets = 64;
constexpr std::size_t marked_from = 61;
constexpr std::string_view marker = " ...";

void append_hex(std::string& out, std::span<const std::uint8_t> octets) {
    static constexpr char digits[] = "0123456789abcdef";
    for (std::uint8_t b : octets) {
        out += digits[b >> 4];
        out += digits[b & 0xf];
    }
}

std::span<const std::uint8_t> shown(std::span<const std::uint8_t> s) {
    return s.first(std::min(s.size(), shown_octets));
}

}  // namespace

std::string asciilog(std::span<const std::uint8_t> payload) {
    auto head = shown(payload);
    std::string out;
    if (simdutf::validate_utf8(reinterpret_cast<const char*>(head.data()), head.size())) {
        out.assign(reinterpret_cast<const char*>(head.data()), head.size());
    } else {
        out.reserve(2 + 2 * head.size() + marker.size());
        out = "0x";
        append_hex(out, head);
    }
    if (payload.size() >= marked_from) out += marker;
    return out;
}

std::string octets_hex(std::span<const std::uint8_t> chunk) {
    std::string out;
    append_hex(out, shown(chunk));
    if (chunk.size() >= marked_from) out += marker;
    return out;
}

std::string mask_hex(const std::array<std::uint8_t, 4>& key) {
    std::string out;
    append_hex(out, key);
    return out;
}

nb::object wire_entry_to_python(const WireEntry& entry, const Constants& constants) {
    const ConstantsInner& c = *constants;
    auto code = [](PyObject* s) { return nb::handle(s); };
    auto pair = [](std::size_t n, const std::string& text) { return nb::make_tuple(n, text); };
    return std::visit(
        [&](const auto& e) -> nb::object {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, wire::LogSwitch>) {
                return nb::make_tuple(code(c.wl_log_switch), e.enable);
            } else if constexpr (std::is_same_v<E, wire::RxOctets>) {
                return nb::make_tuple(code(c.wl_rx_octets), pair(e.count, e.hex));
            } else if constexpr (std::is_same_v<E, wire::TxOctets>) {
                return nb::make_tuple(code(c.wl_tx_octets), pair(e.count, e.hex), e.sync);
            } else if constexpr (std::is_same_v<E, wire::RxFrame>) {
                return nb::make_tuple(code(c.wl_rx_frame), pair(e.length, e.text), e.opcode, e.fin,
                                      e.rsv, e.masked, e.mask);
            } else if constexpr (std::is_same_v<E, wire::TxFrame>) {
                return nb::make_tuple(code(c.wl_tx_frame), pair(e.length, e.text), e.opcode, e.fin,
                                      e.rsv, e.mask, e.payload_len, e.chopsize, e.sync);
            } else if constexpr (std::is_same_v<E, wire::LaterSet>) {
                return nb::make_tuple(code(c.wl_later), e.secs, e.tag);
            } else if constexpr (std::is_same_v<E, wire::LaterFired>) {
                return nb::make_tuple(code(c.wl_later_fired), e.tag);
            } else if constexpr (std::is_same_v<E, wire::KillSet>) {
                return nb::make_tuple(code(c.wl_kill), e.secs);
            } else if constexpr (std::is_same_v<E, wire::KillFired>) {
                return nb::make_tuple(code(c.wl_kill_fired));
            } else if constexpr (std::is_same_v<E, wire::CloseSet>) {
                return nb::make_tuple(code(c.wl_close_after), e.secs);
            } else {
                static_assert(std::is_same_v<E, wire::CloseFired>);
                return nb::make_tuple(code(c.wl_close_after_fired));
            }
        },
        entry);
}

}  // namespace varnel
