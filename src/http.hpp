// Small text helpers shared by both sides of the opening handshake.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace varnel::http {

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
