// The opening-handshake head parsers of both endpoints, on any octets a peer may
// send: a head, nothing yet, or an error; never more than was given.
#include "client.hpp"
#include "server.hpp"

#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> octets(data, size);
    if (auto request = varnel::server::parse_request_head(octets); request && *request) {
        // A target such as "x-y:?q" parses as a URL of another scheme, with an empty path.
        if ((*request)->length > size) std::abort();
        // The server routes what it parsed.
        (void)varnel::server::route(**request, 500);
    }
    if (auto response = varnel::client::parse_response_head(octets); response && *response) {
        if ((*response)->length > size || (*response)->status < 100 || (*response)->status > 999) std::abort();
    }
    return 0;
}
