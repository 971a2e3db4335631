// permessage-deflate inflation of a series of messages on one connection, checked
// against a plain inflater that restarts zlib by copying its window at every end
// of a DEFLATE stream: the same messages, the same errors.
#include "deflate.hpp"

#include "../tests/cpp/reference_inflate.hpp"

#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // First octet: the window bits (9 to 15) and context takeover. Then messages,
    // each a one-octet length and that many octets (the last one takes the rest).
    const std::uint8_t negotiated = std::uint8_t(9 + (data[0] & 0x07) % 7);
    const bool no_takeover = (data[0] & 0x80) != 0;
    varnel::Deflate d(false, 0, no_takeover, negotiated);
    varnel::testing::ReferenceInflater reference(varnel::Deflate::window_bits(negotiated), no_takeover);
    std::span<const std::uint8_t> rest(data + 1, size - 1);
    while (!rest.empty()) {
        std::size_t n = rest[0];
        rest = rest.subspan(1);
        if (n > rest.size()) n = rest.size();
        const auto message = rest.first(n);
        rest = rest.subspan(n);
        const auto got = d.decompress(message);
        const auto want = reference.decompress(message, varnel::max_inflated_message);
        if (bool(got) != bool(want)) std::abort();
        if (!want) {
            if (got.error().kind != varnel::DeflateError::Kind::invalid_data || got.error().message != want.error())
                std::abort();
            break;  // the stream is unusable after an error
        }
        if (*got != *want) std::abort();
    }
    return 0;
}
