// The frame reader.
#include "runner.hpp"

#include "wirelog.hpp"

#include <asio/as_tuple.hpp>
#include <asio/buffer.hpp>
#include <asio/cancel_at.hpp>
#include <asio/error.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <cstring>
#include <format>

namespace varnel::runner {

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
        auto grown = make_octets(want);
        if (end_ > begin_) std::memcpy(grown.get(), buf_.get() + begin_, size());
        end_ -= begin_;
        begin_ = 0;
        buf_ = std::move(grown);
        cap_ = want;
    }
    return {buf_.get() + end_, cap_ - end_};
}

Bytes ReadBuffer::take_front(std::size_t skip, std::size_t n, const std::optional<MaskKey>& mask) {
    std::uint8_t* body = buf_.get() + begin_ + skip;
    if (mask) copy_masked(body, body, n, *mask, 0);
    Bytes out = Bytes::sharing(buf_, std::span<const std::uint8_t>(body, n));
    const std::size_t rest_at = begin_ + skip + n;
    const std::size_t rest = end_ - rest_at;
    const std::size_t cap = std::max(read_room, rest);
    auto fresh = make_octets(cap);
    if (rest > 0) std::memcpy(fresh.get(), buf_.get() + rest_at, rest);
    buf_ = std::move(fresh);
    cap_ = cap;
    begin_ = 0;
    end_ = rest;
    return out;
}

// ---------------------------------------------------------------------------
// Frame reader

namespace {

// Below this a payload is copied out of the read buffer.
constexpr std::size_t zero_copy_payload = large_octets;

bool reserved_opcode(std::uint8_t op) { return (op >= 3 && op <= 7) || op >= 11; }

IoError closed() { return IoError{IoError::Kind::unexpected_eof, "connection closed"}; }

// One socket read of n octets: counted, and logged with this read's octets only.
void record_read(const Protocol& protocol, std::span<const std::uint8_t> octets) {
    auto g = protocol.lock();
    g->rx_octet_stats[octets.size()] += 1;
    if (g->create_wirelog) g->log_traffic(wire::RxOctets{octets.size(), octets_hex(octets)});
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
        g->log_traffic(wire::RxFrame{f.payload.size(), asciilog(f.payload.span()), f.opcode, f.fin, rsv,
                                     f.mask.has_value(), std::move(key)});
    }
}

// Room for the next read: the rest of the frame at the buffer's start once its
// header is known, so a large frame is read without repeated growth.
std::size_t room_for_next_read(const ReadBuffer& buffer) {
    std::size_t room = ReadBuffer::read_room;
    if (auto h = parse_frame_header(buffer.data()); h && *h) {
        const std::size_t total = (*h)->header_size + std::size_t((*h)->payload_size);
        if (total > buffer.size()) room = std::max(room, total - buffer.size());
    }
    return room;
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
    if (payload_size >= zero_copy_payload && buffer.size() - total <= ReadBuffer::read_room) {
        // A large frame that (nearly) fills the buffer: the buffer's storage
        // becomes the payload and only the few octets after it are copied.
        f.payload = buffer.take_front(h.header_size, payload_size, h.mask);
    } else {
        if (payload_size > 0) {
            const std::uint8_t* body = buffer.data().data() + h.header_size;
            auto copy = make_octets(payload_size);
            if (h.mask) copy_masked(copy.get(), body, payload_size, *h.mask, 0);
            else std::memcpy(copy.get(), body, payload_size);
            const std::uint8_t* data = copy.get();
            f.payload = Bytes::sharing(std::move(copy), {data, payload_size});
        }
        buffer.consume(total);
    }
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

        std::span<std::uint8_t> free = buffer.prepare(room_for_next_read(buffer));

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

ReadAhead read_available(asio::ip::tcp::socket& stream, ReadBuffer& buffer, const Protocol& protocol,
                         std::size_t limit) {
    if (buffer.size() >= limit) return ReadAhead::would_block;
    const std::size_t most = limit - buffer.size();
    std::span<std::uint8_t> free = buffer.prepare(std::min(room_for_next_read(buffer), most));
    free = free.first(std::min(free.size(), most));
    std::error_code ec;
    const std::size_t n = stream.read_some(asio::buffer(free.data(), free.size()), ec);
    if (n > 0) {
        buffer.commit(n);
        record_read(protocol, free.first(n));
    }
    if (ec == asio::error::would_block || ec == asio::error::try_again) return ReadAhead::would_block;
    if (ec || n == 0) return ReadAhead::ended;
    return ReadAhead::read;
}

}  // namespace varnel::runner
