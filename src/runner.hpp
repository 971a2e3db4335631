// Running one case over an upgraded connection: the frame reader, frame dispatch to the case's callbacks, the case
// result, and the drive loop that ties them together.
#pragma once

#include "asyncrt.hpp"
#include "bytes.hpp"
#include "constants.hpp"
#include "mask.hpp"
#include "protocol.hpp"
#include "result.hpp"

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varnel {

// An I/O failure of the engine's own making or of the socket. `kind` says what
// the caller may do about it; `message` is the text shown wherever it surfaces.
struct IoError {
    enum class Kind {
        invalid_data,    // the peer sent something that cannot be parsed
        unexpected_eof,  // the peer closed the stream
        timed_out,       // the caller's deadline passed while waiting for data
        too_large,       // a frame beyond the limit below
        socket,          // any other socket error
    };
    Kind kind;
    std::string message;
};

namespace runner {

// ---------------------------------------------------------------------------
// Frame reader

// A peer may announce any length up to 2^64 - 1; frames and reassembled messages
// beyond these are refused (the case gets an error result) instead of buffered.
// 16 MiB messages, the largest ordinary test traffic, fit with room to spare;
// the same bound as an inflated message.
inline constexpr std::size_t max_frame_payload = std::size_t(64) << 20;
inline constexpr std::size_t max_message_size = std::size_t(64) << 20;

// Received octets not yet taken as frames. Grows when a read needs room; the
// endpoints may leave bytes received after the handshake head in it.
class ReadBuffer {
public:
    // Room guaranteed for one socket read.
    static constexpr std::size_t read_room = 8192;

    ReadBuffer() = default;
    ReadBuffer(ReadBuffer&&) noexcept = default;
    ReadBuffer& operator=(ReadBuffer&&) noexcept = default;
    ReadBuffer(const ReadBuffer&) = delete;  // a copy would share the storage
    ReadBuffer& operator=(const ReadBuffer&) = delete;

    std::span<const std::uint8_t> data() const noexcept { return {buf_.get() + begin_, end_ - begin_}; }
    std::size_t size() const noexcept { return end_ - begin_; }
    bool empty() const noexcept { return begin_ == end_; }

    void append(std::span<const std::uint8_t> octets);
    // Drops the first n octets (n <= size()).
    void consume(std::size_t n) noexcept;
    // Makes sure at least `room` octets can be appended without reallocating
    // while reading; returns the free tail to read into.
    std::span<std::uint8_t> prepare(std::size_t room);
    // Marks n octets of the tail returned by prepare as received.
    void commit(std::size_t n) noexcept { end_ += n; }
    std::size_t capacity() const noexcept { return cap_; }

    // Hands over the n octets that follow the first `skip` ones without copying
    // them (unmasked in place first when `mask` is given) and drops all skip + n;
    // what follows moves to fresh storage. Requires skip + n <= size().
    Bytes take_front(std::size_t skip, std::size_t n, const std::optional<MaskKey>& mask);

private:
    std::shared_ptr<std::uint8_t[]> buf_;
    std::size_t cap_ = 0;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

struct FrameHeader {
    bool fin = false;
    bool rsv1 = false;
    bool rsv2 = false;
    bool rsv3 = false;
    std::uint8_t opcode = 0;
    std::optional<MaskKey> mask;
    std::size_t header_size = 0;   // 2 to 14 octets
    std::uint64_t payload_size = 0;
};

struct Frame {
    bool fin = false;
    bool rsv1 = false;
    bool rsv2 = false;
    bool rsv3 = false;
    std::uint8_t opcode = 0;
    std::optional<MaskKey> mask;
    Bytes payload;  // unmasked
};

// Parses the frame header at the start of `octets`: none while more octets are
// needed. Refuses a reserved opcode (invalid_data) once the header is complete,
// then a payload beyond max_frame_payload (too_large).
std::expected<std::optional<FrameHeader>, IoError> parse_frame_header(std::span<const std::uint8_t> octets);

// Takes the first frame out of the buffer when it is complete, counting and
// logging it in the connection state; none while more octets are needed.
std::expected<std::optional<Frame>, IoError> next_buffered_frame(ReadBuffer& buffer, const Protocol& protocol);

// The most a flush reads ahead while it waits for the peer to take its octets:
// one largest accepted frame with its largest header.
inline constexpr std::size_t read_ahead_limit = max_frame_payload + 14;

enum class ReadAhead {
    read,         // some octets were appended
    would_block,  // nothing to read right now
    ended,        // end of stream or a read error: left for read_frame to see again
};

// One read of what the socket holds now, without waiting (the socket is in
// non-blocking mode), appended to `buffer` up to `limit` octets in all and
// counted and logged as read_frame counts a read. No frame is taken.
ReadAhead read_available(asio::ip::tcp::socket& stream, ReadBuffer& buffer, const Protocol& protocol,
                         std::size_t limit);

// Reads until one frame is complete; each socket read is counted and logged.
// With a deadline, waiting or reading past it ends the call with timed_out and
// loses nothing: what was read stays in the buffer for the next call. Never
// touches Python.
asio::awaitable<std::expected<Frame, IoError>> read_frame(asio::ip::tcp::socket& stream, ReadBuffer& buffer,
                                                          const Protocol& protocol,
                                                          std::optional<MonoInstant> deadline);

// ---------------------------------------------------------------------------
// Dispatch (attached)

// A text or binary message whose final frame has not arrived yet.
struct PartialMessage {
    ByteVec octets;
    bool is_binary = false;
    bool compressed = false;
};

// What the drive loop does after a frame: go on, or end the case because its
// kill deadline passed while a message was being inflated (already marked as
// killed, exactly as the loop marks a kill).
enum class Dispatched { go_on, killed };

// Answers pings and closes, reassembles and delivers messages, and calls the
// case's callbacks. Errors: the callback's exception; ValueError for a message
// that does not inflate or outgrows max_message_size.
// A delivered message's octets are taken out of `frame` and released before
// onMessage runs.
PyResult<Dispatched> dispatch(nb::handle case_obj, const Protocol& protocol, Frame& frame,
                              std::optional<PartialMessage>& partial, const Constants& constants);

// Counts one complete message and hands it to onMessage, releasing `message`
// (and what it inflated to) once Python has its own copy, so only that copy is
// alive while onMessage runs. A compressed message is inflated with the
// connection's kill deadline in force.
PyResult<Dispatched> deliver(nb::handle case_obj, const Protocol& protocol, Bytes message, bool is_binary,
                             bool compressed, const Constants& constants);

// case_obj.<name>(*args) with at most 6 arguments, its result dropped. Attached.
PyResult<void> call_callback(nb::handle case_obj, PyObject* name, std::initializer_list<nb::handle> args);

// ---------------------------------------------------------------------------
// Case result (attached)

// The CaseResult of a case that ran to its end: the case's verdicts and prose,
// one snapshot of the connection state, and the drive loop's measurements.
// Errors: the exception of the first attribute that is missing or of the wrong
// form, in the order the attributes are listed in CaseResult.
PyResult<CaseResult> build_case_result(nb::handle case_obj, const Protocol& protocol, std::string_view case_id,
                                       std::uint64_t case_index, std::string_view agent,
                                       std::string_view started, std::int64_t duration,
                                       const Constants& constants);

// ---------------------------------------------------------------------------
// Drive loop

// Records the kill deadline acting: "KLE", failed and dropped by this side.
void mark_killed(ProtocolInner& inner);

// A chunk that the peer does not take a single octet of for this long ends the
// case as dropped by this side: a peer that stops reading cannot hold it forever.
inline constexpr std::chrono::seconds write_stall_limit{10};

// Runs one case over an upgraded connection, in either role: onOpen, then turns
// of timers, deadlines, writes and reads until the close handshake is done, the
// kill deadline passes or the connection breaks; then onConnectionLost and the
// CaseResult, appended to `results`. `buffer` may hold octets received after the
// handshake head. On an error nothing is appended; the caller records an error
// result. Either way the caller closes `stream` afterwards. Runs on the runtime;
// each call into Python is one blocking job.
asio::awaitable<PyResult<void>> drive(asio::ip::tcp::socket& stream, ReadBuffer& buffer, Protocol protocol,
                                      PyRef case_obj, std::string case_id, std::string agent,
                                      std::uint64_t case_index, Constants constants, SharedResults results);

}  // namespace runner
}  // namespace varnel
