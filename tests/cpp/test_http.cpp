#include "http.hpp"

#include <gtest/gtest.h>
#include <picohttpparser.h>

#include <cstring>

namespace varnel::http {
namespace {

phr_header line(const char* name, std::string_view value) {
    return phr_header{name, name ? std::strlen(name) : 0, value.data(), value.size()};
}

std::string map_error(std::vector<phr_header> lines) {
    auto m = to_header_map(lines);
    EXPECT_FALSE(m.has_value());
    if (m) return {};
    EXPECT_EQ(m.error().kind, IoError::Kind::invalid_data);
    return m.error().message;
}

TEST(HeaderMap, KeepsEveryValueInOrderUnderOneCaseInsensitiveName) {
    std::vector<phr_header> lines = {line("Server", "a"), line("Sec-WebSocket-Extensions", "x"),
                                     line("server", "b"), line("sec-websocket-extensions", "")};
    auto m = to_header_map(lines);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->size(), 4u);
    EXPECT_EQ(m->get("SERVER"), "a");
    EXPECT_EQ(m->get_all("server"), (std::vector<std::string_view>{"a", "b"}));
    EXPECT_EQ(m->get_all("Sec-Websocket-Extensions"), (std::vector<std::string_view>{"x", ""}));
    EXPECT_EQ(m->entries()[1].name, "sec-websocket-extensions");
    EXPECT_FALSE(m->contains("upgrade"));
    EXPECT_TRUE(to_header_map({})->empty());
}

TEST(HeaderMap, ValuesMayHoldTabAndHighOctetsButNoOtherControls) {
    std::vector<phr_header> ok = {line("A", "x\ty\t"), line("B", "\x80\xff")};
    ASSERT_TRUE(to_header_map(ok).has_value());
    for (std::string_view bad : {std::string_view("a\x7f"), std::string_view("\x01"), std::string_view("a\rb"),
                                 std::string_view("\0", 1)})
        EXPECT_EQ(map_error({line("Good", "v"), line("X", bad)}), "failed to parse header value");
}

TEST(HeaderMap, RefusesNamesThatAreNotTokensBeforeTheirValue) {
    for (const char* bad : {"", "a b", "a:b", "a\x80", "(x)"})
        EXPECT_EQ(map_error({line(bad, "v")}), "invalid HTTP header name") << bad;
    EXPECT_EQ(map_error({line(nullptr, "folded")}), "invalid HTTP header name");
    EXPECT_EQ(map_error({line("bad name", "\x01")}), "invalid HTTP header name");
    // The first bad line decides.
    EXPECT_EQ(map_error({line("A", "\x01"), line("bad name", "v")}), "failed to parse header value");
    std::string long_name(65536, 'a');
    EXPECT_EQ(map_error({line(long_name.c_str(), "v")}), "invalid HTTP header name");
    EXPECT_TRUE(to_header_map(std::vector{line("!#$%&'*+-.^_`|~09azAZ", "v")}).has_value());
}

}  // namespace
}  // namespace varnel::http
