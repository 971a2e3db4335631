#include "result.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace varnel {
namespace {

TEST(Result, QuotingEscapesLikeADebugString) {
    EXPECT_EQ(quote_text("OK"), "\"OK\"");
    EXPECT_EQ(quote_text("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(quote_text(std::string_view("\n\r\t\0", 4)), "\"\\n\\r\\t\\0\"");
    EXPECT_EQ(quote_text("\x01\x7f"), "\"\\u{1}\\u{7f}\"");
    // Printable non-ASCII stays as is; invisible format and line separators do not.
    EXPECT_EQ(quote_text("caf\u00e9 \u2014"), "\"caf\u00e9 \u2014\"");
    EXPECT_EQ(quote_text("\u0085\u200b\u2028"), "\"\\u{85}\\u{200b}\\u{2028}\"");
    // Octets that are not UTF-8, truncated sequences and encoded surrogates.
    EXPECT_EQ(quote_text("\xff" "A\xe2\x82"), "\"\\x{ff}A\\x{e2}\\x{82}\"");
    EXPECT_EQ(quote_text("\xed\xa0\x80"), "\"\\x{ed}\\x{a0}\\x{80}\"");
}

TEST(Result, LabelsMatchExactly) {
    EXPECT_EQ(Behavior::parse("NON-STRICT"), Behavior::NonStrict);
    EXPECT_EQ(BehaviorClose::parse("WRONG CODE"), BehaviorClose::WrongCode);
    EXPECT_EQ(BehaviorClose::parse("FAILED"), BehaviorClose::Failed);
    EXPECT_EQ(Behavior::parse("FAILED"), Behavior::Failed);
    for (const char* bad : {"ok", " OK", "OK ", "NON_STRICT", "WRONG CODE", "FAILED BY CLIENT", ""})
        EXPECT_FALSE(Behavior::parse(bad)) << bad;
    for (const char* bad : {"NON-STRICT", "UNIMPLEMENTED", "ERROR", "WRONG_CODE"})
        EXPECT_FALSE(BehaviorClose::parse(bad)) << bad;
}

TEST(Result, BadLabelIsValueErrorWithQuotedText) {
    auto r = BehaviorClose::from_label("ok\n");
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().matches(PyExc_ValueError));
    EXPECT_STREQ(nb::str(r.error().value()).c_str(), "unexpected behaviorClose \"ok\\n\"");
}

TEST(Result, ErrorResultOfAnAgentWithStrayOctets) {
    PyErr_SetString(PyExc_OSError, "connect: refused");
    nb::python_error exc;
    auto r = CaseResult::errored("1.1.1", 1, "peer\xff", exc);
    ASSERT_TRUE(r) << r.error().what();
    EXPECT_STREQ(nb::str(r->agent.handle()).c_str(), "peer\ufffd");
    EXPECT_STREQ(nb::str(r->result.handle()).c_str(), "connect: refused");
}

TEST(Result, ConcurrentAppendsAreAllKept) {
    ResultsList list;
    {
        nb::gil_scoped_release detached;
        std::vector<std::jthread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 500; ++i) list.push(PyRef());
            });
    }
    EXPECT_EQ(list.size(), 8u * 500u);
}

}  // namespace
}  // namespace varnel
