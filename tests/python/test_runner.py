"""One case driven end to end over loopback TCP against a peer written here."""
import asyncio
import base64
import contextlib
import os
import zlib

import pytest

import _testing_protocol
import _testing_runner as t
from frames import close_and_collect, frame, read_frame

pytestmark = pytest.mark.timeout(60)


class Case:
    DESCRIPTION = "desc"
    EXPECTATION = "exp"

    def __init__(self, p):
        self.p = p
        self.behavior = "OK"
        self.behaviorClose = "OK"
        self.reportTime = False
        self.reportCompressionRatio = False
        self.expected = {}
        self.expectedClose = {}
        self.received = []
        self.result = "fine"
        self.resultClose = "closed"
        self.trafficStats = None

    def onOpen(self):
        pass

    def onMessage(self, payload, isBinary):
        self.received.append(("message", payload, isBinary))

    def onPing(self, payload):
        self.received.append(("ping", payload))

    def onPong(self, payload):
        self.received.append(("pong", payload))

    def onClose(self, wasClean, code, reason):
        self.received.append(("close", wasClean, code, reason))

    def onConnectionLost(self, failed):
        self.received.append(("lost", failed))


async def run(peer, make_case, **kw):
    """Runs the case against `peer(reader, writer)`; returns (result, what the peer returned)."""
    peer_done = asyncio.get_running_loop().create_future()

    async def handle(reader, writer):
        try:
            peer_done.set_result(await peer(reader, writer))
        except Exception as e:  # noqa: BLE001 - reported to the test below
            peer_done.set_exception(e)
        finally:
            await close_and_collect(writer)

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    async with server:
        port = server.sockets[0].getsockname()[1]
        try:
            results = await t.run_case(port, make_case, **kw)
        except Exception:
            # The case's error is what the test looks at; the peer ends once the
            # connection is gone, and what it met (often a reset) is collected.
            await asyncio.wait([peer_done])
            peer_done.exception()
            raise
        seen = await peer_done
    assert len(results) == 1
    return results[0], seen


async def close_handshake(reader, writer, code=1000, reason=b""):
    """The peer closes first and collects the echo."""
    writer.write(frame(8, code.to_bytes(2, "big") + reason))
    return await read_frame(reader)


def codes(result):
    return [e[0] for e in result.wirelog]


async def run_until_released(peer, make_case):
    """Runs the case against `peer(reader, writer, released)`; `released` is set
    once the case has ended, so that the peer can hold the connection till then."""
    released = asyncio.Event()
    server = await asyncio.start_server(lambda r, w: peer(r, w, released), "127.0.0.1", 0)
    async with server:
        try:
            [r] = await t.run_case(server.sockets[0].getsockname()[1], make_case)
        finally:
            released.set()
    return r


async def reads_nothing(reader, writer, released):
    """Holds the connection, reading nothing, until the case has ended."""
    await released.wait()
    await close_and_collect(writer)


@pytest.mark.asyncio
@pytest.mark.parametrize("is_server", [False, True], ids=["client", "server"])
async def test_echo_then_peer_closes(is_server):
    class Echo(Case):
        def onOpen(self):
            self.p.sendMessage("hello")
            self.p.sendMessage(b"\x00\xff", isBinary=True)

    mask = b"\x01\x02\x03\x04" if is_server else None

    async def peer(reader, writer):
        got = [await read_frame(reader), await read_frame(reader)]
        for _, _, op, _, data in got:
            writer.write(frame(op, data, mask=mask))
        echo = await close_handshake(reader, writer, 1000, b"bye")
        return got, echo, await reader.read()

    r, (got, echo, rest) = await run(peer, Echo, is_server=is_server)
    assert [(op, masked, data) for _, _, op, masked, data in got] == [
        (1, not is_server, b"hello"), (2, not is_server, b"\x00\xff")]
    assert echo[2] == 8 and echo[4] == b"\x03\xe8"
    assert rest == b""
    case_received = r.received
    assert case_received == [("message", "hello", False), ("message", "\x00\xff", True),
                             ("close", True, 1000, "bye"), ("lost", False)]
    assert (r.was_clean, r.closed_by_me, r.dropped_by_me, r.failed_by_me) == (True, False, False, False)
    assert (r.remote_close_code, r.remote_close_reason) == (1000, "bye")
    assert (r.local_close_code, r.local_close_reason) == (1000, None)
    assert r.rx_frame_stats == {1: 1, 2: 1, 8: 1}
    assert r.tx_frame_stats == {1: 1, 2: 1, 8: 1}
    assert r.is_server is is_server and r.create_stats is True
    assert (r.case_id, r.case_index, r.agent, r.description, r.result) == ("1.1.1", 1, "peer", "desc", "fine")
    assert len(r.started) == 32 and r.started.endswith("+00:00") and r.started[19] == "."
    assert isinstance(r.duration, int) and r.duration >= 0
    assert {"RO", "RF", "TO", "TF"} <= set(codes(r))
    assert r.passed


