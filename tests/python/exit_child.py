"""A process that leaves while a varnel run is in flight, for test_exit.py and
bench/exit_stress.py. It must end with its own exit code, never by a signal.

    python exit_child.py MODE EXIT_AFTER

MODE: client (a client run against an echo peer of this process), server (a
server run serving raw clients of this process), thread (a client run on a
daemon thread while the main thread leaves), plain (as client, but the script
ends without SystemExit: exit code 0), stuck (as client, with one callback that
outlasts the exit's wait for callbacks). EXIT_AFTER is in seconds.
"""
import asyncio
import sys
import threading
import time

import varnel.cases
import varnel._varnel as v
from varnel.cases.case import Case

from frames import accept_upgrade, request_case

CASES = 200
EXIT_CODE = 5
EXIT_CODES = {"client": EXIT_CODE, "server": EXIT_CODE, "thread": EXIT_CODE, "plain": 0,
              "stuck": EXIT_CODE}


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


async def client_run(exit_after):
    server = await asyncio.start_server(echo_peer, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    asyncio.ensure_future(v.run_fuzzingclient(f"ws://127.0.0.1:{port}", concurrency=CASES))
    await asyncio.sleep(exit_after)


async def server_run(exit_after):
    async with v.run_fuzzingserver(port=0) as server:
        for n in range(1, CASES + 1):
            asyncio.ensure_future(raw_client(server.port, n))
        await asyncio.sleep(exit_after)


def main():
    mode, exit_after = sys.argv[1], float(sys.argv[2])
    cases = {f"1.{n}": Slow for n in range(1, CASES + 1)}
    if mode == "stuck":
        cases["1.1"] = Stuck
    varnel.cases.CASES = cases
    if mode == "thread":
        threading.Thread(target=asyncio.run, args=(client_run(60),), daemon=True).start()
        time.sleep(exit_after)
    else:
        asyncio.run(server_run(exit_after) if mode == "server" else client_run(exit_after))
    if mode != "plain":
        sys.exit(EXIT_CODES[mode])


if __name__ == "__main__":
    main()
