import copy

import pytest

from varnel._varnel import TrafficStats

KEYS = [
    "outgoingOctetsWireLevel", "outgoingOctetsWebSocketLevel", "outgoingOctetsAppLevel",
    "outgoingCompressionRatio", "outgoingWebSocketOverhead", "outgoingWebSocketFrames",
    "outgoingWebSocketMessages", "preopenOutgoingOctetsWireLevel",
    "incomingOctetsWireLevel", "incomingOctetsWebSocketLevel", "incomingOctetsAppLevel",
    "incomingCompressionRatio", "incomingWebSocketOverhead", "incomingWebSocketFrames",
    "incomingWebSocketMessages", "preopenIncomingOctetsWireLevel",
]


def test_new_object_reports_zero_counters_and_no_ratios():
    d = TrafficStats().__json__()
    assert list(d) == KEYS
    for key in KEYS:
        if "Ratio" in key or "Overhead" in key:
            assert d[key] is None, key
        else:
            assert d[key] == 0 and type(d[key]) is int, key


def test_keys_are_shared_objects():
    a, b = TrafficStats().__json__(), TrafficStats().__json__()
    for ka, kb in zip(a, b):
        assert ka is kb


def test_class_is_final_and_takes_no_arguments():
    with pytest.raises(TypeError):
        TrafficStats(1)
    with pytest.raises(TypeError):
        type("Sub", (TrafficStats,), {})
    assert TrafficStats.__doc__.startswith("Per-case octet, frame, and message counters")


def test_deepcopy_is_independent():
    t = TrafficStats()
    c = copy.deepcopy(t)
    assert c is not t and type(c) is TrafficStats
    assert c.__json__() == t.__json__()
    with pytest.raises(TypeError):
        t.__deepcopy__()
