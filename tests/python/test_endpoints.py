import asyncio
import os
import socket
import sys
import threading

import pytest
import websockets

import varnel
import varnel._varnel as v
import varnel.cases
import varnel.cases.case
from varnel.cases import CASES

from frames import accept_upgrade, close_and_collect, frame, read_frame, request_case

pytestmark = [pytest.mark.asyncio, pytest.mark.timeout(120)]


async def echo(ws):
    try:
        async for message in ws:
            await ws.send(message)
    except websockets.ConnectionClosed:
        pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---- client mode


@pytest.mark.parametrize("concurrency", [0, 3])
async def test_bundled_cases_pass_against_an_echo_server(concurrency):
    async with websockets.serve(echo, "127.0.0.1", 0, compression=None) as srv:
        port = srv.sockets[0].getsockname()[1]
        results = await v.run_fuzzingclient(f"127.0.0.1:{port}", concurrency=concurrency)
    assert [r.case_index for r in results] == list(range(1, len(CASES) + 1))
    assert all(r.passed for r in results)
    first = results[0]
    assert first.http_request.startswith("GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % port)
    assert first.http_request.endswith("Sec-WebSocket-Version: 13")
    assert first.http_response.startswith("HTTP/1.1 101 ")


async def test_nothing_listening_gives_error_results_and_failure():
    port = free_port()
    with pytest.raises(varnel.FailureError) as info:
        await v.run_fuzzingclient(f"ws://127.0.0.1:{port}/", cases=["1.1.*"])
    results = info.value.results
    assert [r.case_index for r in results] == [1, 2, 3]
    for r in results:
        assert r.result.startswith("connect: ")
        assert (r.behavior, r.behavior_close) == (v.Behavior.ERROR, v.BehaviorClose.FAILED)
        assert r.agent == f"127.0.0.1:{port}"


async def raw_server(reply):
    """A one-shot TCP server that reads a request head and answers `reply`
    (a list: its pieces written apart)."""
    seen = []

    async def handle(reader, writer):
        seen.append(await reader.readuntil(b"\r\n\r\n"))
        for piece in reply if isinstance(reply, list) else [reply]:
            writer.write(piece)
            await writer.drain()
            await asyncio.sleep(0.05)
        await close_and_collect(writer)  # the client may have reset it

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    return server, server.sockets[0].getsockname()[1], seen


@pytest.mark.parametrize(
    "reply, text",
    [
        (b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "handshake: expected HTTP 101, got 200 OK"),
        (b"HTTP/1.1 101 Switching", "handshake: peer closed during handshake"),
        (b"HTTP/1.1 101 X\r\n" + b"A: b\r\n" * 65 + b"\r\n", "handshake: too many headers"),
        # A long line whose fault arrives in a piece of its own, then the end.
        ([b"HTTP/1.1 101 X\r\nA: " + b"b" * 6000, b"\x01"], "handshake: invalid HTTP response head"),
    ],
)
async def test_bad_handshake_answers_become_error_results(reply, text):
    server, port, seen = await raw_server(reply)
    async with server:
        with pytest.raises(varnel.FailureError) as info:
            await v.run_fuzzingclient(f"ws://127.0.0.1:{port}/chat?x=1#top", cases=["1.1.1"])
    assert info.value.results[0].result == text
    assert seen[0].startswith(b"GET /chat?x=1 HTTP/1.1\r\n")
    assert b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" in seen[0]


# ---- handshake heads around the size limit: one outcome per head, however split

HEAD_LIMIT = 64 << 10
HEAD_SIZES = [65535, 65536, 65537, 65538, 66000]


def padded_head(first_lines, size):
    """A head of exactly `size` octets: `first_lines` (each ending in CR LF),
    padding header lines, the blank line."""
    head = first_lines
    while len(head) + 2 < size:
        left = size - 2 - len(head)
        line = min(left, 4000)
        if left > line and left - line < 10:
            line = left - 10  # room for one more whole line
        head += b"X-Pad: " + b"p" * (line - 9) + b"\r\n"
    return head + b"\r\n"


def head_pieces(head):
    """The head whole, and split in two around the limit and around its end."""
    size = len(head)
    cuts = {1, HEAD_LIMIT - 1, HEAD_LIMIT, HEAD_LIMIT + 1, size - 3, size - 1}
    return [[head]] + [[head[:at], head[at:]] for at in sorted(cuts) if 0 < at < size]


async def send_pieces(writer, pieces):
    try:
        for piece in pieces:
            writer.write(piece)
            await writer.drain()
            await asyncio.sleep(0.02)  # the engine reads one piece before the next comes
    except ConnectionError:
        pass  # refused: the engine closed while the head was still coming


async def test_client_reads_or_refuses_a_long_head_alike_however_it_is_split():
    async def outcome(head, pieces):
        async def handle(reader, writer):
            await reader.readuntil(b"\r\n\r\n")
            await send_pieces(writer, pieces)
            writer.close()

        server = await asyncio.start_server(handle, "127.0.0.1", 0)
        async with server:
            try:
                await v.run_fuzzingclient(f"127.0.0.1:{server.sockets[0].getsockname()[1]}", cases=["1.1.1"])
            except varnel.FailureError as e:  # the server closes at once: the case fails
                [r] = e.results
        if r.result.startswith("handshake: "):
            return r.result
        return len(r.http_response)

    for size in HEAD_SIZES:
        head = padded_head(b"HTTP/1.1 101 Switching Protocols\r\n", size)
        want = size - 4 if size <= HEAD_LIMIT else "handshake: handshake head too large"
        got = await asyncio.gather(*(outcome(head, pieces) for pieces in head_pieces(head)))
        assert got == [want] * len(got), size


async def test_server_reads_or_refuses_a_long_head_alike_however_it_is_split():
    async def outcome(port, pieces):
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        await send_pieces(writer, pieces)
        try:
            data = await reader.read()  # until the server closes
        except ConnectionError:
            data = b""
        await close_and_collect(writer)
        return "answered" if data.startswith(b"HTTP/1.1 101 ") else data

    async with v.run_fuzzingserver(cases=["1.1.*"], port=0) as server:
        for size in HEAD_SIZES:
            head = padded_head(b"GET /getCaseCount HTTP/1.1\r\n"
                               b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n", size)
            want = "answered" if size <= HEAD_LIMIT else b""  # closed without a response
            got = await asyncio.gather(*(outcome(server.port, pieces) for pieces in head_pieces(head)))
            assert got == [want] * len(got), size


async def test_selection_and_url_errors():
    with pytest.raises(ValueError, match="no such case: 1.1.999"):
        await v.run_fuzzingclient("wss://x", cases=["1.1.999"])
    with pytest.raises(ValueError, match=r'^invalid url scheme "wss": expected ws or http \(or none\)$'):
        await v.run_fuzzingclient("wss://x", exclude_cases=["*"])
    with pytest.raises(ValueError, match='^invalid url "ws://": empty host$'):
        await v.run_fuzzingclient("ws://")
    with pytest.raises(TypeError, match="url"):
        await v.run_fuzzingclient(5)
    with pytest.raises(TypeError, match="cases"):
        await v.run_fuzzingclient("ws://x", cases="1.1.1")
    with pytest.raises(OverflowError, match="concurrency"):
        await v.run_fuzzingclient("ws://x", concurrency=-1)
    with pytest.raises(TypeError):
        v.run_fuzzingclient()
    assert await v.run_fuzzingclient("127.0.0.1:1", exclude_cases=["*"]) == []


async def test_entry_function_signatures():
    assert v.run_fuzzingclient.__text_signature__ == "(url, cases=None, exclude_cases=None, concurrency=1)"
    assert v.run_fuzzingserver.__text_signature__ == "(cases=None, exclude_cases=None, *, host=None, port=9001)"
    assert v.run_fuzzingclient.__doc__.startswith("Run the WebSocket conformance test cases")
    coro = v.run_fuzzingclient(1)
    assert (coro.__name__, coro.__qualname__) == ("run_fuzzingclient", "run_fuzzingclient")
    coro.close()
    with pytest.raises(TypeError):
        v.run_fuzzingserver(None, None, None)
    with pytest.raises(TypeError):
        v.FuzzingServer()


async def test_cancelled_run_lets_started_cases_finish_in_the_background():
    loop = asyncio.get_running_loop()
    reported = []
    loop.set_exception_handler(lambda _loop, context: reported.append(context))
    connected = asyncio.Event()
    all_finished = asyncio.Event()
    finished = []

    async def handler(ws):
        connected.set()
        await echo(ws)
        finished.append(True)
        if len(finished) == 3:
            all_finished.set()

    async with websockets.serve(handler, "127.0.0.1", 0, compression=None) as srv:
        port = srv.sockets[0].getsockname()[1]
        run = asyncio.create_task(v.run_fuzzingclient(f"127.0.0.1:{port}", cases=["1.1.*"], concurrency=1))
        await connected.wait()
        run.cancel()
        with pytest.raises(asyncio.CancelledError):
            await run
        # One case at a time: the later cases connect only if nothing was cancelled.
        await asyncio.wait_for(all_finished.wait(), 60)
    loop.set_exception_handler(None)
    assert reported == []


# ---- server mode


async def echo_case(port, n, agent="probe", path="/"):
    async with websockets.connect(f"ws://127.0.0.1:{port}{path}?case={n}&agent={agent}", compression=None) as ws:
        try:
            async for message in ws:
                await ws.send(message)
        except websockets.ConnectionClosed:
            pass


async def drive_client(port, agent="probe"):
    base = f"ws://127.0.0.1:{port}"
    async with websockets.connect(base + "/getCaseCount", compression=None) as ws:
        count = int(await ws.recv())
    for n in range(1, count + 1):
        await echo_case(port, n, agent, path="/runCase")
    async with websockets.connect(base + "/updateReports", compression=None):
        pass
    return count


async def test_server_runs_every_case_for_a_websockets_client():
    async with v.run_fuzzingserver(cases=["1.*", "7.*"], port=0) as server:
        assert server.address == "127.0.0.1"
        count = await drive_client(server.port)
        results = await server.get_result()
    assert count == len(results) == 7
    assert [r.case_index for r in results] == list(range(1, 8))
    assert all(r.is_server and r.agent == "probe" for r in results)
    assert all(r.passed for r in results), [(r.case_id, r.result, r.result_close) for r in results]
    assert results[0].http_response.startswith("HTTP/1.1 101 Switching Protocols")


async def test_case_count_reply_is_exact_on_the_wire():
    async with v.run_fuzzingserver(cases=["1.1.*"], port=0) as server:
        reader, writer = await asyncio.open_connection("127.0.0.1", server.port)
        writer.write(b"GET /getCaseCount?case=3 HTTP/1.1\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
        data = await reader.read()  # until the server closes
        writer.close()
    head, _, frames = data.partition(b"\r\n\r\n")
    assert b"Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=" in head
    assert frames == b"\x81\x013\x88\x02\x03\xe8"


async def test_long_head_sent_in_small_pieces_is_answered():
    pad = b"X-Pad: " + b"p" * 9000 + b"\r\n"
    request = b"GET /getCaseCount HTTP/1.1\r\n" + pad + b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n"
    async with v.run_fuzzingserver(cases=["1.1.*"], port=0) as server:
        reader, writer = await asyncio.open_connection("127.0.0.1", server.port)
        for at in range(0, len(request), 700):
            writer.write(request[at:at + 700])
            await writer.drain()
            await asyncio.sleep(0.002)
        data = await reader.read()
        writer.close()
    assert data.startswith(b"HTTP/1.1 101 ") and data.endswith(b"\x81\x013\x88\x02\x03\xe8")


async def test_requests_without_key_or_case_get_no_response():
    async with v.run_fuzzingserver(cases=["1.1.*"], port=0) as server:
        for request in [
            b"GET /getCaseCount HTTP/1.1\r\n\r\n",
            b"GET /?case=4 HTTP/1.1\r\nSec-WebSocket-Key: k\r\n\r\n",
            b"GET /?case=+1 HTTP/1.1\r\nSec-WebSocket-Key: k\r\n\r\n",
            b"GET /?case=1 HTTP/1.2\r\nSec-WebSocket-Key: k\r\n\r\n",
            b"not http at all\r\n\r\n",
        ]:
            reader, writer = await asyncio.open_connection("127.0.0.1", server.port)
            writer.write(request)
            assert await reader.read() == b""
            writer.close()


async def test_server_failures_and_lifecycle():
    server = v.run_fuzzingserver(port=0)
    with pytest.raises(RuntimeError, match="server not started yet"):
        server.port
    with pytest.raises(RuntimeError, match=r"get_result\(\) needs an active server"):
        await server.get_result()
    assert await server.__aexit__() is False

    async with v.run_fuzzingserver(port=0) as first:
        with pytest.raises(RuntimeError, match="fuzzingserver already started"):
            await first.__aenter__()
        taken = v.run_fuzzingserver(port=first.port)
        with pytest.raises(OSError, match=rf"^bind 127.0.0.1:{first.port}: "):
            await taken.__aenter__()
    # Left without a result: stopped, nothing raised, nothing recorded.
    assert await first.get_result() == []

    with pytest.raises(ValueError, match="no such case: 99"):
        v.run_fuzzingserver(cases=["99"])


async def test_leaving_the_context_ends_the_run_for_a_waiting_get_result():
    async with v.run_fuzzingserver(cases=["1.1.1", "1.1.2"], port=0) as server:
        waiting = asyncio.create_task(server.get_result())
        await asyncio.sleep(0)  # its first step takes the run's handle
        await echo_case(server.port, 2)
        await echo_case(server.port, 1)
    results = await waiting
    # Drained and finalised as "/updateReports" would: both results, in case order.
    assert [r.case_index for r in results] == [1, 2]
    assert all(r.passed for r in results)
    assert [r.case_index for r in await server.get_result()] == [1, 2]


async def test_failing_case_and_raising_constructor_in_server_mode():
    async def close_at_once(port, n):
        async with websockets.connect(f"ws://127.0.0.1:{port}/?case={n}", compression=None):
            pass

    async with v.run_fuzzingserver(cases=["1.1.2"], port=0) as server:
        await close_at_once(server.port, 1)
        async with websockets.connect(f"ws://127.0.0.1:{server.port}/updateReports"):
            pass
        with pytest.raises(varnel.FailureError) as info:
            await server.get_result()
    assert [r.case_id for r in info.value.results] == ["1.1.2"]
    assert info.value.results[0].agent.startswith("Python/")


class RaisingConstructor:
    def __init__(self, p):
        raise RuntimeError("boom in __init__")


class RefusingNegotiation(CASES["1.1.1"]):
    def __init__(self, p):
        super().__init__(p)
        p.perMessageCompressionAccept = lambda offers: "not an acceptance"


async def unanswered_case(port, n, agent="probe"):
    """Requests case n, offering compression; the server must close without a response."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(f"GET /?case={n}&agent={agent} HTTP/1.1\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                 "Sec-WebSocket-Extensions: permessage-deflate\r\n\r\n".encode())
    assert await reader.read() == b""
    writer.close()
    await writer.wait_closed()


@pytest.mark.parametrize("faulty, text", [
    (RaisingConstructor, "boom in __init__"),
    (RefusingNegotiation, "'str' object is not an instance of 'PerMessageDeflateOfferAccept'"),
], ids=["constructor", "negotiation"])
async def test_a_case_that_fails_to_set_up_is_an_error_result_and_the_run_goes_on(monkeypatch, faulty, text):
    index = {**CASES, "2.3": faulty}
    monkeypatch.setattr(varnel.cases, "CASES", index)
    async with v.run_fuzzingserver(port=0) as server:
        # Last case first: the results come back in case order all the same.
        for n in range(len(index), 0, -1):
            if n == 8:
                await unanswered_case(server.port, n)
            else:
                await echo_case(server.port, n)
        async with websockets.connect(f"ws://127.0.0.1:{server.port}/updateReports"):
            pass
        with pytest.raises(varnel.FailureError) as info:
            await server.get_result()
    results = info.value.results
    assert len(results) == 10
    assert [r.case_index for r in results] == list(range(1, 11))
    assert [r.case_id for r in results] == sorted(index, key=lambda i: [int(p) for p in i.split(".")])
    failed = results[7]
    assert (failed.case_id, failed.result, failed.agent) == ("2.3", text, "probe")
    assert (failed.behavior, failed.behavior_close) == (v.Behavior.ERROR, v.BehaviorClose.FAILED)
    assert (failed.is_server, failed.duration, failed.http_request, failed.wirelog) == (False, 0, "", [])
    assert all(r.passed for r in results if r is not failed), [(r.case_id, r.result) for r in results]
    assert str(info.value).splitlines() == [
        "1 of 10 cases failed:", f"  2.3: behavior=ERROR, behaviorClose=FAILED \u2014 {text}"]
    assert await server.get_result() == results


async def test_results_are_in_case_order_when_the_run_was_not_ended():
    async with v.run_fuzzingserver(cases=["1.1.1", "1.1.2"], port=0) as server:
        await echo_case(server.port, 2)
        await echo_case(server.port, 1)
    # Stopped by leaving the context: not judged, but sorted.
    assert [r.case_index for r in await server.get_result()] == [1, 2]


async def test_a_server_runs_once():
    async with v.run_fuzzingserver(cases=["1.1.1"], port=0) as finished:
        await drive_client(finished.port)
        results = await finished.get_result()
    with pytest.raises(RuntimeError, match=r"^FuzzingServer runs once: create a new one with run_fuzzingserver\(\)$"):
        async with finished:
            pass
    assert await finished.get_result() == results

    stopped = v.run_fuzzingserver(port=0)
    async with stopped:
        pass
    with pytest.raises(RuntimeError, match="^FuzzingServer runs once"):
        await stopped.__aenter__()

    # A failed entry is no entry: the same object starts once the port is free.
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        port = holder.getsockname()[1]
        retried = v.run_fuzzingserver(cases=["1.1.1"], port=port)
        with pytest.raises(OSError, match=rf"^bind 127.0.0.1:{port}: "):
            await retried.__aenter__()
    async with retried:
        assert retried.port == port
        await drive_client(port)
        assert [r.case_id for r in await retried.get_result()] == ["1.1.1"]


async def test_one_of_two_threads_entering_at_once_enters():
    def enter(server, barrier):
        async def go():
            barrier.wait()
            try:
                await server.__aenter__()
                return "entered"
            except RuntimeError as e:
                return str(e)
        return asyncio.run(go())  # each thread its own event loop

    wrong = []
    for attempt in range(30):
        server = v.run_fuzzingserver(port=0)
        barrier = threading.Barrier(2, timeout=60)
        outcomes = await asyncio.gather(*(asyncio.to_thread(enter, server, barrier) for _ in range(2)))
        await server.__aexit__()
        if sorted(outcomes) != ["entered", "fuzzingserver already started"]:
            wrong.append((attempt, outcomes))
    assert wrong == []


async def test_ipv6_loopback_binds():
    if not socket.has_ipv6:
        pytest.skip("no IPv6")
    try:
        async with v.run_fuzzingserver(host="::1", port=0) as server:
            assert server.address == "::1"
    except OSError as e:
        pytest.skip(str(e))


# A server run in a process with few descriptors to spare. Prints its port, then
# the outcome of the run.
SERVER_SHORT_OF_DESCRIPTORS = """
import asyncio, os, resource
import varnel._varnel as v

async def main():
    async with v.run_fuzzingserver(cases=["1.1.2"], port=0) as server:
        in_use = len(os.listdir("/proc/self/fd"))
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (in_use + 16, hard))
        print(server.port, flush=True)
        try:
            results = await server.get_result()
        except Exception as e:
            print(type(e).__name__, e, flush=True)
            return
    print("results", [(r.case_id, r.passed) for r in results], flush=True)

asyncio.run(main())
"""


# UBSan's dynamic type check opens a pipe, and aborts the process when it cannot.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer runtime needs descriptors of its own")
async def test_server_run_outlives_running_out_of_descriptors():
    child = await asyncio.create_subprocess_exec(
        sys.executable, "-c", SERVER_SHORT_OF_DESCRIPTORS, stdout=asyncio.subprocess.PIPE)
    try:
        port = int(await child.stdout.readline())
        # Many more idle connections than the server has descriptors for: its
        # accepts fail until these go away.
        idle = []
        for _ in range(100):
            _, writer = await asyncio.open_connection("127.0.0.1", port)
            idle.append(writer)
        await asyncio.sleep(0.5)
        for writer in idle:
            writer.close()
        count = await drive_client(port)
        outcome = (await child.stdout.readline()).decode().strip()
        await child.wait()
    finally:
        if child.returncode is None:
            child.kill()
            await child.wait()
    assert count == 1
    assert outcome == "results [('1.1.2', True)]"


# ---- peers that read nothing more while their own write is blocked
#
# Each reads one message, writes its echo and awaits that write before reading
# the next (asyncio stops reading the socket once its own buffer is full). A case
# that queues two large messages at once then only finishes if the engine goes
# on reading while its own write of the second message waits.

LARGE = 16 << 20


async def echo_awaiting_each_write(reader, writer, mask):
    """Echoes every message, each write awaited before the next read; answers a close."""
    while True:
        _, _, opcode, _, data = await read_frame(reader)
        writer.write(frame(opcode, data, mask=os.urandom(4) if mask else None))
        await writer.drain()
        if opcode == 8:
            return


def two_large_messages_case():
    text = "t" * LARGE
    data = bytes(range(256)) * (LARGE // 256)

    class TwoLarge(varnel.cases.case.Case):
        def onOpen(self):
            self.p.killAfter(60)
            self.p.sendMessage(text)
            self.p.sendMessage(data, isBinary=True)

        def onMessage(self, payload, isBinary):
            self.received.append((len(payload), isBinary))
            if len(self.received) == 2:
                got_text, got_data = self.received
                self.behavior = "OK" if (got_text, got_data) == ((LARGE, False), (LARGE, True)) else "FAILED"
                self.p.sendClose(1000)

    return TwoLarge


@pytest.mark.timeout(60)
async def test_client_keeps_reading_while_a_server_awaits_its_echo(monkeypatch):
    monkeypatch.setattr(varnel.cases, "CASES", {"1.1.1": two_large_messages_case()})

    async def handle(reader, writer):
        await accept_upgrade(reader, writer)
        try:
            await echo_awaiting_each_write(reader, writer, mask=False)
        finally:
            await close_and_collect(writer)

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    async with server:
        [r] = await v.run_fuzzingclient(f"ws://127.0.0.1:{server.sockets[0].getsockname()[1]}/")
    assert r.received == [(LARGE, False), (LARGE, True)], r.was_not_clean_reason
    assert (r.behavior, r.dropped_by_me, r.was_clean) == (v.Behavior.OK, False, True)


@pytest.mark.timeout(60)
async def test_server_keeps_reading_while_a_client_awaits_its_echo(monkeypatch):
    monkeypatch.setattr(varnel.cases, "CASES", {"1.1.1": two_large_messages_case()})
    async with v.run_fuzzingserver(port=0) as server:
        reader, writer = await request_case(server.port, 1)
        try:
            await echo_awaiting_each_write(reader, writer, mask=True)
        finally:
            await close_and_collect(writer)
        async with websockets.connect(f"ws://127.0.0.1:{server.port}/updateReports"):
            pass
        [r] = await server.get_result()
    assert r.received == [(LARGE, False), (LARGE, True)], r.was_not_clean_reason
    assert (r.behavior, r.dropped_by_me, r.was_clean) == (v.Behavior.OK, False, True)
