#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What a wait of evwait-trigger costs, for each build given; prints one Markdown table.

Usage: bench/trigger_cost.py [--runs N] LABEL=BUILD_DIR ...
  e.g. bench/trigger_cost.py native=build arm=build-arm arm-musl=build-arm-musl arm64=build-arm64

The program runs as that build's trigger_end_to_end test runs it (its emulator, if any, from ctest
--show-only), with

    evwait-trigger --keys=KEY_A --console-key=f --window=5

in the private mount namespace of tests/end_to_end.py, whose /dev/input holds three FIFO stand-ins, none
an input event device, so that it skips them all and waits on its inotify watch and on standard input, a
pseudo-terminal. A key device needs a kernel: the booted tests measure that path.

- syscalls per run: strace -f -c (qemu -strace under emulation), a run in which nothing is typed (the
  window passes, status 1) / a run in which "f" and Enter are typed (status 0), median of three each;
- syscalls while waiting: calls begun after the first poll() began and before the last one returned
  (the window's end, or the console line), in both kinds of run: a wait that polls shows here;
- CPU time (user + system, median) and peak RSS (highest) of the program alone (bench/rusage.c), over N
  runs with nothing typed, and over N runs with --window=0 (no wait), which shows what the wait adds;
- latency: from writing "f\\n" on the terminal to reading the line "evwait-trigger: f typed on the
  console", over N runs, typed on one at a time.
"""
import argparse, math, os, pty, statistics, subprocess, sys, tempfile, time
from pathlib import Path

from cost import ENTRY, build_launcher, calls_logged, calls_not_found, end_run, load_target, logged, parallel

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from end_to_end import launch, lay_out_devices, open_namespace, read_lines  # noqa: E402
from trigger_end_to_end import TYPED  # noqa: E402

WINDOW = 5
ARGS = ["--keys=KEY_A", "--console-key=f", f"--window={WINDOW}"]
NO_WAIT = ["--keys=KEY_A", "--console-key=f", "--window=0"]
PROMPT = f"Hold or press KEY_A, or type f and Enter, within {WINDOW} seconds for recovery"
NO_WAIT_PROMPT = "Hold KEY_A at power-on, or type f and Enter ahead of the boot, for recovery"
POLLS = {"poll", "ppoll", "ppoll_time64"}


class TriggerRun:
    """One run in the namespace with three FIFO stand-ins and a pseudo-terminal as standard input, as
    `command(tmp)` starts it in its directory tmp with `args`; returns from __init__ once the prompt is read."""

    def __init__(self, ns, target, command, args):
        self.label, self.args, self.typed = target.label, args, False
        self.tmp = tempfile.mkdtemp()
        self.held = lay_out_devices(self.tmp, "fff")
        self.terminal, slave = pty.openpty()
        self.err = open(f"{self.tmp}/stderr", "w+")
        self.proc = launch(ns, self.tmp, command(self.tmp) + args, stdin=slave, stdout=subprocess.PIPE,
                           stderr=self.err)
        os.close(slave)
        self.out = read_lines(self.proc.stdout, 1)

    def type_key(self):
        """Types f and Enter on the terminal; returns the seconds until the program's line was read."""
        start = time.perf_counter()
        os.write(self.terminal, b"f\n")
        self.out = read_lines(self.proc.stdout, 2, self.out)
        self.typed = True
        return time.perf_counter() - start

    def finish(self, name):
        """Waits for the end of the run, checks that it went as it should, returns the file `name` it left."""
        if self.args == NO_WAIT:
            want = ([NO_WAIT_PROMPT], 1)
        else:
            want = ([PROMPT, TYPED], 0) if self.typed else ([PROMPT], 1)
        return end_run(self, [*self.held.values(), self.terminal], want, self.label, name)


def calls_while_waiting(log):
    """Calls begun after the first poll() began and before the last poll() returned; a single-threaded
    program's log shows a call whole, so they are the calls from the one to the other."""
    names = ENTRY.findall(log)
    polls = [i for i, name in enumerate(names) if name in POLLS]
    if not polls:
        raise RuntimeError("no poll() in this log:\n" + log)
    return polls[-1] - polls[0]


def syscall_counts(ns, target, repeats=3):
    """(calls in a run with nothing typed, calls in a run with the console key typed: medians of `repeats`
    runs; the most calls made while waiting in either; calls that found no file in the first kind, or None
    where strace counted), or None without a tracer."""
    if target.emulator and not Path(target.emulator[0]).name.startswith("qemu-"):
        return None
    summary = not target.emulator

    def one(typed, summary):
        run = TriggerRun(ns, target, logged(target, summary), ARGS)
        if typed:
            time.sleep(1)  # typed once the program waits
            run.type_key()
        return run.finish("log")

    runs = [lambda: one(False, summary)] * repeats + [lambda: one(True, summary)] * repeats
    if summary:  # strace's summary has no order: one full log of each kind for the calls while waiting
        runs += [lambda: one(False, False), lambda: one(True, False)]
    logs = parallel(runs)
    count = lambda log: calls_logged(log, summary)  # noqa: E731
    full = logs[-2:] if summary else logs
    return (statistics.median(map(count, logs[:repeats])), statistics.median(map(count, logs[repeats:2 * repeats])),
            max(map(calls_while_waiting, full)), None if summary else calls_not_found(logs[0]))


def usage(ns, target, launcher, count, args):
    """CPU times (ms) and peak resident sizes (KiB) of `count` runs with `args` and nothing typed."""
    command = lambda tmp: [launcher, f"{tmp}/rusage"] + target.emulator + [target.exe]  # noqa: E731
    runs = parallel([lambda: TriggerRun(ns, target, command, args)] * count)
    texts = parallel([lambda r=r: r.finish("rusage") for r in runs])
    usage = [[int(n) for n in text.split()] for text in texts]
    return [(user + system) / 1000 for user, system, _ in usage], [rss for *_, rss in usage]


def latencies(ns, target, count):
    """Seconds from typing the console key to reading its line, in `count` runs, typed on one at a time."""
    command = lambda tmp: target.emulator + [target.exe]  # noqa: E731
    runs = parallel([lambda: TriggerRun(ns, target, command, ARGS)] * count)
    time.sleep(0.3)  # typed once every program waits in poll(): what comes before would only be read sooner
    took = []
    for run in runs:
        time.sleep(0.05)
        took.append(run.type_key())
    parallel([lambda r=r: r.finish("stderr") for r in runs])
    return took


def row(target, counts, waiting_cpu, no_wait_cpu, rss, took):
    emulated = bool(target.emulator)
    sysroot = f" ({counts[3]} not found ³)" if counts and "-L" in target.emulator else ""
    took = sorted(took)
    p95 = took[math.ceil(0.95 * len(took)) - 1]
    mark = " ²" if emulated else ""
    cells = [target.label,
             f"{counts[0]} / {counts[1]}{sysroot}" if counts else "n/a",
             str(counts[2]) if counts else "n/a",
             f"{statistics.median(waiting_cpu):.2f} / {statistics.median(no_wait_cpu):.2f}{mark}",
             "n/a ²" if emulated else str(max(rss)),
             f"{statistics.median(took) * 1000:.3f} / {p95 * 1000:.3f}" + (" ¹" if emulated else "")]
    return "| " + " | ".join(cells) + " |"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=20, help="runs for latency, CPU time and RSS")
    parser.add_argument("builds", nargs="+", metavar="LABEL=BUILD_DIR")
    args = parser.parse_args()
    targets = [load_target(*build.split("=", 1), test="trigger_end_to_end", yardstick=False)
               for build in args.builds]
    ns = open_namespace()
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        launcher = build_launcher(tmp)
        for target in targets:
            print(f"measuring {target.label}: {' '.join(target.emulator + [target.exe] + ARGS)}", file=sys.stderr)
            counts = syscall_counts(ns, target)
            waiting_cpu, rss = usage(ns, target, launcher, args.runs, ARGS)
            no_wait_cpu, _ = usage(ns, target, launcher, args.runs, NO_WAIT)
            rows.append(row(target, counts, waiting_cpu, no_wait_cpu, rss, latencies(ns, target, args.runs)))
    print(f"| build | syscalls per run: nothing typed / f typed | syscalls while waiting | CPU time per run, ms: "
          f"{WINDOW} s window / window 0 | peak RSS, KiB | typed-to-line latency, ms: median / p95 |")
    print("|---|---|---|---|---|---|")
    print("\n".join(rows))
    notes = [f"{args.runs} runs per build for each of latency, CPU time (median) and RSS (highest)."]
    if any(t.emulator for t in targets):
        notes += ["¹ Under qemu-user the emulator's translation is timed along with the program.",
                  "² Under qemu-user the CPU time is the emulator's, the program's included: a bound that a wait "
                  "spinning on the CPU would pass by seconds; the resident size, the emulator's, is left out."]
    if any("-L" in t.emulator for t in targets):
        notes += ["³ Calls of the run with nothing typed that found no file: the loader searching the cross "
                  "sysroot, which has no loader cache of its own, for each library."]
    print("\n" + "\n\n".join(notes))  # one Markdown paragraph each


if __name__ == "__main__":
    main()
