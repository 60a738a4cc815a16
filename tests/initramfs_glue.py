#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What the initramfs-tools hook and the dracut module (run by the host's hook-functions and dracut, no kernel)
put into an image, by the settings and by which of the gate's programs are installed (stand-ins on PATH).
Usage: initramfs_glue.py RECOVERY_SOURCE_DIR; exit 77 without initramfs-tools or dracut."""
import os, shutil, subprocess, sys, tempfile

ALL = ["evwait", "evwait-held", "evwait-trigger"]
ON, KEYS = "EVWAIT_RECOVERY_ACTION=shell\n", "EVWAIT_RECOVERY_ACTION=shell\nEVWAIT_RECOVERY_KEYS='KEY_POWER, BTN_0'\n"
LEFT_OUT, TRIGGER_MISSING = "the recovery gate is left out of the initramfs", "evwait-trigger, which waits for them"
CASES = {  # settings, programs not installed, programs in the image (None: no gate), what the warning names
    "any key, all installed": (ON, [], ALL, None),
    "chosen keys, all installed": (KEYS, [], ALL, None),
    "any key, no evwait-trigger": (ON, ["evwait-trigger"], ["evwait", "evwait-held"], None),
    "chosen keys, only evwait-trigger": (KEYS, ["evwait", "evwait-held"], ["evwait-trigger"], None),
    "chosen keys, no evwait-trigger": (KEYS, ["evwait-trigger"], None, TRIGGER_MISSING),
    "console key, no evwait-trigger": (ON + "EVWAIT_RECOVERY_CONSOLE_KEY=f\n", ["evwait-trigger"], None,
                                       TRIGGER_MISSING),
    "any key, no evwait": (ON, ["evwait"], None, "evwait not found"),
    "gate off": ("", [], None, None),
}
# What each glue adds besides the gate, its settings and programs ("evdev": the module listed for loading).
GLUES = {"initramfs-tools": ["evdev"], "dracut": ["usr/lib/dracut/hooks/pre-mount/10-evwait-recovery-hook.sh"]}


def build(glue, source, tmp, env):
    """The image's files, and the glue's run."""
    if glue == "initramfs-tools":  # version names no kernel: force_load adds no file, but lists evdev
        os.makedirs(f"{tmp}/image/conf")
        open(f"{tmp}/image/conf/modules", "w").close()
        done = subprocess.run(["sh", f"{source}/initramfs-tools/hook"], capture_output=True, text=True,
                              env=dict(env, DESTDIR=f"{tmp}/image", version="none", verbose="n"))
        files = [os.path.relpath(f"{d}/{f}", f"{tmp}/image") for d, _, names in os.walk(f"{tmp}/image") for f in names]
        return done, files + (["evdev"] if "evdev" in open(f"{tmp}/image/conf/modules").read().split() else [])
    shutil.copytree("/usr/lib/dracut", f"{tmp}/dracut", symlinks=True)
    shutil.copytree(f"{source}/dracut", f"{tmp}/dracut/modules.d/90evwait-recovery")
    os.mkdir(f"{tmp}/conf.d")
    done = subprocess.run(["dracut", "--no-hostonly", "--no-compress", "--no-kernel", "--conf", "/dev/null",
                           "--confdir", f"{tmp}/conf.d", "--tmpdir", tmp, "-m", "evwait-recovery", f"{tmp}/image"],
                          capture_output=True, text=True,
                          env=dict(env, dracutbasedir=f"{tmp}/dracut", DRACUT_PATH=f"{tmp}/bin /usr/sbin /usr/bin /bin"))
    listing = subprocess.run(["lsinitrd", f"{tmp}/image"], capture_output=True, text=True).stdout.splitlines()
    return done, [line.split()[-1] for line in listing if line.startswith(("-", "l"))]


def main():
    if not os.path.exists("/usr/share/initramfs-tools/hook-functions") or not shutil.which("dracut"):
        print("SKIPPED: initramfs-tools' hook-functions or dracut is not installed")
        return 77
    failed = 0
    for (name, (settings, missing, holds, warned)), glue in [(c, g) for c in CASES.items() for g in GLUES]:
        with tempfile.TemporaryDirectory() as tmp:
            os.mkdir(f"{tmp}/bin")
            for program in ["evwait-recovery"] + [p for p in ALL if p not in missing]:
                with open(f"{tmp}/bin/{program}", "w") as f:
                    f.write("#!/bin/sh\n")
                os.chmod(f"{tmp}/bin/{program}", 0o755)
            with open(f"{tmp}/settings", "w") as f:
                f.write(settings)
            env = dict(os.environ, PATH=f"{tmp}/bin:/usr/sbin:/usr/bin:/bin", EVWAIT_RECOVERY_CONFIG=f"{tmp}/settings")
            done, files = build(glue, sys.argv[1], tmp, env)
        gate = ["usr/sbin/evwait-recovery", "etc/default/evwait-recovery"] + GLUES[glue]
        want = sorted(gate + [f"usr/bin/{p}" for p in holds]) if holds is not None else []
        got = sorted(f for f in files if "evwait" in f or f == "evdev")
        shown = [line for line in done.stderr.splitlines() if "evwait-recovery:" in line]
        warned_right = (warned is None) != (LEFT_OUT in done.stderr) and (warned or "") in done.stderr
        problems = ([f"holds {got}, not {want}"] if got != want else []) + (
            [f"status {done.returncode}"] if done.returncode else []) + ([] if warned_right else [f"warnings {shown}"])
        print(f"{'FAIL' if problems else 'ok'}: {glue}: {name}" + "".join(f"\n  {p}" for p in problems))
        failed += bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
