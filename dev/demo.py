"""Demo run: a websockets echo server on 127.0.0.1 and the bundled cases run
against it with run_fuzzingclient, one line per result."""

import asyncio
import sys

import websockets

import varnel
from varnel._varnel import run_fuzzingclient

print(f"Python {sys.version}")
print(f"GIL enabled after importing varnel._varnel: {sys._is_gil_enabled()}")


async def echo(ws):
    try:
        async for message in ws:
            await ws.send(message)
    except websockets.ConnectionClosed:
        pass


async def main():
    async with websockets.serve(echo, "127.0.0.1", 0, compression=None) as server:
        port = server.sockets[0].getsockname()[1]
        print(f"echo server on 127.0.0.1:{port}; running the bundled cases")
        try:
            results = await run_fuzzingclient(f"ws://127.0.0.1:{port}")
            outcome = "all cases passed"
        except varnel.FailureError as failure:
            results = failure.results
            outcome = str(failure).splitlines()[0]
    for r in results:
        print(f"  {r.case_index:2} {r.case_id:8} {r.behavior.value:13} {r.behavior_close.value:13} {r.result}")
    print(outcome)


asyncio.run(main())
