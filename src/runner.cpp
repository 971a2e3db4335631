// The header map of the opening handshakes and the frame reader.
#include "runner.hpp"

#include "wirelog.hpp"

#include <asio/as_tuple.hpp>
#include <asio/buffer.hpp>
#include <asio/cancel_at.hpp>
#include <asio/error.hpp>
#include <asio/use_awaitable.hpp>

#include <picohttpparser.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <format>

namespace varnel::runner {

// ---------------------------------------------------------------------------
// Header map

namespace {

bool is_tchar(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

bool same_name(std::string_view lower, std::string_view name) {
    return std::ranges::equal(lower, name, [](char a, char b) {
        return a == char(std::tolower(static_cast<unsigned char>(b)));
    });
}

bool valid_value_octet(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7f); }

}  // namespace

void HeaderMap::append(std::string lower_name, std::string value) {
    entries_.push_back(Entry{std::move(lower_name), std::move(value)});
}

std::optional<std::string_view> HeaderMap::get(std::string_view name) const {
    for (const Entry& e : entries_)
        if (same_name(e.name, name)) return std::string_view(e.value);
    return std::nullopt;
}

std::vector<std::string_view> HeaderMap::get_all(std::string_view name) const {
    std::vector<std::string_view> out;
    for (const Entry& e : entries_)
        if (same_name(e.name, name)) out.emplace_back(e.value);
    return out;
}

std::expected<HeaderMap, IoError> to_header_map(std::span<const phr_header> lines) {
    HeaderMap map;
    map.reserve(lines.size());
    for (const phr_header& line : lines) {
        // A folded continuation line comes without a name.
        const std::string_view name = line.name ? std::string_view(line.name, line.name_len) : std::string_view();
        if (name.empty() || name.size() > 65535 ||
            !std::ranges::all_of(name, [](char c) { return is_tchar(static_cast<unsigned char>(c)); }))
            return std::unexpected(IoError{IoError::Kind::invalid_data, "invalid HTTP header name"});
        const std::string_view value =
            line.value ? std::string_view(line.value, line.value_len) : std::string_view();
        if (!std::ranges::all_of(value, [](char c) { return valid_value_octet(static_cast<unsigned char>(c)); }))
            return std::unexpected(IoError{IoError::Kind::invalid_data, "failed to parse header value"});
        std::string lower(name);
        for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
        map.append(std::move(lower), std::string(value));
    }
    return map;
}

// ---------------------------------------------------------------------------
// Read buffer

void ReadBuffer::append(std::span<const std::uint8_t> octets) {
    if (octets.empty()) return;
    std::span<std::uint8_t> room = prepare(octets.size());
    std::memcpy(room.data(), octets.data(), octets.size());
    commit(octets.size());
}

void ReadBuffer::consume(std::size_t n) noexcept {
    begin_ += std::min(n, size());
    if (begin_ == end_) begin_ = end_ = 0;
}

std::span<std::uint8_t> ReadBuffer::prepare(std::size_t room) {
    if (cap_ - end_ < room && begin_ > 0) {
        // Move what is left to the front before growing.
        std::memmove(buf_.get(), buf_.get() + begin_, size());
        end_ -= begin_;
        begin_ = 0;
    }
    if (cap_ - end_ < room) {
        // Geometric growth keeps a large frame from being copied once per read.
        const std::size_t want = std::max(end_ + room, cap_ + cap_ / 2);
        auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(want);
        if (end_ > begin_) std::memcpy(grown.get(), buf_.get() + begin_, size());
        end_ -= begin_;
        begin_ = 0;
        buf_ = std::move(grown);
        cap_ = want;
    }
    return {buf_.get() + end_, cap_ - end_};
}

// ---------------------------------------------------------------------------
// Frame reader

namespace {

bool reserved_opcode(std::uint8_t op) { return (op >= 3 && op <= 7) || op >= 11; }

IoError closed() { return IoError{IoError::Kind::unexpected_eof, "connection closed"}; }

// One socket read of n octets: counted, and logged with this read's octets only.
void record_read(const Protocol& protocol, std::span<const std::uint8_t> octets) {
    auto g = protocol.lock();
    g->rx_octet_stats[octets.size()] += 1;
    if (g->create_wirelog) g->wirelog.push_back(wire::RxOctets{octets.size(), octets_hex(octets)});
}

void record_frame(const Protocol& protocol, const Frame& f, std::size_t total) {
    std::optional<std::string> key;
    if (f.mask) key = mask_hex(*f.mask);
    auto g = protocol.lock();
    g->rx_frame_stats[f.opcode] += 1;
    if (is_data_opcode(f.opcode)) {
        TrafficStats::add(g->traffic->incoming_websocket_frames, 1);
        TrafficStats::add(g->traffic->incoming_octets_wire_level, total);
        TrafficStats::add(g->traffic->incoming_octets_websocket_level, f.payload.size());
    }
    if (g->create_wirelog) {
        const std::uint8_t rsv = std::uint8_t((f.rsv1 ? 4 : 0) + (f.rsv2 ? 2 : 0) + (f.rsv3 ? 1 : 0));
        g->wirelog.push_back(wire::RxFrame{f.payload.size(), asciilog(f.payload.span()), f.opcode, f.fin, rsv,
                                           f.mask.has_value(), std::move(key)});
    }
}

}  // namespace

std::expected<std::optional<FrameHeader>, IoError> parse_frame_header(std::span<const std::uint8_t> in) {
    if (in.size() < 2) return std::nullopt;
    FrameHeader h;
    h.fin = (in[0] & 0x80) != 0;
    h.rsv1 = (in[0] & 0x40) != 0;
    h.rsv2 = (in[0] & 0x20) != 0;
    h.rsv3 = (in[0] & 0x10) != 0;
    h.opcode = in[0] & 0x0f;
    const bool masked = (in[1] & 0x80) != 0;
    const std::uint8_t code = in[1] & 0x7f;
    std::size_t at = 2;
    if (code < 126) {
        h.payload_size = code;
    } else {
        const std::size_t n = code == 126 ? 2 : 8;
        if (in.size() < at + n) return std::nullopt;
        for (std::size_t i = 0; i < n; ++i) h.payload_size = (h.payload_size << 8) | in[at + i];
        at += n;
    }
    if (masked) {
        if (in.size() < at + 4) return std::nullopt;
        MaskKey key;
        std::memcpy(key.data(), in.data() + at, 4);
        h.mask = key;
        at += 4;
    }
    h.header_size = at;
    if (reserved_opcode(h.opcode))
        return std::unexpected(IoError{IoError::Kind::invalid_data,
                                       std::format("WebSocket protocol error: Encountered invalid opcode: {}", h.opcode)});
    if (h.payload_size > max_frame_payload)
        return std::unexpected(IoError{
            IoError::Kind::too_large,
            std::format("received a frame of {} octets, more than the {} octets accepted in one frame",
                        h.payload_size, max_frame_payload)});
    return h;
}

std::expected<std::optional<Frame>, IoError> next_buffered_frame(ReadBuffer& buffer, const Protocol& protocol) {
    auto header = parse_frame_header(buffer.data());
    if (!header) return std::unexpected(std::move(header.error()));
    if (!*header) return std::nullopt;
    const FrameHeader& h = **header;
    const std::size_t payload_size = std::size_t(h.payload_size);  // bounded by max_frame_payload
    const std::size_t total = h.header_size + payload_size;
    if (buffer.size() < total) return std::nullopt;

    Frame f{h.fin, h.rsv1, h.rsv2, h.rsv3, h.opcode, h.mask, {}};
    const std::uint8_t* body = buffer.data().data() + h.header_size;
    if (payload_size > 0) {
        auto copy = std::make_shared_for_overwrite<std::uint8_t[]>(payload_size);
        if (h.mask) copy_masked(copy.get(), body, payload_size, *h.mask, 0);
        else std::memcpy(copy.get(), body, payload_size);
        const std::uint8_t* data = copy.get();
        f.payload = Bytes::sharing(std::move(copy), {data, payload_size});
    }
    buffer.consume(total);
    record_frame(protocol, f, total);
    return f;
}

asio::awaitable<std::expected<Frame, IoError>> read_frame(asio::ip::tcp::socket& stream, ReadBuffer& buffer,
                                                          const Protocol& protocol,
                                                          std::optional<MonoInstant> deadline) {
    for (;;) {
        auto next = next_buffered_frame(buffer, protocol);
        if (!next) co_return std::unexpected(std::move(next.error()));
        if (*next) co_return std::move(**next);
        // A peer that keeps data coming never makes a read wait, so the deadline
        // is also looked at between reads: a large frame cannot hold the caller.
        if (deadline && MonoClock::now() >= *deadline)
            co_return std::unexpected(IoError{IoError::Kind::timed_out, "timed out"});

        // Room for the whole frame once its header is known, so a large frame is
        // read without repeated growth.
        std::size_t room = ReadBuffer::read_room;
        if (auto h = parse_frame_header(buffer.data()); h && *h)
            room = std::max(room, (*h)->header_size + std::size_t((*h)->payload_size) - buffer.size());
        std::span<std::uint8_t> free = buffer.prepare(room);

        std::error_code ec;
        std::size_t n = 0;
        if (deadline) {
            std::tie(ec, n) = co_await stream.async_read_some(
                asio::buffer(free.data(), free.size()), asio::cancel_at(*deadline, asio::as_tuple(asio::use_awaitable)));
        } else {
            std::tie(ec, n) =
                co_await stream.async_read_some(asio::buffer(free.data(), free.size()), asio::as_tuple(asio::use_awaitable));
        }
        if (n > 0) {
            buffer.commit(n);
            record_read(protocol, free.first(n));
        }
        if (ec == asio::error::operation_aborted && deadline)
            co_return std::unexpected(IoError{IoError::Kind::timed_out, "timed out"});
        if (ec == asio::error::eof) co_return std::unexpected(closed());
        if (ec) co_return std::unexpected(IoError{IoError::Kind::socket, ec.message()});
        if (n == 0) co_return std::unexpected(closed());
    }
}

}  // namespace varnel::runner
