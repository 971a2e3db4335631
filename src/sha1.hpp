// SHA-1 (FIPS 180-4), for the opening handshake's Sec-WebSocket-Accept only.
// The engine's own, so a handshake takes no library lock: a child of fork()
// could find one held by a thread it does not have.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace varnel {

using Sha1Digest = std::array<std::uint8_t, 20>;

Sha1Digest sha1(std::span<const std::uint8_t> data) noexcept;

}  // namespace varnel
