// Client mode: the target URL, the opening handshake as a client, and the
// permessage-deflate offer and acceptance that the case decides on.
#pragma once

#include "asyncrt.hpp"
#include "compress.hpp"
#include "constants.hpp"
#include "selection.hpp"
#include "protocol.hpp"
#include "result.hpp"

#include <asio/awaitable.hpp>
#include <memory>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace varnel::client {

// What a case task needs of the target URL, taken from its WHATWG form.
struct WsUrl {
    std::string href;       // the serialised URL
    std::string host;       // host text: domain, dotted IPv4 or bracketed IPv6
    std::uint16_t port = 80;
    std::string target;     // path and query, never the fragment
    std::string authority;  // user information, host and port as serialised
};

// Parses `url` ("ws://" is put in front when it has no "://"); only ws and http
// schemes with a host pass. The error is the ValueError text.
std::expected<WsUrl, std::string> parse_ws_url(std::string_view url);

// The host to resolve and connect to: the host text without IPv6 brackets.
std::string connect_host(const WsUrl& url);

// The RFC 6455 section 1.3 sample nonce, sent on every connection.
inline constexpr std::string_view request_key = "dGhlIHNhbXBsZSBub25jZQ==";

// The upgrade request, head included, ending with an empty line.
std::string build_request(const WsUrl& url, const std::optional<std::string>& offer);

// The parsed head of the server's response (header lines kept as parsed).
struct ResponseHead {
    std::optional<std::string> extensions;  // first Sec-WebSocket-Extensions value
    std::optional<std::string> server;      // first Server value
    std::string raw;                        // lossy UTF-8, trailing white space removed
    std::uint16_t status = 0;
    std::size_t length = 0;                 // octets of the head in the buffer
};

// A complete head, none while more octets are needed, or the error text.
std::expected<std::optional<ResponseHead>, std::string> parse_response_head(
    std::span<const std::uint8_t> octets);

// "404 Not Found"; "<unknown status code>" stands in for an unknown reason.
std::string status_display(std::uint16_t status);

// The agent name: a Server value of tabs and visible ASCII, else the authority.
std::string choose_agent(const std::optional<std::string>& server, const WsUrl& url);

// ---- compression negotiation

// "permessage-deflate" with the offer's parameters.
std::string offer_text(const PerMessageDeflateOffer& offer);

// The offer line's value for a case's offer list: none for an empty list;
// TypeError for an item that is not a PerMessageDeflateOffer. Attached.
PyResult<std::optional<std::string>> build_offer_header(nb::handle offers);

// Hands the server's answer to the case's accept callable and installs the
// engine it agrees to. Attached.
PyResult<void> negotiate_deflate(const Protocol& protocol, const std::optional<std::string>& extensions);

// ---- the case task

// One case of a client run: waits for a permit of `permits`, connects, sets the
// case up, shakes hands, negotiates and drives it. Any failure on that road
// becomes the case's error result; the outcome is an error only when even that
// could not be recorded.
asio::awaitable<PyResult<void>> case_task(std::shared_ptr<Semaphore> permits, std::shared_ptr<const WsUrl> url,
                                          Case c, std::size_t position, Constants constants,
                                          SharedResults results);

}  // namespace varnel::client
