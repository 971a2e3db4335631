#include "constants.hpp"

#include <gtest/gtest.h>
#include <nanobind/stl/string.h>

#include <thread>
#include <vector>

namespace varnel {
namespace {

std::string text(PyObject* s) { return nb::cast<std::string>(nb::handle(s)); }

TEST(Constants, TableHoldsTheNamesInOrder) {
    Constants c = Constants::get();
    EXPECT_EQ(text(c->cases_module), "varnel.cases");
    EXPECT_EQ(text(c->cases_attr), "CASES");
    EXPECT_EQ(text(c->description), "DESCRIPTION");
    EXPECT_EQ(text(c->report_compression_ratio), "reportCompressionRatio");
    EXPECT_EQ(text(c->preopen_incoming_octets_wire_level), "preopenIncomingOctetsWireLevel");
    EXPECT_EQ(text(c->wl_close_after_fired), "TIE");
    static_assert(sizeof(ConstantsInner) == constants_count * sizeof(PyObject*));
}

TEST(Constants, EveryCallerSharesTheSameObjects) {
    Constants first = Constants::get();
    // Threads that race for the table wait detached and all see the same strings.
    std::vector<PyObject*> seen(8, nullptr);
    {
        nb::gil_scoped_release detached;
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < seen.size(); ++i)
            threads.emplace_back([&seen, i] {
                nb::gil_scoped_acquire attached;
                seen[i] = Constants::get()->on_message;
            });
    }
    for (PyObject* p : seen) EXPECT_EQ(p, first->on_message);
}

}  // namespace
}  // namespace varnel
