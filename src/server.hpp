// Server mode: the FuzzingServer object, its accept loop, one task per
// connection that routes the request, and the server side of the handshake.
#pragma once

#include "asyncrt.hpp"
#include "compress.hpp"
#include "constants.hpp"
#include "selection.hpp"
#include "protocol.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace varnel::server {

// The Sec-WebSocket-Accept value for a key, exactly as the request carried it.
std::string websocket_accept(std::string_view key);

// The whole 101 response, with the extensions line only when there is a text.
std::string upgrade_response(std::string_view key, const std::optional<std::string>& extensions);

// What a connection task needs of the client's request head.
struct RequestHead {
    std::string path;
    std::string query;  // without "?"; empty when none
    std::optional<std::string> key;         // first Sec-WebSocket-Key
    std::optional<std::string> extensions;  // first Sec-WebSocket-Extensions
    std::optional<std::string> user_agent;  // first User-Agent
    std::string raw;     // lossy UTF-8, trailing white space removed
    std::size_t length = 0;
};

// A complete head, none while more octets are needed, or the error text.
std::expected<std::optional<RequestHead>, std::string> parse_request_head(
    std::span<const std::uint8_t> octets);

// Where a request goes.
struct CaseCountRoute {};
struct UpdateReportsRoute {};
struct CaseRoute {
    std::size_t number;  // 1-based
    std::string agent;
};
struct NoRoute {};  // close without a response
using Route = std::variant<CaseCountRoute, UpdateReportsRoute, CaseRoute, NoRoute>;

Route route(const RequestHead& head, std::size_t case_count);

// The values both sides end up with, from the case's acceptance.
struct Negotiated {
    bool server_no_context_takeover = false;
    std::uint8_t server_window_bits = 0;
    bool client_no_context_takeover = false;
    std::uint8_t client_window_bits = 0;
};

Negotiated negotiated_values(const PerMessageDeflateOfferAccept& accept);

// The response's Sec-WebSocket-Extensions value for the negotiated values.
std::string response_text(const Negotiated& values);

// Hands the client's offers to the case's accept callable and installs the
// engine it agrees to; the result is the response text, if any. Attached.
PyResult<std::optional<std::string>> negotiate_deflate(const Protocol& protocol,
                                                       const std::optional<std::string>& extensions);

// ---- the server object

// A new FuzzingServer for the selected cases; nothing is bound yet. Attached.
nb::object make_server(std::string host, std::uint16_t port, std::vector<Case> cases, Constants constants);

// Registers the FuzzingServer class.
void export_fuzzing_server(nb::module_ m);

}  // namespace varnel::server
