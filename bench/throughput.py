"""Throughput and scaling of the harness, measured side by side in one run.

Echo: varnel's client (on the free-threaded and the GIL build) and the
`websockets` client take turns against one `websockets` echo server in a process
of its own: 20 000 x 100 B pipelined, 64 KiB and 16 MiB lockstep. Each client
runs in a fresh process, so its peak RSS is its own.

Suite: 200 cases, each echoing two 1 KiB messages and doing about 5 ms of
pure-Python work per message in onMessage, at concurrency 1 and 8, on both
builds. Every result must be the same at both concurrencies.

Times are taken inside each client process around the run; peak RSS and CPU
seconds are the whole process's (interpreter start-up included).

Rounds are interleaved (A B C A B C ...) so drift on a shared machine hits every
contender alike; medians and min-max are printed, with ratios.

    bench/throughput [--rounds N] [--only echo|suite]
runs this inside the project's root with both builds; it is a plain script:
    python3 bench/throughput.py --ft-path build/ft/pkg --gil-path build/release/pkg
"""

import argparse
import asyncio
import json
import os
import resource
import statistics
import subprocess
import sys
import time

FT_PYTHON = "/opt/python3.14t/bin/python3.14t"
GIL_PYTHON = "/usr/bin/python3.14"
DIST_PACKAGES = "/usr/lib/python3/dist-packages"

ECHO_WORKLOADS = {
    # name: (message size, messages, pipelined)
    "100 B pipelined": (100, 20_000, True),
    "64 KiB lockstep": (64 << 10, 2_000, False),
    "16 MiB lockstep": (16 << 20, 8, False),
}
SUITE_CASES = 200
SUITE_MESSAGE = 1024
SUITE_WORK_SECONDS = 0.005


# ---------------------------------------------------------------------------
# Children


def peak_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def cpu_seconds():
    use = resource.getrusage(resource.RUSAGE_SELF)
    return use.ru_utime + use.ru_stime


def work(iterations):
    """Pure-Python work on locals only: nothing shared between threads."""
    x = 0
    for i in range(iterations):
        x = (x * 31 + i) & 0xFFFFFFFF
    return x


def calibrate():
    n = 20_000
    while True:
        t = time.perf_counter()
        work(n)
        took = time.perf_counter() - t
        if took > 0.05:
            return int(n * SUITE_WORK_SECONDS / took)
        n *= 2


def child_server(port):
    from websockets.asyncio.server import serve

    async def echo(ws):
        async for message in ws:
            await ws.send(message)

    async def main():
        async with serve(echo, "127.0.0.1", port, compression=None, max_size=None, max_queue=None,
                         reuse_port=True) as server:
            print(server.sockets[0].getsockname()[1], flush=True)
            await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)

    asyncio.run(main())


def message_of(size):
    """Octets 0, 1, ..., 255 repeated. Made in one allocation (a sliced copy for
    sizes that are not whole repeats): building it must not raise peak RSS."""
    whole, rest = divmod(size, 256)
    if rest == 0:
        return bytes(range(256)) * whole
    return (bytes(range(256)) * (whole + 1))[:size]


def register(cases):
    from varnel.cases import CASES

    CASES.update(cases)


async def run_varnel(url, pattern, concurrency=1):
    from varnel import FailureError
    from varnel._varnel import run_fuzzingclient

    try:
        return await run_fuzzingclient(url, cases=[pattern], concurrency=concurrency)
    except FailureError as e:
        raise SystemExit(f"bench cases failed: {e}") from None


def echo_case(size, count, pipelined):
    from varnel.cases.case import Case

    payload = message_of(size)

    class Echo(Case):
        def __init__(self, p):
            super().__init__(p)
            self.p.createWirelog = False
            self.got = 0
            self.bad = 0

        def onOpen(self):
            for _ in range(count if pipelined else 1):
                self.p.sendMessage(payload, isBinary=True)

        def onMessage(self, message, isBinary):
            self.got += 1
            if len(message) != size:
                self.bad += 1
            if self.got == count:
                self.behavior = "OK" if self.bad == 0 else "FAILED"
                self.result = f"{self.got} echoes"
                self.p.sendClose(1000)
            elif not pipelined:
                self.p.sendMessage(payload, isBinary=True)

    return Echo


def child_echo_varnel(port, size, count, pipelined):
    register({"99.1.1": echo_case(size, count, pipelined)})
    t = time.perf_counter()
    results = asyncio.run(run_varnel(f"ws://127.0.0.1:{port}", "99.1.1"))
    took = time.perf_counter() - t
    assert results[0].behavior.value == "OK", (results[0].behavior, results[0].result)
    return took


