#include "protocol.hpp"

#include <simdutf.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <format>
#include <limits>

namespace varnel {

// ---------------------------------------------------------------------------
// Connection state

std::expected<ProtocolInner, nb::python_error> ProtocolInner::create(bool is_server) {
    ensure_protocol_types();
    auto stats = new_traffic_stats();
    if (!stats) return std::unexpected(std::move(stats.error()));
    ProtocolInner inner;
    inner.traffic_stats = std::move(stats->object);
    inner.traffic = stats->counters;
    inner.is_server = is_server;
    return inner;
}

std::expected<Protocol, nb::python_error> Protocol::create(bool is_server) {
    auto inner = ProtocolInner::create(is_server);
    if (!inner) return std::unexpected(std::move(inner.error()));
    return Protocol(std::make_shared<ProtocolCell>(std::move(*inner)));
}

ProtocolGuard Protocol::lock() const {
    std::unique_lock lock(cell_->mutex);
    if (cell_->poisoned.load(std::memory_order_acquire)) throw PoisonedMutex();
    return ProtocolGuard(*cell_, std::move(lock));
}

ProtocolGuard Protocol::lock_py() const {
    std::unique_lock lock(cell_->mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        if (py_attached()) {
            nb::gil_scoped_release detached;
            lock.lock();
        } else {
            lock.lock();
        }
    }
    if (cell_->poisoned.load(std::memory_order_acquire)) throw PoisonedMutex();
    return ProtocolGuard(*cell_, std::move(lock));
}

PyRef Protocol::accept() const {
    auto g = lock_py();
    return g->accept.clone();
}

PyRef Protocol::offers() const {
    auto g = lock_py();
    return g->offers.clone();
}

// ---------------------------------------------------------------------------
// Frame writer

namespace {

constexpr std::uint8_t opcode_close = 8;
constexpr std::uint8_t max_opcode = 15;
// A stretched payload (payload_len) is built in memory before it is queued;
// beyond this the request is refused rather than left to exhaust memory.
constexpr std::size_t max_stretched_payload = std::size_t(1) << 30;
// Every chunk costs a queue entry and a wire-log entry, so a tiny chopsize on a
// huge frame could ask for more memory than any frame; refuse beyond this.
constexpr std::size_t max_chunks_per_frame = std::size_t(1) << 20;

std::size_t header_size(std::uint64_t length, bool masked) {
    std::size_t extended = length < 126 ? 0 : length < 65536 ? 2 : 8;
    return 2 + extended + (masked ? 4 : 0);
}

// Writes the header into `out` (header_size octets) and returns its size.
std::size_t write_header(std::uint8_t* out, bool fin, std::uint8_t rsv, std::uint8_t opcode,
                         std::uint64_t length, const std::optional<MaskKey>& key) {
    std::uint8_t b0 = opcode & 0x0f;
    if (fin) b0 |= 0x80;
    if (rsv & 4) b0 |= 0x40;
    if (rsv & 2) b0 |= 0x20;
    if (rsv & 1) b0 |= 0x10;
    out[0] = b0;
    const std::uint8_t mask_bit = key ? 0x80 : 0x00;
    std::size_t at = 2;
    if (length < 126) {
        out[1] = mask_bit | std::uint8_t(length);
    } else if (length < 65536) {
        out[1] = mask_bit | 126;
        out[2] = std::uint8_t(length >> 8);
        out[3] = std::uint8_t(length);
        at = 4;
    } else {
        out[1] = mask_bit | 127;
        for (int i = 0; i < 8; ++i) out[2 + i] = std::uint8_t(length >> (56 - 8 * i));
        at = 10;
    }
    if (key) {
        std::memcpy(out + at, key->data(), 4);
        at += 4;
    }
    return at;
}

// The payload's octets repeated from the start and cut to `n` (zeros when empty).
void fill_stretched(std::uint8_t* out, std::size_t n, std::span<const std::uint8_t> payload) {
    if (payload.empty()) {
        std::memset(out, 0, n);
        return;
    }
    std::size_t done = std::min(n, payload.size());
    std::memcpy(out, payload.data(), done);
    // Doubling copies: each pass repeats everything written so far.
    while (done < n) {
        std::size_t step = std::min(done, n - done);
        std::memcpy(out + done, out, step);
        done += step;
    }
}

wire::TxFrame tx_frame_entry(std::size_t length, std::string text, std::uint8_t opcode, bool fin,
                             std::uint8_t rsv, const std::optional<MaskKey>& key,
                             std::optional<std::size_t> payload_len,
                             std::optional<std::size_t> chopsize, bool sync) {
    std::optional<std::string> mask;
    if (key) mask = mask_hex(*key);
    return wire::TxFrame{length, std::move(text), opcode, fin, rsv, std::move(mask), payload_len,
                         chopsize, sync};
}

}  // namespace

void ProtocolInner::log_traffic(const WireEntry& entry) {
    if (!create_wirelog) return;
    if (wirelog.traffic_entries() >= traffic_log_limit) {
        create_wirelog = false;
        wirelog.push_back(wire::LogSwitch{false});
        return;
    }
    wirelog.push_back(entry);
}

std::optional<MaskKey> ProtocolInner::next_mask() const {
    if (is_server) return std::nullopt;
    return next_mask_key();
}

void ProtocolInner::queue(Bytes chunk, bool sync) {
    tx_octet_stats[chunk.size()] += 1;
    if (create_wirelog) log_traffic(wire::TxOctets{chunk.size(), octets_hex(chunk.span()), sync});
    out_queue.push_back(std::move(chunk));
}

std::expected<void, FrameError> ProtocolInner::send_frame(std::uint8_t opcode, bool fin,
                                                          std::uint8_t rsv, const Bytes& payload,
                                                          std::optional<std::size_t> chopsize,
                                                          std::optional<std::size_t> payload_len,
                                                          bool sync) {
    // Refusals come first, so a refused frame leaves no trace at all.
    if (opcode > max_opcode)
        return std::unexpected(FrameError{FrameError::Kind::refused,
                                          std::format("opcode {} does not fit in a frame (0 to 15)", opcode)});
    if (payload_len && *payload_len > max_stretched_payload)
        return std::unexpected(FrameError{
            FrameError::Kind::refused,
            std::format("payload_len {} is larger than the largest frame built here ({} octets)",
                        *payload_len, max_stretched_payload)});
    if (chopsize && *chopsize > 0) {
        const std::size_t n = payload_len.value_or(payload.size());
        const std::size_t total = header_size(n, !is_server) + n;
        if ((total - 1) / *chopsize + 1 > max_chunks_per_frame)
            return std::unexpected(FrameError{
                FrameError::Kind::refused,
                std::format("chopsize {} would cut a frame of {} octets into more than {} chunks",
                            *chopsize, total, max_chunks_per_frame)});
    }

    tx_frame_stats[opcode] += 1;
    const std::optional<MaskKey> key = next_mask();
    if (create_wirelog)
        log_traffic(tx_frame_entry(payload.size(), asciilog(payload.span()), opcode, fin, rsv, key,
                                   payload_len, chopsize, sync));

    const std::size_t n = payload_len.value_or(payload.size());
    const std::size_t head = header_size(n, key.has_value());
    const std::size_t total = head + n;
    auto buffer = make_octets(total);
    std::uint8_t* out = buffer.get();
    write_header(out, fin, rsv, opcode, n, key);
    std::uint8_t* body = out + head;
    if (payload_len) {
        fill_stretched(body, n, payload.span());
        if (key) copy_masked(body, body, n, *key, 0);
    } else if (key) {
        copy_masked(body, payload.data(), n, *key, 0);
    } else if (n > 0) {
        std::memcpy(body, payload.data(), n);
    }
    Bytes frame = Bytes::sharing(std::move(buffer), std::span<const std::uint8_t>(out, total));

    if (is_data_opcode(opcode)) {
        TrafficStats::add(traffic->outgoing_websocket_frames, 1);
        TrafficStats::add(traffic->outgoing_octets_wire_level, total);
        TrafficStats::add(traffic->outgoing_octets_websocket_level, n);
    }

    if (chopsize && *chopsize > 0) {
        for (std::size_t at = 0; at < total; at += std::min(*chopsize, total - at))
            queue(frame.slice(at, *chopsize), sync);
    } else {
        queue(std::move(frame), sync);
    }
    return {};
}

std::expected<void, FrameError> ProtocolInner::begin_message_frame(std::uint64_t length) {
    const std::optional<MaskKey> key = next_mask();
    frame_mask = key.value_or(MaskKey{});
    frame_pos = 0;
    tx_frame_stats[message_opcode] += 1;

    ByteVec header(header_size(length, key.has_value()));
    write_header(header.data(), true, 0, message_opcode, length, key);
    if (create_wirelog)
        log_traffic(tx_frame_entry(std::size_t(length), std::string(), message_opcode, true, 0,
                                   key, std::nullopt, std::nullopt, false));
    if (is_data_opcode(message_opcode)) {
        TrafficStats::add(traffic->outgoing_websocket_frames, 1);
        TrafficStats::add(traffic->outgoing_octets_wire_level, header.size());
        TrafficStats::add(traffic->outgoing_octets_websocket_level, length);
    }
    queue(Bytes(std::move(header)), false);
    return {};
}

void ProtocolInner::send_message_frame_data(const Bytes& payload) {
    const std::uint64_t start = frame_pos;
    frame_pos += payload.size();
    Bytes data = payload;
    if (!is_server && !payload.empty()) {
        ByteVec masked(payload.size());
        copy_masked(masked.data(), payload.data(), payload.size(), frame_mask, start);
        data = Bytes(std::move(masked));
    }
    if (is_data_opcode(message_opcode))
        TrafficStats::add(traffic->outgoing_octets_wire_level, payload.size());
    queue(std::move(data), false);
}

std::expected<void, FrameError> ProtocolInner::send_close(std::optional<std::uint16_t> code,
                                                          std::optional<Bytes> reason) {
    ByteVec payload;
    payload.reserve(2 + (reason ? reason->size() : 0));
    if (code) {
        payload.push_back(std::uint8_t(*code >> 8));
        payload.push_back(std::uint8_t(*code));
    }
    if (reason) payload.insert(payload.end(), reason->data(), reason->data() + reason->size());

    if (reason) local_close_reason = ByteVec(reason->data(), reason->data() + reason->size());
    else local_close_reason.reset();
    local_close_code = code;

    auto sent = send_frame(opcode_close, true, 0, Bytes(std::move(payload)), std::nullopt,
                           std::nullopt, false);
    if (!close_received) closed_by_me = true;
    close_sent = true;
    return sent;
}

std::expected<void, FrameError> ProtocolInner::send_message(const Bytes& payload, bool binary,
                                                            std::optional<std::size_t> fragment_size) {
    TrafficStats::add(traffic->outgoing_octets_app_level, payload.size());
    TrafficStats::add(traffic->outgoing_websocket_messages, 1);

    Bytes data = payload;
    std::uint8_t rsv = 0;
    if (deflate) {
        auto compressed = deflate->compress(payload.span());
        // The compressor failing is a broken invariant, not something a peer can cause.
        if (!compressed) throw std::runtime_error("deflate compress");
        data = Bytes(std::move(*compressed));
        rsv = 4;
    }

    std::optional<std::size_t> size = fragment_size;
    if (!size && auto_fragment_size > 0) size = std::size_t(auto_fragment_size);

    const std::uint8_t opcode = binary ? 2 : 1;
    if (!size || *size == 0 || *size >= data.size())
        return send_frame(opcode, true, rsv, data, std::nullopt, std::nullopt, false);

    for (std::size_t at = 0; at < data.size(); at += *size) {
        const bool first = at == 0;
        const bool last = data.size() - at <= *size;
        auto sent = send_frame(first ? opcode : 0, last, first ? rsv : 0, data.slice(at, *size),
                               std::nullopt, std::nullopt, false);
        if (!sent) return sent;
    }
    return {};
}

// ---------------------------------------------------------------------------
// Payload conversions

namespace {

std::span<const std::uint8_t> octets(const char* data, Py_ssize_t size) {
    return {reinterpret_cast<const std::uint8_t*>(data), std::size_t(size)};
}

// Octets that live inside an immutable Python object, shared without copying.
// Only exact bytes and str are shared: a chunk may be freed last on an engine
// thread, even with the connection mutex held, and freeing those runs no Python
// code. A subclass instance may run arbitrary code when freed, so it is copied.
Bytes shared_from(PyObject* owner, std::span<const std::uint8_t> view) {
    if (!PyBytes_CheckExact(owner) && !PyUnicode_CheckExact(owner)) return Bytes::copy_of(view);
    return Bytes::sharing(std::make_shared<PyRef>(PyRef::borrow(owner)), view);
}

std::expected<Bytes, nb::python_error> latin1_of(PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND)
        return shared_from(text, octets(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)), n));
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    ByteVec out(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c > 0xff)
            return std::unexpected(make_py_error(
                PyExc_ValueError,
                std::format("codepoint U+{:04X} has no single-byte (latin-1) form for a binary/control payload",
                            std::uint32_t(c))));
        out[std::size_t(i)] = std::uint8_t(c);
    }
    return Bytes(std::move(out));
}

}  // namespace

