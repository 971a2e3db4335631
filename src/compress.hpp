// The permessage-deflate parameter classes exchanged with cases during the
// opening handshake. Every object is immutable once constructed.
#pragma once

#include "pyglue.hpp"

#include <cstdint>
#include <optional>

namespace varnel {

// A client's offer. Values made by the header parser start all false / 0; the
// Python constructor has its own defaults.
struct PerMessageDeflateOffer {
    bool acceptNoContextTakeover = false;
    bool acceptMaxWindowBits = false;
    bool requestNoContextTakeover = false;
    std::uint8_t requestMaxWindowBits = 0;
};

// The parameters a server returned in its 101 response.
struct PerMessageDeflateResponse {
    std::uint8_t client_max_window_bits = 0;
    bool client_no_context_takeover = false;
    std::uint8_t server_max_window_bits = 0;
    bool server_no_context_takeover = false;
};

// A server's acceptance of an offer. `offer_object` is the very Python object the
// case passed; `offer` is a copy of its values, readable without the interpreter.
struct PerMessageDeflateOfferAccept {
    PyRef offer_object;
    PerMessageDeflateOffer offer;
    bool requestNoContextTakeover = false;
    std::uint8_t requestMaxWindowBits = 0;
    std::optional<bool> noContextTakeover;
    std::optional<std::uint8_t> windowBits;
    std::optional<std::uint8_t> memLevel;
};

// A client's acceptance of a response; `response_object` as above.
struct PerMessageDeflateResponseAccept {
    PyRef response_object;
    PerMessageDeflateResponse response;
    std::optional<bool> noContextTakeover;
    std::optional<std::uint8_t> windowBits;
    std::optional<std::uint8_t> memLevel;
};

// Registers the four classes, in the module's order: PerMessageDeflateOffer,
// PerMessageDeflateOfferAccept, PerMessageDeflateResponse,
// PerMessageDeflateResponseAccept.
void export_compress_classes(nb::module_ m);

}  // namespace varnel
