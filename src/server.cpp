#include "server.hpp"

#include "http.hpp"

#include <ada.h>
#include <openssl/evp.h>
#include <picohttpparser.h>
#include <simdutf.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <format>
#include <stdexcept>
#include <vector>

namespace varnel::server {

// ---------------------------------------------------------------------------
// Handshake texts

std::string websocket_accept(std::string_view key) {
    static constexpr std::string_view guid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    std::string input = std::string(key) + std::string(guid);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int digest_len = 0;
    if (EVP_Digest(input.data(), input.size(), digest.data(), &digest_len, EVP_sha1(), nullptr) != 1)
        throw std::runtime_error("SHA-1 digest failed");
    std::string out(simdutf::base64_length_from_binary(digest_len), '\0');
    out.resize(simdutf::binary_to_base64(reinterpret_cast<const char*>(digest.data()), digest_len,
                                         out.data()));
    return out;
}

std::string upgrade_response(std::string_view key, const std::optional<std::string>& extensions) {
    std::string line = extensions ? std::format("Sec-WebSocket-Extensions: {}\r\n", *extensions) : "";
    return std::format(
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: {}\r\n{}\r\n",
        websocket_accept(key), line);
}

// ---------------------------------------------------------------------------
// Request head

namespace {

constexpr std::size_t header_slots = 64;

bool is_token_char(unsigned char c) {
    if (c >= '0' && c <= '9') return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(char(c)) != std::string_view::npos;
}

bool same_name(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) { return (x | 0x20) == (y | 0x20); });
}

// Every request target is resolved against this; only its path and query count.
const ada::url_aggregator& request_base() {
    static const ada::url_aggregator base = [] {
        auto parsed = ada::parse<ada::url_aggregator>("ws://varnel.invalid");
        if (!parsed) throw std::logic_error("valid base url");
        return *parsed;
    }();
    return base;
}

std::expected<void, std::string> read_header_lines(std::span<const phr_header> lines, RequestHead& head) {
    for (const phr_header& h : lines) {
        if (h.name == nullptr) return std::unexpected("invalid HTTP request head");  // a folded line
        std::string_view name(h.name, h.name_len);
        if (name.empty() || name.size() > 65535 ||
            !std::ranges::all_of(name, [](char c) { return is_token_char(static_cast<unsigned char>(c)); }))
            return std::unexpected("invalid HTTP header name");
        std::string_view value(h.value, h.value_len);
        for (char ch : value) {
            auto c = static_cast<unsigned char>(ch);
            if ((c < 0x20 && c != 0x09) || c == 0x7F) return std::unexpected("failed to parse header value");
        }
        if (!head.key && same_name(name, "sec-websocket-key")) head.key.emplace(value);
        if (!head.extensions && same_name(name, "sec-websocket-extensions")) head.extensions.emplace(value);
        if (!head.user_agent && same_name(name, "user-agent")) head.user_agent.emplace(value);
    }
    return {};
}

}  // namespace

std::expected<std::optional<RequestHead>, std::string> parse_request_head(
    std::span<const std::uint8_t> octets) {
    std::array<phr_header, header_slots> headers{};
    std::size_t count = headers.size();
    const char *method = nullptr, *path = nullptr;
    std::size_t method_len = 0, path_len = 0;
    int minor = 0;
    const char* buf = reinterpret_cast<const char*>(octets.data());
    int n = phr_parse_request(buf, octets.size(), &method, &method_len, &path, &path_len, &minor,
                              headers.data(), &count, 0);
    if (n == -2) return std::nullopt;
    if (n == -1) return std::unexpected("invalid HTTP request head");

    std::string target = path_len == 0 ? std::string("/") : std::string(path, path_len);
    auto url = ada::parse<ada::url_aggregator>(target, &request_base());
    if (!url) return std::unexpected("invalid request target");

    RequestHead head;
    if (auto ok = read_header_lines({headers.data(), count}, head); !ok) return std::unexpected(ok.error());
    head.path = std::string(url->get_pathname());
    std::string_view search = url->get_search();
    if (search.starts_with('?')) search.remove_prefix(1);
    head.query = std::string(search);
    head.length = std::size_t(n);
    head.raw = http::lossy_text_trimmed(octets.first(head.length));
    return head;
}

// ---------------------------------------------------------------------------
// Routing

namespace {

// An optional "+" and decimal digits that fit in 64 bits.
std::optional<std::uint64_t> case_number(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty() || !std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

Route route(const RequestHead& head, std::size_t case_count) {
    if (!head.key) return NoRoute{};
    if (head.path == "/getCaseCount") return CaseCountRoute{};
    if (head.path == "/updateReports") return UpdateReportsRoute{};

    ada::url_search_params params(head.query);
    std::optional<std::string_view> value = params.get("case");
    if (!value) return NoRoute{};
    std::optional<std::uint64_t> n = case_number(*value);
    if (!n || *n == 0 || *n > case_count) return NoRoute{};

    std::string agent;
    if (std::optional<std::string_view> given = params.get("agent")) agent = std::string(*given);
    else if (head.user_agent && http::visible_ascii(*head.user_agent)) agent = *head.user_agent;
    else agent = "UnknownClient";
    return CaseRoute{std::size_t(*n), std::move(agent)};
}

// ---------------------------------------------------------------------------
// Compression negotiation

Negotiated negotiated_values(const PerMessageDeflateOfferAccept& accept) {
    return Negotiated{
        .server_no_context_takeover =
            accept.noContextTakeover.value_or(accept.offer.requestNoContextTakeover),
        .server_window_bits = accept.windowBits.value_or(accept.offer.requestMaxWindowBits),
        .client_no_context_takeover = accept.requestNoContextTakeover,
        .client_window_bits = accept.requestMaxWindowBits,
    };
}

std::string response_text(const Negotiated& v) {
    std::string out = "permessage-deflate";
    if (v.server_no_context_takeover) out += "; server_no_context_takeover";
    if (v.server_window_bits != 0) out += std::format("; server_max_window_bits={}", v.server_window_bits);
    if (v.client_no_context_takeover) out += "; client_no_context_takeover";
    if (v.client_window_bits != 0) out += std::format("; client_max_window_bits={}", v.client_window_bits);
    return out;
}

PyResult<std::optional<std::string>> negotiate_deflate(const Protocol& protocol,
                                                       const std::optional<std::string>& extensions) {
    if (!extensions || !http::visible_ascii(*extensions)) return std::nullopt;
    PyRef accept = protocol.accept();
    if (!accept || accept.handle().is_none()) return std::nullopt;

    nb::list offers;
    for (const PerMessageDeflateOffer& offer : parse_offers(*extensions)) offers.append(nb::cast(offer));
    nb::object answer = accept.object()(offers);
    if (answer.is_none()) return std::nullopt;
    if (!nb::isinstance<PerMessageDeflateOfferAccept>(answer)) {
        nb::str qualname = nb::steal<nb::str>(PyType_GetQualName(Py_TYPE(answer.ptr())));
        return std::unexpected(make_py_error(
            PyExc_TypeError, std::format("'{}' object is not an instance of 'PerMessageDeflateOfferAccept'",
                                         qualname.c_str())));
    }
    Negotiated values = negotiated_values(nb::cast<const PerMessageDeflateOfferAccept&>(answer));
    std::string text = response_text(values);
    Deflate engine(values.server_no_context_takeover, values.server_window_bits,
                   values.client_no_context_takeover, values.client_window_bits);
    auto guard = protocol.lock_py();
    guard->deflate.emplace(std::move(engine));
    return text;
}

}  // namespace varnel::server
