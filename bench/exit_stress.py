"""Leaves many processes while varnel runs are in flight and counts how each
ended: with its own exit code, by a signal, or hung (killed after a limit).

    python exit_stress.py [--children N] [--at-once K] [--modes client,server,...]
                          [--busy] [--limit SECONDS]

With --busy, one spinning process per core keeps the machine loaded, which is
when exits race hardest. Figures only; the exit tests assert the same thing on
fewer children.
"""
import argparse
import collections
import multiprocessing
import os
import pathlib
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

CHILD = pathlib.Path(__file__).resolve().parent.parent / "tests" / "python" / "exit_child.py"
sys.path.insert(0, str(CHILD.parent))
from exit_child import EXIT_CODES as EXPECTED  # noqa: E402


def spin():
    while True:
        pass


def outcome(proc, mode):
    rc = proc.returncode
    if rc == EXPECTED[mode]:
        return "own code"
    if rc < 0:
        return f"signal {signal.Signals(-rc).name}"
    return f"exit {rc}"


def run(children, at_once, modes, limit, env):
    counts = collections.Counter()
    failures = []
    durations = []
    joins = []  # how long after the exit began an exit handler's join returned
    exits = []  # how long after the exit began the process ended
    pending = [(modes[i % len(modes)], random.uniform(0.15, 0.3)) for i in range(children)]
    running = []
    while pending or running:
        while pending and len(running) < at_once:
            mode, after = pending.pop()
            # A file, not a pipe: a child must never wait on its reader.
            err = tempfile.TemporaryFile()
            proc = subprocess.Popen([sys.executable, str(CHILD), mode, f"{after:.3f}"],
                                    stdout=subprocess.DEVNULL, stderr=err, env=env)
            proc.err = err
            running.append((proc, mode, time.monotonic()))
        time.sleep(0.02)
        for entry in list(running):
            proc, mode, started = entry
            if proc.poll() is None:
                if time.monotonic() - started < limit:
                    continue
                if os.environ.get("EXIT_STRESS_KEEP_HUNG"):
                    print(f"hung: pid {proc.pid} (ns), mode {mode}", flush=True)
                    proc.wait()
                proc.kill()
                proc.wait()
                counts[(mode, "hung")] += 1
                failures.append((mode, "hung", ""))
                running.remove(entry)
                continue
            ended = time.monotonic()
            durations.append(ended - started)
            proc.err.seek(0)
            err = proc.err.read().decode(errors="replace")
            proc.err.close()
            joins += [float(took) for took in re.findall(r"join took ([0-9.]+) s", err)]
            exits += [ended - float(began) for began in re.findall(r"exit began ([0-9.]+)", err)]
            what = outcome(proc, mode)
            if what == "own code" and "worker alive after join" in err:
                what = "join timed out"  # the run the exit stopped never ended
            counts[(mode, what)] += 1
            if what != "own code" or "ThreadSanitizer" in err:
                failures.append((mode, what, err[-2000:]))
            running.remove(entry)
    return counts, failures, sorted(durations), sorted(joins), sorted(exits)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--children", type=int, default=160)
    ap.add_argument("--at-once", type=int, default=8)
    ap.add_argument("--modes", default="client,server")
    ap.add_argument("--busy", action="store_true")
    ap.add_argument("--limit", type=float, default=60.0)
    args = ap.parse_args()
    spinners = []
    if args.busy:
        spinners = [multiprocessing.Process(target=spin, daemon=True) for _ in range(os.cpu_count() or 1)]
        for s in spinners:
            s.start()
    try:
        started = time.monotonic()
        counts, failures, durations, joins, exits = run(args.children, args.at_once, args.modes.split(","),
                                                 args.limit, dict(os.environ))
        took = time.monotonic() - started
    finally:
        for s in spinners:
            s.terminate()
    print(f"{args.children} children, {args.at_once} at once, busy={args.busy}, {took:.1f} s")
    for what, times in (("each child (of those that ended)", durations),
                        ("exit (until the process ended, within 20 ms)", exits),
                        ("join after the exit began", joins)):
        if times:
            print(f"  {what}: median {times[len(times) // 2]:.2f} s, max {times[-1]:.2f} s")
    for (mode, what), n in sorted(counts.items()):
        print(f"  {mode:7} {what:20} {n}")
    for mode, what, err in failures[:3]:
        print(f"--- {mode}: {what}\n{err}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