@pytest.mark.asyncio
@pytest.mark.parametrize("is_server", [False, True], ids=["client", "server"])
async def test_many_chunks_and_a_large_message_arrive_intact(is_server):
    chopped = b"one octet per chunk " * 14
    big = bytes(range(256)) * 4096 + b"tail"  # past the size read without a copy

    class Bulk(Case):
        def onOpen(self):
            self.p.sendFrame(1, chopped, chopsize=1)
            self.p.sendMessage(big, isBinary=True)

        def onMessage(self, payload, isBinary):
            self.received.append((len(payload), payload == big.decode("latin-1"), isBinary))

    mask = b"\x01\x02\x03\x04" if is_server else None

    async def peer(reader, writer):
        small, large = await read_frame(reader), await read_frame(reader)
        # The echo and the close in one write: the close follows the large frame
        # in the same read.
        writer.write(frame(2, large[4], mask=mask) + frame(8, (1000).to_bytes(2, "big"), mask=mask))
        return small, large, await read_frame(reader)

    r, (small, large, echo) = await run(peer, Bulk, is_server=is_server)
    assert small == (True, 0, 1, not is_server, chopped)
    assert large[:4] == (True, 0, 2, not is_server) and large[4] == big
    assert echo[2] == 8 and echo[4] == b"\x03\xe8"
    assert r.received == [(len(big), True, True), ("close", True, 1000, ""), ("lost", False)]
    assert r.tx_octet_stats[1] == 4 + len(chopped) + (0 if is_server else 4)  # header, mask, payload


@pytest.mark.asyncio
async def test_ping_is_answered_and_pongs_reach_the_case():
    class Pinger(Case):
        def onOpen(self):
            self.p.sendFrame(9, b"from case")

    async def peer(reader, writer):
        ping = await read_frame(reader)
        writer.write(frame(10, ping[4]) + frame(9, b"p" * 200))
        pong = await read_frame(reader)
        await close_handshake(reader, writer)
        return ping, pong

    r, (ping, pong) = await run(peer, Pinger)
    assert ping[2] == 9 and ping[4] == b"from case"
    assert pong[2] == 10 and pong[4] == b"p" * 200
    assert r.received[:2] == [("pong", "from case"), ("ping", "p" * 200)]


@pytest.mark.asyncio
async def test_this_side_closes_first_through_the_close_deadline():
    class Closer(Case):
        def onOpen(self):
            self.p.closeAfter(0)

    async def peer(reader, writer):
        close = await read_frame(reader)
        writer.write(frame(8, close[4]) + frame(1, b"after close"))
        return close, await reader.read()

    r, (close, rest) = await run(peer, Closer)
    assert close[2] == 8 and close[4] == b"\x03\xe8"
    assert rest == b""  # no echo of the reply
    assert (r.closed_by_me, r.was_clean, r.local_close_code) == (True, True, 1000)
    assert "TIE" in codes(r) and "TI" in codes(r)
    assert r.rx_frame_stats == {8: 1}  # the frame behind the close is never taken
    assert ("message", "after close", False) not in r.received


