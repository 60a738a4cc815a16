#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What the initramfs-tools hook and the dracut module (run by the host's hook-functions and dracut, no kernel)
put into an image, by the settings and by which of the gate's programs are installed (stand-ins on PATH), and
what initramfs-action.sh, which both use, finds that a script runs.
Usage: initramfs_glue.py RECOVERY_SOURCE_DIR; exit 77 without initramfs-tools, dracut or a C compiler."""
import os, shutil, subprocess, sys, tempfile

ALL = ["evwait", "evwait-held", "evwait-trigger"]
ON, KEYS = "EVWAIT_RECOVERY_ACTION=shell\n", "EVWAIT_RECOVERY_ACTION=shell\nEVWAIT_RECOVERY_KEYS='KEY_POWER, BTN_0'\n"
LEFT_OUT, TRIGGER_MISSING = "the recovery gate is left out of the initramfs", "evwait-trigger, which waits for them"
# Command actions: an ELF linking libm (which nothing else here links), a script that sources a file and runs the
# ELF, a function, builtins and a bash script by name, and a script that runs a program nobody installed.
ELF = "{tmp}/sbin/reset-elf"
ACTION_PROGRAMS = {
    "bin/factory-reset": "#!/bin/sh\n. {tmp}/lib/reset.sh\nsay() { echo \"$*\"; }\nsay wiping\n"
                         "[ \"$1\" = --ask ] && read -r answer\nwipe-data --all 2>&1\n" + ELF + " --check\n",
    "bin/wipe-data": "#!/bin/bash\nsync\n",
    "bin/reset-broken": "#!/bin/sh\nwipe-all-data\n",
    "lib/reset.sh": "mode=full\n",
}
CANNOT = 'the action "{}" cannot run in the initramfs: '
SCRIPT_FILES = ["usr/bin/factory-reset", "usr/bin/wipe-data", "{tmp}/lib/reset.sh", ELF, "libm.so.6"]
CASES = {  # settings, programs not installed, programs in the image (None: no gate), what the warning names,
    # the action's files in the image beside them (a library by its name), files that must be there too
    "any key, all installed": (ON, [], ALL, None),
    "chosen keys, all installed": (KEYS, [], ALL, None),
    "any key, no evwait-trigger": (ON, ["evwait-trigger"], ["evwait", "evwait-held"], None),
    "chosen keys, only evwait-trigger": (KEYS, ["evwait", "evwait-held"], ["evwait-trigger"], None),
    "chosen keys, no evwait-trigger": (KEYS, ["evwait-trigger"], None, TRIGGER_MISSING),
    "console key, no evwait-trigger": (ON + "EVWAIT_RECOVERY_CONSOLE_KEY=f\n", ["evwait-trigger"], None,
                                       TRIGGER_MISSING),
    "any key, no evwait": (ON, ["evwait"], None, "evwait not found"),
    "gate off": ("", [], None, None),
    "ELF command with its library": (f"EVWAIT_RECOVERY_ACTION='{ELF} --all'\n", [], ALL, None, [ELF, "libm.so.6"]),
    "script with what it runs": ("EVWAIT_RECOVERY_ACTION='factory-reset --ask'\n", [], ALL, None, SCRIPT_FILES,
                                 ["usr/bin/bash", "usr/bin/sync"]),
    "pipeline refused": ("EVWAIT_RECOVERY_ACTION='factory-reset | tee /dev/console'\n", [], None,
                         CANNOT.format("factory-reset | tee /dev/console") + "not a single program"),
    "missing executable refused": ("EVWAIT_RECOVERY_ACTION='{tmp}/sbin/factory-reset --all'\n", [], None,
                                   "/sbin/factory-reset is not found"),
    "script running a missing program refused": ("EVWAIT_RECOVERY_ACTION=reset-broken\n", [], None,
                                                 "reset-broken runs wipe-all-data, which is not found"),
}
# What a script found on PATH (which holds only it and the stand-ins STANDINS) makes initramfs-action.sh copy
# besides it: the stand-ins, sorted, or the reason it refuses. Read by each shell that sources it.
STANDINS = ["wipe", "format", "count", "timeout", "log-tool", "deeper"]
SCRIPTS = {
    "no commands in functions' names, case patterns, comments, quotes, quoted here-documents":
        ("f() { wipe \"$@\" 2>&1; }\ng () { f; }\nfunction h { g; }\n# never\nX=1 h --opt='never x' >/dev/null\n"
         "case $1 in never|start) f ;; (*) g ;; esac\nwipe <<'EOF'\n$(never)\nEOF\necho \"never; never\" 'a | never'\n",
         ["deeper", "wipe"]),
    "commands after operators, keywords, in substitutions, in code of trap and eval, after wrappers":
        ("if wipe; then x=$(format) ; fi && exec timeout 5 log-tool | echo \"`count`\"\n"
         "trap 'format; deeper' EXIT\neval 'wipe --all'\n", ["count", "deeper", "format", "log-tool", "timeout", "wipe"]),
    "a sourced file, and its functions": (". {tmp}/lib.sh\nhelper\n", ["format", "lib.sh"]),
    "command named by an expansion": ("$TOOL --all\n", "a command named by an expansion"),
    "eval of an expansion": ("eval \"$cmd\"\n", "code made by an expansion"),
    "here-document running commands": ("wipe <<EOF\n$(format)\nEOF\n", "a here-document that runs commands"),
    "a program not found": ("wipe\nmissing-tool --all\n", "runs missing-tool, which is not found"),
    "a sourced file not found": (". /nonexistent/lib.sh\n", "/nonexistent/lib.sh, which is not found"),
    "another interpreter": ("#!{tmp}/bin/format\nwipe\n", "is a script of format, whose needs cannot be told"),
    "a quote that does not end": ("echo 'wipe\n", "a quote that does not end"),
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
    return done, [line.split()[8] for line in listing if line.startswith(("-", "l"))]


def write(path, text, mode=0o755):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def glue_cases(source, elf):
    failed = 0
    watched = {os.path.basename(p) for p in [*ACTION_PROGRAMS, ELF, "libm.so.6"]}
    for (name, (settings, missing, holds, warned, *action)), glue in [(c, g) for c in CASES.items() for g in GLUES]:
        action_files, present = (action + [[], []])[:2]
        with tempfile.TemporaryDirectory() as tmp:
            for program in ["evwait-recovery"] + [p for p in ALL if p not in missing]:
                write(f"{tmp}/bin/{program}", "#!/bin/sh\n")
            for path, text in ACTION_PROGRAMS.items():
                write(f"{tmp}/{path}", text.replace("{tmp}", tmp))
            os.mkdir(f"{tmp}/sbin")
            shutil.copy(elf, ELF.replace("{tmp}", tmp))
            write(f"{tmp}/settings", settings.replace("{tmp}", tmp), 0o644)
            env = dict(os.environ, PATH=f"{tmp}/bin:/usr/sbin:/usr/bin:/bin", EVWAIT_RECOVERY_CONFIG=f"{tmp}/settings",
                       EVWAIT_RECOVERY_LIB=f"{source}/initramfs-action.sh")
            done, files = build(glue, source, tmp, env)
        gate = ["usr/sbin/evwait-recovery", "etc/default/evwait-recovery"] + GLUES[glue]
        want = sorted(gate + [f"usr/bin/{p}" for p in holds] + [f.replace("{tmp}", tmp[1:]) for f in action_files]
                      ) if holds is not None else []
        got = sorted(("libm.so.6" if f.endswith("/libm.so.6") else f) for f in files
                     if "evwait" in f or f == "evdev" or os.path.basename(f) in watched)
        lacking = [f for f in present if f not in files]
        shown = [line for line in done.stderr.splitlines() if "evwait-recovery:" in line]
        warned_right = (warned is None) != (LEFT_OUT in done.stderr) and (warned or "") in done.stderr
        problems = ([f"holds {got}, not {want}"] if got != want else []) + (
            [f"lacks {lacking}"] if lacking else []) + ([f"status {done.returncode}"] if done.returncode else []) + (
            [] if warned_right else [f"warnings {shown}"])
        print(f"{'FAIL' if problems else 'ok'}: {glue}: {name}" + "".join(f"\n  {p}" for p in problems))
        failed += bool(problems)
    return failed


def script_cases(source):
    failed = 0
    shells = [s for s in (["dash"], ["busybox", "sh"], ["bash"]) if shutil.which(s[0])]
    for (name, (text, expected)), shell in [(c, s) for c in SCRIPTS.items() for s in shells]:
        with tempfile.TemporaryDirectory() as tmp:
            for program in STANDINS:
                write(f"{tmp}/bin/{program}", "#!/bin/sh\n" + ("deeper --now\n" if program == "wipe" else ":\n"))
            write(f"{tmp}/lib.sh", "helper() { format; }\n", 0o644)
            write(f"{tmp}/bin/script", ("" if text.startswith("#!") else "#!/bin/sh\n") + text.replace("{tmp}", tmp))
            done = subprocess.run([*shell, "-c", '. "$1" && evwait_recovery_action_files script "$2"', "sh",
                                   f"{source}/initramfs-action.sh", f"{tmp}/bin"], capture_output=True, text=True)
        copied = sorted({line.split()[1].rsplit("/", 1)[1] for line in done.stdout.splitlines()
                         if line.startswith(("exec ", "file "))} - {"script"})
        if isinstance(expected, list):
            right = done.returncode == 0 and copied == expected and not done.stderr
        else:
            right = done.returncode == 1 and expected in done.stdout and not done.stderr
        print(f"{'ok' if right else 'FAIL'}: {shell[0]}: {name}" + ("" if right else
              f"\n  status {done.returncode}, copies {copied}, said {(done.stdout + done.stderr).strip()!r}"))
        failed += not right
    return failed


def main():
    if not os.path.exists("/usr/share/initramfs-tools/hook-functions") or not shutil.which("dracut") or \
            not shutil.which("cc"):
        print("SKIPPED: initramfs-tools' hook-functions, dracut or cc is not installed")
        return 77
    with tempfile.TemporaryDirectory() as tmp:  # an ELF that links libm, which nothing else here does
        subprocess.run(["cc", "-x", "c", "-", "-o", f"{tmp}/elf", "-Wl,--no-as-needed", "-lm"],
                       input="int main(void) { return 0; }\n", text=True, check=True)
        failed = glue_cases(sys.argv[1], f"{tmp}/elf")
    failed += script_cases(sys.argv[1])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
