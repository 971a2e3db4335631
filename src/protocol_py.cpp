// The Python surface of a connection: the Protocol and Factory classes.
#include "protocol.hpp"
#include "pyargs.hpp"

#include <format>
#include <limits>

namespace varnel {

namespace {

constexpr const char* protocol_doc = "The `self.p` object passed to each conformance case.";
constexpr const char* factory_doc = "The `self.p.factory` object \u2014 cases read `.isServer`.";

void raise_frame_error(const std::expected<void, FrameError>& r) {
    if (r) return;
    PyObject* type = r.error().kind == FrameError::Kind::refused ? PyExc_ValueError : PyExc_OSError;
    throw make_py_error(type, r.error().message);
}

// Runs `work` on the connection state with the interpreter released and the
// mutex held (a plain wait, since the thread is detached by then).
template <class Work>
auto detached_locked(const Protocol& self, Work&& work) {
    nb::gil_scoped_release detached;
    auto g = self.lock();
    return std::forward<Work>(work)(*g);
}

// ---- sending

void send_frame(const Protocol& self, nb::handle opcode, nb::handle payload, nb::handle fin,
                nb::handle rsv, nb::handle /*mask*/, nb::handle payload_len, nb::handle chopsize,
                nb::handle sync) {
    const auto op = std::uint8_t(take(arg_unsigned(opcode, "opcode", 255)));
    const bool f = take(arg_bool(fin, "fin"));
    const auto r = std::uint8_t(take(arg_unsigned(rsv, "rsv", 255)));
    const auto len = take(arg_optional_size(payload_len, "payload_len"));
    const auto chop = take(arg_optional_size(chopsize, "chopsize"));
    const bool s = take(arg_bool(sync, "sync"));
    const Bytes data = take(payload_to_bytes(payload, op <= 1));
    raise_frame_error(detached_locked(self, [&](ProtocolInner& inner) {
        return inner.send_frame(op, f, r, data, chop, len, s);
    }));
}

void send_message(const Protocol& self, nb::handle payload, nb::handle is_binary,
                  nb::handle fragment_size, nb::handle sync, nb::handle do_not_compress) {
    const bool binary = take(arg_bool(is_binary, "isBinary"));
    const auto size = take(arg_optional_size(fragment_size, "fragmentSize"));
    take(arg_bool(sync, "sync"));
    take(arg_bool(do_not_compress, "doNotCompress"));
    const Bytes data = take(payload_to_bytes(payload, !binary));
    raise_frame_error(detached_locked(self, [&](ProtocolInner& inner) {
        return inner.send_message(data, binary, size);
    }));
}

std::optional<std::uint16_t> close_code(nb::handle code) {
    if (code.is_none()) return std::nullopt;
    return std::uint16_t(take(arg_unsigned(code, "code", 65535)));
}

void send_close_impl(const Protocol& self, std::optional<std::uint16_t> code, nb::handle reason) {
    std::optional<Bytes> octets;
    if (!reason.is_none()) octets = take(payload_to_bytes(reason, false));
    raise_frame_error(detached_locked(self, [&](ProtocolInner& inner) {
        return inner.send_close(code, octets);
    }));
}

void send_close(const Protocol& self, nb::handle code, nb::handle reason) {
    send_close_impl(self, close_code(code), reason);
}

void send_close_frame(const Protocol& self, nb::handle code, nb::handle reason_utf8,
                      nb::handle is_reply) {
    const auto c = close_code(code);
    take(arg_bool(is_reply, "isReply"));
    send_close_impl(self, c, reason_utf8);
}

void begin_message(const Protocol& self, nb::handle is_binary) {
    const bool binary = take(arg_bool(is_binary, "is_binary"));
    detached_locked(self, [&](ProtocolInner& inner) { inner.message_opcode = binary ? 2 : 1; });
}

void begin_message_frame(const Protocol& self, nb::handle length) {
    const std::uint64_t n = take(arg_unsigned(length, "length", SIZE_MAX));
    raise_frame_error(detached_locked(self, [&](ProtocolInner& inner) {
        return inner.begin_message_frame(n);
    }));
}

void send_message_frame_data(const Protocol& self, nb::handle payload) {
    const std::uint8_t opcode =
        detached_locked(self, [](ProtocolInner& inner) { return inner.message_opcode; });
    const Bytes data = take(payload_to_bytes(payload, opcode == 1));
    detached_locked(self, [&](ProtocolInner& inner) { inner.send_message_frame_data(data); });
}

// ---- timers

std::optional<MonoInstant> deadline_after(MonoInstant now, std::chrono::nanoseconds delay) {
    const auto since = now.time_since_epoch().count();
    if (since > std::numeric_limits<MonoClock::rep>::max() - delay.count()) return std::nullopt;
    return now + std::chrono::duration_cast<MonoClock::duration>(delay);
}

// The tag's text as UTF-8; characters UTF-8 cannot carry (lone surrogates)
// become U+FFFD. A str() that raises gives no tag.
std::optional<std::string> tag_text(nb::handle tag) {
    if (tag.is_none()) return std::nullopt;
    nb::object text = nb::steal(PyObject_Str(tag.ptr()));
    if (!text.is_valid()) {
        PyErr_Clear();
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) return std::string(utf8, size);
    PyErr_Clear();
    std::string out;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text.ptr(), i);
        if (c >= 0xd800 && c <= 0xdfff) c = 0xfffd;
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xc0 | (c >> 6));
            out += char(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            out += char(0xe0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3f));
            out += char(0x80 | (c & 0x3f));
        } else {
            out += char(0xf0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3f));
            out += char(0x80 | ((c >> 6) & 0x3f));
            out += char(0x80 | (c & 0x3f));
        }
    }
    return out;
}