def child_echo_websockets(port, size, count, pipelined):
    from websockets.asyncio.client import connect

    payload = message_of(size)

    async def main():
        async with connect(f"ws://127.0.0.1:{port}", compression=None, max_size=None, max_queue=None) as ws:
            if pipelined:
                async def send_all():
                    for _ in range(count):
                        await ws.send(payload)

                sender = asyncio.create_task(send_all())
                for _ in range(count):
                    assert len(await ws.recv()) == size
                await sender
            else:
                for _ in range(count):
                    await ws.send(payload)
                    assert len(await ws.recv()) == size

    t = time.perf_counter()
    asyncio.run(main())
    return time.perf_counter() - t


def suite_case(iterations):
    from varnel.cases.case import EchoCase

    text = "x" * SUITE_MESSAGE

    class Busy(EchoCase):
        MESSAGES = [(text, False), (text, False)]

        def __init__(self, p):
            super().__init__(p)
            self.expectedClose = {"closeCode": [1000]}

        def onOpen(self):
            self.p.sendMessage(text)

        def onMessage(self, payload, isBinary):
            work(iterations)
            super().onMessage(payload, isBinary)
            if len(self.received) < 2:
                self.p.sendMessage(text)
            else:
                self.behavior = "OK" if self.received == self.expected["OK"] else "FAILED"
                self.p.sendClose(1000)

    return Busy


def child_suite(port, iterations, concurrency):
    register({f"99.2.{i}": suite_case(iterations) for i in range(1, SUITE_CASES + 1)})
    t = time.perf_counter()
    results = asyncio.run(run_varnel(f"ws://127.0.0.1:{port}", "99.2.*", concurrency))
    took = time.perf_counter() - t
    digest = sorted(
        (r.case_id, r.behavior.value, r.behavior_close.value, repr(r.received), r.was_clean,
         r.remote_close_code)
        for r in results
    )
    return took, digest


def child_threads(iterations, threads):
    """The suite's Python work alone on plain threads: the speed-up the machine
    allows right now, to read the suite's against."""
    from concurrent.futures import ThreadPoolExecutor

    t = time.perf_counter()
    with ThreadPoolExecutor(threads) as pool:
        list(pool.map(work, [iterations] * (2 * SUITE_CASES)))
    return time.perf_counter() - t


def child(args):
    job = json.loads(args.child)
    kind = job["kind"]
    if kind == "server":
        return child_server(job["port"])
    if kind == "calibrate":
        out = {"iterations": calibrate()}
    elif kind == "echo":
        run = child_echo_varnel if job["impl"] == "varnel" else child_echo_websockets
        out = {"seconds": run(job["port"], job["size"], job["count"], job["pipelined"])}
    elif kind == "threads":
        out = {"seconds": child_threads(job["iterations"], job["concurrency"])}
    elif kind == "suite":
        took, digest = child_suite(job["port"], job["iterations"], job["concurrency"])
        out = {"seconds": took, "digest": digest}
    out["rss_mib"] = peak_rss_mib()
    out["cpu"] = cpu_seconds()
    print(json.dumps(out), flush=True)


# ---------------------------------------------------------------------------
# Orchestrator


class Contender:
    def __init__(self, label, python, path):
        self.label, self.python, self.path = label, python, path

    def run(self, job, timeout=600):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in (self.path, DIST_PACKAGES) if p))
        done = subprocess.run(
            [self.python, os.path.abspath(__file__), "--child", json.dumps(job)],
            env=env, capture_output=True, text=True, timeout=timeout,
        )
        if done.returncode != 0:
            raise RuntimeError(f"{self.label} {job['kind']} failed:\n{done.stderr[-3000:]}")
        return json.loads(done.stdout.strip().splitlines()[-1])


class EchoServers:
    """`websockets` echo servers in processes of their own, all listening on one
    port (SO_REUSEPORT): the kernel spreads connections over them, so a suite of
    many cases measures the harness rather than one server process."""

    def __init__(self, count):
        self.procs = []
        self.port = 0
        for _ in range(count):
            proc = subprocess.Popen(
                [GIL_PYTHON, os.path.abspath(__file__), "--child", json.dumps({"kind": "server", "port": self.port})],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                env=dict(os.environ, PYTHONPATH=DIST_PACKAGES),
            )
            self.procs.append(proc)
            self.port = int(proc.stdout.readline())

    def stop(self):
        for proc in self.procs:
            proc.stdin.close()
        for proc in self.procs:
            proc.wait(timeout=10)


def spread(values, fmt="{:.3f}"):
    med = statistics.median(values)
    return f"{fmt.format(med)} ({fmt.format(min(values))}-{fmt.format(max(values))})"


