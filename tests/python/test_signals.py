"""Process signals belong to Python's threads, not the engine's.

A signal sent to the process goes to any one thread that does not block it, and
Python acts on it only when the main thread next runs. The engine's threads
must therefore block the asynchronous signals, except while one runs a Python
callback: then it has a Python thread's mask, which a process it starts inherits.
"""
import json
import pathlib
import signal
import subprocess
import sys
import textwrap

# Asserts nothing about time: the sleep only lets idle pool threads park.
PROBE = textwrap.dedent("""
    import asyncio, json, os, subprocess, sys, threading, time
    sys.path.insert(0, sys.argv[1])
    import varnel.cases
    import varnel._varnel as v
    from varnel.cases.case import Case
    from frames import accept_upgrade

    seen = {}

    def blocked_signals():
        masks = {}
        for tid in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{tid}/status") as status:
                    masks.update((int(tid), int(line.split()[1], 16))
                                 for line in status if line.startswith("SigBlk:"))
            except FileNotFoundError:
                pass  # the thread has just ended
        return masks

    class Probe(Case):
        def onOpen(self):
            time.sleep(0.2)
            seen["masks"] = blocked_signals()
            seen["callback"] = threading.get_native_id()
            seen["python"] = [t.native_id for t in threading.enumerate()]
            sleeper = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
            sleeper.terminate()
            seen["sleeper"] = sleeper.wait(60)
            self.behavior = self.behaviorClose = "OK"
            self.p.sendClose(1000)

    async def echo_peer(reader, writer):
        await accept_upgrade(reader, writer)
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()

    async def main():
        server = await asyncio.start_server(echo_peer, "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        await v.run_fuzzingclient(f"ws://127.0.0.1:{port}")

    varnel.cases.CASES = {"1.1": Probe}
    asyncio.run(main())
    seen["main"] = threading.main_thread().native_id
    print(json.dumps(seen))
""")


def bit(signo):
    return 1 << (signo - 1)


def test_engine_threads_block_process_signals_while_callbacks_keep_pythons_mask():
    done = subprocess.run([sys.executable, "-c", PROBE, str(pathlib.Path(__file__).parent)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    masks = {int(tid): mask for tid, mask in seen["masks"].items()}
    # A process a callback starts takes SIGTERM like any other.
    assert seen["sleeper"] == -signal.SIGTERM
    assert masks[seen["callback"]] == masks[seen["main"]]
    engine = {tid: mask for tid, mask in masks.items()
              if tid not in seen["python"] and tid != seen["callback"]}
    assert engine, masks
    wanted = bit(signal.SIGINT) | bit(signal.SIGTERM) | bit(signal.SIGHUP) | bit(signal.SIGUSR1)
    unblocked = {tid: hex(mask) for tid, mask in engine.items() if mask & wanted != wanted}
    assert not unblocked, f"engine threads that take process signals: {unblocked}"
