#include "compress.hpp"

#include "pymethods.hpp"

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
// assignment errors name it too. The properties have no docstring of their own;
// without this the property would show the getter's rendered signature.
template <class T, class Getter>
void read_only(nb::class_<T>& cls, const char* name, Getter&& getter) {
    cls.def_prop_ro(name, std::forward<Getter>(getter), nb::name(name));
    cls.attr(name).attr("__doc__") = nb::none();
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

PyObject* new_offer(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py_boundary([&] {
        auto a = bind_new_arguments<4>("PerMessageDeflateOffer",
                                       {"acceptNoContextTakeover", "acceptMaxWindowBits",
                                        "requestNoContextTakeover", "requestMaxWindowBits"},
                                       0, args, kwargs);
        PerMessageDeflateOffer value{
            a[0].is_valid() ? to_bool(a[0], "acceptNoContextTakeover") : true,
            a[1].is_valid() ? to_bool(a[1], "acceptMaxWindowBits") : true,
            a[2].is_valid() ? to_bool(a[2], "requestNoContextTakeover") : false,
            a[3].is_valid() ? to_u8(a[3], "requestMaxWindowBits") : std::uint8_t(0)};
        return new_instance<PerMessageDeflateOffer>(type, value);
    });
}

PyObject* new_offer_accept(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py_boundary([&] {
        auto a = bind_new_arguments<6>("PerMessageDeflateOfferAccept",
                                       {"offer", "requestNoContextTakeover", "requestMaxWindowBits",
                                        "noContextTakeover", "windowBits", "memLevel"},
                                       1, args, kwargs);
        const auto& offer = to_instance<PerMessageDeflateOffer>(a[0], "offer", "PerMessageDeflateOffer");
        bool nct = a[1].is_valid() && to_bool(a[1], "requestNoContextTakeover");
        std::uint8_t mwb = a[2].is_valid() ? to_u8(a[2], "requestMaxWindowBits") : std::uint8_t(0);
        auto own_nct = to_optional_bool(or_default(a[3], Py_None), "noContextTakeover");
        auto own_bits = to_optional_u8(or_default(a[4], Py_None), "windowBits");
        auto level = to_optional_u8(or_default(a[5], Py_None), "memLevel");
        return new_instance<PerMessageDeflateOfferAccept>(
            type, PerMessageDeflateOfferAccept{PyRef::borrow(a[0]), offer, nct, mwb, own_nct, own_bits, level});
    });
}

PyObject* new_response(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py_boundary([&] {
        auto a = bind_new_arguments<4>("PerMessageDeflateResponse",
                                       {"client_max_window_bits", "client_no_context_takeover",
                                        "server_max_window_bits", "server_no_context_takeover"},
                                       0, args, kwargs);
        PerMessageDeflateResponse value{
            a[0].is_valid() ? to_u8(a[0], "client_max_window_bits") : std::uint8_t(0),
            a[1].is_valid() && to_bool(a[1], "client_no_context_takeover"),
            a[2].is_valid() ? to_u8(a[2], "server_max_window_bits") : std::uint8_t(0),
            a[3].is_valid() && to_bool(a[3], "server_no_context_takeover")};
        return new_instance<PerMessageDeflateResponse>(type, value);
    });
}

PyObject* new_response_accept(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py_boundary([&] {
        auto a = bind_new_arguments<4>("PerMessageDeflateResponseAccept",
                                       {"response", "noContextTakeover", "windowBits", "memLevel"}, 1, args,
                                       kwargs);
        const auto& response =
            to_instance<PerMessageDeflateResponse>(a[0], "response", "PerMessageDeflateResponse");
        auto own_nct = to_optional_bool(or_default(a[1], Py_None), "noContextTakeover");
        auto own_bits = to_optional_u8(or_default(a[2], Py_None), "windowBits");
        auto level = to_optional_u8(or_default(a[3], Py_None), "memLevel");
        return new_instance<PerMessageDeflateResponseAccept>(
            type, PerMessageDeflateResponseAccept{PyRef::borrow(a[0]), response, own_nct, own_bits, level});
    });
}

template <PyObject* (*New)(PyTypeObject*, PyObject*, PyObject*)>
PyType_Slot constructor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(New)},
    {Py_tp_init, reinterpret_cast<void*>(&init_done)},
    {0, nullptr},
};

void define_offer(nb::module_ m) {
    using T = PerMessageDeflateOffer;
    nb::class_<T> cls(m, "PerMessageDeflateOffer", nb::is_final(),
                      nb::type_slots(constructor_slots<&new_offer>), offer_doc);
    read_only(cls, "acceptNoContextTakeover", [](const T& t) { return t.acceptNoContextTakeover; });
    read_only(cls, "acceptMaxWindowBits", [](const T& t) { return t.acceptMaxWindowBits; });
    read_only(cls, "requestNoContextTakeover", [](const T& t) { return t.requestNoContextTakeover; });
    read_only(cls, "requestMaxWindowBits", [](const T& t) { return int(t.requestMaxWindowBits); });
}

void define_offer_accept(nb::module_ m) {
    using T = PerMessageDeflateOfferAccept;
    nb::class_<T> cls(m, "PerMessageDeflateOfferAccept", nb::is_final(),
                      nb::type_slots(constructor_slots<&new_offer_accept>), offer_accept_doc);
    read_only(cls, "offer", [](const T& t) { return t.offer_object.object(); });
    read_only(cls, "requestNoContextTakeover", [](const T& t) { return t.requestNoContextTakeover; });
    read_only(cls, "requestMaxWindowBits", [](const T& t) { return int(t.requestMaxWindowBits); });
    read_only(cls, "noContextTakeover", [](const T& t) { return optional_to_python(t.noContextTakeover); });
    read_only(cls, "windowBits", [](const T& t) { return optional_to_python(t.windowBits); });
    read_only(cls, "memLevel", [](const T& t) { return optional_to_python(t.memLevel); });
}

void define_response(nb::module_ m) {
    using T = PerMessageDeflateResponse;
    nb::class_<T> cls(m, "PerMessageDeflateResponse", nb::is_final(),
                      nb::type_slots(constructor_slots<&new_response>), response_doc);
    read_only(cls, "client_max_window_bits", [](const T& t) { return int(t.client_max_window_bits); });
    read_only(cls, "client_no_context_takeover", [](const T& t) { return t.client_no_context_takeover; });
    read_only(cls, "server_max_window_bits", [](const T& t) { return int(t.server_max_window_bits); });
    read_only(cls, "server_no_context_takeover", [](const T& t) { return t.server_no_context_takeover; });
}

void define_response_accept(nb::module_ m) {
    using T = PerMessageDeflateResponseAccept;
    nb::class_<T> cls(m, "PerMessageDeflateResponseAccept", nb::is_final(),
                      nb::type_slots(constructor_slots<&new_response_accept>), response_accept_doc);
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
