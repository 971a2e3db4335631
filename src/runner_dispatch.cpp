// Frame dispatch: the answers every endpoint owes (pong, close echo), message
// reassembly and decompression, and the case's callbacks. Runs attached.
#include "runner.hpp"

#include <format>
#include <initializer_list>
#include <utility>

namespace varnel::runner {

namespace {

constexpr std::uint8_t op_continuation = 0;
constexpr std::uint8_t op_text = 1;
constexpr std::uint8_t op_binary = 2;
constexpr std::uint8_t op_close = 8;
constexpr std::uint8_t op_ping = 9;
constexpr std::uint8_t op_pong = 10;

nb::str replace_decoded(std::span<const std::uint8_t> octets) {
    PyObject* s = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(octets.data()), Py_ssize_t(octets.size()),
                                       "replace");
    if (s == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

PyResult<Dispatched> went_on(PyResult<void> r) {
    if (!r) return std::unexpected(std::move(r.error()));
    return Dispatched::go_on;
}

PyResult<void> on_ping(nb::handle case_obj, const Protocol& protocol, const Frame& frame, const Constants& c) {
    {
        auto g = protocol.lock_py();
        (void)g->send_frame(op_pong, true, 0, frame.payload, std::nullopt, std::nullopt, false);
    }
    return call_callback(case_obj, c->on_ping, {bridge_message(frame.payload.span(), true)});
}

PyResult<void> on_close(nb::handle case_obj, const Protocol& protocol, const Frame& frame, const Constants& c) {
    const std::span<const std::uint8_t> p = frame.payload.span();
    std::optional<std::uint16_t> code;
    std::span<const std::uint8_t> reason;
    if (p.size() >= 2) {
        code = std::uint16_t((p[0] << 8) | p[1]);
        reason = p.subspan(2);
    }
    bool close_sent = false;
    {
        auto g = protocol.lock_py();
        g->close_received = true;
        g->remote_close_code = code;
        if (reason.empty()) g->remote_close_reason.reset();
        else g->remote_close_reason = ByteVec(reason.begin(), reason.end());
        close_sent = g->close_sent;
        if (close_sent) g->was_clean = true;
    }
    if (!close_sent) {
        auto g = protocol.lock_py();
        (void)g->send_close(code, std::nullopt);
        g->was_clean = true;
    }
    nb::object code_obj = code ? nb::object(nb::int_(*code)) : nb::none();
    return call_callback(case_obj, c->on_close, {Py_True, code_obj, replace_decoded(reason)});
}

PyResult<Dispatched> too_long_message() {
    return std::unexpected(make_py_error(
        PyExc_ValueError,
        std::format("received a fragmented message of more than {} octets", max_message_size)));
}

}  // namespace

PyResult<void> call_callback(nb::handle case_obj, PyObject* name, std::initializer_list<nb::handle> args) {
    PyObject* argv[7] = {case_obj.ptr()};
    std::size_t n = 1;
    for (nb::handle a : args) {
        if (n == std::size(argv)) break;
        argv[n++] = a.ptr();
    }
    PyObject* r = PyObject_VectorcallMethod(name, argv, n, nullptr);
    if (r == nullptr) return std::unexpected(nb::python_error());
    Py_DECREF(r);
    return {};
}

PyResult<Dispatched> dispatch(nb::handle case_obj, const Protocol& protocol, Frame& frame,
                              std::optional<PartialMessage>& partial, const Constants& constants) {
    switch (frame.opcode) {
    case op_ping:
        return went_on(on_ping(case_obj, protocol, frame, constants));
    case op_pong:
        return went_on(call_callback(case_obj, constants->on_pong, {bridge_message(frame.payload.span(), true)}));
    case op_close:
        return went_on(on_close(case_obj, protocol, frame, constants));
    case op_text:
    case op_binary:
        if (frame.fin)
            return deliver(case_obj, protocol, std::exchange(frame.payload, {}), frame.opcode == op_binary,
                           frame.rsv1, constants);
        partial = PartialMessage{ByteVec(frame.payload.data(), frame.payload.data() + frame.payload.size()),
                                 frame.opcode == op_binary, frame.rsv1};
        return Dispatched::go_on;
    case op_continuation: {
        if (!partial) return Dispatched::go_on;
        {
            const Bytes fragment = std::exchange(frame.payload, {});  // not kept past its copy
            if (fragment.size() > max_message_size - partial->octets.size()) {
                partial.reset();  // the case ends with the error; free the octets now
                return too_long_message();
            }
            partial->octets.insert(partial->octets.end(), fragment.data(), fragment.data() + fragment.size());
        }
        if (!frame.fin) return Dispatched::go_on;
        PartialMessage done = std::move(*partial);
        partial.reset();
        return deliver(case_obj, protocol, Bytes(std::move(done.octets)), done.is_binary, done.compressed,
                       constants);
    }
    default:
        return Dispatched::go_on;
    }
}

PyResult<Dispatched> deliver(nb::handle case_obj, const Protocol& protocol, Bytes message, bool is_binary,
                             bool compressed, const Constants& constants) {
    const nb::handle binary_obj = is_binary ? Py_True : Py_False;
    if (!compressed) {
        {
            auto g = protocol.lock_py();
            TrafficStats::add(g->traffic->incoming_octets_app_level, message.size());
            TrafficStats::add(g->traffic->incoming_websocket_messages, 1);
        }
        nb::str text = bridge_message(message.span(), is_binary);
        message = Bytes();  // Python holds its own copy now
        return went_on(call_callback(case_obj, constants->on_message, {text, binary_obj}));
    }

    {
        auto g = protocol.lock_py();
        if (g->deflate) {
            std::expected<ByteVec, DeflateError> inflated;
            {
                nb::gil_scoped_release detached;
                inflated = g->deflate->decompress(message.span(), g->kill_deadline);
            }
            if (!inflated && inflated.error().kind == DeflateError::Kind::deadline) {
                mark_killed(*g);
                return Dispatched::killed;
            }
            if (!inflated) {
                g.unlock();
                return std::unexpected(make_py_error(PyExc_ValueError, inflated.error().message));
            }
            message = Bytes(std::move(*inflated));  // the compressed octets go here
        }
    }
    {
        auto g = protocol.lock_py();
        TrafficStats::add(g->traffic->incoming_octets_app_level, message.size());
        TrafficStats::add(g->traffic->incoming_websocket_messages, 1);
    }
    nb::bytes data(message.data(), message.size());
    message = Bytes();  // Python holds its own copy now
    return went_on(call_callback(case_obj, constants->on_message, {data, binary_obj}));
}

}  // namespace varnel::runner
