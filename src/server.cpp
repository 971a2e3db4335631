#include "server.hpp"

#include "http.hpp"
#include "pymethods.hpp"
#include "result.hpp"
#include "runner.hpp"
#include "sha1.hpp"

#include <ada.h>
#include <nanobind/stl/string.h>
#include <picohttpparser.h>
#include <simdutf.h>

#include <algorithm>
#include <atomic>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <cerrno>
#include <mutex>
#include <system_error>
#include <array>
#include <charconv>
#include <format>
#include <stdexcept>
#include <vector>

#include <unistd.h>

namespace varnel::server {

// ---------------------------------------------------------------------------
// Handshake texts

std::string websocket_accept(std::string_view key) {
    static constexpr std::string_view guid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    std::string input = std::string(key) + std::string(guid);
    Sha1Digest digest = sha1(http::octets_of(input));
    std::string out(simdutf::base64_length_from_binary(digest.size()), '\0');
    out.resize(simdutf::binary_to_base64(reinterpret_cast<const char*>(digest.data()), digest.size(),
                                         out.data()));
    return out;
}

std::string upgrade_response(std::string_view key, const std::optional<std::string>& extensions) {
    std::string line = extensions ? std::format("Sec-WebSocket-Extensions: {}\r\n", *extensions) : "";
    return std::format(
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: {}\r\n{}\r\n",
        websocket_accept(key), line);
}

// ---------------------------------------------------------------------------
// Request head

namespace {

constexpr std::size_t header_slots = 64;

// Every request target is resolved against this; only its path and query count.
// Made as the library loads, not by the first connection: a child of fork()
// would wait for ever on a parent thread that was still making it.
const ada::url_aggregator request_base = [] {
    auto parsed = ada::parse<ada::url_aggregator>("ws://varnel.invalid");
    if (!parsed) throw std::logic_error("valid base url");
    return *parsed;
}();

}  // namespace

std::expected<std::optional<RequestHead>, std::string> parse_request_head(
    std::span<const std::uint8_t> octets) {
    std::array<phr_header, header_slots> headers{};
    std::size_t count = headers.size();
    const char *method = nullptr, *path = nullptr;
    std::size_t method_len = 0, path_len = 0;
    int minor = 0;
    const char* buf = reinterpret_cast<const char*>(octets.data());
    int n = phr_parse_request(buf, octets.size(), &method, &method_len, &path, &path_len, &minor,
                              headers.data(), &count, 0);
    if (n == -2) return std::nullopt;
    if (n == -1 || minor > 1) return std::unexpected("invalid HTTP request head");
    std::span<const phr_header> lines(headers.data(), count);
    if (std::ranges::any_of(lines, [](const phr_header& h) { return h.name == nullptr; }))
        return std::unexpected("invalid HTTP request head");  // a folded line

    std::string target = path_len == 0 ? std::string("/") : std::string(path, path_len);
    auto url = ada::parse<ada::url_aggregator>(target, &request_base);
    if (!url) return std::unexpected("invalid request target");

    auto map = http::to_header_map(lines);
    if (!map) return std::unexpected(std::move(map.error().message));
    RequestHead head;
    if (auto v = map->get("sec-websocket-key")) head.key.emplace(*v);
    if (auto v = map->get("sec-websocket-extensions")) head.extensions.emplace(*v);
    if (auto v = map->get("user-agent")) head.user_agent.emplace(*v);
    head.path = std::string(url->get_pathname());
    std::string_view search = url->get_search();
    if (search.starts_with('?')) search.remove_prefix(1);
    head.query = std::string(search);
    head.length = std::size_t(n);
    head.raw = http::lossy_text_trimmed(octets.first(head.length));
    return head;
}

// ---------------------------------------------------------------------------
// Routing

namespace {

// An optional "+" and decimal digits that fit in 64 bits.
std::optional<std::uint64_t> case_number(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty() || !std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

Route route(const RequestHead& head, std::size_t case_count) {
    if (!head.key) return NoRoute{};
    if (head.path == "/getCaseCount") return CaseCountRoute{};
    if (head.path == "/updateReports") return UpdateReportsRoute{};

    ada::url_search_params params(head.query);
    std::optional<std::string_view> value = params.get("case");
    if (!value) return NoRoute{};
    std::optional<std::uint64_t> n = case_number(*value);
    if (!n || *n == 0 || *n > case_count) return NoRoute{};

    std::string agent;
    if (std::optional<std::string_view> given = params.get("agent")) agent = std::string(*given);
    else if (head.user_agent && http::visible_ascii(*head.user_agent)) agent = *head.user_agent;
    else agent = "UnknownClient";
    return CaseRoute{std::size_t(*n), std::move(agent)};
}

// ---------------------------------------------------------------------------
// Compression negotiation

Negotiated negotiated_values(const PerMessageDeflateOfferAccept& accept) {
    return Negotiated{
        .server_no_context_takeover =
            accept.noContextTakeover.value_or(accept.offer.requestNoContextTakeover),
        .server_window_bits = accept.windowBits.value_or(accept.offer.requestMaxWindowBits),
        .client_no_context_takeover = accept.requestNoContextTakeover,
        .client_window_bits = accept.requestMaxWindowBits,
    };
}

std::string response_text(const Negotiated& v) {
    std::string out = "permessage-deflate";
    if (v.server_no_context_takeover) out += "; server_no_context_takeover";
    if (v.server_window_bits != 0) out += std::format("; server_max_window_bits={}", v.server_window_bits);
    if (v.client_no_context_takeover) out += "; client_no_context_takeover";
    if (v.client_window_bits != 0) out += std::format("; client_max_window_bits={}", v.client_window_bits);
    return out;
}

PyResult<std::optional<std::string>> negotiate_deflate(const Protocol& protocol,
                                                       const std::optional<std::string>& extensions) {
    if (!extensions || !http::visible_ascii(*extensions)) return std::nullopt;
    PyRef accept = protocol.accept();
    if (!accept || accept.handle().is_none()) return std::nullopt;

    nb::list offers;
    for (const PerMessageDeflateOffer& offer : parse_offers(*extensions)) offers.append(nb::cast(offer));
    nb::object answer = accept.object()(offers);
    if (answer.is_none()) return std::nullopt;
    if (!nb::isinstance<PerMessageDeflateOfferAccept>(answer)) {
        nb::str qualname = nb::steal<nb::str>(PyType_GetQualName(Py_TYPE(answer.ptr())));
        return std::unexpected(make_py_error(
            PyExc_TypeError, std::format("'{}' object is not an instance of 'PerMessageDeflateOfferAccept'",
                                         qualname.c_str())));
    }
    Negotiated values = negotiated_values(nb::cast<const PerMessageDeflateOfferAccept&>(answer));
    std::string text = response_text(values);
    Deflate engine(values.server_no_context_takeover, values.server_window_bits,
                   values.client_no_context_takeover, values.client_window_bits);
    auto guard = protocol.lock_py();
    guard->deflate.emplace(std::move(engine));
    return text;
}

}  // namespace varnel::server

// ---------------------------------------------------------------------------
// Connection handling

namespace varnel::server {

namespace {

using asio::ip::tcp;
using CaseList = std::shared_ptr<const std::vector<Case>>;

struct Shared {
    CaseList cases;
    Constants constants;
    std::shared_ptr<Notify> shutdown;
    SharedResults results;
};

// One text message with the digits, then a close frame with code 1000, as a
// server writes them (unmasked).
PyResult<std::vector<Bytes>> count_reply_frames(std::string digits) {
    auto inner = ProtocolInner::create(true);
    if (!inner) return std::unexpected(std::move(inner.error()));
    (void)inner->send_frame(1, true, 0, Bytes::copy_of(digits), std::nullopt, std::nullopt, false);
    (void)inner->send_close(1000, std::nullopt);
    return std::move(inner->out_queue);
}

asio::awaitable<void> send_case_count(tcp::socket& sock, const RequestHead& head, std::size_t count) {
    std::string response = upgrade_response(*head.key, std::nullopt);
    if (!co_await http::write_all(sock, http::octets_of(response))) co_return;
    auto chunks = co_await attach_blocking("case-count reply",
                                           [digits = std::to_string(count)] { return count_reply_frames(digits); });
    if (!chunks) co_return;
    for (const Bytes& chunk : *chunks)
        if (!co_await http::write_all(sock, chunk.span())) co_return;
}

struct ServerSetup {
    Protocol protocol;
    PyRef case_obj;
    std::optional<std::string> extensions;
};

PyResult<ServerSetup> initialize_case(const Case& c, const std::optional<std::string>& offered) {
    auto protocol = Protocol::create(true);
    if (!protocol) return std::unexpected(std::move(protocol.error()));
    nb::object case_obj = c->cls.object()(protocol->to_python());
    auto text = negotiate_deflate(*protocol, offered);
    if (!text) return std::unexpected(std::move(text.error()));
    return ServerSetup{std::move(*protocol), PyRef::steal(std::move(case_obj)), std::move(*text)};
}

asio::awaitable<PyResult<void>> run_case(tcp::socket& sock, runner::ReadBuffer& buffer, const RequestHead& head,
                                         CaseRoute to, const Shared& shared) {
    const Case& c = (*shared.cases)[to.number - 1];
    auto setup = co_await attach_blocking("server case set-up",
                                          [c, ext = head.extensions] { return initialize_case(c, ext); });
    // The case is recorded as an error and the run goes on; no 101 was written,
    // so the client sees its connection closed without a response.
    if (!setup)
        co_return co_await record_error(c->id, to.number, to.agent, std::move(setup.error()), shared.results);

    std::string response = upgrade_response(*head.key, setup->extensions);
    if (!co_await http::write_all(sock, http::octets_of(response))) co_return PyResult<void>();
    {
        auto guard = setup->protocol.lock();
        guard->http_request = head.raw;
        guard->http_response = std::string(http::trim_end(response));
    }
    auto driven = co_await runner::drive(sock, buffer, std::move(setup->protocol), std::move(setup->case_obj),
                                         c->id, to.agent, to.number, shared.constants, shared.results);
    if (driven) co_return driven;
    co_return co_await record_error(c->id, to.number, to.agent, std::move(driven.error()), shared.results);
}

asio::awaitable<PyResult<void>> handle_connection(tcp::socket sock, Shared shared) {
    runner::ReadBuffer buffer;
    auto head = co_await http::read_head(sock, buffer, parse_request_head);
    if (!head) co_return PyResult<void>();  // closed without a response
    buffer.consume(head->length);

    Route to = route(*head, shared.cases->size());
    if (std::holds_alternative<CaseCountRoute>(to)) {
        co_await send_case_count(sock, *head, shared.cases->size());
    } else if (std::holds_alternative<UpdateReportsRoute>(to)) {
        (void)co_await http::write_all(sock, http::octets_of(upgrade_response(*head->key, std::nullopt)));
        shared.shutdown->notify_one();
    } else if (auto* run = std::get_if<CaseRoute>(&to)) {
        co_return co_await run_case(sock, buffer, *head, std::move(*run), shared);
    }
    co_return PyResult<void>();
}

// ---------------------------------------------------------------------------
// Accept loop

// Closes the listener and withdraws the wake-up when the loop ends, however it ends.
class ListenerGuard {
public:
    ListenerGuard(std::shared_ptr<tcp::acceptor> acceptor, std::shared_ptr<Notify> shutdown)
        : acceptor_(std::move(acceptor)), shutdown_(std::move(shutdown)) {}
    ListenerGuard(const ListenerGuard&) = delete;
    ListenerGuard& operator=(const ListenerGuard&) = delete;
    ~ListenerGuard() {
        shutdown_->disarm();
        std::error_code ignored;
        acceptor_->close(ignored);
    }

private:
    std::shared_ptr<tcp::acceptor> acceptor_;
    std::shared_ptr<Notify> shutdown_;
};

asio::awaitable<bool> cancelled() {
    auto state = co_await asio::this_coro::cancellation_state;
    co_return state.cancelled() != asio::cancellation_type::none;
}

// The worker thread attaches just for the end-of-run judgement.
PyResult<void> finalize_attached(ResultsList& results) {
    return attached_or_parked([&] { return results.finalize(); });
}

// Accept errors that say the process or the system is short of something, or
// that one pending connection went away: the listener itself is sound, so the
// run goes on once the idle connections holding descriptors are cut.
bool passing_accept_error(const std::error_code& ec) {
    if (ec.category() != asio::error::get_system_category()) return false;
    switch (ec.value()) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ECONNABORTED:
    case EPROTO:
    case EPERM: return true;
    default: return false;
    }
}

constexpr std::chrono::milliseconds first_accept_pause{10};
constexpr std::chrono::milliseconds longest_accept_pause{1000};

// Waits `pause`, cut short by the shutdown signal; false when the signal came.
asio::awaitable<bool> pause_accepting(std::chrono::milliseconds pause, Notify& shutdown) {
    auto strand = co_await asio::this_coro::executor;
    auto timer = std::make_shared<asio::steady_timer>(strand, pause);
    if (shutdown.take_or_arm([timer, strand] { asio::post(strand, [timer] { timer->cancel(); }); }))
        co_return false;
    (void)co_await timer->async_wait(asio::as_tuple(asio::use_awaitable));
    co_return shutdown.disarm();
}

asio::awaitable<PyResult<void>> serve(std::shared_ptr<tcp::acceptor> acceptor, Shared shared) {
    ListenerGuard guard(acceptor, shared.shutdown);
    TaskSet<PyResult<void>> connections;  // declared after the guard: aborted first
    auto strand = co_await asio::this_coro::executor;
    auto pause = first_accept_pause;
    for (;;) {
        bool signalled = shared.shutdown->take_or_arm([acceptor, strand] {
            asio::post(strand, [acceptor] {
                std::error_code ignored;
                acceptor->cancel(ignored);
            });
        });
        if (signalled) break;
        auto [ec, sock] = co_await acceptor->async_accept(asio::as_tuple(asio::use_awaitable));
        if (!shared.shutdown->disarm()) break;  // the signal came meanwhile: it wins
        if (co_await cancelled()) throw std::system_error(asio::error::operation_aborted);
        if (ec && passing_accept_error(ec)) {
            if (!co_await pause_accepting(pause, *shared.shutdown)) break;
            if (co_await cancelled()) throw std::system_error(asio::error::operation_aborted);
            pause = std::min(pause * 2, longest_accept_pause);
            continue;
        }
        if (ec) co_return std::unexpected(make_py_error_anywhere(PyExc_OSError, "accept: " + ec.message()));
        pause = first_accept_pause;
        std::error_code ignored;
        sock.set_option(tcp::no_delay(true), ignored);
        connections.spawn(Runtime::current().executor(), "connection", handle_connection(std::move(sock), shared));
    }
    while (auto next = co_await connections.join_next()) {
        if (!*next)
            co_return std::unexpected(
                make_py_error_anywhere(PyExc_RuntimeError, "connection task panicked: " + next->error()));
        if (!**next) co_return std::unexpected(std::move((**next).error()));
    }
    co_return finalize_attached(*shared.results);
}

// ---------------------------------------------------------------------------
// FuzzingServer

struct ServerInner {
    ServerInner(std::string h, std::uint16_t p, CaseList c, Constants k)
        : host(std::move(h)), port(p), cases(std::move(c)), constants(std::move(k)) {}

