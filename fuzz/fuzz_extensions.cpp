// The Sec-WebSocket-Extensions readers: lenient, so any text gives offers or a
// response, never a failure. Callers pass printable ASCII; anything goes here.
#include "deflate.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view header(reinterpret_cast<const char*>(data), size);
    const auto offers = varnel::parse_offers(header);
    // One offer per comma-separated element at most.
    std::size_t elements = 1;
    for (char c : header) elements += c == ',';
    if (offers.size() > elements) std::abort();
    (void)varnel::parse_response(header);
    return 0;
}
