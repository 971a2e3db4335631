// The state of one WebSocket connection running a case, the frame writer that
// fills its outgoing queue, and the `Protocol` object the case drives it through.
#pragma once

#include "bytes.hpp"
#include "deflate.hpp"
#include "mask.hpp"
#include "pyglue.hpp"
#include "traffic.hpp"
#include "wirelog.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace varnel {

using MonoClock = std::chrono::steady_clock;
using MonoInstant = MonoClock::time_point;

// One continueLater timer.
struct Later {
    std::optional<std::string> tag;
    MonoInstant deadline;
    PyRef func;
};

// Why the writer refused or failed to queue a frame. A refusal (a value no frame
// can carry) reaches Python as ValueError, an I/O error as OSError.
struct FrameError {
    enum class Kind { refused, io };
    Kind kind;
    std::string message;
};

// Everything the case, the writer, the drive loop, the reader and the result
// builder share about one connection. Guarded by the connection mutex.
struct ProtocolInner {
    std::vector<Bytes> out_queue;
    std::optional<ByteVec> remote_close_reason;
    std::optional<std::string> was_not_clean_reason;
    std::optional<ByteVec> local_close_reason;
    std::string http_request;
    std::string http_response;
    std::vector<Later> laters;
    WireLog wirelog;
    std::map<std::uint8_t, std::uint32_t> tx_frame_stats;
    std::map<std::uint8_t, std::uint32_t> rx_frame_stats;
    std::map<std::size_t, std::uint32_t> tx_octet_stats;
    std::map<std::size_t, std::uint32_t> rx_octet_stats;
    PyRef traffic_stats;                  // the Python TrafficStats object
    TrafficStats* traffic = nullptr;      // its counters, alive while traffic_stats is held
    PyRef offers;                         // null: none stored
    PyRef accept;                         // null: none stored (None itself may be stored)
    std::optional<Deflate> deflate;       // permessage-deflate, when negotiated
    std::optional<MonoInstant> kill_deadline;
    std::optional<MonoInstant> close_deadline;
    std::int64_t auto_fragment_size = 0;
    std::uint64_t frame_pos = 0;
    MaskKey frame_mask{};
    std::optional<std::uint16_t> remote_close_code;
    std::optional<std::uint16_t> local_close_code;
    bool connection_was_open = true;
    bool close_sent = false;
    bool closed_by_me = false;
    bool failed_by_me = false;
    bool close_received = false;
    bool was_clean = false;
    bool was_server_connection_drop_timeout = false;
    bool was_open_handshake_timeout = false;
    bool was_close_handshake_timeout = false;
    bool dropped_by_me = false;
    bool create_wirelog = true;
    bool is_server = false;
    std::uint8_t message_opcode = 1;

    // A fresh record with a new TrafficStats object. Attached; the error is the
    // Python exception of a failed allocation.
    static std::expected<ProtocolInner, nb::python_error> create(bool is_server);

    // Appends a traffic entry ("RO", "TO", "RF", "TF") while logging is on. The
    // entry past traffic_log_limit switches logging off instead, as
    // enableWirelog(False) would: a "WLM" False entry marks the point.
    void log_traffic(const WireEntry& entry);

    // ---- frame writer; every operation runs with the connection mutex held

    // A fresh client key, or none on the server side.
    std::optional<MaskKey> next_mask() const;
    void queue(Bytes chunk, bool sync);
    std::expected<void, FrameError> send_frame(std::uint8_t opcode, bool fin, std::uint8_t rsv,
                                               const Bytes& payload,
                                               std::optional<std::size_t> chopsize,
                                               std::optional<std::size_t> payload_len, bool sync);
    std::expected<void, FrameError> begin_message_frame(std::uint64_t length);
    void send_message_frame_data(const Bytes& payload);
    std::expected<void, FrameError> send_close(std::optional<std::uint16_t> code,
                                               std::optional<Bytes> reason);

    // A whole message: counted, compressed when a compressor is installed, and
    // cut into frames of `fragment_size` when given (else auto_fragment_size).
    std::expected<void, FrameError> send_message(const Bytes& payload, bool binary,
                                                 std::optional<std::size_t> fragment_size);
};

// A fatal failure that left the connection state in an unknown condition; every
// later attempt to take the connection mutex fails with it.
class PoisonedMutex : public std::runtime_error {
public:
    PoisonedMutex() : std::runtime_error("connection mutex poisoned") {}
};

struct ProtocolCell {
    explicit ProtocolCell(ProtocolInner i) : inner(std::move(i)) {}
    std::mutex mutex;
    std::atomic<bool> poisoned{false};
    ProtocolInner inner;
};

// Holds the connection mutex. An exception that escapes while it is held
// poisons the mutex: the state may be half-updated.
class ProtocolGuard {
public:
    ProtocolGuard(ProtocolCell& cell, std::unique_lock<std::mutex> lock) noexcept
        : cell_(&cell), lock_(std::move(lock)), exceptions_(std::uncaught_exceptions()) {}
    ProtocolGuard(ProtocolGuard&&) noexcept = default;
    ProtocolGuard& operator=(ProtocolGuard&&) = delete;
    ~ProtocolGuard() {
        if (lock_.owns_lock() && std::uncaught_exceptions() > exceptions_)
            cell_->poisoned.store(true, std::memory_order_release);
    }
    ProtocolInner* operator->() const noexcept { return &cell_->inner; }
    ProtocolInner& operator*() const noexcept { return cell_->inner; }
    void unlock() { lock_.unlock(); }

private:
    ProtocolCell* cell_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
};

// The case's handle on its connection: a shared reference to the guarded state.
class Protocol {
public:
    // Attached. The error is the Python exception of a failed allocation.
    static std::expected<Protocol, nb::python_error> create(bool is_server);

    // Plain wait, for threads not attached to the interpreter. Throws PoisonedMutex.
    ProtocolGuard lock() const;
    // For attached threads: detaches while the mutex is busy. Throws PoisonedMutex.
    ProtocolGuard lock_py() const;

    // New references to the stored objects, or null when none is stored. Attached.
    PyRef accept() const;
    PyRef offers() const;

    // The Python object for this handle (registering the classes on first use).
    nb::object to_python() const;

    const std::shared_ptr<ProtocolCell>& cell() const noexcept { return cell_; }

private:
    explicit Protocol(std::shared_ptr<ProtocolCell> cell) : cell_(std::move(cell)) {}
    std::shared_ptr<ProtocolCell> cell_;
};

// The role of this side, as the case sees it through `self.p.factory`.
struct Factory {
    bool is_server = false;
};

// Makes the Python types of Protocol and Factory (and TrafficStats if the module
// did not) on first use in this extension. Attached. Neither becomes a member of
// any module.
void ensure_protocol_types();

// ---- payload conversions (attached)

// A case's payload value as octets: None, bytes, bytearray, an integer index
// (one octet) or a str (UTF-8, or one octet per character when !utf8).
std::expected<Bytes, nb::python_error> payload_to_bytes(nb::handle value, bool utf8);

// Received octets as the str a callback receives: Latin-1 when binary, else
// UTF-8 when the whole payload is valid UTF-8, Latin-1 otherwise.
nb::str bridge_message(std::span<const std::uint8_t> payload, bool binary);

// ---- timers

// Whole nanoseconds of a delay in seconds, rounded to nearest, ties to even;
// an error text when the value is negative, NaN, infinite or 2^64 s or more.
std::expected<std::chrono::nanoseconds, nb::python_error> delay_from_secs(double secs);

}  // namespace varnel
