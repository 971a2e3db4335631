"""Peak RSS that a flood of empty frames adds to the process running the case.

A peer in a child process sends empty pongs (or empty continuation fragments,
--frame cont) as fast as the case takes them for --seconds, then closes. The case
here only answers. Reported: frames the case saw, and ru_maxrss before the case
and after its CaseResult (wire log included) was built, with the result alive.
Run twice for a side-by-side: once as is, once with --no-wirelog (logging off from
the start, the floor any cap can reach).

    PYTHONPATH=build/ft/pkg:build/ft/testing python3.14t bench/flood_rss.py
"""

import argparse
import asyncio
import resource
import sys
import time

import _testing_runner as t

PEER = """
import asyncio, sys, time
frame, seconds = bytes.fromhex(sys.argv[1]), float(sys.argv[2])

async def handle(reader, writer):
    burst = frame * 32768
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        writer.write(burst)
        await writer.drain()
    writer.write(bytes.fromhex("880203e8"))
    await writer.drain()
    await reader.read()
    writer.close()
    done.set()

async def main():
    global done
    done = asyncio.Event()
    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    await done.wait()

asyncio.run(main())
"""


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


class Quiet:
    DESCRIPTION = EXPECTATION = ""
    wirelog = True

    def __init__(self, p):
        self.p = p
        p.createWirelog = self.wirelog
        self.behavior = self.behaviorClose = "OK"
        self.reportTime = self.reportCompressionRatio = False
        self.expected, self.expectedClose, self.received = {}, {}, []
        self.result = self.resultClose = ""
        self.trafficStats = None

    def onOpen(self): pass
    def onMessage(self, payload, isBinary): pass
    def onPing(self, payload): pass
    def onPong(self, payload): pass
    def onClose(self, wasClean, code, reason): pass
    def onConnectionLost(self, failed): pass


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--frame", choices=["pong", "cont"], default="pong")
    ap.add_argument("--no-wirelog", action="store_true")
    args = ap.parse_args()
    Quiet.wirelog = not args.no_wirelog
    frame = "8a00" if args.frame == "pong" else "0000"
    peer = await asyncio.create_subprocess_exec(sys.executable, "-c", PEER, frame, str(args.seconds),
                                                stdout=asyncio.subprocess.PIPE)
    port = int(await peer.stdout.readline())
    before = peak_mib()
    start = time.monotonic()
    [r] = await t.run_case(port, Quiet)
    elapsed = time.monotonic() - start
    after = peak_mib()
    await peer.wait()
    frames = sum(r.rx_frame_stats.values())
    print(f"{args.frame} flood {args.seconds:g} s, wire log {'on' if Quiet.wirelog else 'off'}: "
          f"{frames} frames in {elapsed:.1f} s, {len(r.wirelog)} log entries, "
          f"peak RSS {before:.1f} -> {after:.1f} MiB (+{after - before:.1f} MiB)")


asyncio.run(main())
