"""Leaving the interpreter while runs are in flight.

Each child process (exit_child.py) starts a run whose callbacks are busy and
leaves 0.15 to 0.3 s later, in one of several ways. Every one must end with its
own exit code: never by a signal, never hung, never with a sanitizer's report.
The exits race hardest on a loaded machine, so spinning processes keep the
cores busy meanwhile.
"""
import os
import pathlib
import random
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

from exit_child import EXIT_CODES

CHILD = pathlib.Path(__file__).with_name("exit_child.py")
# ThreadSanitizer ends a child of fork() that starts threads when its parent had some.
FORKS = "--with-thread-sanitizer" not in (sysconfig.get_config_var("CONFIG_ARGS") or "")
AT_ONCE = 8
HUNG_AFTER = 120  # seconds; the sanitizers make a child slow, not this slow


def run_child(mode, exit_after, env=None):
    """(mode, exit code or "hung", stderr)."""
    with tempfile.TemporaryFile() as err:  # a pipe could fill and stall the child
        try:
            done = subprocess.run([sys.executable, str(CHILD), mode, f"{exit_after:.3f}"],
                                  stdout=subprocess.DEVNULL, stderr=err, timeout=HUNG_AFTER, env=env)
            outcome = done.returncode
        except subprocess.TimeoutExpired:
            outcome = "hung"
        err.seek(0)
        # Whole: asyncio's reports of the tasks a stopped run leaves can be many.
        return mode, outcome, err.read().decode(errors="replace")


def report(err):
    """The sanitizer's report when there is one, else the end of stderr."""
    lines = err.splitlines()
    start = next((i for i, line in enumerate(lines) if "Sanitizer" in line), max(0, len(lines) - 20))
    return "\n".join(lines[start:start + 30])


