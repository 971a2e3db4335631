#include "compress.hpp"

#include "pyargs.hpp"

#include <string_view>

namespace varnel {

namespace {

// Strict conversion of constructor arguments; every error names its argument.

bool to_bool(nb::handle h, const char* name) { return take(arg_bool(h, name)); }

std::uint8_t to_u8(nb::handle h, const char* name) {
    return std::uint8_t(take(arg_unsigned(h, name, 255)));
}

std::optional<bool> to_optional_bool(nb::handle h, const char* name) {
    if (h.is_none()) return std::nullopt;
    return to_bool(h, name);
}

std::optional<std::uint8_t> to_optional_u8(nb::handle h, const char* name) {
    if (h.is_none()) return std::nullopt;
    return to_u8(h, name);
}

template <class T>
const T& to_instance(nb::handle h, const char* name, const char* class_name) {
    if (!nb::isinstance<T>(h)) throw argument_type_error(name, h, class_name);
    return nb::cast<const T&>(h);
}

// A read-only property whose getter carries the property's name, so that
// assignment errors name it too.
template <class T, class Getter>
void read_only(nb::class_<T>& cls, const char* name, Getter&& getter) {
    cls.def_prop_ro(name, std::forward<Getter>(getter), nb::name(name));
}

template <class T>
nb::object optional_to_python(const std::optional<T>& value) {
    return value ? nb::cast(*value) : nb::none();
}

// Docstrings open with the text signature, which the type exposes as
// __text_signature__ and leaves out of __doc__.

constexpr const char* offer_doc =
    "PerMessageDeflateOffer(acceptNoContextTakeover=True, acceptMaxWindowBits=True, "
    "requestNoContextTakeover=False, requestMaxWindowBits=0)\n--\n\n"
    "A client's permessage-deflate offer \u2014 the compression parameters the client\n"
    "proposes to the server.";

constexpr const char* offer_accept_doc =
    "PerMessageDeflateOfferAccept(offer, requestNoContextTakeover=False, "
    "requestMaxWindowBits=0, noContextTakeover=None, windowBits=None, memLevel=None)\n--\n\n"
    "A server's acceptance of a client's permessage-deflate offer, with the\n"
    "compression parameters it settles on.";

constexpr const char* response_doc =
    "PerMessageDeflateResponse(client_max_window_bits=0, client_no_context_takeover=False, "
    "server_max_window_bits=0, server_no_context_takeover=False)\n--\n\n"
    "The permessage-deflate parameters the server returned in its handshake\n"
    "response.";

constexpr const char* response_accept_doc =
    "PerMessageDeflateResponseAccept(response, noContextTakeover=None, windowBits=None, "
    "memLevel=None)\n--\n\n"
    "The client's acceptance of the server's permessage-deflate response,\n"
    "optionally overriding `noContextTakeover` / `windowBits`.";

void define_offer(nb::module_ m) {
    using T = PerMessageDeflateOffer;
    nb::class_<T> cls(m, "PerMessageDeflateOffer", nb::is_final(), offer_doc);
    cls.def(
        "__init__",
        [](T* self, nb::handle accept_nct, nb::handle accept_mwb, nb::handle request_nct,
           nb::handle request_mwb) {
            T value{to_bool(accept_nct, "acceptNoContextTakeover"),
                    to_bool(accept_mwb, "acceptMaxWindowBits"),
                    to_bool(request_nct, "requestNoContextTakeover"),
                    to_u8(request_mwb, "requestMaxWindowBits")};
            std::construct_at(self, value);
        },
        nb::arg("acceptNoContextTakeover").none() = true,
        nb::arg("acceptMaxWindowBits").none() = true,
        nb::arg("requestNoContextTakeover").none() = false,
        nb::arg("requestMaxWindowBits").none() = 0,
        nb::sig("def __init__(self, acceptNoContextTakeover: bool = True, "
                "acceptMaxWindowBits: bool = True, requestNoContextTakeover: bool = False, "
                "requestMaxWindowBits: int = 0) -> None"));
    read_only(cls, "acceptNoContextTakeover", [](const T& t) { return t.acceptNoContextTakeover; });
    read_only(cls, "acceptMaxWindowBits", [](const T& t) { return t.acceptMaxWindowBits; });
    read_only(cls, "requestNoContextTakeover", [](const T& t) { return t.requestNoContextTakeover; });
    read_only(cls, "requestMaxWindowBits", [](const T& t) { return int(t.requestMaxWindowBits); });
}

void define_offer_accept(nb::module_ m) {
    using T = PerMessageDeflateOfferAccept;
    nb::class_<T> cls(m, "PerMessageDeflateOfferAccept", nb::is_final(), offer_accept_doc);
    cls.def(
        "__init__",
        [](T* self, nb::handle offer, nb::handle request_nct, nb::handle request_mwb,
           nb::handle no_context_takeover, nb::handle window_bits, nb::handle mem_level) {
            const PerMessageDeflateOffer& values =
                to_instance<PerMessageDeflateOffer>(offer, "offer", "PerMessageDeflateOffer");
            bool nct = to_bool(request_nct, "requestNoContextTakeover");
            std::uint8_t mwb = to_u8(request_mwb, "requestMaxWindowBits");
            auto own_nct = to_optional_bool(no_context_takeover, "noContextTakeover");
            auto own_bits = to_optional_u8(window_bits, "windowBits");
            auto level = to_optional_u8(mem_level, "memLevel");
            std::construct_at(self, T{PyRef::borrow(offer), values, nct, mwb, own_nct,
                                      own_bits, level});
        },
        nb::arg("offer").none(), nb::arg("requestNoContextTakeover").none() = false,
        nb::arg("requestMaxWindowBits").none() = 0,
        nb::arg("noContextTakeover").none() = nb::none(),
        nb::arg("windowBits").none() = nb::none(), nb::arg("memLevel").none() = nb::none(),
        nb::sig("def __init__(self, offer: PerMessageDeflateOffer, "
                "requestNoContextTakeover: bool = False, requestMaxWindowBits: int = 0, "
                "noContextTakeover: bool | None = None, windowBits: int | None = None, "
                "memLevel: int | None = None) -> None"));
    read_only(cls, "offer", [](const T& t) { return t.offer_object.object(); });
    read_only(cls, "requestNoContextTakeover", [](const T& t) { return t.requestNoContextTakeover; });
    read_only(cls, "requestMaxWindowBits", [](const T& t) { return int(t.requestMaxWindowBits); });
    read_only(cls, "noContextTakeover", [](const T& t) { return optional_to_python(t.noContextTakeover); });
    read_only(cls, "windowBits", [](const T& t) { return optional_to_python(t.windowBits); });
    read_only(cls, "memLevel", [](const T& t) { return optional_to_python(t.memLevel); });
}

void define_response(nb::module_ m) {
    using T = PerMessageDeflateResponse;
    nb::class_<T> cls(m, "PerMessageDeflateResponse", nb::is_final(), response_doc);
    cls.def(
        "__init__",
        [](T* self, nb::handle client_mwb, nb::handle client_nct, nb::handle server_mwb,
           nb::handle server_nct) {
            T value{to_u8(client_mwb, "client_max_window_bits"),
                    to_bool(client_nct, "client_no_context_takeover"),
                    to_u8(server_mwb, "server_max_window_bits"),
                    to_bool(server_nct, "server_no_context_takeover")};
            std::construct_at(self, value);
        },
        nb::arg("client_max_window_bits").none() = 0,
        nb::arg("client_no_context_takeover").none() = false,
        nb::arg("server_max_window_bits").none() = 0,
        nb::arg("server_no_context_takeover").none() = false,
        nb::sig("def __init__(self, client_max_window_bits: int = 0, "
                "client_no_context_takeover: bool = False, server_max_window_bits: int = 0, "
                "server_no_context_takeover: bool = False) -> None"));
    read_only(cls, "client_max_window_bits", [](const T& t) { return int(t.client_max_window_bits); });
    read_only(cls, "client_no_context_takeover", [](const T& t) { return t.client_no_context_takeover; });
    read_only(cls, "server_max_window_bits", [](const T& t) { return int(t.server_max_window_bits); });
    read_only(cls, "server_no_context_takeover", [](const T& t) { return t.server_no_context_takeover; });
}

void define_response_accept(nb::module_ m) {
    using T = PerMessageDeflateResponseAccept;
    nb::class_<T> cls(m, "PerMessageDeflateResponseAccept", nb::is_final(), response_accept_doc);
    cls.def(
        "__init__",
        [](T* self, nb::handle response, nb::handle no_context_takeover,
           nb::handle window_bits, nb::handle mem_level) {
            const PerMessageDeflateResponse& values = to_instance<PerMessageDeflateResponse>(
                response, "response", "PerMessageDeflateResponse");
            auto own_nct = to_optional_bool(no_context_takeover, "noContextTakeover");
            auto own_bits = to_optional_u8(window_bits, "windowBits");
            auto level = to_optional_u8(mem_level, "memLevel");
            std::construct_at(self, T{PyRef::borrow(response), values, own_nct, own_bits, level});
        },
        nb::arg("response").none(), nb::arg("noContextTakeover").none() = nb::none(),
        nb::arg("windowBits").none() = nb::none(), nb::arg("memLevel").none() = nb::none(),
        nb::sig("def __init__(self, response: PerMessageDeflateResponse, "
                "noContextTakeover: bool | None = None, windowBits: int | None = None, "
                "memLevel: int | None = None) -> None"));
    read_only(cls, "response", [](const T& t) { return t.response_object.object(); });
    read_only(cls, "noContextTakeover", [](const T& t) { return optional_to_python(t.noContextTakeover); });
    read_only(cls, "windowBits", [](const T& t) { return optional_to_python(t.windowBits); });
    read_only(cls, "memLevel", [](const T& t) { return optional_to_python(t.memLevel); });
}

}  // namespace

void export_compress_classes(nb::module_ m) {
    export_class<PerMessageDeflateOffer>(m, "PerMessageDeflateOffer", define_offer);
    export_class<PerMessageDeflateOfferAccept>(m, "PerMessageDeflateOfferAccept", define_offer_accept);
    export_class<PerMessageDeflateResponse>(m, "PerMessageDeflateResponse", define_response);
    export_class<PerMessageDeflateResponseAccept>(m, "PerMessageDeflateResponseAccept",
                                                  define_response_accept);
}

}  // namespace varnel
