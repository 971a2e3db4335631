#include "http.hpp"

#include <picohttpparser.h>
#include <simdutf.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace varnel::http {

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
// Text helpers

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at the start of `s`, or the length of its
// maximal invalid prefix negated (at least 1), as the WHATWG decoder counts it.
int sequence_length(std::span<const std::uint8_t> s) {
    std::uint8_t b = s[0];
    if (b < 0x80) return 1;
    int need = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) need = 1;
    else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return -1;
    }
    for (int i = 1; i <= need; ++i) {
        if (std::size_t(i) >= s.size()) return -i;
        std::uint8_t c = s[std::size_t(i)];
        if (c < lo || c > hi) return -i;
        lo = 0x80;
        hi = 0xBF;
    }
    return need + 1;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

std::string_view trim_end(std::string_view text) {
    while (!text.empty()) {
        std::size_t start = text.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        std::string_view last = text.substr(start);
        char32_t cp = 0;
        if (simdutf::convert_utf8_to_utf32(last.data(), last.size(), &cp) != 1) break;
        if (!is_white_space(cp)) break;
        text.remove_suffix(last.size());
    }
    return text;
}

std::string lossy_text_trimmed(std::span<const std::uint8_t> octets) {
    std::string out;
    const char* chars = reinterpret_cast<const char*>(octets.data());
    if (simdutf::validate_utf8(chars, octets.size())) {
        out.assign(chars, octets.size());
    } else {
        out.reserve(octets.size() + 16);
        std::size_t i = 0;
        while (i < octets.size()) {
            int n = sequence_length(octets.subspan(i));
            if (n > 0) {
                out.append(chars + i, std::size_t(n));
                i += std::size_t(n);
            } else {
                out += replacement;
                i += std::size_t(-n);
            }
        }
    }
    out.resize(trim_end(out).size());
    return out;
}

bool visible_ascii(std::string_view value) noexcept {
    return std::ranges::all_of(value, [](char ch) {
        auto c = static_cast<unsigned char>(ch);
        return c == 0x09 || (c >= 0x20 && c <= 0x7E);
    });
}

}  // namespace varnel::http

namespace varnel::http {

asio::awaitable<std::expected<void, std::string>> write_all(asio::ip::tcp::socket& stream,
                                                            std::span<const std::uint8_t> octets) {
    auto [ec, n] = co_await asio::async_write(
        stream, asio::buffer(octets.data(), octets.size()),
        asio::cancel_after(handshake_time_limit, asio::as_tuple(asio::use_awaitable)));
    if (ec == asio::error::operation_aborted) co_return std::unexpected(std::string("timed out writing"));
    if (ec) co_return std::unexpected(ec.message());
    if (n != octets.size()) co_return std::unexpected(std::string("write zero"));
    co_return std::expected<void, std::string>();
}

}  // namespace varnel::http
