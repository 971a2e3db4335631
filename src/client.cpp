#include "client.hpp"

#include "http.hpp"
#include "result.hpp"
#include "runner.hpp"
#include "selection.hpp"

#include <asio/this_coro.hpp>

#include <ada.h>
#include <picohttpparser.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <format>
#include <vector>

namespace varnel::client {

// ---------------------------------------------------------------------------
// URL

namespace {

// The URL library says only that parsing failed; name the usual reason.
std::string url_failure_reason(std::string_view text) {
    std::size_t start = text.find("://");
    std::string_view scheme = text.substr(0, start);
    while (!scheme.empty() && static_cast<unsigned char>(scheme.front()) <= 0x20) scheme.remove_prefix(1);
    auto ascii_alpha = [](char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; };
    if (scheme.empty() || !ascii_alpha(scheme.front()) ||
        !std::ranges::all_of(scheme, [&](char c) {
            return ascii_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        }))
        return "relative URL without a base";  // nothing before "://" reads as a scheme
    std::string_view rest = start == std::string_view::npos ? text : text.substr(start + 3);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#\\"));
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with('[')) {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return "invalid IPv6 address";
        host = authority.substr(0, close + 1);
        if (close + 1 < authority.size() && authority[close + 1] == ':') port = authority.substr(close + 2);
    } else if (std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    }
    if (host.empty()) return "empty host";
    if (!std::ranges::all_of(port, [](char c) { return c >= '0' && c <= '9'; }) || port.size() > 5)
        return "invalid port number";
    return "invalid URL";
}

}  // namespace

std::expected<WsUrl, std::string> parse_ws_url(std::string_view url) {
    std::string text = url.find("://") == std::string_view::npos ? "ws://" + std::string(url)
                                                                 : std::string(url);
    auto parsed = ada::parse<ada::url_aggregator>(text);
    if (!parsed)
        return std::unexpected(
            std::format("invalid url {}: {}", quote_text(url), url_failure_reason(text)));
    std::string_view scheme = parsed->get_protocol();
    scheme.remove_suffix(1);  // the ':'
    if (scheme != "ws" && scheme != "http")
        return std::unexpected(std::format("invalid url scheme {}: expected ws or http (or none)",
                                           quote_text(scheme)));
    if (!parsed->has_hostname() || parsed->get_hostname().empty())
        return std::unexpected(std::format("url {} has no host", quote_text(url)));

    WsUrl out;
    out.href = std::string(parsed->get_href());
    out.host = std::string(parsed->get_hostname());
    std::string_view port = parsed->get_port();
    if (!port.empty()) std::from_chars(port.data(), port.data() + port.size(), out.port);
    const ada::url_components& c = parsed->get_components();
    std::size_t path_start = c.pathname_start;
    std::size_t path_end = c.hash_start == ada::url_components::omitted ? out.href.size() : c.hash_start;
    out.target = out.href.substr(path_start, path_end - path_start);
    std::size_t authority_start = c.protocol_end + 2;
    out.authority = out.href.substr(authority_start, path_start - authority_start);
    return out;
}

std::string connect_host(const WsUrl& url) {
    std::string_view h = url.host;
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    return std::string(h);
}

// ---------------------------------------------------------------------------
// Handshake texts

std::string build_request(const WsUrl& url, const std::optional<std::string>& offer) {
    std::string out = std::format(
        "GET {} HTTP/1.1\r\nHost: {}:{}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: {}\r\nSec-WebSocket-Version: 13\r\n",
        url.target, url.host, url.port, request_key);
    if (offer) out += std::format("Sec-WebSocket-Extensions: {}\r\n", *offer);
    out += "\r\n";
    return out;
}

namespace {

constexpr std::size_t header_slots = 64;

}  // namespace

