#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What one run of evwait costs, for each build given; prints one Markdown table.

Usage: bench/cost.py [--runs N] [--no-yardstick] LABEL=BUILD_DIR ...
  e.g. bench/cost.py native=build arm=build-arm arm-musl=build-arm-musl armel-musl=build-armel-musl

A build directory is a built tree with its tests. The program runs as that build's
end_to_end test runs it (its emulator, if any, and its record size, from
ctest --show-only); its strip comes from DIR/CMakeCache.txt. Every run is made in the
private mount namespace of tests/end_to_end.py with three FIFO devices. A key run gets
one record (type 1, code 30, value 1) on event0 a second after its third open line.

- syscalls per run: strace -f -c (qemu -strace under emulation), a key run / a run without key,
  median of three each;
- syscalls while waiting: calls begun after both the main thread's sleep and the
  worker's select have begun and before the worker reads the record;
- latency: from writing the record to reading its line, over N key runs, one record at a time;
- CPU time (user + system, median) and peak RSS (highest) of the program alone (bench/rusage.c), same runs;
- size of a stripped copy of the executable, and of a C program of the same behaviour
  (bench/yardstick.c, target evwait_yardstick) built in the same build folder, so with the
  same toolchain and flags.
That C program, as the first build given that runs without emulator made it, is measured alongside.
"""
import argparse, json, math, os, re, shutil, statistics, subprocess, sys, tempfile, time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
from end_to_end import ALL, KEY, launch, lay_out_devices, line, open_namespace, read_lines, record  # noqa: E402

# "PID name(" in strace -f logs (which pad the PID to five places) and qemu -strace logs
ENTRY = re.compile(r"(?<![\w.])\d+ +([a-z_][a-z0-9_]*)\(")
SLEEPS, WAITS = {"clock_nanosleep", "clock_nanosleep_time64", "nanosleep"}, {
    "select", "_newselect", "pselect6", "pselect6_time64"}


@dataclass
class Target:
    label: str
    exe: str
    size: int  # bytes of one input_event record in this build
    strip: str = "strip"
    emulator: list = field(default_factory=list)
    yardstick: str = ""  # the C program built in the same folder


def build_yardstick(build_dir):
    """Builds the C yardstick in `build_dir` with that build's toolchain and flags; returns its path."""
    built = subprocess.run(["cmake", "--build", build_dir, "--target", "evwait_yardstick"], capture_output=True,
                           text=True)
    if built.returncode:
        sys.exit(f"{build_dir}: cannot build the target evwait_yardstick (configure the build again with its "
                 f"tests):\n{built.stdout}{built.stderr}")
    return str(Path(build_dir, "bench", "evwait_yardstick"))


def load_target(label, build_dir, test="end_to_end", yardstick=True):
    """The program as the build's test `test` runs it (python TEST.py --record-size N ... -- [emulator ...]
    program), with the build's strip and, if `yardstick`, the C yardstick built."""
    listing = subprocess.run(["ctest", "--test-dir", build_dir, "--show-only=json-v1"], capture_output=True,
                             text=True, check=True).stdout
    # A test without a command is one whose executable is not built yet (the unit tests).
    tests = {test["name"]: test["command"] for test in json.loads(listing)["tests"] if "command" in test}
    if test not in tests:
        sys.exit(f"{build_dir}: no {test} test to learn from; configure the build with its tests")
    command = tests[test]
    *emulator, exe = command[command.index("--") + 1:]
    strip = re.search(r"^CMAKE_STRIP:\w+=(.+)$", Path(build_dir, "CMakeCache.txt").read_text(), re.M)
    return Target(label, exe, int(command[command.index("--record-size") + 1]), strip[1] if strip else "strip",
                  emulator, build_yardstick(build_dir) if yardstick else "")


def build_launcher(tmp):
    """Compiles the launcher that reports a command's own CPU time and peak RSS; returns its path."""
    subprocess.run(["cc", "-O2", "-static", "-o", f"{tmp}/rusage", HERE / "rusage.c"], check=True)
    return f"{tmp}/rusage"


