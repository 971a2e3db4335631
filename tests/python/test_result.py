import asyncio
import copy
import importlib
import sys

import pytest

import _testing_result as t
import varnel
from varnel import _varnel
from varnel._varnel import Behavior, BehaviorClose, CaseResult

pytestmark = pytest.mark.timeout(120)

MEMBERS = [
    "FuzzingServer", "run_fuzzingclient", "run_fuzzingserver", "PerMessageDeflateOffer",
    "PerMessageDeflateOfferAccept", "PerMessageDeflateResponse",
    "PerMessageDeflateResponseAccept", "Behavior", "BehaviorClose", "CaseResult",
    "TrafficStats", "Utf8Validator",
]


def test_registered_in_member_order():
    present = [n for n in MEMBERS if n in _varnel.__all__]
    assert _varnel.__all__ == present
    assert ["Behavior", "BehaviorClose", "CaseResult"] <= present


# ---- verdicts

def test_verdict_values_labels_and_reprs():
    assert [(v.value, int(v), repr(v)) for v in
            (Behavior.OK, Behavior.NON_STRICT, Behavior.FAILED, Behavior.UNIMPLEMENTED,
             Behavior.INFORMATIONAL, Behavior.ERROR)] == [
        ("OK", 0, "Behavior.OK"), ("NON-STRICT", 1, "Behavior.NON_STRICT"),
        ("FAILED", 2, "Behavior.FAILED"), ("UNIMPLEMENTED", 3, "Behavior.UNIMPLEMENTED"),
        ("INFORMATIONAL", 4, "Behavior.INFORMATIONAL"), ("ERROR", 5, "Behavior.ERROR")]
    assert [(v.value, int(v), str(v)) for v in
            (BehaviorClose.OK, BehaviorClose.FAILED, BehaviorClose.WRONG_CODE,
             BehaviorClose.UNCLEAN, BehaviorClose.FAILED_BY_CLIENT,
             BehaviorClose.INFORMATIONAL)] == [
        ("OK", 0, "BehaviorClose.OK"), ("FAILED", 1, "BehaviorClose.FAILED"),
        ("WRONG CODE", 2, "BehaviorClose.WRONG_CODE"), ("UNCLEAN", 3, "BehaviorClose.UNCLEAN"),
        ("FAILED BY CLIENT", 4, "BehaviorClose.FAILED_BY_CLIENT"),
        ("INFORMATIONAL", 5, "BehaviorClose.INFORMATIONAL")]


def test_verdict_comparison():
    assert Behavior.OK == Behavior.OK and not Behavior.OK != Behavior.OK
    assert Behavior.OK != Behavior.FAILED and not Behavior.OK == Behavior.FAILED
    for other in (BehaviorClose.OK, 0, "OK", None):
        assert not Behavior.OK == other
        assert Behavior.OK != other
    assert Behavior.OK.value == BehaviorClose.OK.value
    with pytest.raises(TypeError):
        Behavior.OK < Behavior.FAILED
    with pytest.raises(TypeError):
        hash(Behavior.OK)
    with pytest.raises(TypeError):
        {BehaviorClose.OK}


def test_verdict_classes_are_closed():
    for cls in (Behavior, BehaviorClose, CaseResult):
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    assert Behavior.__doc__ == "Verdict for a case's message exchange. `value` is the verdict label."
    assert BehaviorClose.value.__doc__ == "The verdict's string form, e.g. `\"WRONG CODE\"`."
    with pytest.raises(AttributeError):
        Behavior.OK.value = "FAILED"


def test_shared_verdicts_survive_reimport():
    ok = Behavior.OK
    del sys.modules["varnel._varnel"]
    try:
        again = importlib.import_module("varnel._varnel")
        assert again.Behavior is Behavior and again.Behavior.OK is ok
        assert again.__all__ == _varnel.__all__
    finally:
        sys.modules["varnel._varnel"] = _varnel


@pytest.mark.parametrize("label", ["ok", " OK", "NON_STRICT", "WRONG CODE", "FAILED BY CLIENT",
                                   'a"b\\', "x\x01\u200b"])
def test_bad_behavior_label(label):
    with pytest.raises(ValueError) as e:
        t.behavior(label)
    quoted = '"' + label.replace("\\", "\\\\").replace('"', '\\"').replace(
        "\x01", "\\u{1}").replace("\u200b", "\\u{200b}") + '"'
    assert str(e.value) == "unexpected behavior " + quoted


def test_close_labels_and_shared_objects():
    assert t.behavior_close("WRONG CODE") is t.BehaviorClose.WRONG_CODE
    with pytest.raises(ValueError, match='^unexpected behaviorClose "NON-STRICT"$'):
        t.behavior_close("NON-STRICT")
    r = t.make_result("1.1.1", 1, "OK", "OK")
    assert r.behavior is t.Behavior.OK and r.behavior_close is t.BehaviorClose.OK


# ---- CaseResult

def test_passed_and_repr():
    cases = [("NON-STRICT", "INFORMATIONAL", True), ("INFORMATIONAL", "OK", True),
             ("UNIMPLEMENTED", "OK", False), ("OK", "WRONG CODE", False),
             ("OK", "FAILED BY CLIENT", False)]
    for b, c, passed in cases:
        r = t.make_result("9.7.1", 1, b, c)
        assert r.passed is passed
        assert repr(r) == str(r) == (
            f'CaseResult(case_id="9.7.1", behavior="{b}", behavior_close="{c}", '
            f"passed={str(passed).lower()})")
    assert repr(t.make_result('a"\n', 1)).startswith('CaseResult(case_id="a\\"\\n", ')


