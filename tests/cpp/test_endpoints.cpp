#include "client.hpp"
#include "http.hpp"
#include "server.hpp"
#include "sha1.hpp"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>

#include <format>
#include <set>
#include <string>

namespace {

using namespace varnel;

std::span<const std::uint8_t> octets(std::string_view s) { return http::octets_of(s); }

TEST(WsUrl, ReadsHostPortTargetAndAuthority) {
    auto bare = client::parse_ws_url("127.0.0.1:9001");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->target, "/");
    EXPECT_TRUE(client::build_request(*bare, std::nullopt)
                    .starts_with("GET / HTTP/1.1\r\nHost: 127.0.0.1:9001\r\n"));

    auto full = client::parse_ws_url("ws://user@127.0.0.1:9001/chat?x=1#top");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->target, "/chat?x=1");
    EXPECT_EQ(full->authority, "user@127.0.0.1:9001");

    auto default_port = client::parse_ws_url("http://Example.COM/");
    ASSERT_TRUE(default_port);
    EXPECT_EQ(default_port->port, 80);
    EXPECT_EQ(default_port->host, "example.com");
    EXPECT_EQ(default_port->authority, "example.com");

    auto v6 = client::parse_ws_url("ws://[::1]:9/");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "[::1]");
    EXPECT_EQ(client::connect_host(*v6), "::1");
}

TEST(WsUrl, RefusesOtherSchemesAndBadText) {
    EXPECT_EQ(client::parse_ws_url("wss://h/").error(),
              "invalid url scheme \"wss\": expected ws or http (or none)");
    EXPECT_EQ(client::parse_ws_url("ws://").error(), "invalid url \"ws://\": empty host");
    EXPECT_EQ(client::parse_ws_url("ws://h:99999999/").error(),
              "invalid url \"ws://h:99999999/\": invalid port number");
    EXPECT_TRUE(client::parse_ws_url("ws://h:x\"/").error().starts_with("invalid url \"ws://h:x\\\"/\": "));
    EXPECT_EQ(client::parse_ws_url("1ws://h/").error(), "invalid url \"1ws://h/\": relative URL without a base");
    EXPECT_EQ(client::parse_ws_url("://h/").error(), "invalid url \"://h/\": relative URL without a base");
}

TEST(ClientHandshake, RequestCarriesKeyAndOffer) {
    auto url = client::parse_ws_url("ws://127.0.0.1/");
    std::string request = client::build_request(*url, std::string("permessage-deflate"));
    EXPECT_EQ(request,
              "GET / HTTP/1.1\r\nHost: 127.0.0.1:80\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
              "Sec-WebSocket-Extensions: permessage-deflate\r\n\r\n");
}

TEST(ClientHandshake, ParsesResponseHeadAndLeavesTheRest) {
    std::string head = "HTTP/1.1 101 Switching Protocols\r\nServer: Ab\r\nserver: second\r\n"
                       "Sec-WebSocket-Extensions: permessage-deflate\r\n\r\n";
    EXPECT_FALSE(*client::parse_response_head(octets(head.substr(0, 40))));
    auto parsed = client::parse_response_head(octets(head + "\x81\x00"));
    ASSERT_TRUE(parsed && *parsed);
    EXPECT_EQ((*parsed)->status, 101);
    EXPECT_EQ((*parsed)->length, head.size());
    EXPECT_EQ((*parsed)->server, "Ab");
    EXPECT_EQ((*parsed)->extensions, "permessage-deflate");
    EXPECT_TRUE((*parsed)->raw.ends_with("permessage-deflate"));
}

TEST(ClientHandshake, RefusesBadHeads) {
    std::string many = "HTTP/1.1 101 OK\r\n";
    for (int i = 0; i < 65; ++i) many += "X-A: 1\r\n";
    EXPECT_EQ(client::parse_response_head(octets(many + "\r\n")).error(), "too many headers");
    EXPECT_EQ(client::parse_response_head(octets("HTTP/1.1 099 X\r\n\r\n")).error(),
              "missing or invalid HTTP status");
    EXPECT_FALSE(client::parse_response_head(octets("HTTP/1.1 101 X\r\nA: b\x7f\r\n\r\n")));
    EXPECT_FALSE(client::parse_response_head(octets("garbage\r\n\r\n")));
    EXPECT_EQ(client::parse_response_head(octets("HTTP/1.2 101 X\r\n\r\n")).error(), "invalid HTTP version");
    EXPECT_EQ(client::parse_response_head(octets("HTTP/1.1 101 X\r\nA: b\r\n c\r\n\r\n")).error(),
              "invalid HTTP response head");
    EXPECT_TRUE(*client::parse_response_head(octets("HTTP/1.0 101 X\r\n\r\n")));
    EXPECT_EQ(client::status_display(404), "404 Not Found");
    EXPECT_EQ(client::status_display(299), "299 <unknown status code>");
}

