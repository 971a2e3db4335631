#include "traffic.hpp"

#include <gtest/gtest.h>

namespace varnel {
namespace {

class Traffic : public testing::Test {
protected:
    static void SetUpTestSuite() {
        nb::module_ scope = nb::borrow<nb::module_>(
            nb::module_::import_("types").attr("ModuleType")("traffic_test"));
        register_traffic_stats(scope);
    }
};

TEST_F(Traffic, JsonRatiosAndOverheads) {
    auto ref = new_traffic_stats();
    ASSERT_TRUE(ref);
    TrafficStats& s = *ref->counters;
    TrafficStats::add(s.outgoing_octets_app_level, 100);
    TrafficStats::add(s.outgoing_octets_websocket_level, 40);
    TrafficStats::add(s.outgoing_octets_wire_level, 44);
    // A case that announces more than it sends: the overhead goes negative.
    TrafficStats::add(s.incoming_octets_websocket_level, 10);
    TrafficStats::add(s.incoming_octets_wire_level, 5);
    nb::dict d = nb::borrow<nb::dict>(ref->object.object().attr("__json__")());
    EXPECT_DOUBLE_EQ(nb::cast<double>(d["outgoingCompressionRatio"]), 0.4);
    EXPECT_DOUBLE_EQ(nb::cast<double>(d["outgoingWebSocketOverhead"]), 0.1);
    EXPECT_DOUBLE_EQ(nb::cast<double>(d["incomingWebSocketOverhead"]), -0.5);
    EXPECT_TRUE(d["incomingCompressionRatio"].is_none());
    EXPECT_EQ(traffic_stats_of(ref->object.handle()), &s);
    EXPECT_EQ(traffic_stats_of(d), nullptr);
}

TEST_F(Traffic, DeepCopyKeepsValuesWhileTheOriginalGoesOn) {
    auto ref = new_traffic_stats();
    ASSERT_TRUE(ref);
    TrafficStats::add(ref->counters->outgoing_websocket_frames, 3);
    nb::object copy = nb::module_::import_("copy").attr("deepcopy")(ref->object.object());
    TrafficStats::add(ref->counters->outgoing_websocket_frames, 1);
    TrafficStats* c = traffic_stats_of(copy);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(TrafficStats::read(c->outgoing_websocket_frames), 3u);
    EXPECT_EQ(TrafficStats::read(ref->counters->outgoing_websocket_frames), 4u);
}

}  // namespace
}  // namespace varnel
