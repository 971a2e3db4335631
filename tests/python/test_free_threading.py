"""Runs, callbacks and shared objects used from many Python threads at once.

These matter most on the free-threaded interpreter, where nothing serialises the
threads; they run on the GIL build too. Every wait is bounded, so a lost wake-up
fails the test instead of hanging it.
"""
import asyncio
import subprocess
import sys
import sysconfig
import threading
import time

import pytest
import websockets
from websockets.sync.server import serve as sync_serve

import varnel.cases
import varnel._varnel as v
from varnel.cases.case import EchoCase

pytestmark = pytest.mark.timeout(120)

free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THREADS = 3
CASES_PER_RUN = 4
WAIT = 30  # seconds any one barrier waits before it breaks


def in_threads(count, target):
    """Runs target(i) on `count` threads started together; returns the values in
    order and re-raises the first error."""
    values, errors = [None] * count, []
    start = threading.Barrier(count, timeout=WAIT)

    def body(i):
        try:
            start.wait()
            values[i] = target(i)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(WAIT * 4)
    assert not any(t.is_alive() for t in threads), "a thread did not finish"
    if errors:
        raise errors[0]
    return values


def meeting_case(barrier):
    """An echo case whose onOpen waits until `barrier.parties` onOpen calls wait
    together: it passes only if that many callbacks overlap in time."""

    class Meeting(EchoCase):
        MESSAGES = [("meet", False), (b"\x00\xff", True)]

        def onOpen(self):
            barrier.wait()
            super().onOpen()

    return Meeting


@pytest.fixture
def echo_url():
    def echo(ws):
        try:
            for message in ws:
                ws.send(message)
        except websockets.ConnectionClosed:
            pass

    with sync_serve(echo, "127.0.0.1", 0, compression=None) as server:
        thread = threading.Thread(target=server.serve_forever)
        thread.start()
        try:
            yield f"ws://127.0.0.1:{server.socket.getsockname()[1]}"
        finally:
            server.shutdown()
            thread.join(WAIT)


@pytest.fixture
def meeting_cases(monkeypatch):
    barrier = threading.Barrier(THREADS * CASES_PER_RUN, timeout=WAIT)
    case = meeting_case(barrier)
    monkeypatch.setattr(varnel.cases, "CASES",
                        {f"1.{n}": case for n in range(1, CASES_PER_RUN + 1)})
    return barrier


@pytest.mark.skipif(not free_threaded, reason="needs the free-threaded interpreter")
def test_importing_the_module_leaves_the_gil_off():
    code = "import sys, varnel, varnel._varnel; print(sys._is_gil_enabled())"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True, timeout=60)
    assert out.stdout.strip() == "False"
    assert "GIL" not in out.stderr


def assert_all_passed(results):
    assert [r.case_index for r in results] == list(range(1, CASES_PER_RUN + 1))
    assert all(r.passed for r in results), [(r.case_id, r.result) for r in results]


def test_client_runs_from_several_threads_overlap(echo_url, meeting_cases):
    runs = in_threads(THREADS, lambda _: asyncio.run(
        v.run_fuzzingclient(echo_url, concurrency=CASES_PER_RUN)))
    for results in runs:
        assert_all_passed(results)
    assert not meeting_cases.broken


async def drive_cases_at_once(port):
    async def echo_case(n):
        url = f"ws://127.0.0.1:{port}/?case={n}&agent=thread"
        async with websockets.connect(url, compression=None) as ws:
            try:
                async for message in ws:
                    await ws.send(message)
            except websockets.ConnectionClosed:
                pass

    await asyncio.gather(*(echo_case(n) for n in range(1, CASES_PER_RUN + 1)))
    async with websockets.connect(f"ws://127.0.0.1:{port}/updateReports"):
        pass


def test_server_runs_from_several_threads_overlap(meeting_cases):
    async def serve():
        async with v.run_fuzzingserver(port=0) as server:
            await drive_cases_at_once(server.port)
            return await server.get_result()

    for results in in_threads(THREADS, lambda _: asyncio.run(serve())):
        assert_all_passed(results)
        assert all(r.agent == "thread" for r in results)
    assert not meeting_cases.broken


