#include "wirelog.hpp"

#include <gtest/gtest.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <limits>

namespace varnel {
namespace {

std::span<const std::uint8_t> bytes_of(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(Asciilog, CutAndMarkerThresholds) {
    EXPECT_EQ(asciilog({}), "");
    EXPECT_EQ(asciilog(bytes_of("hello")), "hello");
    std::string s60(60, 'a'), s61(61, 'a'), s64(64, 'a'), s65(65, 'a');
    EXPECT_EQ(asciilog(bytes_of(s60)), s60);
    EXPECT_EQ(asciilog(bytes_of(s61)), s61 + " ...");
    EXPECT_EQ(asciilog(bytes_of(s64)), s64 + " ...");
    EXPECT_EQ(asciilog(bytes_of(s65)), s64 + " ...");
}

TEST(Asciilog, HexWhenTheShownPrefixIsNotUtf8) {
    const std::uint8_t ff00[] = {0xff, 0x00};
    EXPECT_EQ(asciilog(ff00), "0xff00");
    // One ASCII octet then two-octet characters: the 64-octet cut splits one.
    std::string text = "a";
    while (text.size() < 70) text += "\xc3\xa9";
    std::string got = asciilog(bytes_of(text));
    EXPECT_TRUE(got.starts_with("0x61c3a9"));
    EXPECT_EQ(got.size(), 2 + 128 + 4u);
    EXPECT_TRUE(got.ends_with("c3 ..."));
    // Invalid octets after the cut do not matter.
    std::string tail_bad = std::string(64, 'b') + "\xff";
    EXPECT_EQ(asciilog(bytes_of(tail_bad)), std::string(64, 'b') + " ...");
}

TEST(OctetsHex, SameCutAndMarkerNoPrefix) {
    const std::uint8_t header[] = {0x81, 0x00};
    EXPECT_EQ(octets_hex(header), "8100");
    std::string s61(61, '\x01');
    std::string want61;
    for (int i = 0; i < 61; ++i) want61 += "01";
    EXPECT_EQ(octets_hex(bytes_of(s61)), want61 + " ...");
    std::string s100(100, '\xab');
    std::string want;
    for (int i = 0; i < 64; ++i) want += "ab";
    EXPECT_EQ(octets_hex(bytes_of(s100)), want + " ...");
    EXPECT_EQ(mask_hex({0x0a, 0xb0, 0x00, 0xff}), "0ab000ff");
}

TEST(WireEntry, PythonTupleShapes) {
    Constants c = Constants::get();
    auto repr = [&](const WireEntry& e) {
        return nb::cast<std::string>(nb::repr(wire_entry_to_python(e, c)));
    };
    EXPECT_EQ(repr(wire::LogSwitch{false}), "('WLM', False)");
    EXPECT_EQ(repr(wire::RxOctets{2, "8100"}), "('RO', (2, '8100'))");
    EXPECT_EQ(repr(wire::TxOctets{2, "8100", false}), "('TO', (2, '8100'), False)");
    EXPECT_EQ(repr(wire::RxFrame{5, "hello", 1, true, 0, false, std::nullopt}),
              "('RF', (5, 'hello'), 1, True, 0, False, None)");
    EXPECT_EQ(repr(wire::TxFrame{5, "hello", 1, true, 0, "01020304", std::nullopt, 7, true}),
              "('TF', (5, 'hello'), 1, True, 0, '01020304', None, 7, True)");
    EXPECT_EQ(repr(wire::LaterSet{1.5, std::nullopt}), "('CT', 1.5, None)");
    EXPECT_EQ(repr(wire::LaterFired{"tag"}), "('CTE', 'tag')");
    EXPECT_EQ(repr(wire::KillSet{2.0}), "('KL', 2.0)");
    EXPECT_EQ(repr(wire::KillFired{}), "('KLE',)");
    EXPECT_EQ(repr(wire::CloseSet{0.25}), "('TI', 0.25)");
    EXPECT_EQ(repr(wire::CloseFired{}), "('TIE',)");
    // Codes are the shared strings, the same object in every tuple.
    nb::object a = wire_entry_to_python(wire::KillFired{}, c);
    nb::object b = wire_entry_to_python(wire::KillFired{}, c);
    EXPECT_EQ(nb::tuple(a)[0].ptr(), nb::tuple(b)[0].ptr());
}

// The packed log gives back every entry exactly: sizes of every width, the
// float bits, absent and present optionals, texts with NUL and non-ASCII octets.
TEST(WireLog, EveryKindComesBackAsPushed) {
    Constants c = Constants::get();
    constexpr std::size_t big = std::numeric_limits<std::size_t>::max();
    const std::string odd("a\0\xc3\xa9 ...", 8);
    const std::vector<WireEntry> pushed = {
        wire::LogSwitch{false},
        wire::RxOctets{0, ""},
        wire::RxOctets{127, "7f"},
        wire::TxOctets{128, std::string(132, 'f'), true},
        wire::RxFrame{big, odd, 15, false, 7, true, "0ab000ff"},
        wire::RxFrame{16384, "", 0, true, 0, false, std::nullopt},
        wire::TxFrame{5, "hello", 1, true, 255, std::nullopt, big, 0, false},
        wire::TxFrame{0, "", 9, false, 0, "01020304", std::nullopt, std::nullopt, true},
        wire::LaterSet{-0.0, std::nullopt},
        wire::LaterSet{1e-300, std::string()},
        wire::LaterFired{std::nullopt},
        wire::LaterFired{odd},
        wire::KillSet{std::numeric_limits<double>::infinity()},
        wire::KillFired{},
        wire::CloseSet{0.1},
        wire::CloseFired{},
        wire::LogSwitch{true},
    };
    WireLog log;
    for (const WireEntry& e : pushed) log.push_back(e);
    EXPECT_EQ(log.size(), pushed.size());
    EXPECT_EQ(log.traffic_entries(), 7u);
    const std::vector<WireEntry> back = log.entries();
    ASSERT_EQ(back.size(), pushed.size());
    auto repr = [&](const WireEntry& e) { return nb::cast<std::string>(nb::repr(wire_entry_to_python(e, c))); };
    for (std::size_t i = 0; i < pushed.size(); ++i) {
        EXPECT_EQ(back[i].index(), pushed[i].index()) << i;
        EXPECT_EQ(repr(back[i]), repr(pushed[i])) << i;
    }
    const auto* later = std::get_if<wire::LaterSet>(&back[8]);
    ASSERT_TRUE(later);
    EXPECT_TRUE(std::signbit(later->secs));
}

}  // namespace
}  // namespace varnel