std::expected<std::optional<ResponseHead>, std::string> parse_response_head(
    std::span<const std::uint8_t> octets) {
    std::array<phr_header, header_slots> headers{};
    std::size_t count = headers.size();
    int minor = 0, status = 0;
    const char* msg = nullptr;
    std::size_t msg_len = 0;
    const char* buf = reinterpret_cast<const char*>(octets.data());
    int n = phr_parse_response(buf, octets.size(), &minor, &status, &msg, &msg_len, headers.data(),
                               &count, 0);
    if (n == -2) return std::nullopt;
    if (n == -1) {
        // Parsing again with room for every line tells a count overflow apart.
        std::vector<phr_header> more(std::size_t(std::ranges::count(octets, '\n')) + 1);
        std::size_t more_count = more.size();
        int again = phr_parse_response(buf, octets.size(), &minor, &status, &msg, &msg_len,
                                       more.data(), &more_count, 0);
        return std::unexpected(again == -1 ? "invalid HTTP response head" : "too many headers");
    }
    if (minor > 1) return std::unexpected("invalid HTTP version");
    if (status < 100 || status > 999) return std::unexpected("missing or invalid HTTP status");
    std::span<const phr_header> lines(headers.data(), count);
    if (std::ranges::any_of(lines, [](const phr_header& h) { return h.name == nullptr; }))
        return std::unexpected("invalid HTTP response head");  // a folded line
    auto map = http::to_header_map(lines);
    if (!map) return std::unexpected(std::move(map.error().message));
    ResponseHead head;
    if (auto v = map->get("sec-websocket-extensions")) head.extensions.emplace(*v);
    if (auto v = map->get("server")) head.server.emplace(*v);
    head.status = std::uint16_t(status);
    head.length = std::size_t(n);
    head.raw = http::lossy_text_trimmed(octets.first(head.length));
    return head;
}

namespace {

std::string_view reason_phrase(std::uint16_t status) {
    switch (status) {
        case 100: return "Continue";
        case 101: return "Switching Protocols";
        case 102: return "Processing";
        case 200: return "OK";
        case 201: return "Created";
        case 202: return "Accepted";
        case 203: return "Non Authoritative Information";
        case 204: return "No Content";
        case 205: return "Reset Content";
        case 206: return "Partial Content";
        case 207: return "Multi-Status";
        case 208: return "Already Reported";
        case 226: return "IM Used";
        case 300: return "Multiple Choices";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 304: return "Not Modified";
        case 305: return "Use Proxy";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 402: return "Payment Required";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 406: return "Not Acceptable";
        case 407: return "Proxy Authentication Required";
        case 408: return "Request Timeout";
        case 409: return "Conflict";
        case 410: return "Gone";
        case 411: return "Length Required";
        case 412: return "Precondition Failed";
        case 413: return "Payload Too Large";
        case 414: return "URI Too Long";
        case 415: return "Unsupported Media Type";
        case 416: return "Range Not Satisfiable";
        case 417: return "Expectation Failed";
        case 418: return "I'm a teapot";
        case 421: return "Misdirected Request";
        case 422: return "Unprocessable Entity";
        case 423: return "Locked";
        case 424: return "Failed Dependency";
        case 426: return "Upgrade Required";
        case 428: return "Precondition Required";
        case 429: return "Too Many Requests";
        case 431: return "Request Header Fields Too Large";
        case 451: return "Unavailable For Legal Reasons";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        case 505: return "HTTP Version Not Supported";
        case 506: return "Variant Also Negotiates";
        case 507: return "Insufficient Storage";
        case 508: return "Loop Detected";
        case 510: return "Not Extended";
        case 511: return "Network Authentication Required";
        default: return "<unknown status code>";
    }
}

}  // namespace

std::string status_display(std::uint16_t status) {
    return std::format("{} {}", status, reason_phrase(status));
}

std::string choose_agent(const std::optional<std::string>& server, const WsUrl& url) {
    if (server && http::visible_ascii(*server)) return *server;
    return url.authority;
}

// ---------------------------------------------------------------------------
// Compression negotiation

std::string offer_text(const PerMessageDeflateOffer& offer) {
    std::string out = "permessage-deflate";
    if (offer.acceptNoContextTakeover) out += "; client_no_context_takeover";
    if (offer.acceptMaxWindowBits) out += "; client_max_window_bits";
    if (offer.requestNoContextTakeover) out += "; server_no_context_takeover";
    if (offer.requestMaxWindowBits != 0)
        out += std::format("; server_max_window_bits={}", offer.requestMaxWindowBits);
    return out;
}

