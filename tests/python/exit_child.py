"""A process that leaves while a varnel run is in flight, for test_exit.py and
bench/exit_stress.py. It must end with its own exit code, never by a signal.

    python exit_child.py MODE EXIT_AFTER

MODE: client (a client run against an echo peer of this process), server (a
server run serving raw clients of this process), thread (a client run on a
daemon thread while the main thread leaves), plain (as client, but the script
ends without SystemExit: exit code 0), stuck (as client, with one callback that
outlasts the exit's wait for callbacks). Runs that start while the interpreter
exits: handler (an exit handler runs a client run for EXIT_AFTER and returns
with it in flight), handler-thread (an exit handler leaves a client run on a
daemon thread), late-import (as handler-thread, the module first imported in the
handler), cleared (as client, the program clearing the exit handlers once the
run is under way). fork (a client run to its end, then one in a child of
fork(), whose exit code is this process's). EXIT_AFTER is in seconds.

With EXIT_CHILD_MARK set to a path, the run has one case, whose opening callback
is still running when the process leaves and creates that file when it ends.
"""
import asyncio
import atexit
import importlib
import multiprocessing
import os
import pathlib
import sys
import threading
import time
import warnings

import varnel.cases
from varnel.cases.case import Case

from frames import accept_upgrade, request_case

CASES = 200
EXIT_CODE = 5
EXIT_CODES = {"client": EXIT_CODE, "server": EXIT_CODE, "thread": EXIT_CODE, "plain": 0,
              "stuck": EXIT_CODE, "handler": EXIT_CODE, "handler-thread": EXIT_CODE,
              "late-import": EXIT_CODE, "cleared": EXIT_CODE, "fork": EXIT_CODE}


class Slow(Case):
    """A case whose callbacks each sleep a little; it never ends by itself."""
    open_for = 0.2

    def __init__(self, protocol):
        super().__init__(protocol)
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


class Marked(Slow):
    """Its opening callback outlasts the process's exit handlers, and leaves a mark."""

    def onOpen(self):
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


async def client_run(exit_after, clear_exit_handlers=False):
    import varnel._varnel as v
    server = await asyncio.start_server(echo_peer, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    asyncio.ensure_future(v.run_fuzzingclient(f"ws://127.0.0.1:{port}", concurrency=CASES))
    await asyncio.sleep(exit_after)
    if clear_exit_handlers:
        atexit._clear()


async def server_run(exit_after):
    import varnel._varnel as v
    async with v.run_fuzzingserver(port=0) as server:
        for n in range(1, CASES + 1):
            asyncio.ensure_future(raw_client(server.port, n))
        await asyncio.sleep(exit_after)


async def quick_run():
    """A whole run of a few quick cases; their results."""
    import varnel._varnel as v
    server = await asyncio.start_server(echo_peer, "127.0.0.1", 0)
    async with server:
        port = server.sockets[0].getsockname()[1]
        return await v.run_fuzzingclient(f"ws://127.0.0.1:{port}", concurrency=4)


def run_on_daemon_thread():
    threading.Thread(target=asyncio.run, args=(client_run(60),), daemon=True).start()


def run_quick_cases():
    """Leaves with EXIT_CODE when a whole run of quick cases passed."""
    results = asyncio.run(quick_run())
    sys.exit(EXIT_CODE if len(results) == 8 and all(r.passed for r in results) else 1)


def fork_after_a_run():
    """A run to its end, then one in a child of os.fork() and one in a process of
    multiprocessing's fork start method; leaves with the first wrong exit code."""
    warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
    varnel.cases.CASES = {f"1.{n}": Quick for n in range(1, 9)}
    assert all(r.passed for r in asyncio.run(quick_run()))
    pid = os.fork()
    if pid == 0:
        run_quick_cases()
    forked = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    process = multiprocessing.get_context("fork").Process(target=run_quick_cases)
    process.start()
    process.join()
    sys.exit(forked if forked != EXIT_CODE else process.exitcode)


def main():
    mode, exit_after = sys.argv[1], float(sys.argv[2])
    if mode == "fork":
        fork_after_a_run()
    if mode != "late-import":
        importlib.import_module("varnel._varnel")  # before any exit handler, as programs do
    cases = {f"1.{n}": Slow for n in range(1, CASES + 1)}
    if mode == "stuck":
        cases["1.1"] = Stuck
    if "EXIT_CHILD_MARK" in os.environ:
        cases = {"1.1": Marked}
    varnel.cases.CASES = cases
    if mode == "handler":
        atexit.register(lambda: asyncio.run(client_run(exit_after)))
    elif mode in ("handler-thread", "late-import"):
        atexit.register(lambda: (run_on_daemon_thread(), time.sleep(exit_after)))
    elif mode == "thread":
        run_on_daemon_thread()
        time.sleep(exit_after)
    elif mode == "server":
        asyncio.run(server_run(exit_after))
    else:
        asyncio.run(client_run(exit_after, clear_exit_handlers=mode == "cleared"))
    if mode != "plain":
        sys.exit(EXIT_CODES[mode])


if __name__ == "__main__":
    main()