def spinners():
    spin = [sys.executable, "-c", "while True: pass"]
    return [subprocess.Popen(spin) for _ in range(max(1, (os.cpu_count() or 2) // 2))]


@pytest.mark.timeout(900)
def test_leaving_with_runs_in_flight_ends_every_process_with_its_own_code():
    modes = ("client", "server", "thread", "plain", "cleared", "handler", "handler-thread", "late-import",
             "daemon-import", "import-at-exit", "joined-client", "joined-server")
    children = [(mode, random.uniform(0.15, 0.3)) for mode in modes * 4]
    if FORKS:
        children += [("fork", 0.2)] * 2 + [("fork-busy", random.uniform(0.15, 0.3)) for _ in range(4)]
    children.append(("stuck", 0.2))  # a callback outlasts the exit's wait: no hang either
    busy = spinners()
    try:
        with ThreadPoolExecutor(AT_ONCE) as pool:
            outcomes = list(pool.map(lambda child: run_child(*child), children))
    finally:
        for process in busy:
            process.kill()
            process.wait()
    wrong = [f"{mode}: {outcome}\n{report(err)}" for mode, outcome, err in outcomes
             if outcome != EXIT_CODES[mode] or "Sanitizer" in err]
    assert not wrong, "\n\n".join(wrong)


@pytest.mark.parametrize("mode", ["cleared", "import-at-exit"])
def test_a_run_in_flight_at_exit_is_quiesced_in_time(mode, tmp_path):
    # The exit waits for a callback in flight, so one that outlasts the exit
    # handlers still finishes: the mark shows the runtime was quiesced in time.
    # cleared: the program clears its exit handlers, also from code whose
    # builtins are empty. import-at-exit: the module is first imported in an exit
    # handler of a program that had not imported threading.
    mark = tmp_path / "mark"
    env = dict(os.environ, EXIT_CHILD_MARK=str(mark))
    _, outcome, err = run_child(mode, 0.3, env)
    assert outcome == EXIT_CODES[mode], report(err)
    assert "Sanitizer" not in err and "Exception ignored" not in err, report(err)
    assert mark.exists()


@pytest.mark.parametrize("mode", ["joined-client", "joined-server"])
def test_a_run_the_exit_stops_ends_so_an_exit_handler_can_join_its_thread(mode):
    # A daemon worker awaits a client run, or a server's result; an exit handler
    # joins it. The stopped run raises, and the join returns at once.
    _, outcome, err = run_child(mode, 0.3)
    assert outcome == EXIT_CODES[mode], report(err)
    assert "Sanitizer" not in err, report(err)
    assert "stopped: run stopped: the interpreter is exiting" in err, report(err)
    assert "worker alive after join" not in err, report(err)


@pytest.mark.parametrize("mode", ["handler", "handler-thread", "late-import", "daemon-import"])
def test_a_run_started_once_the_interpreter_exits_is_refused(mode):
    # handler: an exit handler registered after the import starts the run;
    # daemon-import: a daemon thread first imports the module while the main
    # thread waits in an exit handler that runs no Python.
    _, outcome, err = run_child(mode, 0.3)
    assert outcome == EXIT_CODES[mode], report(err)
    assert "Sanitizer" not in err, report(err)
    assert "refused: failed to initialize async runtime: the interpreter is exiting" in err, report(err)


@pytest.mark.skipif(not FORKS, reason="ThreadSanitizer does not follow threads started after fork()")
def test_a_forked_child_runs_on_a_runtime_of_its_own():
    # After a run: a child of os.fork() and one of multiprocessing's fork start
    # method each run their cases to the end and leave with their own code.
    _, outcome, err = run_child("fork", 0)
    assert outcome == EXIT_CODES["fork"], report(err)
    assert "Sanitizer" not in err, report(err)


def test_a_thread_the_exit_still_joins_may_first_import_and_run_to_the_end():
    # The exit has begun, but the interpreter waits for this non-daemon thread:
    # its run is served, and the engine closes once it has been joined, before
    # the exit handlers run.
    _, outcome, err = run_child("joined-import", 0)
    assert outcome == EXIT_CODES["joined-import"], report(err)
    assert "Sanitizer" not in err, report(err)
    assert "ran: 8 passed" in err, report(err)
    assert "refused: failed to initialize async runtime: the interpreter is exiting" in err, report(err)


@pytest.mark.skipif(not FORKS, reason="ThreadSanitizer does not follow threads started after fork()")
def test_a_forked_child_cannot_wait_for_its_parents_server():
    # The child has none of the threads that serve the parent's run: waiting for
    # its result must fail at once, and leaving or reading the port still works,
    # all without starting a thread there.
    code = textwrap.dedent("""
        import asyncio, os, sys, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        import varnel._varnel as engine

        async def in_child(server):
            try:
                await asyncio.wait_for(server.get_result(), 5)
            except RuntimeError as e:
                print(e)
            print(await server.__aexit__(None, None, None), server.port == port)
            print("threads:", len(os.listdir("/proc/self/task")))

        server = engine.run_fuzzingserver(port=0)
        asyncio.run(server.__aenter__())
        port = server.port
        pid = os.fork()
        if pid == 0:
            asyncio.run(in_child(server))
            sys.stdout.flush()
            os._exit(0)
        child = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        asyncio.run(server.__aexit__(None, None, None))
        sys.exit(child)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=HUNG_AFTER)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "get_result() needs the process that entered the server: a child of fork() has none of its threads",
        "False True",
        "threads: 1",
    ]


def test_a_run_that_starts_after_the_exit_hook_is_refused_at_once():
    code = textwrap.dedent("""
        import asyncio, atexit

        def late_run():
            try:
                asyncio.run(engine.run_fuzzingclient("ws://127.0.0.1:9"))
            except RuntimeError as e:
                print(e)

        atexit.register(late_run)  # before the import: it runs after the engine's exit hook
        import varnel._varnel as engine
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=HUNG_AFTER)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "failed to initialize async runtime: the interpreter is exiting\n"


# A daemon worker's loop awaits an engine operation that never ends by itself;
# an exit handler joins the worker, which must end with the run the exit stops.
WAITING_WORKER = textwrap.dedent("""
    import asyncio, atexit, os, signal, sys, threading, time
    import _testing_asyncrt as m

    def work(*coroutines):
        async def run():
            await asyncio.gather(*(c() for c in coroutines))
        try:
            asyncio.run(run())
        except RuntimeError as e:
            print(f"stopped: {e}", flush=True)

    # Whatever the launcher ignored or blocked, SIGINT raises KeyboardInterrupt here.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})

    def engine_closed():
        # The exit closes the engine before it stops the runs: no run starts from then on.
        try:
            m.pool_threads()
        except RuntimeError:
            return True
        return False

    def join_at_exit(worker):
        def join():
            worker.join(10)
            print("worker alive after join" if worker.is_alive() else "joined", flush=True)
        atexit.register(join)
""")


def run_program(code):
    return subprocess.run([sys.executable, "-c", WAITING_WORKER + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=HUNG_AFTER)


def test_a_wake_up_the_closed_pool_never_sent_is_sent_by_the_stop():
    # An I/O thread wakes the parked run once the pool is closed, as it is first
    # thing at exit: the wake-up it hands to the pool is never run there, and
    # the stop must send it.
    done = run_program("""
        parked = threading.Event()

        async def mark_parked():  # stepped right after the run's first poll parked it
            parked.set()

        worker = threading.Thread(target=work, daemon=True,
                                  args=(lambda: m.wait_for_wake_then_call(lambda: None), mark_parked))
        worker.start()
        parked.wait()
        m.close_blocking_pool()
        m.wake_from_io_thread()  # returns once the wake-up is on its way to the closed pool
        join_at_exit(worker)
        sys.exit(3)
    """)
    assert done.returncode == 3, done.stderr
    assert done.stdout.splitlines() == ["stopped: run stopped: the interpreter is exiting", "joined"], done.stderr


def test_ctrl_c_while_the_exit_waits_for_a_callback_stops_every_run_and_is_raised():
    # The exit waits for a job in flight, which sends SIGINT meanwhile; its
    # KeyboardInterrupt comes as the stop wakes the waiting run. The run must
    # still end, and the interrupt must be raised (threading's shutdown reports
    # it and the exit goes on), not swallowed.
    done = run_program("""
        started = threading.Event()

        def busy():
            started.set()
            while not engine_closed():  # the exit's stop has begun and waits for this job
                time.sleep(0.01)
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.5)

        worker = threading.Thread(target=work, daemon=True, args=(
            lambda: m.sleep_then_call(60, lambda: None), lambda: m.sleep_then_call(0, busy)))
        worker.start()
        started.wait()
        join_at_exit(worker)
        sys.exit(3)
    """)
    assert done.returncode == 3, done.stderr
    assert done.stdout.splitlines() == ["stopped: run stopped: the interpreter is exiting", "joined"], done.stderr
    assert "Exception ignored on threading shutdown" in done.stderr, done.stderr
    assert "KeyboardInterrupt" in done.stderr, done.stderr
