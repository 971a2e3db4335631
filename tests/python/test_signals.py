"""Process signals belong to Python's threads, not the engine's.

A signal sent to the process goes to any one thread that does not block it, and
Python acts on it only when the main thread next runs. The engine's I/O threads
block the asynchronous signals; the threads that run Python callbacks have a
Python thread's mask, which a process a callback starts inherits, and must never
block and restore it: that takes a pending signal meant for the main thread.
"""
import json
import pathlib
import platform
import signal
import subprocess
import sys
import sysconfig
import textwrap

import pytest

# Asserts nothing about time: the sleep only lets idle pool threads park.
PROBE = textwrap.dedent("""
    import asyncio, json, os, signal, subprocess, sys, threading, time
    sys.path.insert(0, sys.argv[1])
    import varnel.cases
    import varnel._varnel as v
    from varnel.cases.case import Case
    from frames import accept_upgrade

    # Whatever the launcher ignored or blocked: the signals sent here act as by default.
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGTERM, signal.SIGUSR1})
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
            seen["callback_ident"] = threading.get_ident()
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
    # A signal sent to the callback's thread, idle now, is handled (when the
    # main thread next runs).
    handled = []
    signal.signal(signal.SIGUSR1, lambda *_: handled.append(True))
    signal.pthread_kill(seen["callback_ident"], signal.SIGUSR1)
    deadline = time.monotonic() + 30
    while not handled and time.monotonic() < deadline:
        time.sleep(0.01)
    seen["handled"] = bool(handled)
    print(json.dumps(seen))
""")


def bit(signo):
    return 1 << (signo - 1)


def test_engine_threads_block_process_signals_and_callback_threads_keep_pythons_mask():
    done = subprocess.run([sys.executable, "-c", PROBE, str(pathlib.Path(__file__).parent)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    masks = {int(tid): mask for tid, mask in seen["masks"].items()}
    # A process a callback starts takes SIGTERM like any other.
    assert seen["sleeper"] == -signal.SIGTERM
    python_mask = masks[seen["main"]]
    assert masks[seen["callback"]] == python_mask
    assert seen["handled"], "a signal sent to an idle callback thread was never handled"
    # The I/O threads block them; the threads that run callbacks keep Python's
    # mask all along, idle or not, and nothing else may take a process signal.
    engine = {tid: mask for tid, mask in masks.items() if tid not in seen["python"]}
    wanted = bit(signal.SIGINT) | bit(signal.SIGTERM) | bit(signal.SIGHUP) | bit(signal.SIGUSR1)
    blocking = {tid for tid, mask in engine.items() if mask & wanted == wanted}
    assert blocking, masks
    others = {tid: hex(mask) for tid, mask in engine.items() if tid not in blocking and mask != python_mask}
    assert not others, f"engine threads that take process signals: {others}"


# Statistical: whether a thread steals a signal depends on timing. Signals
# arrive one at a time for the main thread, which sleeps, and shares its
# processor with busy processes, so that each stays pending a while. Right
# after each one is sent, two pool threads draw their first masking key. A
# thread that blocks and restores its signals then (as glibc's getrandom does
# on a thread's first call) takes the pending one, and the main thread sleeps
# on. Once no thread has it pending any more, the main thread either took it
# and runs its handler before it waits again, or still waits: then it was
# stolen. The draws follow the signals, and the verdict follows who took each,
# not a clock, so a slow machine tests as many of them, and as surely, as a
# fast one.
FIRST_KEYS = textwrap.dedent("""
    import asyncio, functools, os, random, select, signal, subprocess, sys, threading, time
    import _testing_asyncrt as m

    SIGNALS, THREADS, BUSY = 64, 128, 3
    # Whatever the launcher blocked, these signals reach the threads that do not block them.
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGUSR1, signal.SIGUSR2})
    handled = threading.Event()
    signal.signal(signal.SIGUSR1, lambda *_: handled.set())
    signal.signal(signal.SIGUSR2, lambda *_: None)
    main, main_tid = threading.get_ident(), threading.get_native_id()
    woken, wake_main = os.pipe()
    sent = [threading.Event() for _ in range(SIGNALS)]
    counts = {"sent": 0, "stolen": 0}

    def main_in_select():
        with open(f"/proc/self/task/{main_tid}/syscall") as syscall:
            return syscall.read().split()[0] in ("23", "270")  # select, pselect6

    def pending_for_the_process(signo):
        with open("/proc/self/status") as status:
            shared = next(line for line in status if line.startswith("ShdPnd:"))
        return int(shared.split()[1], 16) >> (signo - 1) & 1

    # Waits until the signal sent is handled (False), or was taken by a thread
    # that left the main one waiting (True).
    def stolen():
        while not handled.wait(0.05):  # quiet while it is pending: draws may take it
            # The main thread runs the handler of one it took before it waits again.
            if not pending_for_the_process(signal.SIGUSR1) and main_in_select() and not handled.is_set():
                return True
        return False

    def send_signals():
        for signal_sent in sent:
            # Only once the main thread is back in select(): one that came
            # while it ran the last handler would not wake it.
            while not main_in_select():
                time.sleep(0.0001)
            handled.clear()
            os.kill(os.getpid(), signal.SIGUSR1)
            counts["sent"] += 1
            signal_sent.set()
            if stolen():
                counts["stolen"] += 1
                signal.pthread_kill(main, signal.SIGUSR2)
                handled.wait()
                break
        for signal_sent in sent:
            signal_sent.set()

    def first_key(after):
        after.wait()
        m.draw_mask_key()

    async def jobs(calls):
        await asyncio.gather(*(m.sleep_then_call(0, call) for call in calls))

    def runs():
        # Every thread, the pool's too, is started before the first signal.
        asyncio.run(jobs([lambda: time.sleep(0.3)] * THREADS))
        sender = threading.Thread(target=send_signals)
        sender.start()
        draws = [functools.partial(first_key, random.choice(sent)) for _ in range(THREADS)]
        asyncio.run(jobs(draws))
        sender.join()
        os.write(wake_main, b"x")

    threading.Thread(target=runs).start()
    cpu = min(os.sched_getaffinity(0))
    busy = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(BUSY)]
    for process in busy:
        os.sched_setaffinity(process.pid, {cpu})
    os.sched_setaffinity(main_tid, {cpu})
    select.select([woken], [], [], 300)
    for process in busy:
        process.kill()
    print(counts["stolen"], counts["sent"])
""")


@pytest.mark.skipif(platform.machine() != "x86_64", reason="reads x86_64 system call numbers")
@pytest.mark.skipif("--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or ""),
                    reason="ThreadSanitizer runs signal handlers late, at its own points")
def test_drawing_masking_keys_leaves_process_signals_to_the_main_thread():
    done = subprocess.run([sys.executable, "-c", FIRST_KEYS], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    stolen, sent = map(int, done.stdout.split())
    assert stolen == 0, f"signal {sent} was taken by another thread"