def test_error_result_fields():
    r = t.errored("2.1", 7, "PeerUnderTest/1.0", OSError("connect: refused"))
    assert type(r) is t.CaseResult
    assert (r.case_id, r.case_index, r.agent, r.result) == ("2.1", 7, "PeerUnderTest/1.0",
                                                            "connect: refused")
    assert r.behavior is t.Behavior.ERROR and r.behavior_close is t.BehaviorClose.FAILED
    assert r.passed is False and r.create_stats is True and r.duration == 0
    for name in ("description", "expectation", "started", "result_close", "http_request",
                 "http_response"):
        assert getattr(r, name) == "", name
    for name in ("report_time", "report_compression_ratio", "create_wirelog", "closed_by_me",
                 "failed_by_me", "dropped_by_me", "was_clean", "was_server_connection_drop_timeout",
                 "was_open_handshake_timeout", "was_close_handshake_timeout", "is_server"):
        assert getattr(r, name) is False, name
    for name in ("expected", "expected_close", "received", "was_not_clean_reason",
                 "local_close_code", "local_close_reason", "remote_close_code",
                 "remote_close_reason", "traffic_stats"):
        assert getattr(r, name) is None, name
    assert r.wirelog == [] and r.rx_octet_stats == {} and r.tx_frame_stats == {}
    assert repr(r) == ('CaseResult(case_id="2.1", behavior="ERROR", behavior_close="FAILED", '
                       "passed=false)")


def test_result_is_read_only_and_shares_its_objects():
    a, b = t.errored("1", 1, "", ValueError("x")), t.errored("2", 2, "", ValueError("y"))
    assert a.wirelog is a.wirelog
    a.wirelog.append(1)
    assert a.wirelog == [1] and b.wirelog == []
    assert a.rx_frame_stats is not b.rx_frame_stats
    for name in ("passed", "case_id", "new_name"):
        with pytest.raises(AttributeError):
            setattr(a, name, 1)
    with pytest.raises(AttributeError):
        del a.case_id
    assert CaseResult.agent.__doc__ == (
        "Name of the peer under test \u2014 from its `Server` header (client mode) or\n"
        "the `agent` it reported (server mode).")


def test_error_result_of_an_exception_whose_str_raises():
    class Bad(Exception):
        def __str__(self):
            raise KeyError("no text")

    with pytest.raises(KeyError):
        t.errored("1.1", 1, "", Bad())


def test_record_error_appends_in_recording_order():
    results = asyncio.run(t.record_errors([OSError("connect: a"), ValueError("b")]))
    assert [(r.case_id, r.result) for r in results] == [("1.1", "connect: a"), ("1.2", "b")]

    class Bad(Exception):
        def __str__(self):
            raise RuntimeError("str failed")

    with pytest.raises(RuntimeError, match="str failed"):
        asyncio.run(t.record_errors([Bad()]))


# ---- end of a run

def test_empty_and_passing_runs_succeed_sorted():
    assert t.finalize([]) == ([], None)
    rs = [t.make_result("3", 3, "INFORMATIONAL", "INFORMATIONAL"),
          t.make_result("1a", 1, "NON-STRICT"), t.make_result("2", 2), t.make_result("1b", 1)]
    done, error = t.finalize(rs)
    assert error is None
    assert [r.case_id for r in done] == ["1a", "1b", "2", "3"]


def test_failed_run_raises_failure_error_with_summary_and_all_results():
    rs = [t.make_result(f"1.{i}", i) for i in range(12, 0, -1)]
    rs[3] = t.make_result("1.1.2", 9, "FAILED", "OK", "Actual events differ.")
    rs[5] = t.make_result("2.3", 2, "OK", "UNCLEAN", "Close was not clean.")
    rs.append(t.make_result("4", 4, "UNIMPLEMENTED", "OK", "No."))
    done, error = t.finalize(rs)
    assert [r.case_index for r in done] == sorted(r.case_index for r in rs)
    assert type(error) is varnel.FailureError
    summary, results = error.args
    assert summary == (
        "3 of 13 cases failed:\n"
        "  2.3: behavior=OK, behaviorClose=UNCLEAN \u2014 Close was not clean.\n"
        "  4: behavior=UNIMPLEMENTED, behaviorClose=OK \u2014 No.\n"
        "  1.1.2: behavior=FAILED, behaviorClose=OK \u2014 Actual events differ.")
    assert results == done and results is not done
    assert error.results is results and str(error) == summary


def test_error_results_fail_the_run():
    rs = [t.make_result("1", 1), t.errored("2", 2, "", OSError("connect: refused"))]
    _, error = t.finalize(rs)
    assert error.summary == ("1 of 2 cases failed:\n"
                             "  2: behavior=ERROR, behaviorClose=FAILED \u2014 connect: refused")


def test_undecodable_text_stops_the_judgement():
    rs = [t.make_result("1", 1, "FAILED", "OK", "bad \ud800"), t.make_result("2", 2, "FAILED")]
    done, error = t.finalize(rs)
    assert isinstance(error, UnicodeEncodeError)
    assert [r.case_id for r in done] == ["1", "2"]


def test_copy_of_results_list_is_independent():
    rs = [t.make_result("1", 1, "FAILED")]
    _, error = t.finalize(rs)
    error.results.clear()
    done, again = t.finalize(rs)
    assert len(done) == 1 and len(again.results) == 1
    assert copy.copy(again.results) == done