def bench_echo(port, contenders, rounds):
    print(f"\n== echo against a websockets echo server, {rounds} interleaved rounds "
          "(median, min-max)", flush=True)
    for name, (size, count, pipelined) in ECHO_WORKLOADS.items():
        seconds = {c.label: [] for c in contenders}
        rss = {c.label: [] for c in contenders}
        cpu = {c.label: [] for c in contenders}
        for _ in range(rounds):
            for c in contenders:
                impl = "websockets" if c.label.startswith("websockets") else "varnel"
                out = c.run({"kind": "echo", "impl": impl, "port": port, "size": size, "count": count,
                             "pipelined": pipelined})
                seconds[c.label].append(out["seconds"])
                rss[c.label].append(out["rss_mib"])
                cpu[c.label].append(out["cpu"])
        print(f"-- {name}: {count} messages of {size} B", flush=True)
        peer = contenders[-1].label
        for c in contenders:
            s = seconds[c.label]
            rate = [count / x for x in s]
            mbps = [count * size / x / 1e6 for x in s]
            ratio = [p / x for p, x in zip(seconds[peer], s)]  # >1: faster than the peer
            print(f"   {c.label:<22} {spread(s)} s  {spread(rate, '{:.0f}')} msg/s  "
                  f"{spread(mbps, '{:.1f}')} MB/s  peak RSS {spread(rss[c.label], '{:.0f}')} MiB  "
                  f"CPU {spread(cpu[c.label], '{:.2f}')} s"
                  + ("" if c.label == peer else f"  x{spread(ratio, '{:.2f}')} of {peer}"), flush=True)


def bench_suite(port, contenders, rounds):
    print(f"\n== {SUITE_CASES} cases, 2 x {SUITE_MESSAGE} B echoes, ~{SUITE_WORK_SECONDS * 1000:.0f} ms "
          f"Python work per message, {rounds} interleaved rounds (median, min-max)", flush=True)
    iterations = {c.label: c.run({"kind": "calibrate"})["iterations"] for c in contenders}
    seconds = {(c.label, n): [] for c in contenders for n in (1, 8)}
    cpu = {(c.label, n): [] for c in contenders for n in (1, 8)}
    plain = {(c.label, n): [] for c in contenders for n in (1, 8)}
    same = True
    for _ in range(rounds):
        for c in contenders:
            digests = {}
            for n in (1, 8):
                out = c.run({"kind": "suite", "port": port, "iterations": iterations[c.label], "concurrency": n})
                seconds[(c.label, n)].append(out["seconds"])
                cpu[(c.label, n)].append(out["cpu"])
                digests[n] = out["digest"]
                out = c.run({"kind": "threads", "iterations": iterations[c.label], "concurrency": n})
                plain[(c.label, n)].append(out["seconds"])
            same = same and digests[1] == digests[8] and len(digests[1]) == SUITE_CASES
            same = same and all(d[1] == "OK" for d in digests[1])
    for c in contenders:
        one, eight = seconds[(c.label, 1)], seconds[(c.label, 8)]
        speedup = [a / b for a, b in zip(one, eight)]
        print(f"   {c.label:<22} concurrency 1: {spread(one)} s  concurrency 8: {spread(eight)} s  "
              f"speed-up x{spread(speedup, '{:.2f}')}  ({iterations[c.label]} loop iterations = 5 ms)",
              flush=True)
        print(f"   {'':<22} CPU of the process: {spread(cpu[(c.label, 1)], '{:.2f}')} s at 1, "
              f"{spread(cpu[(c.label, 8)], '{:.2f}')} s at 8", flush=True)
        one, eight = plain[(c.label, 1)], plain[(c.label, 8)]
        speedup = [a / b for a, b in zip(one, eight)]
        print(f"   {'':<22} the same work on 1 and 8 plain threads, no harness: {spread(one)} s, "
              f"{spread(eight)} s, speed-up x{spread(speedup, '{:.2f}')}", flush=True)
    print(f"   results identical at concurrency 1 and 8, all OK: {same}", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--only", choices=["echo", "suite"])
    ap.add_argument("--servers", type=int, default=4, help="echo server processes sharing the port")
    ap.add_argument("--ft-path", default="build/ft/pkg")
    ap.add_argument("--gil-path", default="build/release/pkg")
    args = ap.parse_args()
    if args.child:
        return child(args)

    varnel_ft = Contender("varnel 3.14t", FT_PYTHON, os.path.abspath(args.ft_path))
    varnel_gil = Contender("varnel 3.14 (GIL)", GIL_PYTHON, os.path.abspath(args.gil_path))
    peer = Contender("websockets client", GIL_PYTHON, "")
    print(f"cpus: {os.cpu_count()}, load average at start: {os.getloadavg()[0]:.1f}")
    servers = EchoServers(args.servers)
    try:
        if args.only in (None, "echo"):
            bench_echo(servers.port, [varnel_ft, varnel_gil, peer], args.rounds)
        if args.only in (None, "suite"):
            bench_suite(servers.port, [varnel_ft, varnel_gil], args.rounds)
    finally:
        servers.stop()
    print(f"load average at end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
