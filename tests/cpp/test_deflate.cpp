#include "deflate.hpp"
#include "reference_inflate.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>

namespace varnel {
namespace {

ByteVec bytes(std::string_view s) { return ByteVec(s.begin(), s.end()); }

// Words with some noise, so that both matches and literals occur.
ByteVec sample(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    const std::string words[] = {"frame ", "mask ", "close ", "ping ", "opcode ", "payload "};
    ByteVec out;
    while (out.size() < size) {
        const std::string& word = words[rng() % 6];
        if (rng() % 8 == 0) out.push_back(std::uint8_t(rng()));
        else out.insert(out.end(), word.begin(), word.end());
    }
    out.resize(size);
    return out;
}

std::string error_text(const std::expected<ByteVec, DeflateError>& r) {
    if (r) return "(no error)";
    EXPECT_EQ(r.error().kind, DeflateError::Kind::invalid_data);
    return r.error().message;
}

TEST(Deflate, WindowBitsMapIntoZlibRange) {
    const std::pair<int, int> table[] = {{0, 15}, {1, 9}, {8, 9}, {9, 9}, {10, 10},
                                         {14, 14}, {15, 15}, {200, 15}, {255, 15}};
    for (auto [negotiated, used] : table)
        EXPECT_EQ(Deflate::window_bits(std::uint8_t(negotiated)), used) << negotiated;
}

TEST(Deflate, RoundTripsAcrossWindowsAndTakeoverSettings) {
    const ByteVec payloads[] = {{}, bytes("x"), sample(8192, 2), sample(100000, 3),
                                   sample(8192, 2), {}, bytes("x")};
    for (int bits = 8; bits <= 15; ++bits) {
        for (bool no_takeover : {false, true}) {
            Deflate sender(no_takeover, std::uint8_t(bits), false, 0);
            Deflate receiver(false, 0, no_takeover, std::uint8_t(bits));
            for (const ByteVec& payload : payloads) {
                ByteVec compressed = sender.compress(payload).value();
                auto inflated = receiver.decompress(compressed);
                ASSERT_TRUE(inflated) << inflated.error().message;
                EXPECT_EQ(*inflated, payload) << "bits " << bits << " size " << payload.size();
            }
        }
    }
}

TEST(Deflate, EmptyMessagesSendOneZeroByteAndReceiveWithoutHarm) {
    Deflate d(false, 0, false, 0);
    EXPECT_EQ(d.compress({}).value(), ByteVec{0x00});
    ASSERT_TRUE(d.compress(bytes("hello")));
    EXPECT_EQ(d.compress({}).value(), ByteVec{0x00});

    // A peer may send an empty payload instead; it must not disturb the window.
    Deflate sender(false, 0, false, 0), receiver(false, 0, false, 0);
    for (std::string_view text : {"hello", "", "hello", "hello"}) {
        ByteVec payload = text.empty() ? ByteVec{} : sender.compress(bytes(text)).value();
        auto inflated = receiver.decompress(payload);
        ASSERT_TRUE(inflated) << inflated.error().message;
        EXPECT_EQ(*inflated, bytes(text));
    }
}

TEST(Deflate, ContextTakeoverRefersBackToEarlierMessages) {
    ByteVec text = sample(400, 6);
    Deflate keep(false, 0, false, 0), fresh(true, 0, false, 0);
    auto first = keep.compress(text).value(), second = keep.compress(text).value();
    EXPECT_LT(second.size() * 4, first.size());
    EXPECT_EQ(fresh.compress(text).value(), fresh.compress(text).value());
}

TEST(Deflate, CorruptDataFailsWithTheLibraryMessage) {
    EXPECT_EQ(error_text(Deflate(false, 0, false, 0).decompress(ByteVec{0xFF, 0xFF, 0xFF, 0xFF})),
              "deflate decompression error: invalid block type");
    EXPECT_EQ(error_text(Deflate(false, 0, false, 0).decompress(ByteVec{0, 1, 0, 0, 0})),
              "deflate decompression error: invalid stored block lengths");
    // A second message that refers 1000 bytes back, beyond a 512-byte window
    // (the receiving window is the fourth argument, not the second).
    ByteVec first = sample(1000, 7), second(first.begin(), first.begin() + 300);
    Deflate wide(false, 15, false, 15), narrow(false, 15, false, 9);
    ASSERT_TRUE(narrow.decompress(wide.compress(first).value()));
    EXPECT_EQ(error_text(narrow.decompress(wide.compress(second).value())),
              "deflate decompression error: invalid distance too far back");
}

TEST(Deflate, EveryTruncationEndsWithAResultOrAnError) {
    ByteVec payload = sample(3000, 8);
    ByteVec compressed = Deflate(false, 0, false, 0).compress(payload).value();
    for (std::size_t cut = 0; cut < compressed.size(); ++cut) {
        auto r = Deflate(false, 0, false, 0).decompress(std::span(compressed).first(cut));
        if (r) EXPECT_LT(r->size(), 2 * payload.size());  // trailer bits read as codes
        else EXPECT_TRUE(r.error().message.starts_with("deflate decompression error"));
    }
}

TEST(Deflate, FinalBlockEndsTheStreamButNotTheConnection) {
    const ByteVec hello = bytes("Hello"), final_hello = {0xF3, 0x48, 0xCD, 0xC9, 0xC9, 0x07, 0x00};
    const ByteVec refers_back = {0xF2, 0x00, 0x11, 0x00, 0x00};  // "Hello" again, from the window
    Deflate d(false, 0, false, 0);
    EXPECT_EQ(d.decompress(final_hello).value(), hello);
    EXPECT_EQ(d.decompress(refers_back).value(), hello);
    ByteVec with_tail = final_hello;
    with_tail.push_back(0x00);  // the way RFC 7692's own example ends
    EXPECT_EQ(d.decompress(with_tail).value(), hello);
    // An empty final stored block whose 00 00 FF FF was removed like a sync flush's.
    EXPECT_EQ(d.decompress(ByteVec{0x01}).value(), ByteVec{});
    ByteVec twice = final_hello;
    twice.insert(twice.end(), refers_back.begin(), refers_back.end());
    EXPECT_EQ(d.decompress(twice).value(), bytes("HelloHello"));
    EXPECT_EQ(d.decompress(Deflate(false, 0, false, 0).compress(hello).value()).value(), hello);
}

TEST(Deflate, LargeMessagesUpToTheInflatedSizeCap) {
    ByteVec payload = sample(16 << 20, 4);
    Deflate sender(false, 0, false, 0), receiver(false, 0, false, 0);
    EXPECT_TRUE(receiver.decompress(sender.compress(payload).value()).value() == payload);

    Deflate bomb(true, 0, true, 0);
    ByteVec zeros(max_inflated_message);
    EXPECT_EQ(bomb.decompress(bomb.compress(zeros).value()).value().size(), max_inflated_message);
    zeros.push_back(0);
    EXPECT_EQ(error_text(bomb.decompress(bomb.compress(zeros).value())),
              "deflate decompression error: message larger than 67108864 bytes when inflated");
}

// A whole raw DEFLATE stream (ending in a final block) of `text`, on a fresh window.
ByteVec finished_stream(const ByteVec& text, int level) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    ByteVec out(deflateBound(&z, uLong(text.size())) + 16);
    z.next_in = const_cast<Bytef*>(text.data());
    z.avail_in = uInt(text.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

// Messages mixing what peers send: sync-flushed data with context takeover,
// whole streams ending in final blocks of every type, runs of empty final blocks,
// and now and then a stray octet or a cut.
std::vector<ByteVec> mixed_messages(unsigned seed) {
    std::mt19937 rng(seed);
    Deflate sender(false, 0, false, 0);
    std::vector<ByteVec> messages;
    for (int m = 0; m < 40; ++m) {
        ByteVec msg;
        for (int pieces = 1 + int(rng() % 4); pieces > 0; --pieces) {
            ByteVec piece;
            switch (rng() % 6) {
            case 0: piece = sender.compress(sample(rng() % 3000, rng())).value(); break;
            case 1: piece = finished_stream(sample(rng() % 3000, rng()), int(rng() % 10)); break;
            case 2: for (unsigned n = rng() % 20; n > 0; --n) piece.insert(piece.end(), {0x03, 0x00}); break;
            case 3: piece = {0x01, 0x00, 0x00, 0xFF, 0xFF}; break;
            case 4: piece = {0xF3, 0x48, 0xCD, 0xC9, 0xC9, 0x07, 0x00}; break;
            default: piece = {0xF2, 0x00, 0x11, 0x00, 0x00}; break;  // refers back 5 octets
            }
            msg.insert(msg.end(), piece.begin(), piece.end());
        }
        if (rng() % 10 == 0 && !msg.empty()) msg[rng() % msg.size()] ^= std::uint8_t(1u << (rng() % 8));
        if (rng() % 10 == 0) msg.resize(rng() % (msg.size() + 1));
        messages.push_back(std::move(msg));
    }
    return messages;
}

// The block-at-a-time inflater agrees with a plain one that restarts zlib at
// every final block, message after message, errors included.
TEST(Deflate, FinalBlocksInflateAsAPlainRestartWouldHaveThem) {
    for (bool no_takeover : {false, true}) {
        for (unsigned seed = 1; seed <= 30; ++seed) {
            Deflate d(false, 0, no_takeover, 0);
            testing::ReferenceInflater reference(15, no_takeover);
            for (const ByteVec& msg : mixed_messages(seed)) {
                auto got = d.decompress(msg);
                auto want = reference.decompress(msg, max_inflated_message);
                ASSERT_EQ(bool(got), bool(want)) << "seed " << seed;
                if (!want) {
                    EXPECT_EQ(got.error().message, want.error());
                    break;  // the stream is unusable after an error
                }
                ASSERT_TRUE(*got == *want) << "seed " << seed << " takeover " << !no_takeover;
            }
        }
    }
}

// A literal block, then a long run of empty DEFLATE streams (`empty`, one empty
// final block each); then a block that refers back across all of them.
ByteVec restart_bomb(std::size_t restarts, const ByteVec& empty) {
    ByteVec bomb = {0xF3, 0x48, 0xCD, 0xC9, 0xC9, 0x07, 0x00};  // "Hello", final
    bomb.reserve(bomb.size() + empty.size() * restarts + 5);
    for (std::size_t i = 0; i < restarts; ++i) bomb.insert(bomb.end(), empty.begin(), empty.end());
    bomb.insert(bomb.end(), {0xF2, 0x00, 0x11, 0x00, 0x00});
    return bomb;
}

const ByteVec empty_fixed = {0x03, 0x00}, empty_fixed_padded = {0x03, 0xFC},
              empty_stored = {0x01, 0x00, 0x00, 0xFF, 0xFF};

TEST(Deflate, RestartBombKeepsTheWindowAndHonoursTheDeadline) {
    for (const ByteVec& empty : {empty_fixed, empty_fixed_padded, empty_stored}) {
        const ByteVec bomb = restart_bomb(1 << 18, empty);
        EXPECT_EQ(Deflate(false, 0, false, 0).decompress(bomb).value(), bytes("HelloHello"));
        EXPECT_EQ(error_text(Deflate(false, 0, true, 0).decompress(bomb)),
                  "deflate decompression error: invalid distance too far back");
    }
    // Not an empty stream: the padding bits of 03 00 may be anything, its code bits not.
    for (std::uint8_t second : {0x01, 0x02, 0x81}) {
        ByteVec almost = restart_bomb(4, empty_fixed);
        almost[7 + 2 * 3 + 1] = second;
        auto got = Deflate(false, 0, false, 0).decompress(almost);
        auto want = testing::ReferenceInflater(15, false).decompress(almost, max_inflated_message);
        ASSERT_EQ(bool(got), bool(want)) << int(second);
        if (got) EXPECT_EQ(*got, *want);
        else EXPECT_EQ(got.error().message, want.error());
    }

    const auto past = std::chrono::steady_clock::now();
    auto stopped = Deflate(false, 0, false, 0).decompress(restart_bomb(1 << 16, empty_stored), past);
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().kind, DeflateError::Kind::deadline);
    // A message that fits in a few slices is not held to it.
    EXPECT_EQ(Deflate(false, 0, false, 0).decompress(restart_bomb(8, empty_stored), past).value(),
              bytes("HelloHello"));
}

// DEFLATE bits go least significant first; Huffman codes most significant first.
class BitWriter {
public:
    void put(unsigned value, int bits) {
        for (int i = 0; i < bits; ++i) bit((value >> i) & 1);
    }
    void code(unsigned code, int bits) {
        for (int i = bits - 1; i >= 0; --i) bit((code >> i) & 1);
    }
    ByteVec take() { return std::move(out_); }

private:
    void bit(unsigned b) {
        if (used_ % 8 == 0) out_.push_back(0);
        out_.back() |= std::uint8_t(b << (used_ % 8));
        ++used_;
    }
    ByteVec out_;
    std::size_t used_ = 0;
};

// A non-final dynamic block with full-size tables (286 literal/length codes of
// 8 and 9 bits, 30 distance codes of 4 and 5 bits) and no data: some 30 octets
// that make the inflater build its tables and yield nothing.
void tiny_dynamic_block(BitWriter& w) {
    w.put(0, 1);
    w.put(2, 2);
    w.put(286 - 257, 5);
    w.put(30 - 1, 5);
    w.put(12 - 4, 4);
    // Code length code, in the format's order 16 17 18 0 8 7 9 6 10 5 11 4:
    // repeat (16) is 0; the lengths 4, 5, 8, 9 are 100, 101, 110, 111.
    for (unsigned bits : {1, 0, 0, 0, 3, 0, 3, 0, 0, 3, 0, 3}) w.put(bits, 3);
    auto run = [&w](unsigned length_code, int count) {
        w.code(length_code, 3);
        for (--count; count > 0;) {
            int k = std::min(count, 6);
            if (count - k == 1 || count - k == 2) k = count - 3;
            w.code(0, 1);
            w.put(unsigned(k - 3), 2);
            count -= k;
        }
    };
    run(0b110, 226);  // literals 0 to 225: 8 bits
    run(0b111, 60);   // 226 to 285: 9 bits
    run(0b100, 1);    // distances 0 and 1: 4 bits
    run(0b100, 1);
    run(0b101, 28);   // the other 28: 5 bits
    w.code(452 + (256 - 226), 9);  // end of block
}

TEST(Deflate, BlocksThatYieldNothingStillMeetTheDeadline) {
    BitWriter w;
    for (int i = 0; i < 32 << 10; ++i) tiny_dynamic_block(w);
    const ByteVec blocks = w.take();  // just under 1 MiB
    EXPECT_EQ(Deflate(false, 0, false, 0).decompress(blocks).value().size(), 0u);

    const auto past = std::chrono::steady_clock::now();
    auto stopped = Deflate(false, 0, false, 0).decompress(blocks, past);
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().kind, DeflateError::Kind::deadline);
}

// ---------------------------------------------------------------------------

int request_bits(std::string_view params) {
    auto offers = parse_offers("permessage-deflate; " + std::string(params));
    return offers.size() == 1 ? offers[0].requestMaxWindowBits : -1;
}

TEST(ExtensionHeader, Offers) {
    EXPECT_TRUE(parse_offers("").empty());
    EXPECT_TRUE(parse_offers("Permessage-Deflate").empty());
    auto bare = parse_offers("permessage-deflate").at(0);
    EXPECT_FALSE(bare.acceptNoContextTakeover || bare.acceptMaxWindowBits ||
                 bare.requestNoContextTakeover || bare.requestMaxWindowBits);
    auto all = parse_offers(" permessage-deflate ;client_no_context_takeover; "
                            "client_max_window_bits=12 ;server_no_context_takeover=false;x=1;;").at(0);
    EXPECT_TRUE(all.acceptNoContextTakeover && all.acceptMaxWindowBits && all.requestNoContextTakeover);
    EXPECT_EQ(all.requestMaxWindowBits, 0);

    auto second = parse_offers("foo, permessage-deflate; client_max_window_bits");
    ASSERT_EQ(second.size(), 1u);
    EXPECT_TRUE(second[0].acceptMaxWindowBits);
    auto three = parse_offers("permessage-deflate; server_max_window_bits=10, permessage-deflate,"
                              "permessage-deflate; server_max_window_bits=12,");
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(three[0].requestMaxWindowBits + three[1].requestMaxWindowBits, 10);
    EXPECT_EQ(three[2].requestMaxWindowBits, 12);
}

TEST(ExtensionHeader, WindowBitsValues) {
    const std::pair<std::string_view, int> cases[] = {
        {"server_max_window_bits=10", 10}, {"server_max_window_bits = \"10\"", 10},
        {"server_max_window_bits=\"\"10\"", 10}, {"server_max_window_bits=+8", 8},
        {"server_max_window_bits=0016", 16}, {"server_max_window_bits=255", 255},
        {"server_max_window_bits=256", 0}, {"server_max_window_bits=-1", 0},
        {"server_max_window_bits=+", 0}, {"server_max_window_bits=", 0},
        {"server_max_window_bits", 0}, {"server_max_window_bits=\"1 0\"", 0},
        {"server_max_window_bits=99999999999999999999", 0},
        {"server_max_window_bits=10; server_max_window_bits=x", 0},
    };
    for (auto [params, expected] : cases) EXPECT_EQ(request_bits(params), expected) << params;
}

TEST(ExtensionHeader, ResponseReadsOnlyTheFirstElement) {
    auto r = parse_response("permessage-deflate; client_max_window_bits=12; "
                            "server_max_window_bits=\"9\"; client_no_context_takeover; "
                            "server_no_context_takeover=false, permessage-deflate");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->client_max_window_bits, 12);
    EXPECT_EQ(r->server_max_window_bits, 9);
    EXPECT_TRUE(r->client_no_context_takeover && r->server_no_context_takeover);
    auto bare = parse_response("permessage-deflate;client_max_window_bits");
    ASSERT_TRUE(bare);
    EXPECT_FALSE(bare->client_max_window_bits || bare->client_no_context_takeover ||
                 bare->server_max_window_bits || bare->server_no_context_takeover);
    EXPECT_FALSE(parse_response(""));
    EXPECT_FALSE(parse_response("foo, permessage-deflate"));
    EXPECT_FALSE(parse_response("Permessage-Deflate"));
}

}  // namespace
}  // namespace varnel
