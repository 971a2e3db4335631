// The frame reader on any octets a peer may send, arriving in pieces: frames come
// out whole and unmasked, or the reader asks for more, or refuses with an error.
#include "protocol.hpp"
#include "runner.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>

namespace {

PyThreadState* detached = nullptr;

// A fresh connection state per input, made and dropped attached; the reader runs
// detached, as on the runtime's threads.
class Connection {
public:
    Connection() {
        PyEval_RestoreThread(detached);
        auto p = varnel::Protocol::create(true);
        if (!p) std::abort();
        protocol_.emplace(std::move(*p));
        detached = PyEval_SaveThread();
    }
    ~Connection() {
        PyEval_RestoreThread(detached);
        protocol_.reset();
        detached = PyEval_SaveThread();
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    const varnel::Protocol& protocol() const { return *protocol_; }

private:
    std::optional<varnel::Protocol> protocol_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Py_InitializeEx(0);
    nanobind::detail::nb_module_exec(NB_DOMAIN_STR, nullptr);
    detached = PyEval_SaveThread();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first octet picks the read sizes (1 to 16 octets, cycling).
    const unsigned cut = data[0];
    std::span<const std::uint8_t> wire(data + 1, size - 1);
    Connection connection;
    varnel::runner::ReadBuffer buffer;
    for (unsigned i = 0; !wire.empty(); ++i) {
        const std::size_t n = std::min<std::size_t>(1 + ((cut >> (i % 4)) + i) % 16, wire.size());
        buffer.append(wire.first(n));
        wire = wire.subspan(n);
        for (;;) {
            const std::size_t before = buffer.size();
            auto frame = varnel::runner::next_buffered_frame(buffer, connection.protocol());
            if (!frame) return 0;  // refused: the case ends here
            if (!*frame) break;    // more octets needed
            const auto& f = **frame;
            if (f.payload.size() + 2 > before - buffer.size() || f.opcode > 10 || (f.opcode > 2 && f.opcode < 8))
                std::abort();
        }
    }
    return 0;
}
