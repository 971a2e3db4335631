#include "runner.hpp"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace varnel::runner {
namespace {

// ---- frame header

using Octets = std::vector<std::uint8_t>;

std::optional<FrameHeader> header_of(const Octets& in) {
    auto h = parse_frame_header(in);
    EXPECT_TRUE(h.has_value()) << h.error().message;
    return h ? *h : std::nullopt;
}

TEST(FrameHeader, ParsesEveryLengthFormAndTheFlags) {
    auto h = header_of({0xf1, 0x05});
    ASSERT_TRUE(h);
    EXPECT_TRUE(h->fin && h->rsv1 && h->rsv2 && h->rsv3);
    EXPECT_EQ(h->opcode, 1);
    EXPECT_EQ(h->payload_size, 5u);
    EXPECT_EQ(h->header_size, 2u);
    EXPECT_FALSE(h->mask);

    h = header_of({0x22, 0xfe, 0x00, 0x05, 1, 2, 3, 4});  // non-minimal 16-bit form, masked
    ASSERT_TRUE(h);
    EXPECT_FALSE(h->fin);
    EXPECT_TRUE(h->rsv2 && !h->rsv1 && !h->rsv3);
    EXPECT_EQ(h->payload_size, 5u);
    EXPECT_EQ(h->header_size, 8u);
    EXPECT_EQ(h->mask, (MaskKey{1, 2, 3, 4}));

    h = header_of({0x82, 0x7f, 0, 0, 0, 0, 0x01, 0x00, 0x00, 0x00});
    ASSERT_TRUE(h);
    EXPECT_EQ(h->payload_size, 16u << 20);
    EXPECT_EQ(h->header_size, 10u);
}

TEST(FrameHeader, WaitsForEveryPartOfTheHeader) {
    const Octets full = {0x81, 0xff, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 9, 8, 7, 6};
    for (std::size_t n = 0; n < full.size(); ++n)
        EXPECT_FALSE(header_of(Octets(full.begin(), full.begin() + std::ptrdiff_t(n)))) << n;
    EXPECT_TRUE(header_of(full));
}

TEST(FrameHeader, RefusesReservedOpcodesOnceTheHeaderIsComplete) {
    for (std::uint8_t op : {3, 7, 11, 15}) {
        auto h = parse_frame_header(Octets{std::uint8_t(0x80 | op), 0x7d});  // payload not arrived
        ASSERT_FALSE(h.has_value());
        EXPECT_EQ(h.error().kind, IoError::Kind::invalid_data);
        EXPECT_EQ(h.error().message, std::format("WebSocket protocol error: Encountered invalid opcode: {}", op));
    }
    EXPECT_TRUE(header_of({0x83, 0x7e, 0x00}) == std::nullopt);  // header incomplete: not yet
}

TEST(FrameHeader, RefusesAnnouncedLengthsBeyondTheLimit) {
    for (Octets in : {Octets{0x82, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
                      Octets{0x82, 0x7f, 0, 0, 0, 0, 0x04, 0, 0, 1}}) {
        auto h = parse_frame_header(in);
        ASSERT_FALSE(h.has_value());
        EXPECT_EQ(h.error().kind, IoError::Kind::too_large);
    }
    EXPECT_TRUE(header_of({0x82, 0x7f, 0, 0, 0, 0, 0x04, 0, 0, 0}));  // exactly the limit
}

// ---- frames out of the buffer, and over a socket

Protocol make_protocol(bool is_server) {
    auto p = Protocol::create(is_server);
    if (!p) throw std::move(p.error());
    return std::move(*p);
}

TEST(FrameReader, TakesFramesOneByOneAndRecordsThem) {
    Protocol p = make_protocol(true);
    ReadBuffer buf;
    // A masked text frame "Hi" and an unmasked ping "x" in one read.
    const Octets in = {0x81, 0x82, 1, 2, 3, 4, 'H' ^ 1, 'i' ^ 2, 0x89, 0x01, 'x', 0x82};
    buf.append(in);
    auto f = next_buffered_frame(buf, p);
    ASSERT_TRUE(f && *f);
    EXPECT_EQ((*f)->payload, Bytes::copy_of("Hi"));
    EXPECT_EQ((*f)->mask, (MaskKey{1, 2, 3, 4}));
    f = next_buffered_frame(buf, p);
    ASSERT_TRUE(f && *f);
    EXPECT_EQ((*f)->opcode, 9);
    EXPECT_EQ((*f)->payload, Bytes::copy_of("x"));
    f = next_buffered_frame(buf, p);
    ASSERT_TRUE(f && !*f);  // one octet of the next frame stays
    EXPECT_EQ(buf.size(), 1u);

    auto g = p.lock();
    EXPECT_EQ(g->rx_frame_stats, (std::map<std::uint8_t, std::uint32_t>{{1, 1}, {9, 1}}));
    EXPECT_EQ(TrafficStats::read(g->traffic->incoming_websocket_frames), 1u);
    EXPECT_EQ(TrafficStats::read(g->traffic->incoming_octets_wire_level), 8u);
    EXPECT_EQ(TrafficStats::read(g->traffic->incoming_octets_websocket_level), 2u);
    const std::vector<WireEntry> log = g->wirelog.entries();
    ASSERT_EQ(log.size(), 2u);
    auto* rf = std::get_if<wire::RxFrame>(&log[0]);
    ASSERT_TRUE(rf);
    EXPECT_EQ(rf->text, "Hi");
    EXPECT_TRUE(rf->masked);
    EXPECT_EQ(rf->mask, "01020304");
}

// A masked binary frame of `n` octets i & 0xff (i = 0, 1, ...).
Octets masked_frame(std::size_t n, const MaskKey& key) {
    Octets out = {0x82, 0xff, 0, 0, 0, 0, std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8),
                  std::uint8_t(n)};
    if (n < 65536) out = {0x82, std::uint8_t(0x80 | 126), std::uint8_t(n >> 8), std::uint8_t(n)};
    out.insert(out.end(), key.begin(), key.end());
    for (std::size_t i = 0; i < n; ++i) out.push_back(std::uint8_t(i) ^ key[i % 4]);
    return out;
}

TEST(FrameReader, LargeFramesKeepTheOctetsThatFollowThem) {
    const MaskKey key{0x11, 0x22, 0x33, 0x44};
    const std::size_t n = large_octets + 3;  // not a multiple of the key
    // Few octets after the frame (its storage is handed over) and many (copied out).
    for (std::size_t trailing : {std::size_t(300), 3 * ReadBuffer::read_room}) {
        Protocol p = make_protocol(true);
        p.lock()->create_wirelog = false;
        ReadBuffer buf;
        buf.append(masked_frame(n, key));
        const Octets next = masked_frame(trailing, key);
        buf.append(next);

        auto f = next_buffered_frame(buf, p);
        ASSERT_TRUE(f && *f);
        const Bytes payload = (*f)->payload;
        ASSERT_EQ(payload.size(), n);
        for (std::size_t i : {std::size_t(0), std::size_t(1), n / 2, n - 1}) EXPECT_EQ(payload[i], std::uint8_t(i));
        EXPECT_EQ(buf.size(), next.size());

        buf.append(Octets(ReadBuffer::read_room, 0xee));  // reuses or replaces the storage
        EXPECT_EQ(payload[n - 1], std::uint8_t(n - 1));
        auto g = next_buffered_frame(buf, p);
        ASSERT_TRUE(g && *g);
        ASSERT_EQ((*g)->payload.size(), trailing);
        EXPECT_EQ((*g)->payload[trailing - 1], std::uint8_t(trailing - 1));
        EXPECT_EQ(buf.size(), ReadBuffer::read_room);
        EXPECT_EQ(TrafficStats::read(p.lock()->traffic->incoming_octets_websocket_level), n + trailing);
    }
}

TEST(CaseResultBuild, TextsWithStrayOctetsStillGiveAResult) {
    Protocol p = make_protocol(true);
    p.lock()->http_request = "GET /?agent=\xff HTTP/1.1";
    nb::object case_obj = nb::module_::import_("types").attr("SimpleNamespace")(
        nb::arg("behavior") = "OK", nb::arg("behaviorClose") = "OK", nb::arg("DESCRIPTION") = "",
        nb::arg("EXPECTATION") = "", nb::arg("reportTime") = false, nb::arg("reportCompressionRatio") = false,
        nb::arg("expected") = nb::none(), nb::arg("expectedClose") = nb::none(), nb::arg("received") = nb::none(),
        nb::arg("result") = "", nb::arg("resultClose") = "", nb::arg("trafficStats") = nb::none());
    auto r = build_case_result(case_obj, p, "1.1.1", 1, "\xc3(", "", 0, Constants::get());
    ASSERT_TRUE(r) << r.error().what();
    EXPECT_STREQ(nb::str(r->agent.handle()).c_str(), "\ufffd(");
    EXPECT_STREQ(nb::str(r->http_request.handle()).c_str(), "GET /?agent=\ufffd HTTP/1.1");
}

// ---- delivery

// Octets whose storage can be watched: expired once nothing holds them.
struct Watched {
    Bytes octets;
    std::weak_ptr<const void> storage;
};

Watched watched(std::span<const std::uint8_t> octets) {
    auto owner = std::make_shared<const ByteVec>(octets.begin(), octets.end());
    return {Bytes::sharing(owner, std::span<const std::uint8_t>(*owner)), owner};
}

// A case whose onMessage notes the payload, isBinary and whether `storage` was
// already released when it ran.
struct ReleaseProbe {
    std::weak_ptr<const void> storage;
    nb::list seen;
    nb::object case_obj;