// A timer's delay as the case gave it and as a duration.
struct Delay {
    double secs;
    std::chrono::nanoseconds duration;
};

Delay take_delay(nb::handle secs_arg) {
    const double secs = take(arg_float(secs_arg, "secs"));
    return Delay{secs, take(delay_from_secs(secs))};
}

// Sets a deadline field under the mutex; a deadline past the clock's range is
// refused before anything changes.
template <class Set>
void set_deadline(const Protocol& self, const Delay& delay, Set&& set) {
    bool stored = false;
    {
        auto g = self.lock_py();
        if (auto deadline = deadline_after(MonoClock::now(), delay.duration)) {
            set(*g, *deadline, delay.secs);
            stored = true;
        }
    }
    if (!stored)
        throw make_py_error(
            PyExc_OverflowError,
            std::format("secs is too large for a timer: {} seconds from now", delay.secs));
}

void close_after(const Protocol& self, nb::handle secs) {
    set_deadline(self, take_delay(secs), [](ProtocolInner& inner, MonoInstant deadline, double s) {
        inner.close_deadline = deadline;
        inner.wirelog.push_back(wire::CloseSet{s});
    });
}

void kill_after(const Protocol& self, nb::handle secs) {
    set_deadline(self, take_delay(secs), [](ProtocolInner& inner, MonoInstant deadline, double s) {
        inner.kill_deadline = deadline;
        inner.wirelog.push_back(wire::KillSet{s});
    });
}

void continue_later(const Protocol& self, nb::handle secs, nb::handle func, nb::handle tag) {
    // secs first: a refused delay must not run the tag's str().
    const Delay delay = take_delay(secs);
    PyRef callable = PyRef::borrow(func);
    std::optional<std::string> text = tag_text(tag);
    set_deadline(self, delay, [&](ProtocolInner& inner, MonoInstant deadline, double s) {
        inner.wirelog.push_back(wire::LaterSet{s, text});
        inner.laters.push_back(Later{std::move(text), deadline, std::move(callable)});
    });
}

// ---- other methods

void enable_wirelog(const Protocol& self, nb::handle enable) {
    const bool on = take(arg_bool(enable, "enable"));
    auto g = self.lock_py();
    if (g->create_wirelog == on) return;
    g->create_wirelog = on;
    g->wirelog.push_back(wire::LogSwitch{on});
}

// ---- properties

// Reads one value under the mutex; Python objects are made after it is released,
// since making them can run arbitrary code that may call back into this object.
template <class Read>
auto read_locked(const Protocol& self, Read&& read) {
    auto g = self.lock_py();
    return std::forward<Read>(read)(*g);
}

nb::object optional_int(std::optional<std::uint16_t> v) {
    return v ? nb::object(nb::int_(*v)) : nb::none();
}