namespace {

nb::python_error not_an_instance(nb::handle obj, const char* class_name) {
    if (obj.is_none())
        return make_py_error(PyExc_TypeError,
                             std::format("'None' is not an instance of '{}'", class_name));
    nb::str qualname = nb::steal<nb::str>(PyType_GetQualName(Py_TYPE(obj.ptr())));
    return make_py_error(PyExc_TypeError, std::format("'{}' object is not an instance of '{}'",
                                                      qualname.c_str(), class_name));
}

}  // namespace

PyResult<std::optional<std::string>> build_offer_header(nb::handle offers) {
    std::string out;
    bool any = false;
    for (Py_ssize_t i = 0;; ++i) {
        // One item at a time, each read under the list's own lock.
        PyObject* raw = nullptr;
        if (PyList_Check(offers.ptr())) {
            raw = PyList_GetItemRef(offers.ptr(), i);
            if (raw == nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_IndexError)) return std::unexpected(nb::python_error());
                PyErr_Clear();
                break;
            }
        } else {
            Py_ssize_t size = PySequence_Size(offers.ptr());
            if (size < 0) return std::unexpected(nb::python_error());
            if (i >= size) break;
            raw = PySequence_GetItem(offers.ptr(), i);
            if (raw == nullptr) return std::unexpected(nb::python_error());
        }
        nb::object item = nb::steal(raw);
        if (!nb::isinstance<PerMessageDeflateOffer>(item))
            return std::unexpected(not_an_instance(item, "PerMessageDeflateOffer"));
        if (any) out += ", ";
        out += offer_text(nb::cast<const PerMessageDeflateOffer&>(item));
        any = true;
    }
    if (!any) return std::nullopt;
    return out;
}

PyResult<void> negotiate_deflate(const Protocol& protocol, const std::optional<std::string>& extensions) {
    if (!extensions || !http::visible_ascii(*extensions)) return {};
    std::optional<PerMessageDeflateResponse> response = parse_response(*extensions);
    if (!response) return {};
    PyRef accept = protocol.accept();
    if (!accept || accept.handle().is_none()) return {};

    nb::object answer = accept.object()(nb::cast(*response));
    if (answer.is_none()) return {};
    if (!nb::isinstance<PerMessageDeflateResponseAccept>(answer))
        return std::unexpected(not_an_instance(answer, "PerMessageDeflateResponseAccept"));
    const auto& a = nb::cast<const PerMessageDeflateResponseAccept&>(answer);

    Deflate engine(a.noContextTakeover.value_or(response->client_no_context_takeover),
                   a.windowBits.value_or(response->client_max_window_bits),
                   response->server_no_context_takeover, response->server_max_window_bits);
    auto guard = protocol.lock_py();
    guard->deflate.emplace(std::move(engine));
    return {};
}

}  // namespace varnel::client

// ---------------------------------------------------------------------------
// The case task

