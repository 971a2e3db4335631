// The HTTP heads of the opening handshake: the header map, small text helpers
// shared by both sides, and reading and writing a head on the socket.
#pragma once

#include "runner.hpp"

#include <asio/as_tuple.hpp>
#include <asio/cancel_after.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

struct phr_header;

namespace varnel::http {

// The header lines of one HTTP head: names lower-cased, every value of a repeated
// name kept in line order, lookups case-insensitive.
class HeaderMap {
public:
    struct Entry {
        std::string name;   // lower case
        std::string value;  // the octets as received
    };

    void reserve(std::size_t n) { entries_.reserve(n); }
    void append(std::string lower_name, std::string value);

    // The first value under `name`, if any.
    std::optional<std::string_view> get(std::string_view name) const;
    // Every value under `name`, first line first.
    std::vector<std::string_view> get_all(std::string_view name) const;
    bool contains(std::string_view name) const { return get(name).has_value(); }
    // The number of lines (values), not of distinct names.
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    const std::vector<Entry>& entries() const noexcept { return entries_; }

private:
    std::vector<Entry> entries_;
};

// The parser's header lines as a map. Errors (kind invalid_data): "invalid HTTP
// header name" for a name that is empty, over 65535 octets or not a token;
// "failed to parse header value" for a value with a control octet other than TAB.
// The first bad line decides, and its name before its value.
std::expected<HeaderMap, IoError> to_header_map(std::span<const phr_header> lines);

// The octets as UTF-8, each invalid sequence replaced by U+FFFD, with trailing
// Unicode white space removed: how a handshake head is kept as text.
std::string lossy_text_trimmed(std::span<const std::uint8_t> octets);

// `text` without trailing Unicode white space (text is valid UTF-8).
std::string_view trim_end(std::string_view text);

// Only TAB and 0x20 to 0x7E: the values the engine reads as header text.
bool visible_ascii(std::string_view value) noexcept;

inline std::span<const std::uint8_t> octets_of(std::string_view s) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace varnel::http

// ---- socket side (runs on the runtime, never touches Python)

namespace varnel::http {

// How long a peer may take over one step of the opening handshake (connecting,
// writing the head, sending its whole head), and how large a head may grow.
// Neither is a test of the peer: they keep a stalled or endless peer from
// holding a case, a permit or the end of a run forever.
inline constexpr std::chrono::seconds handshake_time_limit{30};
inline constexpr std::size_t max_head_size = std::size_t(64) << 10;

// Writes all of `octets`; the error is the text of the failure.
asio::awaitable<std::expected<void, std::string>> write_all(asio::ip::tcp::socket& stream,
                                                            std::span<const std::uint8_t> octets);

// A head is parsed from its first octet every time, so one trickled in an octet
// at a time would cost time quadratic in its size. Past its first few KiB it is
// parsed again only when a line has ended, a few KiB more have come or it has
// reached the limit. What is unparsed when reading fails is parsed before the
// failure counts: the outcome is the same as parsing every read, only later.
inline constexpr std::size_t eager_head_size = 4096;

inline bool head_worth_parsing(std::size_t size, std::span<const std::uint8_t> fresh,
                               std::size_t unparsed) noexcept {
    return size <= eager_head_size || size >= max_head_size || unparsed >= eager_head_size ||
           std::ranges::find(fresh, std::uint8_t('\n')) != fresh.end();
}

// Reads into `buffer` until `parse` finds a complete head there; the error is
// the text of a read failure, the parser's error, "peer closed during
// handshake" or the text of a limit above. Only the first max_head_size octets
// are ever parsed, so whether a head fits does not depend on how the peer's
// octets were split into reads: a head that ends (blank line included) within
// the limit is read, one that does not is too large.
template <class Parse>
auto read_head(asio::ip::tcp::socket& stream, runner::ReadBuffer& buffer, Parse parse)
    -> asio::awaitable<std::expected<typename std::invoke_result_t<Parse, std::span<const std::uint8_t>>::value_type::value_type, std::string>> {
    auto deadline = std::chrono::steady_clock::now() + handshake_time_limit;
    std::size_t unparsed = 0;
    for (;;) {
        std::span<std::uint8_t> room = buffer.prepare(1024);
        auto left = deadline - std::chrono::steady_clock::now();
        auto [ec, n] = co_await stream.async_read_some(
            asio::buffer(room.data(), room.size()),
            asio::cancel_after(std::max(left, decltype(left)::zero()), asio::as_tuple(asio::use_awaitable)));
        const bool failed = ec || n == 0;
        if (!failed) {
            buffer.commit(n);
            unparsed += n;
        }
        if (unparsed > 0 && (failed || head_worth_parsing(buffer.size(), buffer.data().last(n), unparsed))) {
            unparsed = 0;
            auto parsed = parse(buffer.data().first(std::min(buffer.size(), max_head_size)));
            if (!parsed) co_return std::unexpected(std::move(parsed.error()));
            if (*parsed) co_return std::move(**parsed);
            if (buffer.size() >= max_head_size) co_return std::unexpected(std::string("handshake head too large"));
        }
        if (ec == asio::error::operation_aborted && std::chrono::steady_clock::now() >= deadline)
            co_return std::unexpected(std::string("timed out waiting for the handshake head"));
        if (ec == asio::error::eof || (!ec && n == 0))
            co_return std::unexpected(std::string("peer closed during handshake"));
        if (ec) co_return std::unexpected(ec.message());
    }
}

}  // namespace varnel::http