class SendsFromAnotherThread(EchoCase):
    """Sends its messages and sets timers from a thread of its own while the engine
    reads the echoes and dispatches them to onMessage."""

    MESSAGES = [(f"message {n}", False) for n in range(200)]

    def onOpen(self):
        self.fired = []
        self.sender = threading.Thread(target=self.send_all)
        self.sender.start()
        self.p.killAfter(WAIT)

    def send_all(self):
        for n, (payload, binary) in enumerate(self.MESSAGES):
            self.p.sendMessage(payload, binary)
            if n % 20 == 0:
                self.p.continueLater(0, lambda n=n: self.fired.append(n), f"timer {n}")

    def onConnectionLost(self, failedByMe):
        self.sender.join(WAIT)
        if self.fired != list(range(0, len(self.MESSAGES), 20)):
            self.behavior = "FAILED"
            self.result = f"timers fired: {self.fired}"
        super().onConnectionLost(failedByMe)


def test_protocol_used_from_other_threads_while_the_engine_dispatches(echo_url, monkeypatch):
    monkeypatch.setattr(varnel.cases, "CASES", {f"1.{n}": SendsFromAnotherThread
                                                for n in range(1, CASES_PER_RUN + 1)})
    for results in in_threads(2, lambda _: asyncio.run(
            v.run_fuzzingclient(echo_url, concurrency=CASES_PER_RUN))):
        assert_all_passed(results)


def test_one_validator_from_many_threads_is_refused_or_correct():
    validator = v.Utf8Validator()
    chunk = "κ".encode() * (1 << 19)  # whole characters: every call ends on a boundary
    seen, refused = [], []
    deadline = time.monotonic() + 10

    def hammer(_):
        calls = 0
        while calls < 50 or (free_threaded and not refused and time.monotonic() < deadline):
            calls += 1
            try:
                seen.append(validator.validate(chunk))
            except RuntimeError as e:
                assert str(e) == "Already borrowed"
                refused.append(e)

    in_threads(8, hammer)
    # The calls that went through ran one at a time: totals step by one chunk.
    totals = sorted(total for *_, total in seen)
    assert totals == [len(chunk) * n for n in range(1, len(seen) + 1)]
    assert all(r[:3] == (True, True, len(chunk)) for r in seen)
    if free_threaded:
        assert refused, "no call ever overlapped another"


class Watched(EchoCase):
    """Publishes its live traffic counters for other threads to read."""

    MESSAGES = [(f"watched {n}", False) for n in range(100)]
    live = []

    def onOpen(self):
        self.live.append(self.p.trafficStats)
        super().onOpen()


RESULT_FIELDS = [name for name in dir(v.CaseResult) if not name.startswith("_")]


def test_results_and_stats_read_from_many_threads_while_runs_go_on(echo_url, monkeypatch):
    monkeypatch.setattr(varnel.cases, "CASES", {"1.1": Watched, "1.2": Watched})
    monkeypatch.setattr(Watched, "live", [])
    finished, done = [], threading.Event()

    def run():
        try:
            for _ in range(3):
                finished.extend(asyncio.run(v.run_fuzzingclient(echo_url, concurrency=2)))
        finally:
            done.set()

    def read():
        last = {}
        while not done.is_set():
            for stats in list(Watched.live):
                counts = stats.__json__()
                copied = stats.__deepcopy__(None).__json__()
                sent = counts["outgoingOctetsWireLevel"]
                assert copied["outgoingOctetsWireLevel"] >= sent >= last.get(id(stats), 0)
                last[id(stats)] = sent
            for result in list(finished):
                for name in RESULT_FIELDS:
                    getattr(result, name)
                assert result.passed, result.result

    in_threads(5, lambda i: run() if i == 0 else read())
    assert len(finished) == 6 and len(Watched.live) == 6
    sent = {stats.__json__()["outgoingOctetsWireLevel"] for stats in Watched.live}
    assert len(sent) == 1 and sent.pop() > 0