@pytest.mark.asyncio
async def test_kill_deadline_writes_nothing_and_drops():
    class Killer(Case):
        def onOpen(self):
            self.p.sendMessage("never sent")
            self.p.killAfter(0)
            self.p.closeAfter(0)

    async def peer(reader, writer):
        return await reader.read()

    r, rest = await run(peer, Killer)
    assert rest == b""
    assert r.received == [("lost", True)]
    assert (r.failed_by_me, r.dropped_by_me) == (True, True)
    assert "KLE" in codes(r) and "TIE" not in codes(r)


@pytest.mark.asyncio
async def test_kill_deadline_ends_a_write_the_peer_does_not_take():
    class Flooder(Case):
        def onOpen(self):
            self.p.killAfter(0.3)
            self.p.sendMessage(b"x" * (48 << 20), isBinary=True)

    r = await run_until_released(reads_nothing, Flooder)
    assert r.received == [("lost", True)]
    assert (r.failed_by_me, r.dropped_by_me) == (True, True)
    assert codes(r)[-1] == "KLE"


@pytest.mark.asyncio
async def test_a_peer_that_stops_reading_is_dropped_and_the_result_says_why():
    class Flooder(Case):
        def onOpen(self):
            self.p.sendMessage(b"x" * (48 << 20), isBinary=True)

    async def chatty(reader, writer, released):
        while not released.is_set():  # reads nothing either, but keeps sending
            writer.write(frame(9, b"p"))
            await asyncio.sleep(0.1)
        await close_and_collect(writer)

    # What the peer sends while the write waits does not count as the peer
    # taking octets: both stall alike.
    quiet, talking = await asyncio.gather(run_until_released(reads_nothing, Flooder),
                                          run_until_released(chatty, Flooder))
    for r in (quiet, talking):
        assert r.received == [("lost", True)]
        assert (r.dropped_by_me, r.failed_by_me, r.was_clean) == (True, False, False)
        assert r.was_not_clean_reason == "write timed out: the peer took no octets for 10 s"
    assert talking.rx_octet_stats and talking.rx_frame_stats == {}  # read while writing, never dispatched


@pytest.mark.asyncio
async def test_a_peer_that_takes_nothing_cannot_put_off_the_stall_by_sending():
    class Flooder(Case):
        def onOpen(self):
            self.p.sendMessage(b"x" * (48 << 20), isBinary=True)

    released = asyncio.Event()
    pings = 0

    async def trickler(reader, writer):
        nonlocal pings
        # Reads nothing; its kernel takes nothing after the first moments. A ping
        # every 9 s, inside the stall limit: reading one lets the case's send
        # buffer take a few more octets, which the peer never gets.
        while not released.is_set():
            writer.write(frame(9, b"p"))
            pings += 1
            with contextlib.suppress(TimeoutError):
                await asyncio.wait_for(released.wait(), 9)
        await close_and_collect(writer)

    server = await asyncio.start_server(trickler, "127.0.0.1", 0)
    async with server:
        try:
            [r] = await asyncio.wait_for(t.run_case(server.sockets[0].getsockname()[1], Flooder), 45)
        finally:
            released.set()
    assert r.received == [("lost", True)]
    assert (r.dropped_by_me, r.failed_by_me, r.was_clean) == (True, False, False)
    assert r.was_not_clean_reason == "write timed out: the peer took no octets for 10 s"
    assert pings < 3  # dropped some 10 s after the peer last took octets, long before its 18 s ping


@pytest.mark.asyncio
async def test_a_write_that_waits_reads_ahead_at_most_one_largest_frame():
    limit = (64 << 20) + 14

    class Writer(Case):
        def onOpen(self):
            self.p.createWirelog = False
            self.p.killAfter(2)
            self.p.sendMessage(b"x" * (32 << 20), isBinary=True)

    async def sends_more_than_the_limit(reader, writer, released):
        writer.write(frame(2, b"f" * (16 << 20)) * 5)
        await reads_nothing(reader, writer, released)

    r = await run_until_released(sends_more_than_the_limit, Writer)
    read = sum(size * count for size, count in r.rx_octet_stats.items())
    assert (16 << 20) < read <= limit
    assert r.rx_frame_stats == {}  # read while writing, never dispatched: the kill came first
    assert (r.failed_by_me, r.dropped_by_me) == (True, True)


