"""A process that leaves while a varnel run is in flight, for test_exit.py and
bench/exit_stress.py. It must end with its own exit code, never by a signal.

    python exit_child.py MODE EXIT_AFTER

MODE: client (a client run against an echo peer of this process), server (a
server run serving raw clients of this process), thread (a client run on a
daemon thread while the main thread leaves), plain (as client, but the script
ends without SystemExit: exit code 0), stuck (as client, with one callback that
outlasts the exit's wait for callbacks), cleared (as client, the program clearing
its exit handlers from two threads, and from code whose builtins are empty, while
the run is under way). Runs that start while the interpreter exits, each refused
with "refused: " and the error's text on stderr: handler (an exit handler starts
a client run), handler-thread (an exit handler starts one on a daemon thread
and waits for its refusal), late-import (as handler-thread, the module first
imported in the handler), daemon-import (a daemon thread first imports the
module once the main thread waits in an exit handler that is a C function).
joined-import: a non-daemon thread first imports the module once the
interpreter has begun to exit and is joining it, and runs quick cases to the
end ("ran: N passed" on stderr); an exit handler's run is refused.
import-at-exit: a program that
imports neither threading nor asyncio before it exits, with an exit handler that
first imports the module and leaves a client run in flight. fork (a client run to
its end, then one in a child of fork(), whose exit code is this process's).
fork-busy (the child of a fork() made while two runs start their cases runs its
own cases to the end; its exit code is this process's). joined-client and
joined-server: a daemon worker awaits a client run, or a server run's result,
and an exit handler joins it; the process leaves EXIT_AFTER after the run's
first case started, and the run must end when the engine stops it ("stopped: "
and the error's text on stderr, and "worker alive after join" if the join
timed out). spawned-import: an exit handler of a program that imported
threading starts a non-daemon thread that first imports the module and starts
a run, then returns while the run is in flight; spawned-import-daemon: the same
with a daemon thread, in a program that imported neither threading nor asyncio
before it began to exit. executor: a ThreadPoolExecutor made on a daemon
thread (ThreadPoolExecutor first used before the module is imported) runs four
client runs of 30 short cases, each limited to 12 s; the main thread leaves
while they are in flight, and says when ("exit began T", T on the monotonic
clock). interrupted: as joined-client, with one case whose
opening callback takes 8 s, so that the exit waits for it, and SIGINT sent to
the process 2 s into the exit; the exit handler says how long after the exit
began its join returned ("join took N s"). EXIT_AFTER is in seconds.

With EXIT_CHILD_MARK set to a path, the run has one case, whose opening callback
is still running when the process leaves (as soon as it starts) and creates that
file when it ends.
"""
import atexit
import importlib
import os
import pathlib
import signal
import sys
import time

import varnel.cases
from varnel.cases.case import Case


def import_runtime_modules():
    """What the runs need, left out until then: import-at-exit must not have
    imported threading (which asyncio imports) before the process exits."""
    global asyncio, multiprocessing, threading, warnings, accept_upgrade, request_case
    import asyncio
    import multiprocessing
    import threading
    import warnings

    from frames import accept_upgrade, request_case


CASES = 200
EXIT_CODE = 5
MODES = ("client", "server", "thread", "plain", "stuck", "cleared", "handler", "handler-thread",
         "late-import", "daemon-import", "joined-import", "import-at-exit", "fork", "fork-busy",
         "joined-client", "joined-server", "spawned-import", "spawned-import-daemon", "executor",
         "interrupted")
EXIT_CODES = {mode: 0 if mode == "plain" else EXIT_CODE for mode in MODES}


case_started = False  # set once a case of the run has been made
marked_open = False   # set once the Marked case's opening callback runs


class Slow(Case):
    """A case whose callbacks each sleep a little; it never ends by itself."""
    open_for = 0.2

    def __init__(self, protocol):
        global case_started
        super().__init__(protocol)
        case_started = True
        time.sleep(0.05)

    def onOpen(self):
        time.sleep(self.open_for)
        self.p.sendMessage(b"x" * 100, isBinary=True)

    def onMessage(self, payload, is_binary):
        time.sleep(0.2)
        self.p.sendMessage(payload, isBinary=is_binary)

    def onConnectionLost(self, dropped):
        time.sleep(0.05)


class Stuck(Slow):
    open_for = 60


