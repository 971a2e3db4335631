#include "wirelog.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <simdutf.h>

#include <bit>

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

// ---- packed entries: the variant index, then the fields in declaration order.
// Sizes are LEB128, strings a size and their octets, optionals a presence octet.

class Packer {
public:
    explicit Packer(std::vector<std::uint8_t>& out) : out_(out) {}
    void u8(std::uint8_t v) { out_.push_back(v); }
    void flag(bool v) { u8(v ? 1 : 0); }
    void size(std::size_t v) {
        while (v >= 0x80) {
            u8(std::uint8_t(v | 0x80));
            v >>= 7;
        }
        u8(std::uint8_t(v));
    }
    void text(const std::string& s) {
        size(s.size());
        out_.insert(out_.end(), s.begin(), s.end());
    }
    void real(double v) {
        const auto bits = std::bit_cast<std::uint64_t>(v);
        for (int i = 0; i < 8; ++i) u8(std::uint8_t(bits >> (8 * i)));
    }
    template <class T, class Put>
    void optional(const std::optional<T>& v, Put put) {
        flag(v.has_value());
        if (v) (this->*put)(*v);
    }

private:
    std::vector<std::uint8_t>& out_;
};

// Reads back what Packer wrote; the log only ever holds Packer's output.
class Unpacker {
public:
    Unpacker(const std::vector<std::uint8_t>& in, std::size_t& at) : in_(in), at_(at) {}
    std::uint8_t u8() { return in_[at_++]; }
    bool flag() { return u8() != 0; }
    std::size_t size() {
        std::size_t v = 0;
        for (int shift = 0;; shift += 7) {
            const std::uint8_t b = u8();
            v |= std::size_t(b & 0x7f) << shift;
            if (!(b & 0x80)) return v;
        }
    }
    std::string text() {
        const std::size_t n = size();
        std::string s(reinterpret_cast<const char*>(in_.data() + at_), n);
        at_ += n;
        return s;
    }
    double real() {
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= std::uint64_t(u8()) << (8 * i);
        return std::bit_cast<double>(bits);
    }
    std::optional<std::string> optional_text() { return flag() ? std::optional(text()) : std::nullopt; }
    std::optional<std::size_t> optional_size() { return flag() ? std::optional(size()) : std::nullopt; }

private:
    const std::vector<std::uint8_t>& in_;
    std::size_t& at_;
};

void pack(Packer& p, const wire::LogSwitch& e) { p.flag(e.enable); }
void pack(Packer& p, const wire::RxOctets& e) {
    p.size(e.count);
    p.text(e.hex);
}
void pack(Packer& p, const wire::TxOctets& e) {
    p.size(e.count);
    p.text(e.hex);
    p.flag(e.sync);
}
void pack(Packer& p, const wire::RxFrame& e) {
    p.size(e.length);
    p.text(e.text);
    p.u8(e.opcode);
    p.flag(e.fin);
    p.u8(e.rsv);
    p.flag(e.masked);
    p.optional(e.mask, &Packer::text);
}
void pack(Packer& p, const wire::TxFrame& e) {
    p.size(e.length);
    p.text(e.text);
    p.u8(e.opcode);
    p.flag(e.fin);
    p.u8(e.rsv);
    p.optional(e.mask, &Packer::text);
    p.optional(e.payload_len, &Packer::size);
    p.optional(e.chopsize, &Packer::size);
    p.flag(e.sync);
}
void pack(Packer& p, const wire::LaterSet& e) {
    p.real(e.secs);
    p.optional(e.tag, &Packer::text);
}
void pack(Packer& p, const wire::LaterFired& e) { p.optional(e.tag, &Packer::text); }
void pack(Packer& p, const wire::KillSet& e) { p.real(e.secs); }
void pack(Packer&, const wire::KillFired&) {}
void pack(Packer& p, const wire::CloseSet& e) { p.real(e.secs); }
void pack(Packer&, const wire::CloseFired&) {}

}  // namespace

void WireLog::push_back(const WireEntry& entry) {
    Packer p(packed_);
    p.u8(std::uint8_t(entry.index()));
    std::visit([&](const auto& e) { pack(p, e); }, entry);
    ++count_;
    if (is_traffic(entry)) ++traffic_;
}

// decode's case labels are the variant's indices.
static_assert(std::variant_size_v<WireEntry> == 11);
static_assert(std::is_same_v<std::variant_alternative_t<3, WireEntry>, wire::RxFrame>);
static_assert(std::is_same_v<std::variant_alternative_t<10, WireEntry>, wire::CloseFired>);

WireEntry WireLog::decode(std::size_t& at) const {
    Unpacker u(packed_, at);
    switch (u.u8()) {
    case 0: return wire::LogSwitch{u.flag()};
    case 1: {
        wire::RxOctets e;
        e.count = u.size();
        e.hex = u.text();
        return e;
    }
    case 2: {
        wire::TxOctets e;
        e.count = u.size();
        e.hex = u.text();
        e.sync = u.flag();
        return e;
    }
    case 3: {
        wire::RxFrame e;
        e.length = u.size();
        e.text = u.text();
        e.opcode = u.u8();
        e.fin = u.flag();
        e.rsv = u.u8();
        e.masked = u.flag();
        e.mask = u.optional_text();
        return e;
    }
    case 4: {
        wire::TxFrame e;
        e.length = u.size();
        e.text = u.text();
        e.opcode = u.u8();
        e.fin = u.flag();
        e.rsv = u.u8();
        e.mask = u.optional_text();
        e.payload_len = u.optional_size();
        e.chopsize = u.optional_size();
        e.sync = u.flag();
        return e;
    }
    case 5: {
        wire::LaterSet e;
        e.secs = u.real();
        e.tag = u.optional_text();
        return e;
    }
    case 6: return wire::LaterFired{u.optional_text()};
    case 7: return wire::KillSet{u.real()};
    case 8: return wire::KillFired{};
    case 9: return wire::CloseSet{u.real()};
    default: return wire::CloseFired{};
    }
}

std::vector<WireEntry> WireLog::entries() const {
    std::vector<WireEntry> out;
    out.reserve(count_);
    for_each([&](WireEntry e) { out.push_back(std::move(e)); });
    return out;
}

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
