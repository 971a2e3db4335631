#include "protocol.hpp"

#include <gtest/gtest.h>

#include <latch>
#include <thread>

namespace varnel {
namespace {

Protocol make(bool is_server) {
    auto p = Protocol::create(is_server);
    if (!p) throw std::move(p.error());
    return std::move(*p);
}

std::vector<std::uint8_t> joined(const std::vector<Bytes>& chunks) {
    std::vector<std::uint8_t> out;
    for (const Bytes& c : chunks) out.insert(out.end(), c.data(), c.data() + c.size());
    return out;
}

std::int64_t ns(double secs) {
    auto d = delay_from_secs(secs);
    if (!d) {
        PyErr_Clear();
        return -1;
    }
    return d->count();
}

TEST(Delay, RoundsToNearestNanosecondTiesToEven) {
    EXPECT_EQ(ns(0.0), 0);
    EXPECT_EQ(ns(1e-10), 0);
    EXPECT_EQ(ns(1.0), 1'000'000'000);
    EXPECT_EQ(ns(0x1p-10), 976'562);        // exactly 976562.5 ns
    EXPECT_EQ(ns(3 * 0x1p-10), 2'929'688);  // exactly 2929687.5 ns
    EXPECT_EQ(ns(2.5), 2'500'000'000);
    EXPECT_EQ(ns(9e9), 9'000'000'000'000'000'000);
    EXPECT_EQ(ns(9.3e9), -1);  // beyond a 64-bit count of nanoseconds
    EXPECT_EQ(ns(-1e-300), -1);
}

TEST(Mask, CopyMaskedContinuesTheKeyFromAnyPosition) {
    const MaskKey key{0x11, 0x22, 0x33, 0x44};
    std::vector<std::uint8_t> src(37);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = std::uint8_t(i * 7);
    for (std::uint64_t start : {0u, 1u, 3u, 6u}) {
        std::vector<std::uint8_t> out(src.size());
        copy_masked(out.data(), src.data(), src.size(), key, start);
        for (std::size_t i = 0; i < src.size(); ++i)
            ASSERT_EQ(out[i], src[i] ^ key[(start + i) % 4]) << start << " " << i;
    }
    EXPECT_NE(next_mask_key(), next_mask_key());
}

TEST(FrameWriter, MessageFrameDataContinuesTheHeaderKey) {
    Protocol p = make(false);
    auto g = p.lock();
    ASSERT_TRUE(g->begin_message_frame(10));
    const MaskKey key = g->frame_mask;
    const std::uint8_t text[] = "0123456789";
    g->send_message_frame_data(Bytes::copy_of(std::span(text, 4)));
    g->send_message_frame_data(Bytes::copy_of(std::span(text + 4, 6)));
    auto wire = joined(g->out_queue);
    ASSERT_EQ(wire.size(), 2u + 4 + 10);
    EXPECT_EQ(wire[0], 0x81);
    EXPECT_EQ(wire[1], 0x80 | 10);
    EXPECT_TRUE(std::equal(key.begin(), key.end(), wire.begin() + 2));
    for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(wire[6 + i] ^ key[i % 4], text[i]);
    EXPECT_EQ(g->frame_pos, 10u);
}

TEST(FrameWriter, ServerDataIsQueuedWithoutCopy) {
    Protocol p = make(true);
    auto g = p.lock();
    g->message_opcode = 2;
    ASSERT_TRUE(g->begin_message_frame(70000));
    EXPECT_EQ(g->out_queue[0].size(), 10u);  // 64-bit length form, no key
    Bytes data = Bytes::copy_of(std::string_view("abc"));
    g->send_message_frame_data(data);
    EXPECT_TRUE(g->out_queue[1].shares_buffer_with(data));
    EXPECT_EQ(TrafficStats::read(g->traffic->outgoing_octets_wire_level), 13u);
    EXPECT_EQ(TrafficStats::read(g->traffic->outgoing_octets_websocket_level), 70000u);
}

TEST(FrameWriter, RefusedOpcodeChangesNothing) {
    Protocol p = make(false);
    auto g = p.lock();
    auto r = g->send_frame(16, true, 0, Bytes(), std::nullopt, std::nullopt, false);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, FrameError::Kind::refused);
    EXPECT_TRUE(g->out_queue.empty() && g->wirelog.empty() && g->tx_frame_stats.empty());
    // A close with a reason but no code, as a client: reason alone, masked.
    ASSERT_TRUE(g->send_close(std::nullopt, Bytes::copy_of(std::string_view("ab"))));
    auto wire = joined(g->out_queue);
    ASSERT_EQ(wire.size(), 8u);
    EXPECT_EQ(wire[0], 0x88);
    EXPECT_EQ(wire[1], 0x82);
    EXPECT_EQ(wire[6] ^ wire[2], 'a');
    EXPECT_EQ(wire[7] ^ wire[3], 'b');
    EXPECT_TRUE(g->closed_by_me && g->close_sent);
}

// lock_py must detach while it waits: the holder here needs the interpreter
// before it lets go, so a waiter that stayed attached would never get the lock.
TEST(ProtocolLock, LockPyDetachesWhileWaiting) {
    Protocol p = make(false);
    std::latch held(1);
    std::thread holder([&] {
        auto g = p.lock();
        held.count_down();
        nb::gil_scoped_acquire attached;
        g->auto_fragment_size = 7;
    });
    {
        nb::gil_scoped_release detached;
        held.wait();
    }
    EXPECT_EQ(p.lock_py()->auto_fragment_size, 7);
    nb::gil_scoped_release detached;
    holder.join();
}

TEST(ProtocolLock, ExceptionWhileHeldPoisonsEveryLaterLock) {
    Protocol p = make(false);
    EXPECT_THROW(
        {
            auto g = p.lock();
            throw std::runtime_error("broken");
        },
        std::runtime_error);
    EXPECT_THROW(p.lock(), PoisonedMutex);
    EXPECT_THROW(p.lock_py(), PoisonedMutex);
    // An exception that merely passes through, with no lock held, poisons nothing.
    Protocol q = make(false);
    try {
        throw std::runtime_error("unrelated");
    } catch (...) {
        auto g = q.lock();
    }
    EXPECT_NO_THROW(q.lock());
}

}  // namespace
}  // namespace varnel
