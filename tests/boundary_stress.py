#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Stress at the five-second boundary: many runs, several at a time.

Usage: boundary_stress.py --record-size N [--runs R] [--parallel P] [--seed S] [--earliest S --latest S]
                          [--sanitizer LIST] -- [emulator ...] path/to/evwait

Each run has three FIFO devices (see end_to_end.py) and gets one record, on a
random device, at a random moment (by default 4.8 to 5.1 s) after its third open line, so
it lands before, after or in the very instant of the program's check. Every run
must end five seconds after its start and at most six after its third open line
(see timing_problems in end_to_end.py), unkilled, with nothing on standard error, and
exit either with the record's product and its whole line, or with 255 and no
line at all. A line with 255 (the record read in the very instant of the check)
or a line cut short fails the run; such runs are also counted.
"""
import argparse, os, random, subprocess, sys, tempfile, time
from concurrent.futures import ThreadPoolExecutor

from end_to_end import (ALL, HANG_LIMIT, launch, lay_out_devices, line, open_namespace, program_env, read_lines,
                        record, timing_problems)


def random_key(rng):
    """A (type, code, value) whose status cannot be mistaken for 255."""
    while True:
        key = (rng.randrange(4), rng.randrange(800), rng.randrange(-3, 4))
        if product_status(key) != 255:
            return key


def product_status(key):
    type_, code, value = key
    return code * type_ * value & 0xFF


def boundary_run(ns, command, size, sanitizer, device, key, offset):
    """Returns (seconds from the third open line to the write, outcome, problems, seconds from the third open
    line to the end)."""
    with tempfile.TemporaryDirectory() as tmp:
        held = lay_out_devices(tmp, "fff")
        start = time.monotonic()
        with open(f"{tmp}/stderr", "w+") as err:
            proc = launch(ns, tmp, command, env=program_env(sanitizer), stdout=subprocess.PIPE, stderr=err,
                          stdin=subprocess.DEVNULL)
            out = read_lines(proc.stdout, 3)
            opened = time.monotonic()
            time.sleep(max(0.0, opened + offset - time.monotonic()))
            os.write(held[device], record(size, key))
            landed = time.monotonic() - opened
            try:
                out += proc.communicate(timeout=start + HANG_LIMIT - time.monotonic())[0]
            except subprocess.TimeoutExpired:
                proc.kill()
                out += proc.communicate()[0]
            end = time.monotonic()
            err.seek(0)
            errors = err.read()
        for fd in held.values():
            os.close(fd)
    status, lines = proc.returncode, out.decode(errors="replace").splitlines()
    with_line = lines == ALL + line(*key)
    problems = []
    if status < 0:
        problems.append(f"killed by signal {-status}")
    elif status not in (product_status(key), 255):
        problems.append(f"status {status}, want {product_status(key)} or 255")
    if with_line != (status == product_status(key)) or not with_line and lines != ALL:
        problems.append(f"console {out!r} with status {status}")
    problems += timing_problems(start, opened if out.count(b"\n") >= 3 else None, end)[0]
    if errors:
        problems.append(f"standard error {errors!r}")
    outcome = {product_status(key): "product", 255: "line, 255" if with_line else "255"}.get(status, "other")
    return landed, outcome, problems, end - opened


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--record-size", type=int, required=True)
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--parallel", type=int, default=10)
    parser.add_argument("--seed", type=int, default=random.randrange(1 << 32))
    parser.add_argument("--earliest", type=float, default=4.8, help="seconds after the third open line")
    parser.add_argument("--latest", type=float, default=5.1)
    parser.add_argument("--sanitizer", default="", help="the -fsanitize= list the program was built with")
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()
    ns = open_namespace()

    rng = random.Random(args.seed)
    plans = [(rng.randrange(3), random_key(rng), rng.uniform(args.earliest, args.latest)) for _ in range(args.runs)]
    print(f"{args.runs} runs, {args.parallel} at a time, each with one record {args.earliest}-{args.latest} s after "
          f"its third open line; seed {args.seed}; command: {' '.join(args.command)}", flush=True)

    def run(plan):
        try:
            return boundary_run(ns, args.command, args.record_size, args.sanitizer, *plan)
        except Exception as error:  # a broken run must show, not vanish with its thread
            return plan[2], "error", [f"test error: {error!r}"], 0.0

    with ThreadPoolExecutor(args.parallel) as pool:
        results = list(pool.map(run, plans))

    failed = 0
    for (device, key, _), (landed, outcome, problems, _) in zip(plans, results):
        if problems:
            failed += 1
            print(f"FAIL record {key} on event{device} at +{landed:.4f} s: " + "; ".join(problems))
    for outcome in ("product", "255", "line, 255"):
        times = sorted(landed for landed, got, *_ in results if got == outcome)
        span = f", records landed +{times[0]:.4f} to +{times[-1]:.4f} s" if times else ""
        print(f"{outcome:>9}: {len(times)} runs{span}")
    print(f"longest run {max(r[3] for r in results):.3f} s from its third open line")
    print(f"{args.runs - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
