// One connection's permessage-deflate engine (RFC 7692) on raw DEFLATE streams,
// and the readers of the Sec-WebSocket-Extensions header.
#pragma once

#include "bytes.hpp"
#include "compress.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// The largest message `Deflate::decompress` produces. DEFLATE data can expand
// about a thousandfold, so a small hostile frame could otherwise claim gigabytes;
// ordinary test traffic (up to 16 MiB messages) stays well below this.
inline constexpr std::size_t max_inflated_message = std::size_t(64) << 20;

struct DeflateError {
    enum class Kind {
        invalid_data,  // the received data is not a valid message
        broken,        // the compressor failed: a broken invariant, never the peer's doing
        deadline,      // the caller's deadline passed; the stream is unusable afterwards
    };
    Kind kind;
    std::string message;
};

class Deflate {
public:
    // Window bits of 0 mean "not negotiated". Throws std::bad_alloc when zlib
    // cannot allocate its streams.
    Deflate(bool compress_no_context_takeover, std::uint8_t compress_window_bits,
            bool decompress_no_context_takeover, std::uint8_t decompress_window_bits);
    Deflate(Deflate&&) noexcept;
    Deflate& operator=(Deflate&&) noexcept;
    ~Deflate();

    // One whole outgoing message, trailer 00 00 FF FF removed.
    std::expected<ByteVec, DeflateError> compress(std::span<const std::uint8_t> payload);
    // One whole received message; errors are invalid_data, their text ready for a
    // ValueError. The work goes in bounded slices; with a deadline, one that passes
    // between slices ends the call with kind deadline.
    std::expected<ByteVec, DeflateError> decompress(
        std::span<const std::uint8_t> payload,
        std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

    // The window bits zlib runs with for a negotiated value: always 9 to 15.
    static int window_bits(std::uint8_t negotiated) noexcept;

private:
    // zlib keeps a pointer back to its z_stream, so each stream stays at one address.
    class Compressor;
    class Decompressor;

    void restart_stream();

    std::unique_ptr<Compressor> compressor_;
    std::unique_ptr<Decompressor> decompressor_;
    bool compress_no_context_takeover_;
    bool decompress_no_context_takeover_;
};

// The offers of a client's Sec-WebSocket-Extensions value, in header order.
// Lenient: anything unrecognised is skipped, nothing is range-checked.
std::vector<PerMessageDeflateOffer> parse_offers(std::string_view header);

// The server's answer: only the first element counts, and only when it is
// permessage-deflate.
std::optional<PerMessageDeflateResponse> parse_response(std::string_view header);

}  // namespace varnel
