// Client masking (RFC 6455 section 5.3): unpredictable keys and the XOR itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace varnel {

using MaskKey = std::array<std::uint8_t, 4>;

// A fresh key from the kernel's CSPRNG. Keys are drawn in batches into a
// per-thread buffer, so the usual call makes no system call; none takes a lock,
// and a child of fork() draws keys of its own. Throws std::runtime_error when
// the generator fails: frames must never go out with a predictable key.
MaskKey next_mask_key();

// dst[i] = src[i] ^ key[(start + i) % 4] for i < n. dst and src may be equal.
void copy_masked(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, const MaskKey& key,
                 std::uint64_t start) noexcept;

}  // namespace varnel
