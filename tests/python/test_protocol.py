import gc
import zlib

import pytest

import _testing_protocol as t


def parse_frames(data):
    """Independent RFC 6455 frame parser: list of (fin, rsv, opcode, key, payload)."""
    frames, at = [], 0
    while at < len(data):
        b0, b1 = data[at], data[at + 1]
        at += 2
        n = b1 & 0x7F
        if n == 126:
            n, at = int.from_bytes(data[at:at + 2], "big"), at + 2
        elif n == 127:
            n, at = int.from_bytes(data[at:at + 8], "big"), at + 8
        key = None
        if b1 & 0x80:
            key, at = data[at:at + 4], at + 4
        body = data[at:at + n]
        at += n
        if key is not None:
            body = bytes(c ^ key[i % 4] for i, c in enumerate(body))
        frames.append((bool(b0 & 0x80), (b0 >> 4) & 7, b0 & 0x0F, key, body))
    return frames


def sent(p):
    return parse_frames(b"".join(t.queued(p, take=True)))


def frames_logged(p):
    return [e for e in t.wirelog(p) if e[0] == "TF"]


@pytest.fixture(params=[False, True], ids=["client", "server"])
def p(request):
    return t.new_protocol(request.param)


def test_fresh_connection_state():
    p = t.new_protocol(False)
    assert p.state == 3 and p.STATE_OPEN == 3 and type(p).CLOSE_STATUS_CODE_NORMAL == 1000
    assert (p.wasClean, p.closedByMe, p.droppedByMe, p.connectionWasOpen) == (False, False, False, True)
    assert p.createWirelog is True and p.autoFragmentSize == 0
    assert p.remoteCloseCode is None and p.localCloseReason is None
    assert p.perMessageCompressionOffers is None and p.perMessageCompressionAccept is None
    assert p._perMessageCompress is None and p.txFrameStats == {}
    assert p.factory is not p.factory and p.factory.isServer is False
    assert p.trafficStats is p.trafficStats
    assert t.new_protocol(True).factory.isServer is True
    # The classes outlive every object made from them.
    del p
    gc.collect()
    assert t.new_protocol(False).trafficStats.__json__()["outgoingWebSocketFrames"] == 0


def test_classes_are_hidden_final_and_not_constructible():
    import varnel._varnel as mod
    p = t.new_protocol(False)
    assert "Protocol" not in mod.__all__ and not hasattr(mod, "Protocol")
    with pytest.raises(TypeError):
        type(p)()
    with pytest.raises(TypeError):
        type(p.factory)()
    with pytest.raises(TypeError):
        type("Sub", (type(p),), {})


def test_property_setters_and_errors():
    p = t.new_protocol(False)
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del p.wasClean
    with pytest.raises(AttributeError):
        p.state = 1
    p.localCloseReason = b"x"
    assert p.localCloseReason is None
    with pytest.raises(TypeError, match="^argument 'value': 'NoneType'"):
        p.perMessageCompressionOffers = None
    offers = []
    p.perMessageCompressionOffers = offers
    assert p.perMessageCompressionOffers is offers
    p.perMessageCompressionAccept = None
    assert p.perMessageCompressionAccept is None
    with pytest.raises(OverflowError):
        p.autoFragmentSize = 2**63
    p.autoFragmentSize = -5
    assert p.autoFragmentSize == -5
    with pytest.raises(TypeError):
        p.createWirelog = 0
    p.createWirelog = False
    assert t.wirelog(p) == []


def test_enable_wirelog_logs_only_changes():
    p = t.new_protocol(False)
    p.enableWirelog(True)
    p.enableWirelog(enable=False)
    p.enableWirelog(False)
    p.sendFrame(1, b"a")
    p.enableWirelog(True)
    assert t.wirelog(p) == [("WLM", False), ("WLM", True)]
    with pytest.raises(TypeError, match="'enable'"):
        p.enableWirelog(1)


