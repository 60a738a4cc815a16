#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end cases of evwait-trigger that need no kernel input device, all at once.

Usage: trigger_end_to_end.py --record-size N -- [emulator ...] path/to/evwait-trigger

Each case runs the program in the private mount namespace of end_to_end.py, whose /dev/input holds event0..2
as the case lays them out: FIFOs (with a writer that has put a key press into it, or without one) and
folders, none of them an input event device, so none may count or be waited on. Standard input is a
terminal (a pseudo-terminal the case types on) or nothing. What a real device sends needs a kernel: the
booted tests show that.
"""
import argparse, os, pty, subprocess, sys, tempfile, termios, time
from typing import NamedTuple

from end_to_end import KEY, launch, lay_out_devices, open_namespace, ready_since, record, run_cases

SLACK, HANG_LIMIT = 2.0, 20.0  # seconds past the window a run may take; when it is killed
# CPU time a run with a 3 s window may use, start-up in a namespace (and under an emulator) included: a wait
# that polls uses a second or more of it even on a loaded machine.
CPU_LIMIT = 0.3
TYPED = "evwait-trigger: f typed on the console"


class Case(NamedTuple):
    name: str
    args: list
    status: int
    stdout: list  # its lines
    stderr: str = ""  # the start of standard error
    devices: str = "fwd"  # event0..2: 'f' FIFO holding a key press, 'w' FIFO without a writer, 'd' folder
    typed: bytes = None  # typed on the terminal that is standard input; None: standard input is /dev/null
    left: bytes = b""  # what the terminal must still hold for the next reader at the end
    window: float = 0.0  # the least time the run takes


ODD = "/dev/input/event{}: not an input event device"
KEY_A_PROMPT = "Hold or press KEY_A within 1 second for recovery"
CONSOLE_PROMPT = "Type f and Enter within 2 seconds for recovery"
CASES = [
    Case("odd nodes count for nothing, window passes", ["--keys=KEY_A", "--window=1"], 1, [KEY_A_PROMPT],
         window=1.0),
    Case("window 0: at once", ["--keys=30", "--window=0"], 1, ["Hold KEY_A at power-on for recovery"]),
    Case("own prompt, several keys and devices", ["--keys=key_power BTN_0", "--devices=gpio-keys,*Keyboard",
                                                  "--window=0", "--prompt=Hold the reset button"], 1,
         ["Hold the reset button"]),
    Case("console key among other lines: at once, the rest left", ["--console-key=f", "--window=2"], 0,
         [CONSOLE_PROMPT, TYPED], typed=b"hello\n f \nnext\n", left=b"next\n"),
    Case("other text and an unfinished key: window passes", ["--console-key=f", "--window=2"], 1,
         [CONSOLE_PROMPT], typed=b"fish\nf", window=2.0),
    Case("any line: Enter alone counts", ["--any-line", "--window=2", "--prompt=Enter for the shell"], 0,
         ["Enter for the shell", "evwait-trigger: a line typed on the console"], typed=b"\n"),
    Case("console key with no terminal: not read", ["--keys=KEY_A", "--console-key=f", "--window=1"], 1,
         ["Hold or press KEY_A, or type f and Enter, within 1 second for recovery"], window=1.0),
    Case("list: every node, none a device", ["--list"], 0, [ODD.format(i) for i in range(3)]),
    Case("list: no node", ["--list"], 1, ["no input event devices in /dev/input"], devices="---"),
    Case("unknown key", ["--keys=KEY_A,KEY_NOPE"], 2, [], "evwait-trigger: unknown key 'KEY_NOPE'"),
    Case("code past KEY_MAX", ["--keys=768"], 2, [], "evwait-trigger: unknown key '768'"),
    Case("window too long", ["--keys=KEY_A", "--window=3601"], 2, [], "evwait-trigger: window '3601'"),
    Case("nothing chosen", ["--devices=gpio-keys"], 2, [], "evwait-trigger: nothing to wait for"),
    Case("unknown option", ["--key=KEY_A"], 2, [], "evwait-trigger: unknown option"),
]


def run_case(case, ns, command, size):
    with tempfile.TemporaryDirectory() as tmp:
        held = lay_out_devices(tmp, case.devices)
        for fd in held.values():
            os.write(fd, record(size, KEY))
        terminal = pty.openpty() if case.typed is not None else None
        stdin = terminal[1] if terminal else subprocess.DEVNULL
        ready, ready_w = os.pipe()
        proc = launch(ns, tmp, command + case.args, "", None, ready_w, stdin=stdin, stdout=subprocess.PIPE,
                      stderr=subprocess.PIPE)
        os.close(ready_w)
        start = ready_since(ready)  # timed from the namespace being ready, which load stretches most
        if terminal:
            time.sleep(0.3)  # typed once the program waits: what came before would count all the same
            os.write(terminal[0], case.typed)
        try:
            out, err = proc.communicate(timeout=HANG_LIMIT)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
        ended = time.monotonic()
        # The children's CPU time once the run is reaped, start-up included.
        cpu = os.times().children_user + os.times().children_system
        for fd in held.values():
            os.close(fd)
        left = b""
        if terminal:
            attrs = termios.tcgetattr(terminal[1])
            os.set_blocking(terminal[1], False)
            try:
                left = os.read(terminal[1], 100) if attrs[3] & termios.ICANON else b""
            except BlockingIOError:
                pass
            os.close(terminal[0])
            os.close(terminal[1])
    problems = []
    lines = out.decode(errors="replace").splitlines()
    if proc.returncode != case.status or lines != case.stdout:
        problems.append(f"status {proc.returncode}, output {lines!r}; want {case.status}, {case.stdout!r}")
    if not err.decode(errors="replace").startswith(case.stderr) or bool(err) != bool(case.stderr):
        problems.append(f"standard error {err!r}, want {case.stderr!r}...")
    if left != case.left:
        problems.append(f"the terminal holds {left!r} for the next reader, want {case.left!r}")
    if not case.window <= ended - start <= case.window + SLACK:
        problems.append(f"took {ended - start:.2f} s, want {case.window} to {case.window + SLACK}")
    return problems, cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--record-size", type=int, required=True)
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()
    ns = open_namespace()
    failed = run_cases([(case.name, case) for case in CASES],
                       lambda run: run_case(run[1], ns, args.command, args.record_size)[0])
    # The CPU check runs alone: os.times() adds up every child reaped so far.
    before = os.times().children_user + os.times().children_system
    waiting = Case("", ["--keys=KEY_A", "--window=3"], 1, ["Hold or press KEY_A within 3 seconds for recovery"],
                   window=3.0)
    problems, after = run_case(waiting, ns, args.command, args.record_size)
    cpu = after - before
    print(f"{'ok  ' if cpu < CPU_LIMIT and not problems else 'FAIL'} a 3 s window used {cpu * 1000:.0f} ms of "
          f"CPU, start-up included (limit {CPU_LIMIT * 1000:.0f} ms)")
    sys.exit(1 if failed or problems or cpu >= CPU_LIMIT else 0)


if __name__ == "__main__":
    main()
