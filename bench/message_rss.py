"""Resident memory while onMessage runs for one large message, plain and compressed.

A peer in a child process sends one message of --mib MiB (60 MiB for stored
blocks, so the frame stays within the engine's frame limit), then a close. The
case reads the process's resident set inside onMessage, with only the message
object it was given alive on its side. Reported per kind, against the resident
set just before the case: inside onMessage, and the peak of the whole run. The
plain message is the floor: one copy of it is what Python holds.

Each kind runs in a fresh process of its own, so peaks do not mix.

    PYTHONPATH=build/ft/pkg:build/ft/testing python3.14t bench/message_rss.py
"""

import argparse
import asyncio
import json
import os
import resource
import subprocess
import sys

KINDS = ["plain", "text", "zeros", "stored"]

PEER = """
import asyncio, os, random, sys, zlib
kind, size = sys.argv[1], int(sys.argv[2])

def text(n):
    rng = random.Random(7)
    words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
             for _ in range(4000)]
    block = " ".join(rng.choices(words, k=200_000)).encode()[: 1 << 20]
    return (block * (n // len(block) + 1))[:n]

def deflated(data, level):
    co = zlib.compressobj(level, zlib.DEFLATED, -15)
    out = co.compress(data) + co.flush(zlib.Z_SYNC_FLUSH)
    assert out.endswith(b"\\x00\\x00\\xff\\xff")
    return out[:-4]

# A text frame; RSV1 set on the compressed ones.
if kind == "plain":
    payload, first = text(size), 0x81
elif kind == "text":
    payload, first = deflated(text(size), 6), 0xC1
elif kind == "zeros":
    payload, first = deflated(bytes(size), 6), 0xC1
else:
    payload, first = deflated(os.urandom(size), 0), 0xC1
frame = bytes([first, 127]) + len(payload).to_bytes(8, "big") + payload
del payload

async def handle(reader, writer):
    writer.write(frame)
    writer.write(bytes.fromhex("880203e8"))
    await writer.drain()
    await reader.read()
    writer.close()
    done.set()

async def main():
    global done
    done = asyncio.Event()
    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], len(frame) - 10, flush=True)
    await done.wait()

asyncio.run(main())
"""


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / (1 << 20)


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def child(kind, mib):
    import _testing_runner as t
    from varnel.cases.case import Case

    size = (60 if kind == "stored" else mib) << 20
    inside = {}

    class Measure(Case):
        def __init__(self, p):
            super().__init__(p)
            p.createWirelog = False
            if kind != "plain":
                t.install_deflate(p)

        def onMessage(self, payload, isBinary):
            inside["rss"] = rss_mib()
            inside["length"] = len(payload)

    async def main():
        peer = await asyncio.create_subprocess_exec(sys.executable, "-c", PEER, kind, str(size),
                                                    stdout=asyncio.subprocess.PIPE)
        port, wire = map(int, (await peer.stdout.readline()).split())
        before, before_peak = rss_mib(), peak_mib()
        [r] = await t.run_case(port, Measure)
        await peer.wait()
        assert inside.get("length") == size, (inside, r.result)
        return {"kind": kind, "wire_mib": wire / (1 << 20), "message_mib": size / (1 << 20),
                "inside": inside["rss"] - before, "peak": peak_mib() - before_peak}

    print(json.dumps(asyncio.run(main())), flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--child", choices=KINDS, help=argparse.SUPPRESS)
    ap.add_argument("--mib", type=int, default=64, help="message size (stored blocks: 60)")
    ap.add_argument("--kinds", nargs="+", choices=KINDS, default=KINDS)
    args = ap.parse_args()
    if args.child:
        return child(args.child, args.mib)
    print("message                 on the wire   inside onMessage   peak of the run (resident, MiB above the start)")
    for kind in args.kinds:
        done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", kind, "--mib", str(args.mib)],
                              capture_output=True, text=True, timeout=600)
        if done.returncode != 0:
            raise SystemExit(f"{kind} failed:\n{done.stderr[-3000:]}")
        r = json.loads(done.stdout.strip().splitlines()[-1])
        label = {"plain": "plain text", "text": "compressed text", "zeros": "compressed zeros",
                 "stored": "stored blocks"}[kind]
        print(f"{label:<17} {r['message_mib']:3.0f} MiB {r['wire_mib']:9.1f} MiB {r['inside']:+14.1f} MiB "
              f"{r['peak']:+14.1f} MiB", flush=True)


if __name__ == "__main__":
    main()