class Outlasting(Slow):
    """Its opening callback outlasts the exit's wait for callbacks."""
    open_for = 8


class Marked(Slow):
    """Its opening callback outlasts the process's exit handlers, and leaves a mark."""

    def onOpen(self):
        global marked_open
        marked_open = True  # the process leaves now
        time.sleep(1)
        pathlib.Path(os.environ["EXIT_CHILD_MARK"]).touch()


class Quick(Case):
    """A case that ends by itself: one message, its echo, a close."""

    def onOpen(self):
        self.p.sendMessage(b"x", isBinary=True)

    def onMessage(self, payload, is_binary):
        self.behavior = "OK"
        self.p.sendClose(1000)

    def onConnectionLost(self, dropped):
        self.behaviorClose = "OK"


async def echo_peer(reader, writer):
    """A server under test that echoes every octet after a minimal handshake."""
    try:
        await accept_upgrade(reader, writer)
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except (ConnectionError, asyncio.IncompleteReadError):
        pass


async def raw_client(port, number):
    """A client under test that runs case `number` and echoes every octet back."""
    try:
        reader, writer = await request_case(port, number)
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except (ConnectionError, asyncio.IncompleteReadError):
        pass


refusal_reported = None  # a lock released once a refusal is reported, where one is awaited
REFUSAL_WAIT = 60  # seconds; a refusal comes at once, this only bounds a run that is not refused


def report_refusal(run):
    """Says on stderr that a run was refused, for the tests to see: on the main
    thread, or where an exit handler waits for it. Another thread writing to
    stderr as the interpreter finalizes makes CPython abort the process."""
    if run.cancelled() or not isinstance(run.exception(), RuntimeError):
        return
    if refusal_reported is None and threading.current_thread() is not threading.main_thread():
        return
    print(f"refused: {run.exception()}", file=sys.stderr, flush=True)
    if refusal_reported is not None:
        refusal_reported.release()


def expect_refusal():
    """The lock that report_refusal releases, for an exit handler to wait on."""
    global refusal_reported
    refusal_reported = threading.Lock()
    refusal_reported.acquire()
    return refusal_reported


