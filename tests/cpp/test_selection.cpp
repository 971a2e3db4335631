#include "selection.hpp"

#include <gtest/gtest.h>
#include <nanobind/stl/string.h>

namespace varnel {
namespace {

CaseIds ids(std::initializer_list<const char*> list) { return CaseIds(list.begin(), list.end()); }

const CaseIds index_ids = ids({"1.1.1", "1.1.2", "1.2", "1.10", "1.10.2", "12.1", "12.3.1",
                               "12.3.10", "2", "2.1", "2.10", "2.1.5", "3.1", "9.7.1"});

TEST(ExpandPatterns, ExactIdsAndGlobsInPatternOrder) {
    auto got = expand_patterns(ids({"9.7.1", "1.*"}), index_ids, true);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, ids({"9.7.1", "1.1.1", "1.1.2", "1.2", "1.10", "1.10.2"}));
}

TEST(ExpandPatterns, GlobIsAnchoredAtStartOnly) {
    EXPECT_EQ(*expand_patterns(ids({"*.1"}), index_ids, true),
              ids({"1.1.1", "1.1.2", "1.10", "1.10.2", "12.1", "12.3.1", "12.3.10", "2.1", "2.10",
                   "2.1.5", "3.1", "9.7.1"}));
    EXPECT_EQ(*expand_patterns(ids({"12.*.1"}), index_ids, true), ids({"12.3.1", "12.3.10"}));
    EXPECT_EQ(*expand_patterns(ids({"1*"}), index_ids, true),
              ids({"1.1.1", "1.1.2", "1.2", "1.10", "1.10.2", "12.1", "12.3.1", "12.3.10"}));
    EXPECT_EQ(expand_patterns(ids({"*"}), index_ids, true)->size(), index_ids.size());
}

TEST(ExpandPatterns, OtherCharactersKeepTheirRegexMeaning) {
    EXPECT_EQ(*expand_patterns(ids({"1.[12].*"}), index_ids, true), ids({"1.1.1", "1.1.2"}));
    EXPECT_EQ(*expand_patterns(ids({"(2|3).1*"}), index_ids, true),
              ids({"2.1", "2.10", "2.1.5", "3.1"}));
}

TEST(ExpandPatterns, RepeatsAreKept) {
    EXPECT_EQ(*expand_patterns(ids({"2", "2", "2*"}), ids({"2", "3"}), true), ids({"2", "2", "2"}));
}

TEST(ExpandPatterns, StrictErrors) {
    EXPECT_EQ(expand_patterns(ids({"1.1.999"}), index_ids, true).error(), "no such case: 1.1.999");
    EXPECT_EQ(expand_patterns(ids({"77.*"}), index_ids, true).error(),
              "no cases match pattern: 77.*");
    // The first failing pattern wins.
    EXPECT_EQ(expand_patterns(ids({"1.1.1", "8", "77.*"}), index_ids, true).error(),
              "no such case: 8");
}

TEST(ExpandPatterns, NonStrictIgnoresMisses) {
    EXPECT_EQ(*expand_patterns(ids({"1.1.999", "77.*", "2"}), index_ids, false), ids({"2"}));
}

TEST(ExpandPatterns, InvalidGlobFailsInBothModesWithDebugQuoting) {
    for (bool strict : {true, false}) {
        auto got = expand_patterns(ids({"1.[2*"}), index_ids, strict);
        ASSERT_FALSE(got);
        EXPECT_TRUE(got.error().starts_with("invalid case pattern \"1.[2*\": ")) << got.error();
    }
    auto paren = expand_patterns(ids({"(*"}), index_ids, false);
    ASSERT_FALSE(paren);
    EXPECT_TRUE(paren.error().starts_with("invalid case pattern \"(*\": ")) << paren.error();
    auto quoted = expand_patterns(ids({"a\"\\\t\n\x01[*"}), index_ids, false);
    ASSERT_FALSE(quoted);
    EXPECT_TRUE(quoted.error().starts_with(R"(invalid case pattern "a\"\\\t\n\u{1}[*": )"))
        << quoted.error();
}

TEST(SortIds, NumericPartsStableAndPrefixFirst) {
    CaseIds v = ids({"10.1", "9.7.1", "2.1", "2", "1.10", "1.2", "1.1.2", "1.1.1"});
    sort_ids(v);
    EXPECT_EQ(v, ids({"1.1.1", "1.1.2", "1.2", "1.10", "2", "2.1", "9.7.1", "10.1"}));

    CaseIds odd = ids({"1.1", "x.5", "1.a", "1.0", "1.9", "1.10"});
    sort_ids(odd);
    EXPECT_EQ(odd, ids({"x.5", "1.a", "1.0", "1.1", "1.9", "1.10"}));
}

TEST(SortIds, PartParsingRules) {
    // "+3" is 3; "-3", "", "+", "3x" and values above 2^32-1 are 0; leading zeros count.
    CaseIds v = ids({"1.+3", "1.4", "1.2", "1.-3", "1.99999999999", "1.", "1.+", "1.007", "1.3x",
                     "1.4294967295", "1.4294967296"});
    sort_ids(v);
    EXPECT_EQ(v, ids({"1.-3", "1.99999999999", "1.", "1.+", "1.3x", "1.4294967296", "1.2", "1.+3",
                      "1.4", "1.007", "1.4294967295"}));
    CaseIds empties = ids({"1..2", ".1", "1.1"});
    sort_ids(empties);
    EXPECT_EQ(empties, ids({".1", "1..2", "1.1"}));
}

// resolve_cases against an index installed as the module varnel.cases.
class ResolveCases : public testing::Test {
protected:
    void install_index(const char* python_dict_literal) {
        std::string code = std::string("import sys, types\n"
                                       "m = types.ModuleType('varnel.cases')\n"
                                       "m.CASES = ") + python_dict_literal +
                           "\nsys.modules['varnel.cases'] = m\n";
        ASSERT_EQ(PyRun_SimpleString(code.c_str()), 0);
    }
    void TearDown() override { PyRun_SimpleString("import sys; sys.modules.pop('varnel.cases', None)"); }

    static CaseIds selected(const std::vector<Case>& cases) {
        CaseIds out;
        for (const Case& c : cases) out.push_back(c->id);
        return out;
    }
    // The exception class name and text of a call that must fail.
    std::pair<std::string, std::string> error_of(const std::optional<CaseIds>& cases,
                                                 const std::optional<CaseIds>& exclude) {
        auto r = resolve_cases(cases, exclude, constants);
        EXPECT_FALSE(r.has_value());
        if (r.has_value()) return {};
        return {nb::cast<std::string>(r.error().type().attr("__name__")),
                nb::cast<std::string>(nb::str(r.error().value()))};
    }
    using Error = std::pair<std::string, std::string>;
    Constants constants = Constants::get();
};

TEST_F(ResolveCases, SelectsSortsDeduplicatesAndExcludes) {
    install_index("{'9.7.1': 'c971', '1.10': 'c110', '1.9': 'c19', '1.1.1': 'c111', '2': 'c2', '10': 'c10'}");
    auto all = resolve_cases(std::nullopt, std::nullopt, constants);
    ASSERT_TRUE(all);
    EXPECT_EQ(selected(*all), ids({"1.1.1", "1.9", "1.10", "2", "9.7.1", "10"}));
    EXPECT_EQ(nb::cast<std::string>((*all)[0]->cls.object()), "c111");

    EXPECT_EQ(selected(*resolve_cases(ids({}), ids({}), constants)).size(), 6u);
    EXPECT_EQ(selected(*resolve_cases(ids({"9.7.1", "1.*"}), std::nullopt, constants)),
              ids({"1.1.1", "1.9", "1.10", "9.7.1"}));
    EXPECT_EQ(selected(*resolve_cases(ids({"1.1.1", "1.*", "1.1.1"}), std::nullopt, constants)),
              ids({"1.1.1", "1.9", "1.10"}));
    EXPECT_EQ(selected(*resolve_cases(ids({"1.*"}), ids({"1.1.*", "2.*", "1.1.999"}), constants)),
              ids({"1.9", "1.10"}));
    EXPECT_TRUE(resolve_cases(std::nullopt, ids({"*"}), constants)->empty());
}

TEST_F(ResolveCases, RepeatWithEqualKeyButDifferentIdStays) {
    install_index("{'1.1': 'a', '1.01': 'b'}");
    EXPECT_EQ(selected(*resolve_cases(ids({"1.1", "1.01", "1.1"}), std::nullopt, constants)),
              ids({"1.1", "1.01", "1.1"}));
}

TEST_F(ResolveCases, SelectionErrors) {
    install_index("{'1.1.1': 1, '1.1.2': 2}");
    EXPECT_EQ(error_of(ids({"1.1.999"}), std::nullopt), Error("ValueError", "no such case: 1.1.999"));
    EXPECT_EQ(error_of(ids({"77.*"}), std::nullopt), Error("ValueError", "no cases match pattern: 77.*"));
    auto [cls, text] = error_of(std::nullopt, ids({"1.(*"}));
    EXPECT_EQ(cls, "ValueError");
    EXPECT_TRUE(text.starts_with("invalid case pattern \"1.(*\": ")) << text;
}

TEST_F(ResolveCases, IndexErrorsInOrder) {
    install_index("{}");
    EXPECT_EQ(error_of(ids({"never"}), std::nullopt),
              Error("ValueError", "varnel.cases index is empty \u2014 this is a bug in varnel"));
    install_index("{'1.1': 1, 2: 2}");
    EXPECT_EQ(error_of(ids({"1.1"}), std::nullopt).first, "TypeError");
    install_index("[('1.1', 1)]");
    EXPECT_EQ(error_of(std::nullopt, std::nullopt).first, "TypeError");
    ASSERT_EQ(PyRun_SimpleString("import sys, types\nsys.modules['varnel.cases'] = "
                                 "types.ModuleType('varnel.cases')\n"), 0);
    EXPECT_EQ(error_of(std::nullopt, std::nullopt).first, "AttributeError");
    ASSERT_EQ(PyRun_SimpleString("import sys\nsys.modules['varnel.cases'] = None\n"), 0);
    EXPECT_EQ(error_of(std::nullopt, std::nullopt).first, "ModuleNotFoundError");
}

TEST_F(ResolveCases, DictSubclassUsesStoredKeysAndItemLookup) {
    ASSERT_EQ(PyRun_SimpleString(
                  "import sys, types\n"
                  "class Index(dict):\n"
                  "    def keys(self): return ['bogus']\n"
                  "    def __getitem__(self, k): return 'via-' + dict.__getitem__(self, k)\n"
                  "m = types.ModuleType('varnel.cases')\n"
                  "m.CASES = Index({'2': 'two', '1': 'one'})\n"
                  "sys.modules['varnel.cases'] = m\n"), 0);
    auto r = resolve_cases(std::nullopt, std::nullopt, constants);
    ASSERT_TRUE(r);
    EXPECT_EQ(selected(*r), ids({"1", "2"}));
    EXPECT_EQ(nb::cast<std::string>((*r)[0]->cls.object()), "via-one");
}

}  // namespace
}  // namespace varnel
