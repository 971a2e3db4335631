// Case selection: the case package's index, ids and `*` globs, exclusions and
// the numeric order of case ids.
#pragma once

#include "constants.hpp"
#include "pyglue.hpp"

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// One selected case: its id and the case class from the case package's index.
struct CaseInner {
    std::string id;
    PyRef cls;
};
using Case = std::shared_ptr<const CaseInner>;

using CaseIds = std::vector<std::string>;

// Imports the case package's index, expands `cases` (all ids when absent or
// empty), removes `exclude_cases`, sorts by numeric parts and drops adjacent
// repeats. The caller must be attached; errors are Python exceptions to raise.
std::expected<std::vector<Case>, nb::python_error> resolve_cases(
    const std::optional<CaseIds>& cases, const std::optional<CaseIds>& exclude_cases,
    const Constants& constants);

// Expands exact ids and `*` globs against `ids`, in pattern order. When `strict`,
// a pattern that selects nothing is an error. Errors are ValueError texts.
std::expected<CaseIds, std::string> expand_patterns(const CaseIds& patterns, const CaseIds& ids,
                                                    bool strict);

// Stable sort by the numeric parts of the ids ("1.10" after "1.9").
void sort_ids(CaseIds& ids);

}  // namespace varnel