namespace varnel::client {

namespace {

using asio::ip::tcp;

asio::awaitable<std::error_code> connect_to(tcp::socket& sock, const tcp::endpoint& endpoint) {
    std::error_code ignored;
    sock.close(ignored);
    auto [ec] = co_await sock.async_connect(
        endpoint, asio::cancel_after(http::handshake_time_limit, asio::as_tuple(asio::use_awaitable)));
    co_return ec == asio::error::operation_aborted ? asio::error::timed_out : ec;
}

// Resolves and tries each address in turn; the error text is the last failure's.
// An address literal needs no resolver: every case of a run would otherwise
// queue on the resolver's one thread.
asio::awaitable<std::expected<void, std::string>> connect(tcp::socket& sock, const WsUrl& url) {
    const std::string host = connect_host(url);
    std::error_code not_literal;
    const asio::ip::address literal = asio::ip::make_address(host, not_literal);
    if (!not_literal) {
        std::error_code ec = co_await connect_to(sock, tcp::endpoint(literal, url.port));
        if (!ec) co_return std::expected<void, std::string>();
        co_return std::unexpected(ec.message());
    }
    tcp::resolver resolver(sock.get_executor());
    auto [rec, endpoints] = co_await resolver.async_resolve(
        host, std::to_string(url.port), tcp::resolver::numeric_service,
        asio::cancel_after(http::handshake_time_limit, asio::as_tuple(asio::use_awaitable)));
    if (rec) co_return std::unexpected(rec.message());
    if (endpoints.empty()) co_return std::unexpected(std::string("could not resolve to any address"));
    std::error_code last;
    for (const auto& entry : endpoints) {
        last = co_await connect_to(sock, entry.endpoint());
        if (!last) co_return std::expected<void, std::string>();
    }
    co_return std::unexpected(last.message());
}

struct Setup {
    Protocol protocol;
    PyRef case_obj;
    std::optional<std::string> offer;
};

PyResult<Setup> initialize_case(const Case& c) {
    auto protocol = Protocol::create(false);
    if (!protocol) return std::unexpected(std::move(protocol.error()));
    nb::object case_obj = c->cls.object()(protocol->to_python());
    std::optional<std::string> offer;
    if (PyRef offers = protocol->offers()) {
        auto text = build_offer_header(offers.handle());
        if (!text) return std::unexpected(std::move(text.error()));
        offer = std::move(*text);
    }
    return Setup{std::move(*protocol), PyRef::steal(std::move(case_obj)), std::move(offer)};
}

struct Handshake {
    std::string request;
    ResponseHead head;
};

asio::awaitable<std::expected<Handshake, std::string>> handshake(tcp::socket& sock, const WsUrl& url,
                                                                 const std::optional<std::string>& offer,
                                                                 runner::ReadBuffer& buffer) {
    std::string request = build_request(url, offer);
    if (auto written = co_await http::write_all(sock, http::octets_of(request)); !written)
        co_return std::unexpected(std::move(written.error()));
    auto head = co_await http::read_head(sock, buffer, parse_response_head);
    if (!head) co_return std::unexpected(std::move(head.error()));
    buffer.consume(head->length);
    if (head->status != 101)
        co_return std::unexpected("expected HTTP 101, got " + status_display(head->status));
    co_return Handshake{std::move(request), std::move(*head)};
}

asio::awaitable<PyResult<void>> run_case_inner(const WsUrl& url, const Case& c, std::uint64_t number,
                                               Constants constants, SharedResults results) {
    tcp::socket sock(co_await asio::this_coro::executor);
    if (auto connected = co_await connect(sock, url); !connected)
        co_return std::unexpected(make_py_error_anywhere(PyExc_OSError, "connect: " + connected.error()));
    std::error_code ignored;
    sock.set_option(tcp::no_delay(true), ignored);

    auto setup = co_await attach_blocking("client case set-up", [c] { return initialize_case(c); });
    if (!setup) co_return std::unexpected(std::move(setup.error()));

    runner::ReadBuffer buffer;
    auto shaken = co_await handshake(sock, url, setup->offer, buffer);
    if (!shaken)
        co_return std::unexpected(make_py_error_anywhere(PyExc_OSError, "handshake: " + shaken.error()));
    {
        auto guard = setup->protocol.lock();
        guard->http_request = std::string(http::trim_end(shaken->request));
        guard->http_response = std::move(shaken->head.raw);
    }

    auto negotiated = co_await attach_blocking(
        "client negotiation", [protocol = setup->protocol, ext = shaken->head.extensions]() {
            return negotiate_deflate(protocol, ext);
        });
    if (!negotiated) co_return std::unexpected(std::move(negotiated.error()));

    std::string agent = choose_agent(shaken->head.server, url);
    co_return co_await runner::drive(sock, buffer, std::move(setup->protocol), std::move(setup->case_obj),
                                     c->id, std::move(agent), number, std::move(constants), std::move(results));
}

}  // namespace

asio::awaitable<PyResult<void>> case_task(std::shared_ptr<Semaphore> permits, std::shared_ptr<const WsUrl> url,
                                          Case c, std::size_t position, Constants constants,
                                          SharedResults results) {
    Semaphore::Permit permit = co_await permits->acquire();
    std::uint64_t number = position + 1;
    PyResult<void> ran = co_await run_case_inner(*url, c, number, constants, results);
    if (ran) co_return ran;
    co_return co_await record_error(c->id, number, url->authority, std::move(ran.error()), std::move(results));
}

}  // namespace varnel::client
