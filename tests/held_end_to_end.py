#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end cases of evwait-held that need no key state of a kernel device, all at once.

Usage: held_end_to_end.py -- [emulator ...] path/to/evwait-held

Each case runs the program in the private mount namespace of end_to_end.py, whose /dev/input is a folder of
this test holding event0..2 as the case says: absent, a FIFO nobody writes to (a blocking open would hang on
it), a folder, or the character device /dev/null bound in. None of them is an input event device, so none
holds a key: the run must end at once with the status for "nothing held" (1), or for "no device" (2) when
nothing could be opened. Which keys a real device holds needs a kernel: the booted tests show that.
"""
import argparse, os, subprocess, tempfile, time

from end_to_end import launch, open_namespace, ready_since, run_cases

NO_DEVICE = "evwait-held: no input device could be opened\n"
# From the namespace being ready to the end. The program asks and ends: one that waited evwait's five seconds
# fails RUN_LIMIT; one that hangs (a blocking open of the FIFO) is killed at HANG_LIMIT.
RUN_LIMIT, HANG_LIMIT = 4.0, 15.0

# name, event0..2 ('-' absent, 'p' FIFO without writer, 'd' folder, 'n' /dev/null), exit status, standard error
CASES = [
    ("no device", "---", 2, NO_DEVICE),
    ("FIFO without writer and two absent", "p--", 1, ""),
    ("folder", "-d-", 1, ""),
    ("character device that is no input device", "--n", 1, ""),
    ("FIFO, folder and character device", "pdn", 1, ""),
]


# Seconds each case ran, by name, for the summary: how close the limit came.
TOOK = {}


def run_case(case, ns, command):
    name, devices, want_status, want_errors = case
    with tempfile.TemporaryDirectory() as tmp:
        os.mkdir(f"{tmp}/hostdev")
        os.mkdir(f"{tmp}/input")
        prelude = []
        for i, kind in enumerate(devices):
            path = f"{tmp}/input/event{i}"
            if kind == "p":
                os.mkfifo(path)
            elif kind == "d":
                os.mkdir(path)
            elif kind == "n":  # a file to mount the device over; a failed mount must not pass as a case
                open(path, "w").close()
                node = f"/dev/input/event{i}"
                prelude.append(f"mount --bind /dev/null {node} && [ -c {node} ] || {{ echo 'no {node}' >&2; exit 99; }}")
        ready, ready_w = os.pipe()
        proc = launch(ns, tmp, command, "\n".join(prelude), None, ready_w, stdout=subprocess.PIPE,
                      stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        os.close(ready_w)
        # Timed from the namespace being ready, which a loaded machine stretches most. A failed set-up
        # closes the pipe without writing, and its status shows.
        start = ready_since(ready)
        problems = []
        try:
            out, errors = proc.communicate(timeout=HANG_LIMIT)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, errors = proc.communicate()
            problems.append(f"still running {HANG_LIMIT} s after its start: killed")
        took = TOOK[name] = time.monotonic() - start
    if took > RUN_LIMIT:
        problems.append(f"ran {took:.3f} s, want at most {RUN_LIMIT}")
    if out:
        problems.append(f"standard output {out!r}, want nothing held")
    if errors.decode(errors="replace") != want_errors:
        problems.append(f"standard error {errors!r}, want {want_errors!r}")
    if proc.returncode != want_status:
        problems.append(f"status {proc.returncode}, want {want_status}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()
    ns = open_namespace()
    print(f"command: {' '.join(args.command)}")
    failed = run_cases(CASES, lambda case: run_case(case, ns, args.command))
    if TOOK:
        seconds, name = max((t, n) for n, t in TOOK.items())
        print(f"longest run: {seconds:.3f} s (limit {RUN_LIMIT}), in '{name}'")
    raise SystemExit(1 if failed else 0)


if __name__ == "__main__":
    main()