nb::object owned(PyRef ref) { return ref ? nb::steal(ref.release()) : nb::none(); }

nb::dict tx_frame_stats(const Protocol& self) {
    auto stats = read_locked(self, [](ProtocolInner& i) { return i.tx_frame_stats; });
    nb::dict d;
    for (auto [opcode, count] : stats) d[nb::int_(opcode)] = nb::int_(count);
    return d;
}

void set_offers(const Protocol& self, nb::handle value) {
    if (!PyList_Check(value.ptr())) throw argument_type_error("value", value, "list");
    PyRef old;
    {
        auto g = self.lock_py();
        old = std::exchange(g->offers, PyRef::borrow(value));
    }
    // `old` goes after the mutex: releasing it may run arbitrary code.
}

void set_accept(const Protocol& self, nb::handle value) {
    PyRef old;
    {
        auto g = self.lock_py();
        old = std::exchange(g->accept, PyRef::borrow(value));
    }
}

void set_create_wirelog(const Protocol& self, nb::handle v) {
    const bool on = take(arg_bool(v, "v"));
    read_locked(self, [&](ProtocolInner& i) { i.create_wirelog = on; });
}

void set_auto_fragment_size(const Protocol& self, nb::handle v) {
    const std::int64_t size = take(arg_i64(v, "v"));
    read_locked(self, [&](ProtocolInner& i) { i.auto_fragment_size = size; });
}

// A property whose deleter raises "property has no deleter".
void def_property(nb::handle cls, const char* name, nb::object getter, nb::object setter) {
    static const auto no_deleter = [](nb::handle) -> void {
        throw nb::attribute_error("property has no deleter");
    };
    nb::object property = nb::module_::import_("builtins").attr("property");
    nb::object prop = property(getter, setter, nb::cpp_function(no_deleter));
    prop.attr("__set_name__")(cls, name);  // names the property in its own error texts
    cls.attr(name) = prop;
}

template <class Get>
void def_getter(nb::handle cls, const char* name, Get&& get) {
    def_property(cls, name, nb::cpp_function(std::forward<Get>(get), nb::is_method()), nb::none());
}

template <class Get, class Set>
void def_getter_setter(nb::handle cls, const char* name, Get&& get, Set&& set, const char* arg) {
    def_property(cls, name, nb::cpp_function(std::forward<Get>(get), nb::is_method()),
                 nb::cpp_function(std::forward<Set>(set), nb::is_method(), nb::arg(arg).none()));
}

void define_properties(nb::handle cls) {
    using P = const Protocol&;
    def_getter_setter(
        cls, "createWirelog",
        [](P p) { return read_locked(p, [](ProtocolInner& i) { return i.create_wirelog; }); },
        &set_create_wirelog, "v");
    def_getter_setter(
        cls, "autoFragmentSize",
        [](P p) { return read_locked(p, [](ProtocolInner& i) { return i.auto_fragment_size; }); },
        &set_auto_fragment_size, "v");
    def_getter(cls, "connectionWasOpen",
               [](P p) { return read_locked(p, [](ProtocolInner& i) { return i.connection_was_open; }); });
    def_getter(cls, "closedByMe",
               [](P p) { return read_locked(p, [](ProtocolInner& i) { return i.closed_by_me; }); });
    def_getter(cls, "wasClean",
               [](P p) { return read_locked(p, [](ProtocolInner& i) { return i.was_clean; }); });
    def_getter(cls, "droppedByMe",
               [](P p) { return read_locked(p, [](ProtocolInner& i) { return i.dropped_by_me; }); });
    def_getter(cls, "remoteCloseCode", [](P p) {
        return optional_int(read_locked(p, [](ProtocolInner& i) { return i.remote_close_code; }));
    });
    def_getter_setter(
        cls, "localCloseReason",
        [](P p) -> nb::object {
            auto reason = read_locked(p, [](ProtocolInner& i) { return i.local_close_reason; });
            if (!reason) return nb::none();
            return nb::bytes(reason->data(), reason->size());
        },
        [](P, nb::handle) {}, "_value");
    def_getter_setter(
        cls, "perMessageCompressionOffers", [](P p) { return owned(p.offers()); }, &set_offers,
        "value");
    def_getter_setter(
        cls, "perMessageCompressionAccept", [](P p) { return owned(p.accept()); }, &set_accept,
        "value");
    def_getter(cls, "_perMessageCompress", [](P p) -> nb::object {
        bool on = read_locked(p, [](ProtocolInner& i) { return static_cast<bool>(i.deflate); });
        return on ? nb::object(nb::bool_(true)) : nb::none();
    });
    def_getter(cls, "state", [](P) { return 3; });
    def_getter(cls, "trafficStats", [](P p) {
        return owned(read_locked(p, [](ProtocolInner& i) { return i.traffic_stats.clone(); }));
    });
    def_getter(cls, "txFrameStats", &tx_frame_stats);
    def_getter(cls, "factory", [](P p) {
        return Factory{read_locked(p, [](ProtocolInner& i) { return i.is_server; })};
    });
}