class Run:
    """One run in the namespace with three FIFO devices, as `command(tmp)` starts it in its directory tmp;
    returns from __init__ once the devices are open."""

    def __init__(self, ns, target, command):
        self.target, self.pressed = target, False
        self.tmp = tempfile.mkdtemp()
        self.held = lay_out_devices(self.tmp, "fff")
        self.err = open(f"{self.tmp}/stderr", "w+")
        self.proc = launch(ns, self.tmp, command(self.tmp), stdout=subprocess.PIPE, stderr=self.err,
                           stdin=subprocess.DEVNULL)
        self.out = read_lines(self.proc.stdout, 3)

    def press(self):
        """Writes the key record to event0; returns the seconds until its line was read."""
        start = time.perf_counter()
        os.write(self.held[0], record(self.target.size, KEY))
        self.out = read_lines(self.proc.stdout, 4, self.out)
        self.pressed = True
        return time.perf_counter() - start

    def finish(self, name):
        """Waits for the end of the run, checks that it went as it should, returns the file `name` it left."""
        want = (ALL + line(*KEY), 30) if self.pressed else (ALL, 255)
        return end_run(self, self.held.values(), want, self.target.label, name)


def end_run(run, fds, want, label, name):
    """Waits for the end of `run` (its proc, out, err and tmp), closes the descriptors `fds` it held, checks
    its lines and status against `want` and that it wrote no error, and returns the text of the file `name`
    it left in its directory, which it then removes."""
    run.out += run.proc.stdout.read()
    status = run.proc.wait(timeout=60)
    run.err.seek(0)
    errors = run.err.read()
    run.err.close()
    for fd in fds:
        os.close(fd)
    if (run.out.decode(errors="replace").splitlines(), status) != want or errors:
        raise RuntimeError(f"{label}: unexpected run: {run.out!r} status {status} {errors!r}")
    text = Path(run.tmp, name).read_text()
    shutil.rmtree(run.tmp)
    return text


def parallel(calls):
    with ThreadPoolExecutor(len(calls)) as pool:
        return list(pool.map(lambda call: call(), calls))


def logged(target, summary):
    """The command of a run whose system calls go to tmp/log: strace's summary or full log, or qemu's log."""
    def command(tmp):
        if target.emulator:
            return [target.emulator[0], "-strace", "-D", f"{tmp}/log"] + target.emulator[1:] + [target.exe]
        return ["strace", "-f", *(["-c", "-U", "calls,name"] if summary else []), "-o", f"{tmp}/log", target.exe]
    return command


def calls_while_waiting(log):
    """Calls begun after both threads began waiting and before the worker read the record."""
    names = ENTRY.findall(log)
    try:
        sleep = next(i for i, name in enumerate(names) if name in SLEEPS)
        wait = next(i for i, name in enumerate(names) if name in WAITS)
        read = next(i for i, name in enumerate(names) if name == "read" and i > wait)
    except StopIteration:
        raise RuntimeError("no sleep, wait and read of the record in this log:\n" + log) from None
    return read - max(sleep, wait) - 1


def syscall_counts(ns, target, repeats=3):
    """(calls in a key run, calls in a run without key: medians of `repeats` runs; the most calls made while
    waiting; calls that found no file in a key run, or None where strace counted), or None without a tracer."""
    if target.emulator and not Path(target.emulator[0]).name.startswith("qemu-"):
        return None
    summary = not target.emulator

    def one(key, summary):
        run = Run(ns, target, logged(target, summary))
        if key:
            time.sleep(1)
            run.press()
        return run.finish("log")

    logs = parallel([lambda: one(True, summary)] * repeats + [lambda: one(False, summary)] * repeats
                    + ([lambda: one(True, False)] if summary else []))
    count = lambda log: calls_logged(log, summary)  # noqa: E731
    key_logs = logs[-1:] if summary else logs[:repeats]
    return (statistics.median(map(count, logs[:repeats])), statistics.median(map(count, logs[repeats:2 * repeats])),
            max(map(calls_while_waiting, key_logs)), None if summary else calls_not_found(key_logs[0]))


def calls_logged(log, summary):
    """The calls of a run's log: strace -c's total, or, in a full log (qemu's logs every call and sums none
    up), the calls counted as strace -c does, without the ones that never return."""
    if summary:
        return int(re.search(r"^\s*(\d+) total$", log, re.M)[1])
    return sum(name not in ("exit", "exit_group") for name in ENTRY.findall(log))


