#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The recovery gate, recovery/evwait-recovery, run as the init systems' glue runs it, against the stand-in
devices of end_to_end.py and this build's evwait.

Usage: boot_script.py --gate path/to/evwait-recovery --record-size N -- [emulator ...] path/to/evwait

Every case runs under dash and under BusyBox's sh (when /bin/busybox exists), in a private mount namespace
whose /dev/input holds the stand-in devices and whose /proc/cmdline is the case's. The environment is empty
but for the settings file and a PATH holding only: `evwait` (this build's, noting that it ran),
`evwait-held` where the case has one (a stand-in noting that it was asked), `evwait-trigger` where the case
has one (a stand-in noting its arguments, printing a prompt and ending with the case's status), and sh and
sleep of the shell under test, which is all the gate may need.
"""
import argparse, os, shlex, shutil, subprocess, sys, tempfile, time
from pathlib import Path
from typing import NamedTuple, Optional

from end_to_end import KEY, launch, lay_out_devices, open_namespace, record, run_cases
from gate_console import BOOTING_ON, ENTERING, HELD, PROMPT

COMMAND, RAN = "echo 'recovery command ran'", "recovery command ran"
HELD_LINE = f"{HELD}0 code={KEY[1]}"  # what the stand-in evwait-held prints when it finds the A key down
CMDLINE = "BOOT_IMAGE=/vmlinuz root=/dev/vda1 ro quiet"
AT_ONCE, SLACK, HANG_LIMIT = 3.0, 3.5, 30.0  # seconds; an evwait run takes five, more under load


class Case(NamedTuple):
    name: str
    console: list = [PROMPT, BOOTING_ON]  # the gate's standard output, line by line
    status: int = 0  # the gate's exit status
    sh_options: list = ["-e"]  # sh -e; [] for plain sh
    settings: dict = {}  # the settings file's lines by name without EVWAIT_RECOVERY_, over ACTION=COMMAND
    event0: str = "f"  # 'f' FIFO, 'l' FIFO made a second after the start, '-' absent; event1, event2: FIFOs
    key: Optional[tuple] = None  # the record on event0, if any
    held: Optional[int] = None  # evwait-held's status; None: not installed
    cmdline: str = CMDLINE  # the kernel command line
    evwait_runs: Optional[bool] = True  # None: evwait not installed
    node_wait: int = 0  # seconds the gate waits for its node
    trigger: Optional[int] = None  # evwait-trigger's status; None: not installed
    trigger_args: list = []  # the arguments the gate must give it, "--" after each call
    args: list = []  # the gate's own
    env: dict = {}  # its environment besides PATH and the settings' path
    files: dict = {}  # files of the case: "shadow" (bound over /etc/shadow), "led/NAME" (an LED), "bin/NAME"
    after: dict = {}  # what files hold at the end: "run/NAME" (in the case's /run), "led/NAME"
    during: str = ""  # the LED's trigger and brightness as the stand-in evwait-trigger found them
    errors: str = ""  # the gate's standard error, unless it ends with status 1


TRIGGER_PROMPT, TRIGGER_SAW = "stand-in trigger prompt", "stand-in trigger: KEY_POWER pressed"
POWER = {"KEYS": "KEY_POWER"}
SYSTEMD = {"EVWAIT_RECOVERY_INIT": "systemd"}
LATER = "evwait-recovery: the command runs once the local filesystems are mounted"
LOCKED = ["evwait-recovery: the root account is locked, so rescue mode would give no shell: booting on",
          "evwait-recovery: set a root password, or make the action a command (see evwait-recovery(8))"]
ASK_ENTER = ["--any-line", "--window=2",
             "--prompt=evwait-recovery: press Enter within 2 seconds for the recovery shell, or the boot goes on", "--"]
NOBODY = "evwait-recovery: nobody at the console: booting on"
# An LED as the kernel shows it: its triggers with the one in use in brackets, its brightness.
LED = {"led/trigger": "none [kbd-capslock] timer\n", "led/brightness": "1\n", "led/max_brightness": "1\n"}
LED_WITHOUT_TIMER = {"led/trigger": "[none] kbd-capslock\n", "led/brightness": "0\n", "led/max_brightness": "255\n"}


RECOVERED, SHELL = [PROMPT, ENTERING, RAN], {"ACTION": "shell"}
CASES = [
    Case("gate off: a key and a held key do nothing", [], settings={"ACTION": ""}, key=KEY, held=0, evwait_runs=False),
    Case("key: command runs, boot goes on, set -e", RECOVERED, key=KEY),
    Case("key: command runs, boot goes on", RECOVERED, sh_options=[], key=KEY),
    Case("key release (status 0) is a key", RECOVERED, key=(1, 30, 0)),
    Case("no key: boots on, set -e"),
    Case("no key: boots on", sh_options=[]),
    Case("action shell: status 3, set -e", [PROMPT, ENTERING], status=3, settings=SHELL, key=KEY),
    Case("action shell: status 3", [PROMPT, ENTERING], status=3, sh_options=[], settings=SHELL, key=KEY),
    Case("event0 appears within the wait", RECOVERED, event0="l", key=KEY, node_wait=1),
    Case("no event0 at all: waits 2 s, boots on", event0="-", settings={"DEVICE_WAIT": "2"}, node_wait=2),
    Case("prompt and node set: event1 there, no wait", ["Hold B for the recovery menu", BOOTING_ON], event0="-",
         settings={"DEVICE": "/dev/input/event1", "DEVICE_WAIT": "9", "PROMPT": "Hold B for the recovery menu"}),
    Case("evwait.recovery=off on the kernel command line", [], key=KEY, held=0,
         cmdline=CMDLINE + " evwait.recovery=off", evwait_runs=False),
    Case("held key: recovery without evwait", [PROMPT, HELD_LINE, ENTERING, RAN], held=0, evwait_runs=False),
    Case("held key, action shell: status 3", [PROMPT, HELD_LINE, ENTERING], status=3, settings=SHELL, held=0,
         evwait_runs=False),
    Case("held check off: evwait-held not asked", held=0, settings={"HELD": "no"}),
    Case("nothing held (status 1): evwait decides", RECOVERED, key=KEY, held=1),
    Case("no device for evwait-held (status 2): evwait decides", held=2),
    Case("evwait not installed: a fault, no recovery", [], status=1, key=KEY, evwait_runs=None),
    # Keys or a console key chosen: evwait-trigger decides, evwait and evwait-held are not asked, and no node
    # is waited for unless one is named.
    Case("keys chosen: the trigger's key runs the command", [TRIGGER_PROMPT, TRIGGER_SAW, ENTERING, RAN],
         settings=POWER, event0="-", key=KEY, held=0, evwait_runs=False, trigger=0,
         trigger_args=["--window=5", "--keys=KEY_POWER", "--"]),
    Case("every trigger setting, window passes", [TRIGGER_PROMPT, BOOTING_ON], sh_options=[],
         settings={"KEYS": "KEY_VOLUMEDOWN, BTN_0", "DEVICES": "gpio-keys,QEMU Virtio Keyboard",
                   "CONSOLE_KEY": "f", "WINDOW": "0", "HELD": "no", "PROMPT": "Hold the reset button"},
         evwait_runs=False, trigger=1,
         trigger_args=["--window=0", "--keys=KEY_VOLUMEDOWN, BTN_0", "--devices=gpio-keys,QEMU Virtio Keyboard",
                       "--console-key=f", "--no-held", "--prompt=Hold the reset button", "--"]),
    Case("console key only, action shell: status 3", [TRIGGER_PROMPT, TRIGGER_SAW, ENTERING], status=3,
         settings={"ACTION": "shell", "CONSOLE_KEY": "f"}, evwait_runs=False, trigger=0,
         trigger_args=["--window=5", "--console-key=f", "--"]),
    Case("named node waited for with keys chosen", [TRIGGER_PROMPT, BOOTING_ON], event0="-",
         settings={**POWER, "DEVICE": "/dev/input/event0", "DEVICE_WAIT": "1"}, node_wait=1, evwait_runs=False,
         trigger=1, trigger_args=["--window=5", "--keys=KEY_POWER", "--"]),
    Case("trigger refuses its settings: a fault, no recovery", [TRIGGER_PROMPT], status=1, settings=POWER,
         evwait_runs=False, trigger=2, trigger_args=["--window=5", "--keys=KEY_POWER", "--"]),
    Case("keys chosen, evwait-trigger not installed: a fault", [], status=1, settings=POWER, key=KEY,
         evwait_runs=False),
    Case("keys chosen, evwait.recovery=off", [], settings=POWER, cmdline=CMDLINE + " evwait.recovery=off",
         evwait_runs=False, trigger=0),
    # Under systemd a command is noted for the unit that runs it once the filesystems are mounted.
    Case("systemd: command noted, not run", [PROMPT, ENTERING, LATER], key=KEY, env=SYSTEMD,
         after={"run/evwait-recovery.action": ""}),
    Case("systemd: the noted command runs (--action)", [RAN], args=["--action"], env=SYSTEMD, evwait_runs=False),
    Case("systemd: shell with root locked boots on", [PROMPT, ENTERING] + LOCKED, settings=SHELL, key=KEY,
         env=SYSTEMD, files={"shadow": "daemon:*:19000::::::\nroot:!:19000:0:99999:7:::\n"}),
    Case("systemd: root locked, rescue.service forces sulogin", [PROMPT, ENTERING], status=3, settings=SHELL,
         key=KEY, env=SYSTEMD, files={"shadow": "root:!:19000:0:99999:7:::\n",
                                      "bin/systemctl": "#!/bin/sh\necho 'LANG=C SYSTEMD_SULOGIN_FORCE=1'\n"}),
    Case("systemd: shell with a root password", [PROMPT, ENTERING], status=3, settings=SHELL, key=KEY, env=SYSTEMD,
         files={"shadow": "root:$6$salt$hash:19000:0:99999:7:::\n"}),
    # A shell timeout: the shell only for whoever presses Enter in time.
    Case("shell timeout, nobody there: boots on", [PROMPT, ENTERING, TRIGGER_PROMPT, NOBODY],
         settings={**SHELL, "SHELL_TIMEOUT": "2"}, key=KEY, trigger=1, trigger_args=ASK_ENTER),
    Case("shell timeout, Enter pressed: the shell", [PROMPT, ENTERING, TRIGGER_PROMPT, TRIGGER_SAW], status=3,
         settings={**SHELL, "SHELL_TIMEOUT": "2"}, key=KEY, trigger=0, trigger_args=ASK_ENTER),
    Case("shell timeout, no evwait-trigger: boots on",
         [PROMPT, ENTERING, "evwait-recovery: no evwait-trigger to wait for Enter with: booting on"],
         settings={**SHELL, "SHELL_TIMEOUT": "2"}, key=KEY),
    # The LED blinks while the gate waits, and is put back.
    Case("LED blinks during the wait, put back", [TRIGGER_PROMPT, BOOTING_ON], settings={**POWER, "LED": "led"},
         evwait_runs=False, trigger=1, trigger_args=["--window=5", "--keys=KEY_POWER", "--"], files=LED,
         during="timer 1", after={"led/trigger": "kbd-capslock\n", "led/delay_on": "250\n"}),
    Case("keyboard's LED without keys chosen: not blinked, its records would be keys", settings={"LED": "led"},
         files={**LED, "led/device/capabilities/ev": "120013\n"}, after={"led/trigger": "none [kbd-capslock] timer\n"},
         errors=f"evwait-recovery: {{led}} is an input device's LED, whose changes would count as a key: it blinks "
                "only with keys chosen\n"),
    Case("LED without timer lit during the wait, put back", [TRIGGER_PROMPT, BOOTING_ON],
         settings={**POWER, "LED": "led"}, evwait_runs=False, trigger=1,
         trigger_args=["--window=5", "--keys=KEY_POWER", "--"], files=LED_WITHOUT_TIMER, during="[none] kbd-capslock 255",
         after={"led/trigger": "none\n", "led/brightness": "0\n"}),
]


def write_program(path, body):
    Path(path).write_text(f"#!/bin/sh\n{body}\n")
    os.chmod(path, 0o755)


def run_case(case, ns, gate, shell, command, size):
    settings = {f"EVWAIT_RECOVERY_{k}": v for k, v in {"ACTION": COMMAND, **case.settings}.items()}
    with tempfile.TemporaryDirectory() as tmp:
        os.chmod(tmp, 0o755)
        for d in ("bin", "marks"):
            os.mkdir(f"{tmp}/{d}")
        for tool, path in shell.items():
            os.symlink(path, f"{tmp}/bin/{tool}")
        if case.evwait_runs is not None:
            write_program(f"{tmp}/bin/evwait", f': > {tmp}/marks/evwait\nexec {shlex.join(command)} "$@"')
        if case.trigger is not None:
            write_program(f"{tmp}/bin/evwait-trigger",
                          f'for a; do printf "%s\\n" "$a"; done >> {tmp}/marks/trigger; echo -- >> {tmp}/marks/trigger\n'
                          f'[ ! -d {tmp}/led ] || {{ read t < {tmp}/led/trigger; read b < {tmp}/led/brightness; '
                          f'echo "$t $b" > {tmp}/marks/during; }}\n'
                          f"echo '{TRIGGER_PROMPT}'\n" + (f"echo '{TRIGGER_SAW}'\n" if case.trigger == 0 else "")
                          + f"exit {case.trigger}")
        if case.held is not None:
            write_program(f"{tmp}/bin/evwait-held", f": > {tmp}/marks/evwait-held\n"
                          + (f"echo '{HELD_LINE}'\n" if case.held == 0 else "") + f"exit {case.held}")
        os.mkdir(f"{tmp}/run")
        for name, text in case.files.items():
            os.makedirs(os.path.dirname(f"{tmp}/{name}"), exist_ok=True)
            Path(tmp, name).write_text(text)
            os.chmod(f"{tmp}/{name}", 0o755)
        if "LED" in case.settings:
            settings["EVWAIT_RECOVERY_LED"] = f"{tmp}/{case.settings['LED']}"
        Path(tmp, "settings").write_text("".join(f"{k}={shlex.quote(v)}\n" for k, v in settings.items()))
        Path(tmp, "cmdline").write_text(case.cmdline + "\n")
        held = lay_out_devices(tmp, case.event0.replace("l", "-") + "ff")
        if case.key and case.event0 == "f":
            os.write(held[0], record(size, case.key))
        prelude = (f'mount --bind "$tmp/cmdline" /proc/cmdline && mount --bind "$tmp/run" /run || exit 99\n'
                   + ('mount --bind "$tmp/shadow" /etc/shadow || exit 99\n' if "shadow" in case.files else "")
                   + "echo ready")
        run = ["env", "-i", f"PATH={tmp}/bin", f"EVWAIT_RECOVERY_CONFIG={tmp}/settings",
               *(f"{k}={v}" for k, v in case.env.items()), "sh"] + case.sh_options + [gate] + case.args
        launched = time.monotonic()
        proc = launch(ns, tmp, run, prelude, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                      stdin=subprocess.DEVNULL, bufsize=0)
        ready = proc.stdout.readline()
        # The gate starts after `launched` and before `ready` is read: the lower limit is held from the
        # one, the upper from the other, which leaves out the namespace's setup, which load stretches most.
        ready_read = time.monotonic()
        if case.event0 == "l":  # a second after the gate started, within its wait for the node
            time.sleep(1.0)
            os.mkfifo(f"{tmp}/input/event0")
            held[0] = os.open(f"{tmp}/input/event0", os.O_RDWR | os.O_NONBLOCK)
            os.write(held[0], record(size, case.key))
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
        after = {name: Path(tmp, name).read_text() if os.path.exists(f"{tmp}/{name}") else None
                 for name in case.after}
        during = Path(tmp, "marks/during").read_text().strip() if os.path.exists(f"{tmp}/marks/during") else ""
        trigger_args = Path(tmp, "marks/trigger").read_text().splitlines() if case.trigger is not None and \
            os.path.exists(f"{tmp}/marks/trigger") else None
    problems = []
    lines = out.decode(errors="replace").splitlines()
    if ready != b"ready\n":
        problems.append(f"namespace not set up: {ready!r}")
    if proc.returncode != case.status or lines != case.console:
        problems.append(f"status {proc.returncode}, console {lines!r}; want status {case.status}, "
                        f"console {case.console!r}")
    errors = case.errors.replace("{led}", settings.get("EVWAIT_RECOVERY_LED", ""))
    if case.status != 1 and err.decode(errors="replace") != errors:
        problems.append(f"standard error {err!r}, want {errors!r}")
    if case.evwait_runs is not None and ran["evwait"] != case.evwait_runs:
        problems.append(f"evwait {'ran' if ran['evwait'] else 'did not run'}")
    chosen = "KEYS" in case.settings or "CONSOLE_KEY" in case.settings
    asked = case.held is not None and settings.get("EVWAIT_RECOVERY_HELD") != "no" and bool(case.console) \
        and not chosen
    if case.trigger is not None and trigger_args != (case.trigger_args if case.console else None):
        problems.append(f"evwait-trigger given {trigger_args!r}, want {case.trigger_args!r}")
    if after != case.after or during != case.during:
        problems.append(f"files at the end {after!r}, LED during the wait {during!r}; want {case.after!r}, "
                        f"{case.during!r}")
    if ran["evwait-held"] != asked:
        problems.append(f"evwait-held {'asked' if ran['evwait-held'] else 'not asked'}")
    # Without evwait the gate returns at once; with it, after its five seconds and the node's wait.
    low, high = (5.0 + case.node_wait, 5.0 + case.node_wait + SLACK) if case.evwait_runs else (0.0, AT_ONCE)
    if not case.evwait_runs and case.node_wait:
        low, high = case.node_wait, case.node_wait + AT_ONCE
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
    gate = os.path.abspath(args.gate)
    runs = [(f"{case.name}: {sh}", case, tools) for sh, tools in shells.items() for case in CASES]
    failed = run_cases(runs, lambda run: run_case(run[1], ns, gate, run[2], args.command, args.record_size))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
