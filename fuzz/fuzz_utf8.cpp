// The incremental UTF-8 validator: however the octets are cut into chunks, it
// reaches the verdict a whole-buffer validation reaches.
#include "utf8.hpp"

#include <simdutf.h>

#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first octet picks the chunk lengths (1 to 8, cycling); the rest is the stream.
    const unsigned cut = data[0];
    const std::span<const std::uint8_t> text(data + 1, size - 1);
    const bool whole_valid = simdutf::validate_utf8(reinterpret_cast<const char*>(text.data()), text.size());

    varnel::Utf8Stream once;
    const varnel::Utf8Status one = once.validate(text);
    if ((one.valid && one.ends_on_codepoint) != whole_valid) std::abort();

    varnel::Utf8Stream chunked;
    varnel::Utf8Status last{true, true, 0, 0};
    std::size_t at = 0;
    for (unsigned i = 0; at < text.size(); ++i) {
        const std::size_t n = std::min<std::size_t>(1 + ((cut >> (i % 3)) + i) % 8, text.size() - at);
        last = chunked.validate(text.subspan(at, n));
        if (last.consumed > n) std::abort();
        at += n;
    }
    if (last.valid != one.valid) std::abort();
    if (one.valid && (last.ends_on_codepoint != one.ends_on_codepoint || last.total != one.total)) std::abort();
    return 0;
}
