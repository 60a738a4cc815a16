#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The boot script of doc/devices.md, taken from that page as it stands, run against the stand-in devices of
end_to_end.py.

Usage: boot_script.py --readme doc/devices.md --record-size N -- [emulator ...] path/to/evwait

The script is the page's one indented block that starts with "#!/bin/sh". It runs under sh (dash on Debian, a POSIX shell as BusyBox's ash is), plainly and with
-e. Its recovery menu, /sbin/recovery-menu, is replaced by a stand-in that prints "recovery menu", and
the rest of the boot, after the script, by a line "went on". `evwait` is the build's executable (under
its emulator), first in PATH.
"""
import argparse, os, re, shlex, subprocess, sys, tempfile, time

from end_to_end import KEY, launch, lay_out_devices, open_namespace, record, run_cases

MENU, WENT_ON = "recovery menu", "went on"
HANG_LIMIT = 30.0  # seconds: the script's own waits are 3 + 5; a hang is far beyond
# name, sh options, event0 ('f' FIFO from the start, 'l' FIFO made once the script runs, '-' absent;
# event1 and event2 are FIFOs without records), record on event0 (None: none), wanted last line
CASES = [
    ("key", [], "f", KEY, MENU),
    ("key, set -e", ["-e"], "f", KEY, MENU),
    ("key release (status 0), set -e", ["-e"], "f", (1, 30, 0), MENU),
    ("nothing", [], "f", None, WENT_ON),
    ("nothing, set -e", ["-e"], "f", None, WENT_ON),
    ("event0 made after the start, key, set -e", ["-e"], "l", KEY, MENU),
    ("no event0 at all, set -e: the wait ends", ["-e"], "-", None, WENT_ON),
]


def readme_script(readme):
    with open(readme) as f:
        blocks = re.findall(r"^    #!/bin/sh\n(?:(?:    .*)?\n)*", f.read(), re.MULTILINE)
    if len(blocks) != 1:
        sys.exit(f"FAIL {readme} holds {len(blocks)} indented blocks starting with #!/bin/sh, want 1")
    script = re.sub(r"^    ", "", blocks[0], flags=re.MULTILINE).rstrip("\n") + "\n"
    if script.count("/sbin/recovery-menu") != 1:
        sys.exit("FAIL the boot script names /sbin/recovery-menu other than once")
    return script


def boot_script(script, menu):
    """`script` with `menu` for its recovery menu, followed by the rest of the boot."""
    return script.replace("/sbin/recovery-menu", menu) + f"echo '{WENT_ON}'\n"


def run_case(case, ns, script, command, size):
    _, options, event0, fields, want = case
    with tempfile.TemporaryDirectory() as tmp:
        os.mkdir(f"{tmp}/bin")
        for exe, body in (("evwait", f'exec {shlex.join(command)} "$@"'), ("menu", f"echo '{MENU}'")):
            with open(f"{tmp}/bin/{exe}", "w") as f:
                f.write(f"#!/bin/sh\n{body}\n")
            os.chmod(f"{tmp}/bin/{exe}", 0o755)
        with open(f"{tmp}/boot", "w") as f:
            f.write(boot_script(script, f"{tmp}/bin/menu"))
        held = lay_out_devices(tmp, event0.replace("l", "-") + "ff")
        if fields and event0 == "f":
            os.write(held[0], record(size, fields))
        env = dict(os.environ, PATH=f"{tmp}/bin:{os.environ['PATH']}")
        # Unbuffered: readline takes no more than its line, which communicate() would not see.
        proc = launch(ns, tmp, ["sh"] + options + [f"{tmp}/boot"], "echo namespace ready", env=env, bufsize=0,
                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        out = proc.stdout.readline()
        if event0 == "l":  # a second after the script started, well within its wait for the node
            time.sleep(1.0)
            os.mkfifo(f"{tmp}/input/event0")
            held[0] = os.open(f"{tmp}/input/event0", os.O_RDWR | os.O_NONBLOCK)
            os.write(held[0], record(size, fields))
        try:
            out += proc.communicate(timeout=HANG_LIMIT)[0]
        except subprocess.TimeoutExpired:
            proc.kill()
            out += proc.communicate()[0] + f"\n(still running after {HANG_LIMIT} s: killed)".encode()
        for fd in held.values():
            os.close(fd)
    lines = out.decode(errors="replace").splitlines()
    if proc.returncode != 0 or lines[-1:] != [want] or MENU in lines[:-1] or WENT_ON in lines[:-1]:
        return [f"status {proc.returncode}, output {lines!r}; want status 0 and last line {want!r}"]
    return []


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--readme", required=True)
    parser.add_argument("--record-size", type=int, required=True)
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()
    script = readme_script(args.readme)
    ns = open_namespace()
    failed = run_cases(CASES, lambda case: run_case(case, ns, script, args.command, args.record_size))
    sys.exit(1 if failed else 0)

if __name__ == "__main__":
    main()