def clear_exit_handlers():
    """Clears the exit handlers from two threads, many times, and once from code
    whose builtins are empty: a weak reference's callback may run in any frame."""
    exec("atexit._clear()", {"__builtins__": {}, "atexit": atexit})

    def clear_often():
        for _ in range(200):
            atexit._clear()

    threads = [threading.Thread(target=clear_often) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


async def client_run(exit_after, clear=False):
    import varnel._varnel as v
    server = await asyncio.start_server(echo_peer, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    run = asyncio.ensure_future(v.run_fuzzingclient(f"ws://127.0.0.1:{port}", concurrency=CASES))
    run.add_done_callback(report_refusal)
    if "EXIT_CHILD_MARK" in os.environ:
        while not marked_open:  # leaves while that callback is in flight
            await asyncio.sleep(0.01)
    else:
        await asyncio.sleep(exit_after)
    if clear:
        clear_exit_handlers()


async def server_run(exit_after):
    import varnel._varnel as v
    async with v.run_fuzzingserver(port=0) as server:
        for n in range(1, CASES + 1):
            asyncio.ensure_future(raw_client(server.port, n))
        await asyncio.sleep(exit_after)


async def quick_run(cases=None):
    """A whole run of quick cases; their results."""
    import varnel._varnel as v
    server = await asyncio.start_server(echo_peer, "127.0.0.1", 0)
    async with server:
        port = server.sockets[0].getsockname()[1]
        return await v.run_fuzzingclient(f"ws://127.0.0.1:{port}", cases=cases, concurrency=4)


async def runs_in_flight(runs, cases):
    """Starts `runs` runs of `cases` at once and keeps them going."""
    import varnel._varnel as v
    server = await asyncio.start_server(echo_peer, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    for _ in range(runs):
        asyncio.ensure_future(v.run_fuzzingclient(f"ws://127.0.0.1:{port}", cases=cases, concurrency=CASES))
    await asyncio.sleep(60)


def run_on_daemon_thread(when_main_exits=False):
    """A client run on a daemon thread; with `when_main_exits`, it starts once
    the main thread runs no more Python code of its own, in the exit handlers."""
    main = threading.main_thread().ident

    def run():
        while when_main_exits and not (threading._SHUTTING_DOWN and main not in sys._current_frames()):
            time.sleep(0.01)
        asyncio.run(client_run(60))
    threading.Thread(target=run, daemon=True).start()


def refused_on_daemon_thread():
    """An exit handler's: a run on a daemon thread, waited for until refused."""
    reported = expect_refusal()
    run_on_daemon_thread()
    reported.acquire(True, REFUSAL_WAIT)


def run_quick_cases(cases=None, count=8):
    """Leaves with EXIT_CODE when a whole run of `count` quick cases passed."""
    results = asyncio.run(quick_run(cases))
    sys.exit(EXIT_CODE if len(results) == count and all(r.passed for r in results) else 1)


def forked(child):
    """The exit code of `child`, run in a child of os.fork()."""
    warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
    pid = os.fork()
    if pid == 0:
        child()
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def fork_after_a_run():
    """A run to its end, then one in a child of os.fork() and one in a process of
    multiprocessing's fork start method; leaves with the first wrong exit code."""
    varnel.cases.CASES = {f"1.{n}": Quick for n in range(1, 9)}
    assert all(r.passed for r in asyncio.run(quick_run()))
    code = forked(run_quick_cases)
    process = multiprocessing.get_context("fork").Process(target=run_quick_cases)
    process.start()
    process.join()
    sys.exit(code if code != EXIT_CODE else process.exitcode)


def fork_while_runs_start(exit_after):
    """Two runs of 60 quick cases start; the main thread forks while their cases
    start and finish (EXIT_AFTER of 0.15 to 0.3 s puts the fork 0 to 0.15 s after
    the start), and the child runs six quick cases of its own to the end. Leaves
    with the child's exit code."""
    varnel.cases.CASES = {f"{group}.{n}": Quick for group, count in ((1, 60), (2, 6))
                          for n in range(1, count + 1)}
    threading.Thread(target=asyncio.run, args=(runs_in_flight(2, ["1.*"]),), daemon=True).start()
    time.sleep(max(0.0, exit_after - 0.15))
    sys.exit(forked(lambda: run_quick_cases(["2.*"], 6)))


def run_while_joined():
    """A non-daemon thread that waits for the interpreter's exit to begin, then
    first imports the module and runs eight quick cases; an exit handler's run,
    once the thread is joined, is refused."""
    atexit.register(lambda: asyncio.run(client_run(0)))

    def run():
        while not threading._SHUTTING_DOWN:
            time.sleep(0.01)
        varnel.cases.CASES = {f"1.{n}": Quick for n in range(1, 9)}
        results = asyncio.run(quick_run())
        print(f"ran: {sum(r.passed for r in results)} passed", file=sys.stderr, flush=True)

    threading.Thread(target=run).start()


async def client_to_its_end(concurrency=CASES):
    """A client run awaited until it ends (with cases that never end by
    themselves, never)."""
    import varnel._varnel as v
    server = await asyncio.start_server(echo_peer, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    await v.run_fuzzingclient(f"ws://127.0.0.1:{port}", concurrency=concurrency)


async def server_to_its_end():
    """A server run whose result is awaited; its clients never end it."""
    import varnel._varnel as v
    async with v.run_fuzzingserver(port=0) as server:
        for n in range(1, CASES + 1):
            asyncio.ensure_future(raw_client(server.port, n))
        await server.get_result()


def joined_at_exit(run, exit_after, interrupt_after=None):
    """A daemon worker runs `run`; an exit handler joins it, as a program that
    shuts down gracefully does. With `interrupt_after`, SIGINT comes that long
    after the exit began."""
    def work():
        try:
            asyncio.run(run())
        except RuntimeError as e:
            print(f"stopped: {e}", file=sys.stderr, flush=True)

    worker = threading.Thread(target=work, daemon=True)
    worker.start()
    exit_began = None

    def join():
        worker.join(30)
        if worker.is_alive():
            print("worker alive after join", file=sys.stderr, flush=True)
        if exit_began is not None:
            print(f"join took {time.monotonic() - exit_began:.2f} s", file=sys.stderr, flush=True)

    def interrupt():
        time.sleep(interrupt_after)
        os.kill(os.getpid(), signal.SIGINT)

    atexit.register(join)
    while not case_started:  # the run is under way: the exit must stop it
        time.sleep(0.01)
    time.sleep(exit_after)
    if interrupt_after is not None:
        exit_began = time.monotonic()
        threading.Thread(target=interrupt, daemon=True).start()


class Short(Quick):
    """A case that ends by itself soon."""

    def onOpen(self):
        time.sleep(0.02)
        super().onOpen()


def executor_runs(exit_after):
    """Four client runs of 30 short cases on a ThreadPoolExecutor made on a
    daemon thread, each limited to 12 s; leaves while they are in flight."""
    varnel.cases.CASES = {f"1.{n}": Short for n in range(1, 31)}

    def one_run():
        asyncio.run(asyncio.wait_for(client_to_its_end(4), 12))

    def submit():
        pool = ThreadPoolExecutor(4)
        for _ in range(4):
            pool.submit(one_run)

    submitter = threading.Thread(target=submit, daemon=True)
    submitter.start()
    submitter.join()
    time.sleep(max(0.0, exit_after - 0.1))
    print(f"exit began {time.monotonic():.3f}", file=sys.stderr, flush=True)


def spawned_at_exit(daemon):
    """An exit handler starts a thread that first imports the module and starts
    a run, and returns while the run is in flight: the interpreter finalizes
    with the engine still serving it."""
    def start_run():
        import_runtime_modules()
        threading.Thread(target=asyncio.run, args=(client_run(60),), daemon=daemon).start()
        time.sleep(0.3)

    atexit.register(start_run)
    sys.exit(EXIT_CODE)


def import_at_exit(exit_after):
    """An exit handler that first imports the module, in a program that imported
    neither threading nor asyncio before it began to exit."""
    assert "threading" not in sys.modules, "this shape needs a program without threading"

    def run_at_exit():
        import_runtime_modules()
        asyncio.run(client_run(exit_after))

    atexit.register(run_at_exit)
    sys.exit(EXIT_CODE)


def main():
    mode, exit_after = sys.argv[1], float(sys.argv[2])
    cases = {f"1.{n}": Slow for n in range(1, CASES + 1)}
    if mode == "stuck":
        cases["1.1"] = Stuck
    if "EXIT_CHILD_MARK" in os.environ:
        cases = {"1.1": Marked}
    varnel.cases.CASES = cases
    if mode == "import-at-exit":
        import_at_exit(exit_after)
    if mode == "spawned-import-daemon":
        spawned_at_exit(daemon=True)
    import_runtime_modules()
    if mode == "executor":
        global ThreadPoolExecutor
        from concurrent.futures import ThreadPoolExecutor  # its exit callback before the module's
    if mode == "spawned-import":
        spawned_at_exit(daemon=False)
    if mode not in ("late-import", "daemon-import", "joined-import"):
        # Before any exit handler or thread, as programs do. (A child of fork()
        # made while another thread imports a module waits for ever to import it.)
        importlib.import_module("varnel._varnel")
    if mode == "fork":
        fork_after_a_run()
    if mode == "fork-busy":
        fork_while_runs_start(exit_after)
    if mode == "handler":
        atexit.register(lambda: asyncio.run(client_run(exit_after)))
    elif mode in ("handler-thread", "late-import"):
        atexit.register(refused_on_daemon_thread)
    elif mode == "daemon-import":
        # Registered first, so the last to run, and a C function: the main thread
        # runs no more Python while the daemon thread first imports the module.
        atexit.register(expect_refusal().acquire, True, REFUSAL_WAIT)
        run_on_daemon_thread(when_main_exits=True)
        time.sleep(exit_after)
    elif mode == "joined-import":
        run_while_joined()
    elif mode in ("joined-client", "joined-server"):
        joined_at_exit(client_to_its_end if mode == "joined-client" else server_to_its_end, exit_after)
    elif mode == "interrupted":
        # Whatever the launcher ignored or blocked, SIGINT raises KeyboardInterrupt here.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
        varnel.cases.CASES = {"1.1": Outlasting}
        joined_at_exit(client_to_its_end, exit_after, interrupt_after=2)
    elif mode == "executor":
        executor_runs(exit_after)
    elif mode == "thread":
        run_on_daemon_thread()
        time.sleep(exit_after)
    elif mode == "server":
        asyncio.run(server_run(exit_after))
    else:
        asyncio.run(client_run(exit_after, clear=mode == "cleared"))
    if mode != "plain":
        sys.exit(EXIT_CODES[mode])


if __name__ == "__main__":
    main()