void define_constants(nb::handle cls) {
    cls.attr("CLOSE_STATUS_CODE_NORMAL") = 1000;
    cls.attr("CLOSE_STATUS_CODE_GOING_AWAY") = 1001;
    cls.attr("CLOSE_STATUS_CODE_PROTOCOL_ERROR") = 1002;
    cls.attr("CLOSE_STATUS_CODE_UNSUPPORTED_DATA") = 1003;
    cls.attr("CLOSE_STATUS_CODE_INVALID_PAYLOAD") = 1007;
    cls.attr("CLOSE_STATUS_CODE_POLICY_VIOLATION") = 1008;
    cls.attr("CLOSE_STATUS_CODE_MESSAGE_TOO_BIG") = 1009;
    cls.attr("CLOSE_STATUS_CODE_INTERNAL_ERROR") = 1011;
    cls.attr("STATE_OPEN") = 3;
}

// ---- argument binding: every method takes its arguments by position or by name

template <std::size_t N>
using Bound = std::array<nb::handle, N>;

template <std::size_t N>
Bound<N> bind(const char* fn, const std::array<const char*, N>& names, std::size_t required,
              const nb::args& args, const nb::kwargs& kwargs) {
    return take(bind_arguments(fn, names, required, args, kwargs));
}

const nb::handle none_h = Py_None;
const nb::handle true_h = Py_True;
const nb::handle false_h = Py_False;

void py_send_frame(const Protocol& self, nb::args args, nb::kwargs kwargs) {
    auto a = bind<8>("sendFrame",
                     {"opcode", "payload", "fin", "rsv", "mask", "payload_len", "chopsize", "sync"},
                     1, args, kwargs);
    nb::int_ zero(0);
    send_frame(self, a[0], or_default(a[1], none_h), or_default(a[2], true_h), or_default(a[3], zero),
               or_default(a[4], none_h), or_default(a[5], none_h), or_default(a[6], none_h),
               or_default(a[7], false_h));
}

void py_send_message(const Protocol& self, nb::args args, nb::kwargs kwargs) {
    auto a = bind<5>("sendMessage", {"payload", "isBinary", "fragmentSize", "sync", "doNotCompress"},
                     0, args, kwargs);
    send_message(self, or_default(a[0], none_h), or_default(a[1], false_h), or_default(a[2], none_h),
                 or_default(a[3], false_h), or_default(a[4], false_h));
}

void py_send_close(const Protocol& self, nb::args args, nb::kwargs kwargs) {
    auto a = bind<2>("sendClose", {"code", "reason"}, 0, args, kwargs);
    send_close(self, or_default(a[0], none_h), or_default(a[1], none_h));
}

void py_send_close_frame(const Protocol& self, nb::args args, nb::kwargs kwargs) {
    auto a = bind<3>("sendCloseFrame", {"code", "reasonUtf8", "isReply"}, 0, args, kwargs);
    send_close_frame(self, or_default(a[0], none_h), or_default(a[1], none_h),
                     or_default(a[2], false_h));
}

void py_close_after(const Protocol& self, nb::args args, nb::kwargs kwargs) {
    close_after(self, bind<1>("closeAfter", {"secs"}, 1, args, kwargs)[0]);
}

void py_kill_after(const Protocol& self, nb::args args, nb::kwargs kwargs) {
    kill_after(self, bind<1>("killAfter", {"secs"}, 1, args, kwargs)[0]);
}