def test_frames_roundtrip_with_fresh_keys(p):
    server = p.factory.isServer
    p.sendFrame(1, "\u00e9")
    p.sendFrame(2, "\u00e9", mask=object())
    p.sendFrame(9, b"", fin=False, rsv=7)
    p.sendFrame(3, b"r", rsv=8)
    frames = sent(p)
    assert [(f[0], f[1], f[2], f[4]) for f in frames] == [
        (True, 0, 1, b"\xc3\xa9"), (True, 0, 2, b"\xe9"), (False, 7, 9, b""), (True, 0, 3, b"r")]
    keys = [f[3] for f in frames]
    if server:
        assert keys == [None] * 4
    else:
        assert None not in keys and len(set(keys)) == 4
    logged = frames_logged(p)
    assert [e[5] for e in logged] == [None if k is None else k.hex() for k in keys]
    assert logged[3][4] == 8
    assert p.txFrameStats == {1: 1, 2: 1, 9: 1, 3: 1}
    stats = p.trafficStats.__json__()
    assert stats["outgoingWebSocketFrames"] == 2 and stats["outgoingOctetsWebSocketLevel"] == 3


def test_length_forms_switch_at_126_and_65536(p):
    for n in (125, 126, 65535, 65536):
        p.sendFrame(2, b"x" * n)
    chunks = t.queued(p)
    assert [c[1] & 0x7F for c in chunks] == [125, 126, 126, 127]
    assert [len(f[4]) for f in sent(p)] == [125, 126, 65535, 65536]


def test_payload_len_stretches_and_cuts(p):
    p.sendFrame(1, b"abc", payload_len=7)
    p.sendFrame(2, payload_len=5)
    p.sendFrame(1, b"abc", payload_len=0)
    assert [f[4] for f in sent(p)] == [b"abcabca", b"\0" * 5, b""]
    first = frames_logged(p)[0]
    assert first[1] == (3, "abc") and first[6] == 7
    assert p.trafficStats.__json__()["outgoingOctetsWebSocketLevel"] == 12


def test_chopsize_slices_share_one_buffer():
    p = t.new_protocol(True)
    p.sendFrame(1, chopsize=1)
    assert t.queued(p) == [b"\x81", b"\x00"] and t.chunks_share_buffer(p)
    assert t.tx_octet_stats(p) == {1: 2}
    assert [e[0] for e in t.wirelog(p)] == ["TF", "TO", "TO"]
    t.queued(p, take=True)
    p.sendFrame(1, b"hello", chopsize=3, sync=True)
    assert [len(c) for c in t.queued(p)] == [3, 3, 1] and t.chunks_share_buffer(p)
    assert all(e[-1] is True for e in t.wirelog(p)[3:])
    p.sendFrame(1, b"x", chopsize=0)
    assert len(t.queued(p)) == 4


def test_refused_frames_leave_no_trace_and_connection_usable(p):
    for call in (lambda: p.sendFrame(256), lambda: p.sendFrame(1, payload_len=-1),
                 lambda: p.sendFrame(1, chopsize=-1)):
        with pytest.raises(OverflowError):
            call()
    with pytest.raises(TypeError, match="'fin'"):
        p.sendFrame(1, fin=1)
    with pytest.raises(ValueError, match="opcode 16"):
        p.sendFrame(16)
    with pytest.raises(ValueError, match="payload_len"):
        p.sendFrame(1, payload_len=2**40)
    with pytest.raises(ValueError, match="chopsize 1 would cut a frame"):
        p.sendFrame(2, payload_len=2**20, chopsize=1)
    with pytest.raises(TypeError, match="'bogus'"):
        p.sendFrame(1, bogus=1)
    with pytest.raises(TypeError, match="unexpected keyword"):
        p.sendFrame(1, **{"\ud800": 1})
    with pytest.raises(TypeError, match="'opcode'"):
        p.sendFrame()
    assert t.queued(p) == [] and t.wirelog(p) == [] and p.txFrameStats == {}
    p.sendFrame(15)
    assert [f[2] for f in sent(p)] == [15]


def test_numpy_bools_are_bools(p):
    np = pytest.importorskip(
        "numpy", reason="numpy does not load on this interpreter", exc_type=ImportError)
    p.sendFrame(1, b"a", fin=np.bool_(False))
    assert sent(p)[0][0] is False


def test_send_message_fragments_and_counts(p):
    p.sendMessage(b"0123456789", fragmentSize=4)
    assert [(f[0], f[2], f[4]) for f in sent(p)] == [
        (False, 1, b"0123"), (False, 0, b"4567"), (True, 0, b"89")]
    assert p.txFrameStats == {1: 1, 0: 2}
    p.autoFragmentSize = 3
    p.sendMessage(b"abcd", isBinary=True, fragmentSize=0)
    p.sendMessage(b"abcd", fragmentSize=4)
    p.sendMessage(b"abcd")
    assert [len(f[4]) for f in sent(p)] == [4, 4, 3, 1]
    p.autoFragmentSize = -1
    p.sendMessage(65)
    assert sent(p)[0][4] == b"A"
    stats = p.trafficStats.__json__()
    assert stats["outgoingWebSocketMessages"] == 5 and stats["outgoingOctetsAppLevel"] == 23


