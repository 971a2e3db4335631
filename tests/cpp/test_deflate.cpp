#include "deflate.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

namespace varnel {
namespace {

ByteVector bytes(std::string_view s) { return ByteVector(s.begin(), s.end()); }

// Text with repeats and some noise, so that both matches and literals occur.
ByteVector sample(std::size_t size, unsigned seed = 1) {
    std::mt19937 rng(seed);
    const std::string words[] = {"frame ", "mask ", "close ", "ping ", "opcode ", "payload "};
    ByteVector out;
    out.reserve(size);
    while (out.size() < size) {
        if (rng() % 8 == 0) out.push_back(std::uint8_t(rng()));
        else for (char c : words[rng() % 6]) out.push_back(std::uint8_t(c));
    }
    out.resize(size);
    return out;
}

// Raw DEFLATE produced by zlib directly, ending the way `flush` ends it.
ByteVector zlib_deflate(const ByteVector& data, int flush, int window_bits = 15) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -window_bits, 8, Z_DEFAULT_STRATEGY);
    ByteVector out(deflateBound(&z, data.size()) + 64);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = uInt(data.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    deflate(&z, flush);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

std::string error_text(const std::expected<ByteVector, DeflateError>& r) {
    if (r) return "(no error)";
    EXPECT_EQ(r.error().kind, DeflateError::Kind::invalid_data);
    return r.error().message;
}

TEST(Deflate, WindowBitsMapIntoZlibRange) {
    const std::pair<int, int> table[] = {{0, 15}, {1, 9}, {8, 9}, {9, 9}, {10, 10},
                                         {12, 12}, {14, 14}, {15, 15}, {200, 15}, {255, 15}};
    for (auto [negotiated, used] : table) {
        EXPECT_EQ(Deflate::window_bits(std::uint8_t(negotiated)), used) << negotiated;
        Deflate d(false, std::uint8_t(negotiated), false, std::uint8_t(negotiated));
        EXPECT_EQ(d.compress_window_bits(), used);
        EXPECT_EQ(d.decompress_window_bits(), used);
    }
}

TEST(Deflate, RoundTripsAcrossWindowsAndTakeoverSettings) {
    const ByteVector payloads[] = {{}, bytes("x"), sample(8192, 2), sample(100000, 3),
                                   sample(8192, 2), {}, bytes("x")};
    for (int bits = 8; bits <= 15; ++bits) {
        for (bool no_takeover : {false, true}) {
            auto b = std::uint8_t(bits);
            Deflate sender(no_takeover, b, false, 0);
            Deflate receiver(false, 0, no_takeover, b);
            for (const ByteVector& payload : payloads) {
                auto compressed = sender.compress(payload);
                ASSERT_TRUE(compressed);
                ASSERT_FALSE(compressed->empty());
                auto inflated = receiver.decompress(*compressed);
                ASSERT_TRUE(inflated) << inflated.error().message;
                EXPECT_EQ(*inflated, payload) << "bits " << bits << " size " << payload.size();
            }
        }
    }
}

TEST(Deflate, SixteenMebibyteMessage) {
    ByteVector payload = sample(16 << 20, 4);
    Deflate sender(false, 0, false, 0), receiver(false, 0, false, 0);
    auto compressed = sender.compress(payload);
    ASSERT_TRUE(compressed);
    auto inflated = receiver.decompress(*compressed);
    ASSERT_TRUE(inflated) << inflated.error().message;
    EXPECT_TRUE(*inflated == payload);
}

TEST(Deflate, OutputMatchesOneLargeZlibStep) {
    ByteVector payload = sample(100000, 5);
    ByteVector expected = zlib_deflate(payload, Z_SYNC_FLUSH);
    ASSERT_GT(expected.size(), 8192u);
    expected.resize(expected.size() - 4);
    Deflate d(false, 0, false, 0);
    EXPECT_EQ(d.compress(payload).value(), expected);
}

TEST(Deflate, EmptyMessageIsOneZeroByteOnFreshAndUsedStreams) {
    Deflate sender(false, 0, false, 0), receiver(false, 0, false, 0);
    EXPECT_EQ(sender.compress({}).value(), ByteVector{0x00});
    EXPECT_EQ(receiver.decompress(ByteVector{0x00}).value(), ByteVector{});
    // After a message the stream has nothing to flush; the result must still be
    // a valid message that leaves both ends in step.
    ByteVector hello = bytes("hello hello hello");
    ASSERT_EQ(receiver.decompress(sender.compress(hello).value()).value(), hello);
    EXPECT_EQ(sender.compress({}).value(), ByteVector{0x00});
    EXPECT_EQ(receiver.decompress(ByteVector{0x00}).value(), ByteVector{});
    EXPECT_EQ(receiver.decompress(sender.compress(hello).value()).value(), hello);
}

TEST(Deflate, ContextTakeoverRefersBackToEarlierMessages) {
    ByteVector text = sample(400, 6);
    Deflate keep(false, 0, false, 0);
    auto first = keep.compress(text).value(), second = keep.compress(text).value();
    EXPECT_LT(second.size() * 4, first.size());
    Deflate fresh(true, 0, false, 0);
    EXPECT_EQ(fresh.compress(text).value(), fresh.compress(text).value());
}

TEST(Deflate, CorruptDataFailsWithTheLibraryMessage) {
    Deflate d(false, 0, false, 0);
    EXPECT_EQ(error_text(d.decompress(ByteVector{0xFF, 0xFF, 0xFF, 0xFF})),
              "deflate decompression error: invalid block type");
    Deflate e(false, 0, false, 0);
    EXPECT_EQ(error_text(e.decompress(ByteVector{0x00, 0x01, 0x00, 0x00, 0x00})),
              "deflate decompression error: invalid stored block lengths");
    // A second message that refers 1000 bytes back, beyond a 512-byte window.
    ByteVector first = sample(1000, 7), second(first.begin(), first.begin() + 300);
    Deflate wide(false, 15, false, 15), narrow(false, 9, false, 9);
    ASSERT_TRUE(narrow.decompress(wide.compress(first).value()));
    EXPECT_EQ(error_text(narrow.decompress(wide.compress(second).value())),
              "deflate decompression error: invalid distance too far back");
}

TEST(Deflate, EveryTruncationEndsWithAResultOrAnError) {
    ByteVector payload = sample(3000, 8);
    ByteVector compressed = Deflate(false, 0, false, 0).compress(payload).value();
    for (std::size_t cut = 0; cut < compressed.size(); ++cut) {
        Deflate d(false, 0, false, 0);
        auto r = d.decompress(std::span(compressed).first(cut));
        if (r) EXPECT_LT(r->size(), 2 * payload.size());  // trailer bits read as codes
        else EXPECT_TRUE(r.error().message.starts_with("deflate decompression error"));
    }
}

TEST(Deflate, FinalBlockEndsTheMessageAndTheNextOneStillInflates) {
    ByteVector hello = bytes("Hello");
    ByteVector finished = zlib_deflate(hello, Z_FINISH);
    EXPECT_EQ(finished, (ByteVector{0xF3, 0x48, 0xCD, 0xC9, 0xC9, 0x07, 0x00}));
    Deflate d(false, 0, false, 0);
    EXPECT_EQ(d.decompress(finished).value(), hello);
    EXPECT_EQ(d.decompress(finished).value(), hello);
    // An empty final stored block whose 00 00 FF FF was removed like a sync flush's.
    EXPECT_EQ(d.decompress(ByteVector{0x01}).value(), ByteVector{});
    EXPECT_EQ(d.decompress(Deflate(false, 0, false, 0).compress(hello).value()).value(), hello);

    ByteVector trailing = finished;
    trailing.push_back(0x00);
    EXPECT_EQ(error_text(d.decompress(trailing)),
              "deflate decompression error: data after the final block");
}

TEST(Deflate, InflatedSizeIsCapped) {
    ByteVector zeros(max_inflated_message + 1);
    ByteVector bomb = zlib_deflate(zeros, Z_SYNC_FLUSH);
    bomb.resize(bomb.size() - 4);
    Deflate d(false, 0, false, 0);
    EXPECT_EQ(error_text(d.decompress(bomb)),
              "deflate decompression error: message larger than 67108864 bytes when inflated");
    zeros.pop_back();
    ByteVector limit = zlib_deflate(zeros, Z_SYNC_FLUSH);
    limit.resize(limit.size() - 4);
    Deflate e(false, 0, false, 0);
    EXPECT_EQ(e.decompress(limit).value().size(), max_inflated_message);
}

// ---------------------------------------------------------------------------

PerMessageDeflateOffer offer(std::string_view header) {
    auto offers = parse_offers(header);
    EXPECT_EQ(offers.size(), 1u) << header;
    return offers.empty() ? PerMessageDeflateOffer{} : offers[0];
}

int request_bits(std::string_view params) {
    return offer("permessage-deflate; " + std::string(params)).requestMaxWindowBits;
}

TEST(ExtensionHeader, OfferFlagsAndNames) {
    EXPECT_TRUE(parse_offers("").empty());
    EXPECT_FALSE(parse_response(""));
    auto bare = offer("permessage-deflate");
    EXPECT_FALSE(bare.acceptNoContextTakeover || bare.acceptMaxWindowBits ||
                 bare.requestNoContextTakeover || bare.requestMaxWindowBits);
    auto all = offer(" permessage-deflate ;client_no_context_takeover; client_max_window_bits=12 ;"
                     "server_no_context_takeover=false;unknown=1;;");
    EXPECT_TRUE(all.acceptNoContextTakeover && all.acceptMaxWindowBits &&
                all.requestNoContextTakeover);
    EXPECT_EQ(all.requestMaxWindowBits, 0);

    EXPECT_TRUE(parse_offers("Permessage-Deflate").empty());
    EXPECT_TRUE(parse_offers("x-webkit-deflate-frame; client_max_window_bits").empty());
    auto second = parse_offers("foo, permessage-deflate; client_max_window_bits");
    ASSERT_EQ(second.size(), 1u);
    EXPECT_TRUE(second[0].acceptMaxWindowBits);
    auto three = parse_offers(
        "permessage-deflate; server_max_window_bits=10, permessage-deflate,"
        "permessage-deflate; server_max_window_bits=12,");
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(three[0].requestMaxWindowBits, 10);
    EXPECT_EQ(three[1].requestMaxWindowBits, 0);
    EXPECT_EQ(three[2].requestMaxWindowBits, 12);
}

TEST(ExtensionHeader, WindowBitsValues) {
    const std::pair<std::string_view, int> cases[] = {
        {"server_max_window_bits=10", 10}, {"server_max_window_bits=\"10\"", 10},
        {"server_max_window_bits = 10", 10}, {"server_max_window_bits=\"\"10\"", 10},
        {"server_max_window_bits=+8", 8}, {"server_max_window_bits=0016", 16},
        {"server_max_window_bits=255", 255}, {"server_max_window_bits=256", 0},
        {"server_max_window_bits=-1", 0}, {"server_max_window_bits=+", 0},
        {"server_max_window_bits=", 0}, {"server_max_window_bits", 0},
        {"server_max_window_bits=\"1 0\"", 0}, {"server_max_window_bits=\" 10\"", 0},
        {"server_max_window_bits=99999999999999999999", 0},
        {"server_max_window_bits=10; server_max_window_bits=x", 0},
        {"server_max_window_bits=x; server_max_window_bits=11", 11},
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

    auto bare = parse_response("permessage-deflate");
    ASSERT_TRUE(bare);
    EXPECT_FALSE(bare->client_max_window_bits || bare->client_no_context_takeover ||
                 bare->server_max_window_bits || bare->server_no_context_takeover);
    EXPECT_FALSE(parse_response("foo, permessage-deflate"));
    EXPECT_FALSE(parse_response("Permessage-Deflate"));
    EXPECT_EQ(parse_response("permessage-deflate; client_max_window_bits")->client_max_window_bits, 0);
}

}  // namespace
}  // namespace varnel
