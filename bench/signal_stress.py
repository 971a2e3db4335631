"""Whether a signal sent to the process reaches Python's main thread in time,
in programs that run varnel and, side by side, the same programs with plain
`websockets` clients instead. Counts the signals taken late or never.

    python signal_stress.py [--runs N] [--at-once K] [--busy B] [--variants sleep,exit-int,exit-term]

sleep: two daemon threads each run a run of 150 cases (websockets: 150 client
connections) while the main thread sleeps for 10 s; a third thread sends
SIGINT to the process 0.5 s in. Late: the main thread's KeyboardInterrupt came
more than a second after the signal (it slept on).
exit-int, exit-term: the main thread returns while two non-daemon threads run
endless cases, and the process is sent SIGINT (or SIGTERM, whose handler calls
sys.exit) 0.5 s into the interpreter's joins. Unhandled: the process has not
ended 10 s after the signal (the main thread stayed in the joins).

B busy processes keep the machine loaded meanwhile. Figures only.
"""
import argparse
import asyncio
import collections
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

CASES = 150
ROUNDS = 200  # messages each case echoes before it closes (about 1 s)
LATE_AFTER = 1.0
UNHANDLED_AFTER = 10.0


# ---------------------------------------------------------------------------
# The programs, run with --child PROGRAM VARIANT

def varnel_runs(endless):
    """Two runs against an echo peer of this process, on threads of their own."""
    import varnel.cases
    from varnel.cases.case import Case
    import exit_child
    exit_child.import_runtime_modules()
    import varnel._varnel as v

    class Chatty(Case):
        def onOpen(self):
            self.left = ROUNDS
            self.p.sendMessage(b"x" * 100, isBinary=True)

        def onMessage(self, payload, is_binary):
            time.sleep(0.005)
            self.left -= 1
            if self.left or endless:
                self.p.sendMessage(payload, isBinary=is_binary)
            else:
                self.behavior = "OK"
                self.p.sendClose(1000)

        def onConnectionLost(self, dropped):
            self.behaviorClose = "OK"

    varnel.cases.CASES = {f"1.{n}": Chatty for n in range(1, CASES + 1)}

    async def run():
        server = await asyncio.start_server(exit_child.echo_peer, "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        await v.run_fuzzingclient(f"ws://127.0.0.1:{port}", concurrency=CASES)

    return lambda: asyncio.run(run())


def websockets_runs(endless):
    """The same load from websockets clients against a websockets echo server."""
    from websockets.asyncio.client import connect
    from websockets.asyncio.server import serve

    async def echo(ws):
        async for message in ws:
            await ws.send(message)

    async def client(port):
        async with connect(f"ws://127.0.0.1:{port}") as ws:
            left = ROUNDS
            while left or endless:
                await ws.send(b"x" * 100)
                await ws.recv()
                await asyncio.sleep(0.005)
                left -= 1

    async def run():
        async with serve(echo, "127.0.0.1", 0) as server:
            port = server.sockets[0].getsockname()[1]
            await asyncio.gather(*(client(port) for _ in range(CASES)))

    return lambda: asyncio.run(run())


def child(program, variant):
    endless = variant != "sleep"
    runs = (varnel_runs if program == "varnel" else websockets_runs)(endless)
    daemon = variant == "sleep"
    for _ in range(2):
        threading.Thread(target=runs, daemon=daemon).start()
    if variant == "exit-term":
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    if endless:
        time.sleep(0.5)
        print("joining", flush=True)  # the parent signals once the joins are under way
        return
    sent = []

    def interrupt():
        time.sleep(0.5)
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt, daemon=True).start()
    try:
        time.sleep(10)
        print("never", flush=True)
    except KeyboardInterrupt:
        print(f"{time.monotonic() - sent[0]:.3f}", flush=True)
    os._exit(0)


# ---------------------------------------------------------------------------
# The parent

def spin():
    while True:
        pass


def one(program, variant):
    """'ok', 'late' or 'unhandled'."""
    proc = subprocess.Popen([sys.executable, __file__, "--child", program, variant],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        if variant == "sleep":
            out, _ = proc.communicate(timeout=60)
            return "ok" if out.strip() not in ("", "never") and float(out) <= LATE_AFTER else "late"
        if proc.stdout.readline().strip() != "joining":
            return "failed"
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT if variant == "exit-int" else signal.SIGTERM)
        proc.wait(UNHANDLED_AFTER)
        return "ok"
    except subprocess.TimeoutExpired:
        return "unhandled"
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()


def measure(runs, at_once, variants):
    """Both programs interleaved, so they see the same load."""
    counts = collections.Counter()
    jobs = [(program, variant) for variant in variants for _ in range(runs)
            for program in ("varnel", "websockets")]
    lock = threading.Lock()

    def worker():
        while True:
            with lock:
                if not jobs:
                    return
                program, variant = jobs.pop()
            what = one(program, variant)
            with lock:
                counts[(variant, program, what)] += 1

    threads = [threading.Thread(target=worker) for _ in range(at_once)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return counts


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=192)
    ap.add_argument("--at-once", type=int, default=8)
    ap.add_argument("--busy", type=int, default=4)
    ap.add_argument("--variants", default="sleep,exit-int,exit-term")
    ap.add_argument("--child", nargs=2, metavar=("PROGRAM", "VARIANT"))
    args = ap.parse_args()
    if args.child:
        return child(*args.child)
    import multiprocessing
    spinners = [multiprocessing.Process(target=spin, daemon=True) for _ in range(args.busy)]
    for s in spinners:
        s.start()
    try:
        started = time.monotonic()
        variants = args.variants.split(",")
        counts = measure(args.runs, args.at_once, variants)
    finally:
        for s in spinners:
            s.terminate()
    print(f"{args.runs} runs of each program and variant, {args.at_once} at once, "
          f"{args.busy} busy processes, {time.monotonic() - started:.0f} s")
    for variant in variants:
        for program in ("varnel", "websockets"):
            row = {what: n for (v, p, what), n in counts.items() if v == variant and p == program}
            print(f"  {variant:9} {program:10} " + ", ".join(f"{what} {n}" for what, n in sorted(row.items())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