    ReleaseProbe() {
        case_obj = nb::module_::import_("types").attr("SimpleNamespace")();
        case_obj.attr("onMessage") = nb::cpp_function([this](nb::object payload, bool is_binary) {
            seen.append(nb::make_tuple(payload, is_binary, storage.expired()));
        });
    }
    std::string noted() const { return nb::repr(seen).c_str(); }
};

// Only Python's own copy of a message is alive while onMessage runs: not the
// octets as received, whether plain, the last fragment or compressed.
TEST(Delivery, ReleasesTheEngineCopiesBeforeOnMessage) {
    const Octets text = {'h', 'e', 'l', 'l', 'o'};
    Protocol p = make_protocol(false);
    std::optional<PartialMessage> partial;
    {
        ReleaseProbe probe;
        Watched w = watched(text);
        probe.storage = w.storage;
        Frame f{true, false, false, false, 1, std::nullopt, std::move(w.octets)};
        ASSERT_TRUE(dispatch(probe.case_obj, p, f, partial, Constants::get()));
        EXPECT_EQ(probe.noted(), "[('hello', False, True)]");
    }
    {
        ReleaseProbe probe;
        Frame start{false, false, false, false, 2, std::nullopt, Bytes::copy_of("he")};
        ASSERT_TRUE(dispatch(probe.case_obj, p, start, partial, Constants::get()));
        Watched w = watched(std::span(text).subspan(2));
        probe.storage = w.storage;
        Frame last{true, false, false, false, 0, std::nullopt, std::move(w.octets)};
        ASSERT_TRUE(dispatch(probe.case_obj, p, last, partial, Constants::get()));
        EXPECT_EQ(probe.noted(), "[('hello', True, True)]");
    }
    {
        p.lock()->deflate.emplace(false, 0, false, 0);
        Deflate sender(false, 0, false, 0);
        const ByteVec packed = *sender.compress(text);
        ReleaseProbe probe;
        Watched w = watched(packed);
        probe.storage = w.storage;
        ASSERT_TRUE(deliver(probe.case_obj, p, std::move(w.octets), false, true, Constants::get()));
        EXPECT_EQ(probe.noted(), "[(b'hello', False, True)]");
    }
}

struct Loopback {
    asio::io_context io;
    asio::ip::tcp::socket ours{io};
    asio::ip::tcp::socket peer{io};

