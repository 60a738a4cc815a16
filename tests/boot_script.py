#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The recovery gate, recovery/evwait-recovery, run as the init systems' glue runs it, against the stand-in
devices of end_to_end.py and this build's evwait.

Usage: boot_script.py --gate path/to/evwait-recovery --record-size N -- [emulator ...] path/to/evwait

Every case runs under dash and under BusyBox's sh (when /bin/busybox exists), in a private mount namespace
whose /dev/input holds the stand-in devices and whose /proc/cmdline is the case's. The environment is empty
but for the settings file and a PATH holding only: `evwait` (this build's, noting that it ran),
`evwait-held` where the case has one (a stand-in noting that it was asked), and sh and sleep of the shell
under test, which is all the gate may need.
"""
import argparse, os, shlex, shutil, subprocess, sys, tempfile, time

from end_to_end import KEY, launch, lay_out_devices, open_namespace, record, run_cases

PROMPT, ENTER, ON = "Press any key within five seconds for recovery", "evwait-recovery: entering recovery", \
    "evwait-recovery: booting on"
COMMAND, RAN = "echo 'recovery command ran'", "recovery command ran"
HELD_LINE = "held:/dev/input/event0 code=30"
CMDLINE = "BOOT_IMAGE=/vmlinuz root=/dev/vda1 ro quiet"
AT_ONCE, SLACK, HANG_LIMIT = 3.0, 3.5, 30.0  # seconds; an evwait run takes five, more under load
ON_CMD = {"EVWAIT_RECOVERY_ACTION": COMMAND}
# name, sh options, settings, event0 ('f' FIFO, 'l' FIFO made a second after the start, '-' absent; event1
# and event2 are FIFOs without records), record on event0, evwait-held's status (None: not installed),
# kernel command line, want status, lines, whether evwait runs, seconds of node wait expected
CASES = [
    ("gate off: a key and a held key do nothing", ["-e"], {"EVWAIT_RECOVERY_ACTION": ""}, "f", KEY, 0, CMDLINE,
     0, [], False, 0),
    ("key: command runs, boot goes on, set -e", ["-e"], ON_CMD, "f", KEY, None, CMDLINE,
     0, [PROMPT, ENTER, RAN], True, 0),
    ("key: command runs, boot goes on", [], ON_CMD, "f", KEY, None, CMDLINE, 0, [PROMPT, ENTER, RAN], True, 0),
    ("key release (status 0) is a key", ["-e"], ON_CMD, "f", (1, 30, 0), None, CMDLINE,
     0, [PROMPT, ENTER, RAN], True, 0),
    ("no key: boots on, set -e", ["-e"], ON_CMD, "f", None, None, CMDLINE, 0, [PROMPT, ON], True, 0),
    ("no key: boots on", [], ON_CMD, "f", None, None, CMDLINE, 0, [PROMPT, ON], True, 0),
    ("action shell: status 3, set -e", ["-e"], {"EVWAIT_RECOVERY_ACTION": "shell"}, "f", KEY, None, CMDLINE,
     3, [PROMPT, ENTER], True, 0),
    ("action shell: status 3", [], {"EVWAIT_RECOVERY_ACTION": "shell"}, "f", KEY, None, CMDLINE,
     3, [PROMPT, ENTER], True, 0),
    ("event0 appears within the wait", ["-e"], ON_CMD, "l", KEY, None, CMDLINE, 0, [PROMPT, ENTER, RAN], True, 1),
    ("no event0 at all: waits 2 s, boots on", ["-e"], dict(ON_CMD, EVWAIT_RECOVERY_DEVICE_WAIT="2"), "-", None,
     None, CMDLINE, 0, [PROMPT, ON], True, 2),
    ("prompt and node set: event1 there, no wait", ["-e"],
     dict(ON_CMD, EVWAIT_RECOVERY_DEVICE="/dev/input/event1", EVWAIT_RECOVERY_DEVICE_WAIT="9",
          EVWAIT_RECOVERY_PROMPT="Hold B for the recovery menu"), "-", None, None, CMDLINE,
     0, ["Hold B for the recovery menu", ON], True, 0),
    ("evwait.recovery=off on the kernel command line", ["-e"], ON_CMD, "f", KEY, 0,
     CMDLINE + " evwait.recovery=off", 0, [], False, 0),
    ("held key: recovery without evwait", ["-e"], ON_CMD, "f", None, 0, CMDLINE,
     0, [PROMPT, HELD_LINE, ENTER, RAN], False, 0),
    ("held key, action shell: status 3", ["-e"], {"EVWAIT_RECOVERY_ACTION": "shell"}, "f", None, 0, CMDLINE,
     3, [PROMPT, HELD_LINE, ENTER], False, 0),
    ("held check off: evwait-held not asked", ["-e"], dict(ON_CMD, EVWAIT_RECOVERY_HELD="no"), "f", None, 0,
     CMDLINE, 0, [PROMPT, ON], True, 0),
    ("nothing held (status 1): evwait decides", ["-e"], ON_CMD, "f", KEY, 1, CMDLINE,
     0, [PROMPT, ENTER, RAN], True, 0),
    ("no device for evwait-held (status 2): evwait decides", ["-e"], ON_CMD, "f", None, 2, CMDLINE,
     0, [PROMPT, ON], True, 0),
    ("evwait not installed: a fault, no recovery", ["-e"], ON_CMD, "f", KEY, None, CMDLINE,
     1, [], None, 0),
]


def write_program(path, body):
    with open(path, "w") as f:
        f.write(f"#!/bin/sh\n{body}\n")
    os.chmod(path, 0o755)


def run_case(case, ns, gate, shell, command, size):
    _, options, settings, event0, fields, held_status, cmdline, want_status, want_lines, evwait_runs, \
        node_wait = case
    with tempfile.TemporaryDirectory() as tmp:
        os.chmod(tmp, 0o755)
        for d in ("bin", "marks"):
            os.mkdir(f"{tmp}/{d}")
        for tool, path in shell.items():
            os.symlink(path, f"{tmp}/bin/{tool}")
        if evwait_runs is not None:
            write_program(f"{tmp}/bin/evwait", f': > {tmp}/marks/evwait\nexec {shlex.join(command)} "$@"')
        if held_status is not None:
            write_program(f"{tmp}/bin/evwait-held", f": > {tmp}/marks/evwait-held\n"
                          + (f"echo '{HELD_LINE}'\n" if held_status == 0 else "") + f"exit {held_status}")
        with open(f"{tmp}/settings", "w") as f:
            f.writelines(f"{k}={shlex.quote(v)}\n" for k, v in settings.items())
        with open(f"{tmp}/cmdline", "w") as f:
            f.write(cmdline + "\n")
        held = lay_out_devices(tmp, event0.replace("l", "-") + "ff")
        if fields and event0 == "f":
            os.write(held[0], record(size, fields))
        prelude = f'mount --bind "$tmp/cmdline" /proc/cmdline || exit 99\necho ready'
        run = ["env", "-i", f"PATH={tmp}/bin", f"EVWAIT_RECOVERY_CONFIG={tmp}/settings", "sh"] + options + [gate]
        launched = time.monotonic()
        proc = launch(ns, tmp, run, prelude, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                      stdin=subprocess.DEVNULL, bufsize=0)
        ready = proc.stdout.readline()
        # The gate starts after `launched` and before `ready` is read: the lower limit is held from the
        # one, the upper from the other, which leaves out the namespace's setup, which load stretches most.
        ready_read = time.monotonic()
        if event0 == "l":  # a second after the gate started, within its wait for the node
            time.sleep(1.0)
            os.mkfifo(f"{tmp}/input/event0")
            held[0] = os.open(f"{tmp}/input/event0", os.O_RDWR | os.O_NONBLOCK)
            os.write(held[0], record(size, fields))
        try:
            out, err = proc.communicate(timeout=HANG_LIMIT)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
            err += f"(still running after {HANG_LIMIT} s: killed)".encode()
        ended = time.monotonic()
        for fd in held.values():
            os.close(fd)
        ran = {p: os.path.exists(f"{tmp}/marks/{p}") for p in ("evwait", "evwait-held")}
    problems = []
    lines = out.decode(errors="replace").splitlines()
    if ready != b"ready\n":
        problems.append(f"namespace not set up: {ready!r}")
    if proc.returncode != want_status or lines != want_lines:
        problems.append(f"status {proc.returncode}, console {lines!r}; want status {want_status}, console {want_lines!r}")
    if err and want_status != 1:
        problems.append(f"standard error {err!r}")
    if evwait_runs is not None and ran["evwait"] != evwait_runs:
        problems.append(f"evwait {'ran' if ran['evwait'] else 'did not run'}")
    asked = held_status is not None and settings.get("EVWAIT_RECOVERY_HELD") != "no" and bool(want_lines)
    if ran["evwait-held"] != asked:
        problems.append(f"evwait-held {'asked' if ran['evwait-held'] else 'not asked'}")
    # Without evwait the gate returns at once; with it, after its five seconds and the node's wait.
    low, high = (5.0 + node_wait, 5.0 + node_wait + SLACK) if evwait_runs else (0.0, AT_ONCE)
    if ended - launched < low or ended - ready_read > high:
        problems.append(f"took {ended - ready_read:.2f} to {ended - launched:.2f} s, want {low} to {high}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--gate", required=True)
    parser.add_argument("--record-size", type=int, required=True)
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()
    shells = {"dash": {"sh": shutil.which("dash"), "sleep": shutil.which("sleep")}}
    busybox = shutil.which("busybox")
    if busybox:
        shells["busybox"] = {"sh": busybox, "sleep": busybox}
    else:
        print("NOT RUN under BusyBox's sh: no busybox in PATH (Debian's busybox-static installs /bin/busybox)")
    if not shells["dash"]["sh"]:
        sys.exit("FAIL no dash to run the gate with")
    ns = open_namespace()
    cases = [(f"{case[0]}: {sh}",) + case[1:] + (tools,) for sh, tools in shells.items() for case in CASES]
    failed = run_cases(cases, lambda case: run_case(case[:-1], ns, os.path.abspath(args.gate), case[-1],
                                                    args.command, args.record_size))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