def test_compressed_message_sets_rsv1_on_first_frame_only(p):
    t.install_deflate(p)
    assert p._perMessageCompress is True
    text = b"hello hello hello hello hello"
    p.sendMessage(text, fragmentSize=4, doNotCompress=True)
    p.sendMessage(text, isBinary=True)
    frames = sent(p)
    inflate = zlib.decompressobj(-15)
    first = [f for f in frames[:-1]]
    assert [(f[1], f[2]) for f in first] == [(4, 1)] + [(0, 0)] * (len(first) - 1)
    assert all(len(f[4]) == 4 for f in first[:-1]) and first[-1][0]
    tail = b"\x00\x00\xff\xff"
    assert inflate.decompress(b"".join(f[4] for f in first) + tail) == text
    # Context carries over: the repeat compresses to less than the first.
    assert frames[-1][1:3] == (4, 2) and len(frames[-1][4]) < sum(len(f[4]) for f in first)
    assert inflate.decompress(frames[-1][4] + tail) == text
    stats = p.trafficStats.__json__()
    assert stats["outgoingOctetsAppLevel"] == 2 * len(text)
    assert stats["outgoingOctetsWebSocketLevel"] == sum(len(f[4]) for f in frames)


def test_close_frames_and_close_state(p):
    p.sendClose(1000, b"bye")
    assert sent(p)[0][4] == b"\x03\xe8bye" and p.localCloseReason == b"bye"
    assert t.state(p)["closed_by_me"] is True
    p.sendClose(1000, b"")
    p.sendClose(reason=b"ab")
    p.sendCloseFrame(1001, "\u00e9", isReply=True)
    p.sendClose()
    assert [f[4] for f in sent(p)] == [b"\x03\xe8", b"ab", b"\x03\xe9\xe9", b""]
    assert p.localCloseReason is None and t.state(p)["local_close_code"] is None
    with pytest.raises(OverflowError, match="'code'"):
        p.sendClose(65536)
    with pytest.raises(ValueError, match="U\\+20AC"):
        p.sendClose(1000, "\u20ac")


def test_close_after_close_received_is_not_by_me():
    p = t.new_protocol(False)
    t.set_close_received(p)
    p.sendClose(1000)
    assert t.state(p)["close_sent"] is True and t.state(p)["closed_by_me"] is False


def test_message_built_frame_by_frame_keeps_one_mask():
    p = t.new_protocol(False)
    p.beginMessage(True)
    p.beginMessageFrame(10)
    p.sendMessageFrameData(b"abcd")
    p.sendMessageFrameData(b"efghij")
    p.sendMessageFrameData(None)
    p.endMessage()
    frames = sent(p)
    assert [(f[0], f[2], f[4]) for f in frames] == [(True, 2, b"abcdefghij")]
    assert t.tx_octet_stats(p)[0] == 1
    assert frames_logged(p)[0][1] == (10, "")
    stats = p.trafficStats.__json__()
    assert stats["outgoingOctetsWebSocketLevel"] == 10 and stats["outgoingOctetsWireLevel"] == 16
    with pytest.raises(ValueError, match="U\\+20AC"):
        p.sendMessageFrameData("\u20ac")


def test_payload_conversions():
    conv = t.payload_to_bytes
    assert [conv(v, True) for v in (None, True, 255, 256, -1, 300)] == [
        b"", b"\x01", b"\xff", b"\x00", b"\xff", b"\x2c"]
    assert conv("\u00e9", True) == b"\xc3\xa9" and conv("\u00e9", False) == b"\xe9"
    ba = bytearray(b"ab")
    out = conv(ba, False)
    ba[0] = 0
    assert out == b"ab"
    with pytest.raises(ValueError, match="^codepoint U\\+1F600 has no single-byte"):
        conv("a\U0001F600", False)
    for bad in ([], 2**64):
        with pytest.raises(TypeError):
            conv(bad, True)
    with pytest.raises(UnicodeEncodeError):
        conv("\ud800", True)
    assert t.bridge_message(b"\xc3\xa9", False) == "\u00e9"
    assert t.bridge_message(b"\xff", False) == "\u00ff"
    assert t.bridge_message(b"\xc3\xa9", True) == "\u00c3\u00a9"