# A hundred thousand log entries take most of a minute under ThreadSanitizer.
@pytest.mark.timeout(300)
@pytest.mark.asyncio
async def test_a_flood_of_empty_frames_stops_the_log_but_not_the_counts():
    limit = _testing_protocol.traffic_log_limit
    n = limit + 1000

    async def peer(reader, writer):
        writer.write(frame(0, fin=False) * n)  # continuations of no message: ignored
        return await close_handshake(reader, writer)

    r, echo = await run(peer, Case)
    switch = r.wirelog.index(("WLM", False))
    assert sum(e[0] in ("RO", "RF") for e in r.wirelog[:switch]) == limit
    assert not any(e[0] in ("RO", "TO", "RF", "TF") for e in r.wirelog[switch + 1:])
    assert r.create_wirelog is False
    assert r.rx_frame_stats == {0: n, 8: 1}
    assert r.was_clean and echo[2] == 8


@pytest.mark.asyncio
async def test_kill_deadline_ends_a_case_inside_a_large_inflation():
    # Millions of empty DEFLATE streams in one message: inflating them outlasts the
    # deadline, which must end the case as it does between turns.
    class Inflating(Case):
        def __init__(self, p):
            super().__init__(p)
            t.install_deflate(p)

        def onOpen(self):
            self.p.killAfter(0.05)

    bomb = b"\x01\x00\x00\xff\xff" * (6 << 20)

    async def peer(reader, writer):
        writer.write(frame(2, bomb, rsv=4))
        try:
            await writer.drain()
            return await reader.read()
        except ConnectionError:  # the kill may cut the frame short
            return b""

    r, rest = await run(peer, Inflating)
    assert rest == b""
    assert r.received == [("lost", True)]
    assert (r.failed_by_me, r.dropped_by_me) == (True, True)
    assert codes(r).count("KLE") == 1 and codes(r)[-1] == "KLE"


@pytest.mark.asyncio
async def test_timers_fire_in_registration_order_and_can_send():
    class Timed(Case):
        def onOpen(self):
            self.p.continueLater(0, lambda: self.p.sendMessage("first"), "a")
            self.p.continueLater(0, self.second)

        def second(self):
            self.p.sendMessage("second")
            self.p.continueLater(0, lambda: self.p.sendClose(1000), "c")

    async def peer(reader, writer):
        got = [await read_frame(reader) for _ in range(3)]
        writer.write(frame(8, got[2][4]))
        return got

    r, got = await run(peer, Timed)
    assert [f[4] for f in got] == [b"first", b"second", b"\x03\xe8"]
    assert [e[1] for e in r.wirelog if e[0] == "CTE"] == ["a", None, "c"]
    assert r.was_clean and r.closed_by_me


@pytest.mark.asyncio
async def test_fragmented_messages_plain_and_compressed():
    class Compressing(Case):
        def __init__(self, p):
            super().__init__(p)
            t.install_deflate(p)

    text = ("fragmented " * 500).encode()
    co = zlib.compressobj(wbits=-15)
    packed = co.compress(text) + co.flush(zlib.Z_SYNC_FLUSH)
    assert packed.endswith(b"\x00\x00\xff\xff")
    packed = packed[:-4]
    third = len(packed) // 3

    async def peer(reader, writer):
        writer.write(frame(1, b"a", fin=False) + frame(9, b"!") + frame(2, b"b")
                     + frame(0, b"c", fin=True)
                     + frame(1, packed[:third], fin=False, rsv=4)
                     + frame(0, packed[third:2 * third], fin=False)
                     + frame(0, packed[2 * third:], fin=True)
                     + frame(0, b"stray"))
        pong = await read_frame(reader)
        await close_handshake(reader, writer)
        return pong

    r, pong = await run(peer, Compressing)
    assert pong[4] == b"!"
    assert r.received[:4] == [("ping", "!"), ("message", "b", True), ("message", "ac", False),
                              ("message", text, False)]