    Loopback() {
        asio::ip::tcp::acceptor a(io, {asio::ip::address_v4::loopback(), 0});
        ours.connect(a.local_endpoint());
        a.accept(peer);
    }
    void send(const Octets& o) { asio::write(peer, asio::buffer(o)); }
    std::expected<Frame, IoError> read(ReadBuffer& buf, const Protocol& p, std::optional<MonoInstant> deadline) {
        std::optional<std::expected<Frame, IoError>> out;
        nb::gil_scoped_release detached;
        asio::co_spawn(io, read_frame(ours, buf, p, deadline), [&](std::exception_ptr e, auto r) {
            if (e) std::rethrow_exception(e);
            out = std::move(r);
        });
        io.restart();
        io.run();
        return std::move(*out);
    }
};

TEST(FrameReader, SurvivesATimeoutInTheMiddleOfAFrame) {
    Loopback net;
    Protocol p = make_protocol(false);
    ReadBuffer buf;
    const Octets frame = {0x82, 0x03, 'a', 'b', 'c'};
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
        net.send({frame[i]});
        // A read whose deadline passed before it began takes nothing: the next
        // one takes the octet, so that each comes in a read of its own.
        for (int attempt = 0; buf.size() == i; ++attempt) {
            ASSERT_LT(attempt, 100) << "octet " << i << " never read";
            auto r = net.read(buf, p, MonoClock::now() + std::chrono::milliseconds(20));
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(r.error().kind, IoError::Kind::timed_out);
        }
    }
    net.send({frame.back()});
    auto r = net.read(buf, p, std::nullopt);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->payload, Bytes::copy_of("abc"));
    auto g = p.lock();
    EXPECT_EQ(g->rx_octet_stats, (std::map<std::size_t, std::uint32_t>{{1, 5}}));
    EXPECT_EQ(std::ranges::count_if(g->wirelog.entries(), [](auto& e) { return std::holds_alternative<wire::RxOctets>(e); }), 5);
}