    std::string host;
    std::uint16_t port;
    CaseList cases;
    Constants constants;
    std::shared_ptr<Notify> shutdown = std::make_shared<Notify>();
    SharedResults results = make_results();

    std::mutex address_mutex;
    std::optional<tcp::endpoint> address;
    // Checked and claimed in one step, so two threads entering at once cannot
    // both bind. Entering, or entered with the handle still here, is "already
    // started"; entered without it, "runs once"; a failed entry goes back to none.
    enum class Entry { none, entering, entered };
    std::mutex serving_mutex;
    Entry entry = Entry::none;
    std::optional<JoinHandle<PyResult<void>>> serving;
    // The process whose runtime serves the run, from the moment the entry is
    // claimed: a child of fork() has none of its threads, so nothing of the run
    // can be reached from there.
    std::atomic<pid_t> entered_in{0};

    bool entered_elsewhere() const {
        pid_t by = entered_in.load(std::memory_order_acquire);
        return by != 0 && by != getpid();
    }
};

class FuzzingServer {
public:
    explicit FuzzingServer(std::shared_ptr<ServerInner> inner) : inner_(std::move(inner)) {}
    const std::shared_ptr<ServerInner>& inner() const noexcept { return inner_; }

private:
    std::shared_ptr<ServerInner> inner_;
};

std::optional<JoinHandle<PyResult<void>>> take_handle(ServerInner& s) {
    auto lock = detail::lock_detached(s.serving_mutex);
    return std::exchange(s.serving, std::nullopt);
}

std::optional<tcp::endpoint> bound_address(ServerInner& s) {
    auto lock = detail::lock_detached(s.address_mutex);
    return s.address;
}

// Binds the first resolved address that takes it. Blocking; called detached.
std::expected<std::shared_ptr<tcp::acceptor>, std::string> bind_listener(asio::io_context& io,
                                                                          const std::string& host,
                                                                          std::uint16_t port) {
    std::error_code ec;
    tcp::resolver resolver(io);
    auto endpoints = resolver.resolve(host, std::to_string(port), tcp::resolver::numeric_service, ec);
    if (ec) return std::unexpected(ec.message());
    if (endpoints.empty()) return std::unexpected(std::string("could not resolve to any address"));
    for (const auto& entry : endpoints) {
        auto acceptor = std::make_shared<tcp::acceptor>(io);
        ec.clear();
        if (!acceptor->open(entry.endpoint().protocol(), ec) &&
            !acceptor->set_option(tcp::acceptor::reuse_address(true), ec) &&
            !acceptor->bind(entry.endpoint(), ec) && !acceptor->listen(128, ec))
            return acceptor;
    }
    return std::unexpected(ec.message());
}

nb::python_error runtime_error(const std::string& text) { return make_py_error(PyExc_RuntimeError, text); }

// Hands an unfinished entry back, so a failed one leaves the server enterable.
class EntryClaim {
public:
    explicit EntryClaim(std::shared_ptr<ServerInner> s) : s_(std::move(s)) {}
    EntryClaim(const EntryClaim&) = delete;
    EntryClaim& operator=(const EntryClaim&) = delete;
    ~EntryClaim() {
        if (!s_) return;
        auto lock = detail::lock_detached(s_->serving_mutex);
        s_->entry = ServerInner::Entry::none;
        s_->entered_in.store(0, std::memory_order_release);
    }
    // Stores the running loop's handle: the entry holds from here on.
    void complete(JoinHandle<PyResult<void>> handle) {
        auto lock = detail::lock_detached(s_->serving_mutex);
        s_->serving.emplace(std::move(handle));
        s_->entry = ServerInner::Entry::entered;
        s_.reset();
    }

private:
    std::shared_ptr<ServerInner> s_;
};

Operation aenter(std::shared_ptr<ServerInner> s, PyRef self) {
    const char* refused = nullptr;
    {
        auto lock = detail::lock_detached(s->serving_mutex);
        using enum ServerInner::Entry;
        if (s->entry == entering || s->serving) refused = "fuzzingserver already started";
        // A run's results and shutdown signal belong to that one run.
        else if (s->entry == entered) refused = "FuzzingServer runs once: create a new one with run_fuzzingserver()";
        else {
            s->entry = entering;
            s->entered_in.store(getpid(), std::memory_order_release);
        }
    }
    if (refused) co_return std::unexpected(runtime_error(refused));
    EntryClaim claim(s);
    PyResult<Runtime*> rt = get_runtime();
    if (!rt) co_return std::unexpected(std::move(rt.error()));

    std::expected<std::shared_ptr<tcp::acceptor>, std::string> bound;
    {
        nb::gil_scoped_release detached;
        bound = bind_listener((*rt)->context(), s->host, s->port);
    }
    if (!bound)
        co_return std::unexpected(make_py_error(
            PyExc_OSError, std::format("bind {}:{}: {}", s->host, s->port, bound.error())));
    std::shared_ptr<tcp::acceptor> acceptor = std::move(*bound);
    std::error_code ec;
    acceptor->non_blocking(true, ec);
    if (ec) co_return std::unexpected(make_py_error(PyExc_OSError, "set listener non-blocking: " + ec.message()));
    tcp::endpoint local = acceptor->local_endpoint(ec);
    if (ec) co_return std::unexpected(make_py_error(PyExc_OSError, "listener address: " + ec.message()));
    {
        auto lock = detail::lock_detached(s->address_mutex);
        s->address = local;
    }
    auto handle = spawn((*rt)->executor(), "accept loop",
                        serve(std::move(acceptor), Shared{s->cases, s->constants, s->shutdown, s->results}));
    claim.complete(std::move(handle));
    co_return self.object();
}

// Waits for nothing, so it needs no runtime: leaving works in a child of
// fork() and once the interpreter's exit has stopped the runtime.
PyResult<nb::object> aexit(ServerInner& s) {
    if (s.entered_elsewhere()) return nb::bool_(false);
    s.shutdown->notify_one();
    if (auto handle = take_handle(s)) handle->abort();
    return nb::bool_(false);
}

nb::python_error not_entered_here() {
    return runtime_error(
        "get_result() needs the process that entered the server: a child of fork() has none of its threads");
}

Operation get_result(std::shared_ptr<ServerInner> s) {
    if (s->entered_elsewhere()) co_return std::unexpected(not_entered_here());
    if (!bound_address(*s))
        co_return std::unexpected(runtime_error("get_result() needs an active server (use `async with`)"));
    if (auto handle = take_handle(*s)) {
        JoinOutcome<PyResult<void>> outcome = co_await handle->join();
        if (!outcome) co_return std::unexpected(runtime_error(outcome.error()));
        if (!*outcome) co_return std::unexpected(std::move(outcome->error()));
    }
    // In case order also when the run was stopped before it was finalised.
    PyResult<PyRef> list = s->results->to_sorted_list();
    if (!list) co_return std::unexpected(std::move(list.error()));
    co_return list->object();
}

tcp::endpoint started_address(const FuzzingServer& server) {
    auto address = bound_address(*server.inner());
    if (!address) throw runtime_error("server not started yet (use `async with`)");
    return *address;
}

constexpr const char* class_doc =
    "FuzzingServer()\n--\n\n"
    "A server that runs the conformance cases for a WebSocket client under test.\n"
    "\n"
    "Created by `run_fuzzingserver` and used as an async context manager:\n"
    "entering starts serving, `address`/`port` give the bound endpoint, and\n"
    "`get_result()` returns the per-case results once the client has finished.";

PyObject* py_aenter(PyObject* self, PyObject*) {
    return py_boundary([&] {
        return make_coroutine(aenter(self_of<FuzzingServer>(self).inner(), PyRef::borrow(self)), "__aenter__",
                              "FuzzingServer.__aenter__");
    });
}

// The exception details are accepted and not looked at.
PyObject* py_aexit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return py_boundary([&] {
        bind_fastcall<3>("__aexit__", {"_exc_type", "_exc_value", "_traceback"}, 0, args, nargsf, kwnames);
        return make_ready_coroutine([s = self_of<FuzzingServer>(self).inner()] { return aexit(*s); }, "__aexit__",
                                    "FuzzingServer.__aexit__");
    });
}

PyObject* py_get_result(PyObject* self, PyObject*) {
    return py_boundary([&] {
        const std::shared_ptr<ServerInner>& s = self_of<FuzzingServer>(self).inner();
        // Refused without the runtime, which a child of fork() would build to refuse.
        if (s->entered_elsewhere())
            return make_ready_coroutine([] { return PyResult<nb::object>(std::unexpected(not_entered_here())); },
                                        "get_result", "FuzzingServer.get_result");
        return make_coroutine(get_result(s), "get_result", "FuzzingServer.get_result");
    });
}

PyMethodDef server_methods[] = {
    {"__aenter__", as_cfunction(&py_aenter), METH_NOARGS,
     "__aenter__($self, /)\n--\n\n"
     "Start serving and return the server, now bound to `address` and `port`."},
    {"__aexit__", as_cfunction(&py_aexit), METH_FASTCALL | METH_KEYWORDS,
     "__aexit__($self, /, _exc_type=None, _exc_value=None, _traceback=None)\n--\n\n"
     "Stop the server, closing it if the run has not already finished."},
    {"get_result", as_cfunction(&py_get_result), METH_NOARGS,
     "get_result($self, /)\n--\n\n"
     "Wait for the run to finish and return the per-case results.\n"
     "\n"
     "The client under test ends the run once it has driven every case.\n"
     "\n"
     "Returns:\n"
     "    The result of each case, in case order.\n"
     "\n"
     "Raises:\n"
     "    FailureError: If any case did not pass. Its `results` attribute holds\n"
     "        the same results that would otherwise be returned."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

nb::object make_server(std::string host, std::uint16_t port, std::vector<Case> cases, Constants constants) {
    auto inner = std::make_shared<ServerInner>(std::move(host), port,
                                               std::make_shared<const std::vector<Case>>(std::move(cases)),
                                               std::move(constants));
    return nb::cast(FuzzingServer(std::move(inner)));
}

void export_fuzzing_server(nb::module_ m) {
    export_class<FuzzingServer>(m, "FuzzingServer", [](nb::module_ m) {
        nb::class_<FuzzingServer> cls(m, "FuzzingServer", nb::is_final(), class_doc);
        add_methods(cls, server_methods);
        cls.def_prop_ro(
               "port", [](const FuzzingServer& server) { return started_address(server).port(); },
               "The bound TCP port \u2014 the real port chosen by the OS when `0` was\n"
               "requested. Available once serving has started.")
            .def_prop_ro(
                "address",
                [](const FuzzingServer& server) { return started_address(server).address().to_string(); },
                "The bound IP address. Available once serving has started.");
    });
}

}  // namespace varnel::server