TEST(ClientHandshake, AgentIsVisibleServerValueOrAuthority) {
    auto url = client::parse_ws_url("ws://127.0.0.1:9001");
    EXPECT_EQ(client::choose_agent(std::string("Srv\t1"), *url), "Srv\t1");
    EXPECT_EQ(client::choose_agent(std::string(""), *url), "");
    EXPECT_EQ(client::choose_agent(std::string("caf\xc3\xa9"), *url), "127.0.0.1:9001");
    EXPECT_EQ(client::choose_agent(std::nullopt, *url), "127.0.0.1:9001");
}

TEST(Negotiation, OfferAndResponseTexts) {
    EXPECT_EQ(client::offer_text({true, true, false, 0}),
              "permessage-deflate; client_no_context_takeover; client_max_window_bits");
    EXPECT_EQ(client::offer_text({false, true, true, 255}),
              "permessage-deflate; client_max_window_bits; server_no_context_takeover; "
              "server_max_window_bits=255");
    PerMessageDeflateOfferAccept accept;
    accept.offer = {false, false, true, 10};
    EXPECT_EQ(server::response_text(server::negotiated_values(accept)),
              "permessage-deflate; server_no_context_takeover; server_max_window_bits=10");
    accept.noContextTakeover = false;
    accept.windowBits = 12;
    accept.requestNoContextTakeover = true;
    accept.requestMaxWindowBits = 9;
    EXPECT_EQ(server::response_text(server::negotiated_values(accept)),
              "permessage-deflate; server_max_window_bits=12; client_no_context_takeover; "
              "client_max_window_bits=9");
}