std::expected<Bytes, nb::python_error> payload_to_bytes(nb::handle value, bool utf8) {
    PyObject* o = value.ptr();
    if (o == nullptr || o == Py_None) return Bytes();
    if (PyBytes_Check(o)) return shared_from(o, octets(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o)));
    if (PyByteArray_Check(o)) {
        nb::ft_object_guard guard(o);  // another thread may resize it meanwhile
        return Bytes::copy_of(octets(PyByteArray_AS_STRING(o), PyByteArray_GET_SIZE(o)));
    }
    if (PyIndex_Check(o)) {
        PyObject* index = PyNumber_Index(o);
        if (index != nullptr) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
            Py_DECREF(index);
            if (overflow == 0 && !(v == -1 && PyErr_Occurred()))
                return Bytes(ByteVec{std::uint8_t(static_cast<unsigned long long>(v) & 0xff)});
        }
        PyErr_Clear();  // not a 64-bit integer: refused below like any other object
    } else if (PyUnicode_Check(o)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(o, &size);  // fails on lone surrogates
        if (text == nullptr) return std::unexpected(nb::python_error());
        if (utf8) return shared_from(o, octets(text, size));
        return latin1_of(o);
    }
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'str'", Py_TYPE(o)->tp_name);
    return std::unexpected(nb::python_error());
}