void py_continue_later(const Protocol& self, nb::args args, nb::kwargs kwargs) {
    auto a = bind<3>("continueLater", {"secs", "func", "tag"}, 2, args, kwargs);
    continue_later(self, a[0], a[1], or_default(a[2], none_h));
}

void py_begin_message(const Protocol& self, nb::args args, nb::kwargs kwargs) {
    begin_message(self, or_default(bind<1>("beginMessage", {"is_binary"}, 0, args, kwargs)[0], false_h));
}

void py_begin_message_frame(const Protocol& self, nb::args args, nb::kwargs kwargs) {
    begin_message_frame(self, bind<1>("beginMessageFrame", {"length"}, 1, args, kwargs)[0]);
}

void py_send_message_frame_data(const Protocol& self, nb::args args, nb::kwargs kwargs) {
    send_message_frame_data(self, bind<1>("sendMessageFrameData", {"payload"}, 1, args, kwargs)[0]);
}

void py_enable_wirelog(const Protocol& self, nb::args args, nb::kwargs kwargs) {
    enable_wirelog(self, bind<1>("enableWirelog", {"enable"}, 1, args, kwargs)[0]);
}

void define_methods(nb::class_<Protocol>& cls) {
    cls.def("sendFrame", &py_send_frame,
            nb::sig("def sendFrame(self, opcode, payload=None, fin=True, rsv=0, mask=None, "
                    "payload_len=None, chopsize=None, sync=False) -> None"));
    cls.def("sendMessage", &py_send_message,
            nb::sig("def sendMessage(self, payload=None, isBinary=False, fragmentSize=None, "
                    "sync=False, doNotCompress=False) -> None"));
    cls.def("sendClose", &py_send_close, nb::sig("def sendClose(self, code=None, reason=None) -> None"));
    cls.def("sendCloseFrame", &py_send_close_frame,
            nb::sig("def sendCloseFrame(self, code=None, reasonUtf8=None, isReply=False) -> None"));
    cls.def("closeAfter", &py_close_after, nb::sig("def closeAfter(self, secs) -> None"));
    cls.def("killAfter", &py_kill_after, nb::sig("def killAfter(self, secs) -> None"));
    cls.def("continueLater", &py_continue_later,
            nb::sig("def continueLater(self, secs, func, tag=None) -> None"));
    cls.def("beginMessage", &py_begin_message,
            nb::sig("def beginMessage(self, is_binary=False) -> None"));
    cls.def("beginMessageFrame", &py_begin_message_frame,
            nb::sig("def beginMessageFrame(self, length) -> None"));
    cls.def("sendMessageFrameData", &py_send_message_frame_data,
            nb::sig("def sendMessageFrameData(self, payload) -> None"));
    cls.def("endMessage", [](const Protocol&) {}, nb::sig("def endMessage(self) -> None"));
    cls.def("enableWirelog", &py_enable_wirelog, nb::sig("def enableWirelog(self, enable) -> None"));
}

// Returns the private scope the classes live in: they must not become members
// of any module, and the scope keeps the type objects alive.
PyRef define_types() {
    nb::module_ scope = nb::steal<nb::module_>(PyModule_New("varnel._varnel"));
    if (!scope.is_valid()) throw nb::python_error();
    if (!nb::type<TrafficStats>().is_valid()) register_traffic_stats(scope);

    if (!nb::type<Factory>().is_valid()) {
        nb::class_<Factory> factory(scope, "Factory", nb::is_final(), factory_doc);
        def_getter(factory, "isServer", [](const Factory& f) { return f.is_server; });
    }
    if (!nb::type<Protocol>().is_valid()) {
        nb::class_<Protocol> cls(scope, "Protocol", nb::is_final(), protocol_doc);
        define_constants(cls);
        define_methods(cls);
        define_properties(cls);
    }
    return PyRef::steal(std::move(scope));
}

}  // namespace

void ensure_protocol_types() {
    static DetachedOnce<PyRef> scope;  // never destroyed: the types live until exit
    scope.get(define_types);
}

nb::object Protocol::to_python() const {
    ensure_protocol_types();
    return nb::cast(Protocol(*this));
}

}  // namespace varnel