// Data that is always there never makes a read wait, so the deadline is looked
// at between reads too; what arrived stays for the next call.
TEST(FrameReader, DataAlreadyWaitingDoesNotCarryAReadPastItsDeadline) {
    Loopback net;
    Protocol p = make_protocol(false);
    ReadBuffer buf;
    net.send({0x82, 0x03, 'a', 'b', 'c'});
    auto r = net.read(buf, p, MonoClock::now() - std::chrono::milliseconds(1));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, IoError::Kind::timed_out);
    r = net.read(buf, p, MonoClock::now() + std::chrono::seconds(30));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->payload, Bytes::copy_of("abc"));
}

TEST(FrameReader, ReadsALargeFrameAndReportsTheEndOfTheStream) {
    Loopback net;
    Protocol p = make_protocol(true);
    p.lock()->create_wirelog = false;
    ReadBuffer buf;
    const std::size_t n = 16u << 20;
    Octets big(10 + n, 0x5a);
    const Octets head = {0x82, 0x7f, 0, 0, 0, 0, std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8),
                         std::uint8_t(n)};
    std::ranges::copy(head, big.begin());
    std::jthread writer([&] {
        asio::write(net.peer, asio::buffer(big));
        net.peer.shutdown(asio::ip::tcp::socket::shutdown_send);
    });
    auto r = net.read(buf, p, std::nullopt);
    ASSERT_TRUE(r.has_value()) << r.error().message;
    EXPECT_EQ(r->payload.size(), n);
    EXPECT_EQ(r->payload[n - 1], 0x5a);
    EXPECT_LT(buf.capacity(), 2 * n);
    writer.join();
    r = net.read(buf, p, std::nullopt);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, IoError::Kind::unexpected_eof);
    EXPECT_EQ(r.error().message, "connection closed");
    EXPECT_TRUE(p.lock()->wirelog.empty());
}

// What a flush reads while it waits: whatever is there, never past the limit,
// counted like any read, and the end of the stream left for the reader.
TEST(ReadAhead, TakesWhatIsThereUpToTheLimitAndLeavesTheEndToTheReader) {
    Loopback net;
    net.ours.non_blocking(true);
    Protocol p = make_protocol(false);
    ReadBuffer buf;
    EXPECT_EQ(read_available(net.ours, buf, p, 1000), ReadAhead::would_block);
    EXPECT_TRUE(buf.empty());

    Octets sent = {0x81, 0x02, 'h', 'i'};
    sent.resize(100, 0x00);  // then 48 empty continuation frames
    net.send(sent);
    net.ours.wait(asio::ip::tcp::socket::wait_read);
    EXPECT_EQ(read_available(net.ours, buf, p, 60), ReadAhead::read);
    EXPECT_EQ(buf.size(), 60u);
    EXPECT_EQ(read_available(net.ours, buf, p, 60), ReadAhead::would_block);  // full: nothing read
    EXPECT_EQ(read_available(net.ours, buf, p, 1000), ReadAhead::read);
    EXPECT_TRUE(std::ranges::equal(buf.data(), sent));

    net.peer.shutdown(asio::ip::tcp::socket::shutdown_send);
    net.ours.wait(asio::ip::tcp::socket::wait_read);
    EXPECT_EQ(read_available(net.ours, buf, p, 1000), ReadAhead::ended);
    EXPECT_EQ(buf.size(), sent.size());
    {
        auto g = p.lock();
        EXPECT_EQ(g->rx_octet_stats, (std::map<std::size_t, std::uint32_t>{{60, 1}, {40, 1}}));
        EXPECT_EQ(std::ranges::count_if(g->wirelog.entries(),
                                        [](auto& e) { return std::holds_alternative<wire::RxOctets>(e); }),
                  2);
        EXPECT_TRUE(g->rx_frame_stats.empty());  // nothing taken as a frame yet
    }

    // The reader takes the frames in order, then sees the end of the stream.
    auto first = net.read(buf, p, std::nullopt);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->payload, Bytes::copy_of("hi"));
    for (int i = 0; i < 48; ++i) {
        auto r = net.read(buf, p, std::nullopt);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->opcode, 0);
    }
    auto end = net.read(buf, p, std::nullopt);
    ASSERT_FALSE(end.has_value());
    EXPECT_EQ(end.error().message, "connection closed");
}

}  // namespace
}  // namespace varnel::runner