nb::str bridge_message(std::span<const std::uint8_t> payload, bool binary) {
    const char* data = reinterpret_cast<const char*>(payload.data());
    const auto size = Py_ssize_t(payload.size());
    PyObject* s = nullptr;
    if (!binary && simdutf::validate_utf8(data, payload.size()))
        s = PyUnicode_DecodeUTF8(data, size, "strict");
    else
        s = PyUnicode_DecodeLatin1(data, size, "strict");
    if (s == nullptr) throw nb::python_error();  // out of memory
    return nb::steal<nb::str>(s);
}

// ---------------------------------------------------------------------------
// Timers

namespace {

std::string float_repr(double v) {
    char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) return std::format("{}", v);
    std::string out(text);
    PyMem_Free(text);
    return out;
}

nb::python_error too_large(double secs) {
    return make_py_error(PyExc_OverflowError,
                         std::format("secs is too large for a timer: {}", float_repr(secs)));
}

}  // namespace

std::expected<std::chrono::nanoseconds, nb::python_error> delay_from_secs(double secs) {
    if (std::isnan(secs) || secs < 0)
        return std::unexpected(make_py_error(
            PyExc_ValueError,
            std::format("secs must not be negative or NaN, got {}", float_repr(secs))));
    if (!(secs < 0x1p64)) return std::unexpected(too_large(secs));

    // Exact rounding of secs * 1e9 to the nearest integer, ties to even.
    const double whole = std::floor(secs);
    const double frac = secs - whole;  // exact
    using u128 = unsigned __int128;
    u128 total = u128(std::uint64_t(whole)) * 1'000'000'000u;
    if (frac > 0) {
        int exp = 0;
        const double m = std::frexp(frac, &exp);  // frac = m * 2^exp, 0.5 <= m < 1, exp <= 0
        const auto mant = std::uint64_t(std::ldexp(m, 53));
        const int shift = 53 - exp;  // frac = mant / 2^shift
        if (shift < 120) {           // beyond that the product stays below one half
            const u128 num = u128(mant) * 1'000'000'000u;
            u128 q = num >> shift;
            const u128 rem = num & ((u128(1) << shift) - 1);
            const u128 half = u128(1) << (shift - 1);
            if (rem > half || (rem == half && (q & 1))) ++q;
            total += q;
        }
    }
    if (total > u128(std::numeric_limits<std::int64_t>::max())) return std::unexpected(too_large(secs));
    return std::chrono::nanoseconds(std::int64_t(total));
}

}  // namespace varnel