def test_timers_log_and_store(p):
    class Boom:
        def __str__(self):
            raise RuntimeError("no")

    before = t.monotonic_ns()
    p.continueLater(1, print, tag=5)
    p.continueLater(0.5, len)
    p.continueLater(secs=1e-10, func=None, tag=Boom())
    p.continueLater(0, None, "\ud800")
    p.killAfter(2)
    p.killAfter(1)
    p.closeAfter(0)
    after = t.monotonic_ns()
    assert t.wirelog(p) == [("CT", 1.0, "5"), ("CT", 0.5, None), ("CT", 1e-10, None),
                            ("CT", 0.0, "\ufffd"), ("KL", 2.0), ("KL", 1.0), ("TI", 0.0)]
    laters = t.laters(p)
    assert [(tag, f) for tag, f, _ in laters] == [("5", print), (None, len), (None, None),
                                                  ("\ufffd", None)]
    assert before + 10**9 <= laters[0][2] <= after + 10**9
    assert before <= laters[2][2] <= after
    close, kill = t.deadlines(p)
    assert before <= close <= after and before + 10**9 <= kill <= after + 10**9


def test_timer_limits_refused_without_change(p):
    for bad, exc in ((-1, ValueError), (float("nan"), ValueError), (float("inf"), OverflowError),
                     (2.0**64, OverflowError), (1e12, OverflowError)):
        with pytest.raises(exc, match="secs"):
            p.killAfter(bad)
    with pytest.raises(TypeError, match="'secs'"):
        p.closeAfter("1")
    with pytest.raises(TypeError, match="'func'"):
        p.continueLater(1)
    p.killAfter(-0.0)
    assert t.wirelog(p) == [("KL", -0.0)]


def test_poisoned_connection_refuses_every_later_lock():
    p = t.new_protocol(False)
    with pytest.raises(RuntimeError, match="broken invariant"):
        t.fail_while_locked(p)
    for call in (lambda: p.sendMessage(b"x"), lambda: p.wasClean, lambda: p.killAfter(1)):
        with pytest.raises(RuntimeError, match="poisoned"):
            call()


def test_queued_data_holds_no_subclass_instance():
    # A server queues frame data as given; an object whose release runs Python
    # code must not be kept alive by the queue (it would be freed by the writer).
    freed = []

    class B(bytes):
        def __del__(self):
            freed.append("B")

    class S(str):
        def __del__(self):
            freed.append("S")

    p = t.new_protocol(True)
    p.beginMessageFrame(6)
    p.sendMessageFrameData(B(b"abc"))
    p.sendMessageFrameData(S("d\u00e9"))
    gc.collect()
    assert freed == ["B", "S"]
    assert sent(p)[0][4] == b"abcd\xc3\xa9"


def test_refused_delay_does_not_stringify_tag():
    seen = []

    class Tag:
        def __str__(self):
            seen.append(1)
            return "t"

    p = t.new_protocol(False)
    for bad in ("1", -1.0, float("inf")):
        with pytest.raises((TypeError, ValueError, OverflowError)):
            p.continueLater(bad, print, Tag())
    assert seen == [] and t.laters(p) == [] and t.wirelog(p) == []


def test_traffic_logging_switches_itself_off_at_the_limit():
    limit = t.traffic_log_limit
    p = t.new_protocol(True)
    p.closeAfter(1.5)
    # One frame cut into one-octet chunks: a "TF", then a "TO" per chunk.
    p.sendFrame(2, b"\xff" * limit, chopsize=1)
    log = t.wirelog(p)
    assert log[:3] == [("TI", 1.5), ("TF", (limit, "0x" + "ff" * 64 + " ..."), 2, True, 0, None, None, 1, False),
                       ("TO", (1, "82"), False)]
    assert sum(e[0] in ("RO", "TO", "RF", "TF") for e in log) == limit
    assert log[-1] == ("WLM", False) and len(log) == limit + 2
    assert p.createWirelog is False
    # Counting goes on past the limit; only the log stops.
    p.sendFrame(1, b"x")
    assert t.tx_octet_stats(p) == {1: limit + 10, 3: 1}
    assert p.txFrameStats == {2: 1, 1: 1}
    p.killAfter(2.0)
    # Switched back on by the case, the next traffic entry switches it off again.
    p.enableWirelog(True)
    p.sendFrame(1, b"y")
    assert t.wirelog(p)[limit + 2:] == [("KL", 2.0), ("WLM", True), ("WLM", False)]
    assert p.createWirelog is False