def calls_not_found(log):
    """The calls of a qemu -strace log that found no file."""
    return len(re.findall(r"\d+ +\w+\([^\n]* errno=2 \(No such file", log))


def timed_runs(ns, target, launcher, count):
    """Latencies (s), CPU times (ms) and peak resident sizes (KiB) of `count` key runs, pressed one at a time."""
    command = lambda tmp: [launcher, f"{tmp}/rusage"] + target.emulator + [target.exe]  # noqa: E731
    runs = parallel([lambda: Run(ns, target, command)] * count)
    latencies = []
    for run in runs:
        time.sleep(0.05)
        latencies.append(run.press())
    usage = [[int(n) for n in text.split()] for text in parallel([lambda r=r: r.finish("rusage") for r in runs])]
    return latencies, [(user + system) / 1000 for user, system, _ in usage], [rss for *_, rss in usage]


def stripped_bytes(target, exe, tmp):
    copy = os.path.join(tmp, "stripped")
    subprocess.run([target.strip, "-o", copy, exe], check=True)
    return os.path.getsize(copy)


def sizes(target, tmp):
    """The size cell: the stripped executable's bytes, and the stripped C yardstick's of the same build."""
    size = stripped_bytes(target, target.exe, tmp)
    if not target.yardstick:
        return f"{size:,}"
    yardstick = stripped_bytes(target, target.yardstick, tmp)
    return f"{size:,} / {yardstick:,} ({(size - yardstick) / yardstick:+.1%})"


def row(target, counts, latencies, cpu, rss, size):
    emulated = bool(target.emulator)
    sysroot = f" ({counts[3]} not found ³)" if counts and "-L" in target.emulator else ""
    latencies = sorted(latencies)
    p95 = latencies[math.ceil(0.95 * len(latencies)) - 1]
    cells = [target.label,
             f"{counts[0]} / {counts[1]}{sysroot}" if counts else "n/a",
             str(counts[2]) if counts else "n/a",
             f"{statistics.median(latencies) * 1000:.3f} / {p95 * 1000:.3f}" + (" ¹" if emulated else ""),
             "n/a ²" if emulated else f"{statistics.median(cpu):.2f}",
             "n/a ²" if emulated else str(max(rss)),
             size]
    return "| " + " | ".join(cells) + " |"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=20, help="key runs for latency, CPU time and RSS")
    parser.add_argument("--no-yardstick", action="store_true", help="leave out the C program's own row")
    parser.add_argument("builds", nargs="+", metavar="LABEL=BUILD_DIR")
    args = parser.parse_args()
    targets = [load_target(*build.split("=", 1)) for build in args.builds]
    native = next((t for t in targets if not t.emulator), None)
    if native and not args.no_yardstick:  # the C program measured as a build of its own
        targets.append(Target(f"C yardstick ({native.label})", native.yardstick, native.size, native.strip))
    ns = open_namespace()
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        launcher = build_launcher(tmp)
        for target in targets:
            print(f"measuring {target.label}: {' '.join(target.emulator + [target.exe])}", file=sys.stderr)
            counts = syscall_counts(ns, target)
            rows.append(row(target, counts, *timed_runs(ns, target, launcher, args.runs), sizes(target, tmp)))
    print("| build | syscalls per run: key / no key | syscalls while waiting | record-to-line latency, ms: "
          "median / p95 | CPU time per run, ms | peak RSS, KiB | stripped size, bytes: evwait / C yardstick |")
    print("|---|---|---|---|---|---|---|")
    print("\n".join(rows))
    notes = [f"{args.runs} key runs per build for latency, CPU time (median) and RSS (highest)."]
    if any(t.emulator for t in targets):
        notes += ["¹ Under qemu-user the emulator's translation is timed along with the program.",
                  "² Under qemu-user the CPU time and resident size are the emulator's, not the program's."]
    if any("-L" in t.emulator for t in targets):
        notes += ["³ Calls of the key run that found no file: the loader searching the cross sysroot, which has no "
                  "loader cache of its own, for each library; a target with its own cache makes few of them."]
    print("\n" + "\n\n".join(notes))  # one Markdown paragraph each


if __name__ == "__main__":
    main()
