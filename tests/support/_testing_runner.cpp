// Test-only module: runs one case through the drive loop against a peer that
// listens on loopback, the way the endpoints do after the opening handshake.
#include "constants.hpp"
#include "protocol.hpp"
#include "result.hpp"
#include "runner.hpp"

#include <asio/as_tuple.hpp>
#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/read_until.hpp>
#include <asio/strand.hpp>
#include <asio/streambuf.hpp>
#include <asio/this_coro.hpp>
#include <asio/write.hpp>

#include <nanobind/stl/string.h>

namespace nb = nanobind;
using namespace varnel;

namespace {

struct Outcome {
    std::string io_error;  // connecting or the handshake failed
    PyResult<void> drive;
};

// Connects, sends `preamble`, reads a head up to a blank line when asked (what
// follows it stays for the drive loop), then drives the case.
asio::awaitable<Outcome> connection(std::uint16_t port, std::string preamble, bool read_head, Protocol protocol,
                                    PyRef case_obj, Constants constants, SharedResults results) {
    asio::ip::tcp::socket s(co_await asio::this_coro::executor);
    auto [ec] = co_await s.async_connect({asio::ip::address_v4::loopback(), port},
                                         asio::as_tuple(asio::use_awaitable));
    if (ec) co_return Outcome{"connect: " + ec.message(), {}};
    runner::ReadBuffer buffer;
    if (!preamble.empty()) {
        auto [wec, n] = co_await asio::async_write(s, asio::buffer(preamble), asio::as_tuple(asio::use_awaitable));
        if (wec) co_return Outcome{"handshake: " + wec.message(), {}};
    }
    if (read_head) {
        std::string head;
        auto [rec, n] = co_await asio::async_read_until(s, asio::dynamic_buffer(head), "\r\n\r\n",
                                                        asio::as_tuple(asio::use_awaitable));
        if (rec) co_return Outcome{"handshake: " + rec.message(), {}};
        buffer.append(std::span(reinterpret_cast<const std::uint8_t*>(head.data()) + n, head.size() - n));
    }
    co_return Outcome{{}, co_await runner::drive(s, buffer, std::move(protocol), std::move(case_obj), "1.1.1",
                                                 "peer", 1, constants, std::move(results))};
}

Operation run_case(std::uint16_t port, PyRef make_case, bool is_server, std::string preamble, bool read_head) {
    PyResult<Runtime*> rt = get_runtime();
    if (!rt) co_return std::unexpected(std::move(rt.error()));
    Constants constants = Constants::get();
    auto protocol = Protocol::create(is_server);
    if (!protocol) co_return std::unexpected(std::move(protocol.error()));
    PyObject* made = PyObject_CallOneArg(make_case.get(), protocol->to_python().ptr());
    if (made == nullptr) co_return std::unexpected(nb::python_error());
    PyRef case_obj = PyRef::steal(made);

    SharedResults results = make_results();
    auto strand = asio::make_strand((*rt)->executor());
    Outcome out = co_await asio::co_spawn(strand,
                                          connection(port, std::move(preamble), read_head, *protocol,
                                                     std::move(case_obj), constants, results),
                                          asio::use_awaitable);
    if (!out.io_error.empty()) co_return std::unexpected(make_py_error(PyExc_OSError, out.io_error));
    if (!out.drive) co_return std::unexpected(std::move(out.drive.error()));
    PyResult<PyRef> list = results->to_list();
    if (!list) co_return std::unexpected(std::move(list.error()));
    co_return list->object();
}

}  // namespace

NB_MODULE(_testing_runner, m) {
    nb::set_leak_warnings(false);
    register_result_classes(m);
    // A coroutine yielding the list of results the drive appended, or raising
    // the exception that ended the case.
    m.def("run_case", [](std::uint16_t port, nb::object make_case, bool is_server, nb::bytes preamble,
                         bool read_head) {
        return make_coroutine(run_case(port, PyRef::steal(std::move(make_case)), is_server,
                                       std::string(preamble.c_str(), preamble.size()), read_head),
                              "run_case", "run_case");
    }, nb::arg("port"), nb::arg("make_case"), nb::arg("is_server") = false, nb::arg("preamble") = nb::bytes(""),
       nb::arg("read_head") = false);
    m.def("install_deflate", [](nb::handle p) {
        nb::cast<Protocol>(p).lock_py()->deflate.emplace(false, 0, false, 0);
    });
}