TEST(ServerHandshake, AcceptValueAndResponse) {
    EXPECT_EQ(server::websocket_accept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_EQ(server::upgrade_response("k", std::nullopt),
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Accept: " + server::websocket_accept("k") + "\r\n\r\n");
    EXPECT_TRUE(server::upgrade_response("k", std::string("permessage-deflate"))
                    .ends_with("\r\nSec-WebSocket-Extensions: permessage-deflate\r\n\r\n"));
}

std::string sha1_hex(std::string_view text) {
    std::string out;
    for (std::uint8_t b : sha1(octets(text))) out += std::format("{:02x}", b);
    return out;
}

TEST(ServerHandshake, Sha1MatchesTheStandardsVectorsAcrossBlockBoundaries) {
    EXPECT_EQ(sha1_hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1_hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    // 56 octets: the length no longer fits the first padding block.
    EXPECT_EQ(sha1_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1_hex(std::string(55, 'a')), "c1c8bbdc22796e28c0e15163d20899b65621d65a");
    EXPECT_EQ(sha1_hex(std::string(64, 'a')), "0098ba824b5c16427bd7a1122a5a442a25ec644d");
    EXPECT_EQ(sha1_hex(std::string(1'000'000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

server::RequestHead request(std::string target, std::string extra = "Sec-WebSocket-Key: k\r\n") {
    std::string text = "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n";
    auto parsed = server::parse_request_head(octets(text));
    EXPECT_TRUE(parsed && *parsed) << target;
    return parsed && *parsed ? **parsed : server::RequestHead{};
}

TEST(ServerRouting, CountAndEndIgnoreTheQuery) {
    EXPECT_TRUE(std::holds_alternative<server::CaseCountRoute>(server::route(request("/getCaseCount?case=3"), 3)));
    EXPECT_TRUE(std::holds_alternative<server::UpdateReportsRoute>(server::route(request("/updateReports"), 3)));
    EXPECT_TRUE(std::holds_alternative<server::NoRoute>(server::route(request("/getCaseCount", ""), 3)));
    EXPECT_TRUE(std::holds_alternative<server::CaseCountRoute>(
        server::route(request("http://elsewhere/getCaseCount"), 3)));
}

TEST(ServerRouting, CaseNumberAndAgent) {
    auto number = [](std::string target, std::string extra = "Sec-WebSocket-Key: k\r\n") -> long {
        auto r = server::route(request(target, extra), 3);
        if (auto* c = std::get_if<server::CaseRoute>(&r)) return long(c->number);
        return -1;
    };
    EXPECT_EQ(number("/anything?case=1&agent=probe"), 1);
    EXPECT_EQ(number("/?case=1&case=2"), 1);
    EXPECT_EQ(number("/?case=%2B2"), 2);
    EXPECT_EQ(number("/?case=003"), 3);
    for (const char* bad : {"/?case=+2", "/?case=-1", "/?case=0", "/?case=", "/?case=4", "/?x=1",
                            "/?case=x&case=1", "/?case=99999999999999999999"})
        EXPECT_EQ(number(bad), -1) << bad;

    auto agent = [](std::string target, std::string extra) {
        auto r = server::route(request(target, "Sec-WebSocket-Key: k\r\n" + extra), 3);
        return std::get<server::CaseRoute>(r).agent;
    };
    EXPECT_EQ(agent("/?agent=&case=1", "User-Agent: ab\r\n"), "");
    EXPECT_EQ(agent("/?case=1", "User-Agent: ab\r\n"), "ab");
    EXPECT_EQ(agent("/?case=1", "User-Agent: \xc3\xa9\r\n"), "UnknownClient");
    EXPECT_EQ(agent("/?case=1", ""), "UnknownClient");
}

TEST(ServerRouting, RequestHeadKeepsTextAndLength) {
    std::string text = "GET /?case=1 HTTP/1.1\r\nSec-WebSocket-Key: k\r\n\r\n\x81\x80";
    auto parsed = server::parse_request_head(octets(text));
    ASSERT_TRUE(parsed && *parsed);
    EXPECT_EQ((*parsed)->length, text.size() - 2);
    EXPECT_EQ((*parsed)->raw, "GET /?case=1 HTTP/1.1\r\nSec-WebSocket-Key: k");
    EXPECT_FALSE(server::parse_request_head(octets("GET / HTTP/1.1\r\nBad Name: x\r\n\r\n")));
    EXPECT_FALSE(server::parse_request_head(octets("GET / HTTP/2.0\r\n\r\n")));
    EXPECT_FALSE(server::parse_request_head(octets("GET / HTTP/1.2\r\n\r\n")));
    EXPECT_FALSE(server::parse_request_head(octets("GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n")));
}

// ---- reading a head over a socket

// A head of exactly `size` octets: `first_line`, padding header lines, the blank line.
std::string head_of(std::string_view first_line, std::size_t size) {
    std::string head = std::string(first_line) + "\r\n";
    while (head.size() + 2 < size) {
        const std::size_t left = size - 2 - head.size();
        std::size_t line = std::min<std::size_t>(left, 4000);
        if (left > line && left - line < 10) line = left - 10;  // room for one more whole line
        head += "X-Pad: " + std::string(line - 9, 'p') + "\r\n";
    }
    return head + "\r\n";
}

// What read_head makes of `text` arriving in two parts split at `at`, the first
// read completely before the second is sent: the head's length, or the error.
template <class Parse>
std::string read_split(const std::string& text, std::size_t at, Parse parse) {
    using tcp = asio::ip::tcp;
    asio::io_context io;
    tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
    tcp::socket ours(io), peer(io);
    ours.connect(acceptor.local_endpoint());
    acceptor.accept(peer);
    runner::ReadBuffer buffer;
    std::string outcome = "none";
    asio::write(peer, asio::buffer(text.data(), at));
    asio::co_spawn(io, http::read_head(ours, buffer, parse), [&](std::exception_ptr e, auto r) {
        if (e) std::rethrow_exception(e);
        outcome = r ? std::format("head of {}", r->length) : r.error();
    });
    while (io.poll() > 0) {
    }
    asio::write(peer, asio::buffer(text.data() + at, text.size() - at));
    peer.shutdown(tcp::socket::shutdown_send);
    io.run();
    return outcome;
}

// Whether a head fits is a property of the head, not of how its octets arrive:
// one that ends within the limit is read, one that ends past it is too large.
TEST(HeadReading, OneOutcomePerHeadWhereverItIsSplit) {
    constexpr std::size_t limit = http::max_head_size;
    for (std::size_t size : {65535, 65536, 65537, 65538, 65539, 65540, 65541, 65542, 65600, 65792, 66000}) {
        std::set<std::size_t> splits = {1, http::eager_head_size, limit - 1024, size};
        for (std::size_t d = 0; d <= 8; ++d) {
            splits.insert(limit + d - 4);
            splits.insert(size + d - 4);
        }
        const std::string want = size <= limit ? std::format("head of {}", size) : "handshake head too large";
        const std::string response = head_of("HTTP/1.1 101 Switching Protocols", size);
        const std::string request = head_of("GET /getCaseCount HTTP/1.1", size);
        for (std::size_t at : splits) {
            if (at > size) continue;
            EXPECT_EQ(read_split(response, at, client::parse_response_head), want) << size << " split at " << at;
            EXPECT_EQ(read_split(request, at, server::parse_request_head), want) << size << " split at " << at;
        }
    }
}

TEST(HandshakeText, LossyDecodeAndTrim) {
    EXPECT_EQ(http::lossy_text_trimmed(octets("a\xff" "b\xe2\x82 \r\n")), "a\xef\xbf\xbd" "b\xef\xbf\xbd");
    EXPECT_EQ(http::lossy_text_trimmed(octets("x\xc2\xa0\xe3\x80\x80")), "x");
    EXPECT_EQ(http::lossy_text_trimmed(octets("")), "");
}

}  // namespace