@pytest.mark.asyncio
async def test_callback_exceptions_become_the_error_of_the_case():
    class BadMessage(Case):
        def onMessage(self, payload, isBinary):
            raise ValueError("bad message " + payload)

    class BadLost(Case):
        def onConnectionLost(self, failed):
            raise KeyError("lost")

    async def peer(reader, writer):
        writer.write(frame(1, b"x"))
        return await reader.read()

    class BadTimer(Case):
        def onOpen(self):
            self.p.continueLater(0, lambda: 1 / 0)
            self.p.continueLater(0, lambda: self.received.append("never"))

    class BadDeflate(Case):
        def onOpen(self):
            t.install_deflate(self.p)

    async def silent(reader, writer):
        return None

    async def bad_compressed(reader, writer):
        writer.write(frame(1, b"\xff\xff\xff\xff", rsv=4))
        return await reader.read()

    with pytest.raises(ValueError, match="bad message x"):
        await run(peer, BadMessage)
    with pytest.raises(KeyError):
        await run(silent, BadLost)
    with pytest.raises(ZeroDivisionError):
        await run(silent, BadTimer)
    with pytest.raises(ValueError):
        await run(bad_compressed, BadDeflate)


@pytest.mark.asyncio
async def test_misbehaving_peers():
    async def reserved_opcode(reader, writer):
        writer.write(frame(1, b"ok") + bytes([0x83, 0x00]))
        return await reader.read()

    r, _ = await run(reserved_opcode, Case)
    assert r.received == [("message", "ok", False), ("lost", False)]
    assert not r.was_clean

    async def vanishes(reader, writer):
        writer.write(frame(1, b"partial frame")[:5])
        return None

    r, _ = await run(vanishes, Case)
    assert r.received == [("lost", False)] and not r.was_clean

    async def huge(reader, writer):
        writer.write(frame(2, b"", length=1 << 62))
        return await reader.read()

    with pytest.raises(ValueError, match="more than"):
        await run(huge, Case)

    async def endless_fragments(reader, writer):
        writer.write(frame(2, b"", fin=False))
        chunk = frame(0, b"z" * (1 << 20), fin=False)
        try:
            for _ in range(80):
                writer.write(chunk)
                await writer.drain()
        except ConnectionError:
            pass

    with pytest.raises(ValueError, match="fragmented message"):
        await run(endless_fragments, Case)


@pytest.mark.asyncio
async def test_result_build_reads_case_attributes_without_the_connection_locked():
    class Reentrant(Case):
        @property
        def behavior(self):
            self.p.sendMessage("from a property")  # needs the connection state
            return "NON-STRICT"

        @behavior.setter
        def behavior(self, value):
            pass

        def onOpen(self):
            self.p.closeAfter(0)

    async def peer(reader, writer):
        close = await read_frame(reader)
        writer.write(frame(8, close[4]))
        return None

    r, _ = await run(peer, Reentrant)
    assert repr(r).startswith('CaseResult(case_id="1.1.1", behavior="NON-STRICT"')

    class BadLabel(Case):
        def onOpen(self):
            self.behavior = "ok"
            self.reportTime = 1  # later step: the label error wins
            self.p.closeAfter(0)

    with pytest.raises(ValueError, match="^unexpected behavior "):
        await run(peer, BadLabel)


@pytest.mark.asyncio
async def test_against_a_websockets_server():
    websockets = pytest.importorskip("websockets.asyncio.server")

    async def echo(ws):
        async for message in ws:
            await ws.send(message)

    class Talk(Case):
        def onOpen(self):
            self.p.sendMessage("hi there")

        def onMessage(self, payload, isBinary):
            super().onMessage(payload, isBinary)
            self.p.sendClose(1000, "done")

    async with websockets.serve(echo, "127.0.0.1", 0) as server:
        port = server.sockets[0].getsockname()[1]
        key = base64.b64encode(os.urandom(16)).decode()
        request = (f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                   f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n")
        results = await t.run_case(port, Talk, preamble=request.encode(), read_head=True)
    r = results[0]
    assert r.received == [("message", "hi there", False), ("close", True, 1000, "done"), ("lost", False)]
    assert r.was_clean and r.closed_by_me
