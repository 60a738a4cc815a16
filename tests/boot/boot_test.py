#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Boots Debian's kernels with the recovery gate of this tree wired into each init system: the amd64 kernel
under qemu-system-x86_64 (PS/2 keyboard, ACPI power button), the armhf one (linux-image-armmp's) under
qemu-system-arm -M virt (virtio keyboard, the board's gpio-keys power button); presses keys through the QEMU
monitor, types on the serial console, and makes more input devices in the guest (input_noise.c, uinput).

Usage: boot_test.py --build BUILD_DIR --work WORK_DIR [--cache DIR] [--kernel VMLINUZ] [--system NAME]
                    [--only REGEX] [--images-only | --prebuilt] [--jobs N] [--list-systems]
                    [--buildroot-tools DIR]

The x86 images' files come from `cmake --install BUILD_DIR` into a staging folder (prefix /usr). The initramfs
builders (mkinitramfs, dracut) see them as installed: they run in a user and mount namespace whose /usr and /etc
are overlays of the staging folder on the host's own, so this runs as an ordinary user. The systemd root (made by
mmdebstrap, once, into the cache) gets the staged files copied in; the BusyBox initramfs is made by hand. The ARM
root is what Buildroot's build of this tree's BR2_EXTERNAL package installs into its target folder (the
Buildroot tools' buildroot-build, from --buildroot-tools or EVWAIT_BUILDROOT_TOOLS, else
../shared/tools/buildroot beside the checkout), with Debian's armhf busybox-static as init, as an initramfs.

A case is one record of CASES: its image, kernel arguments, the console lines it wants in order with what is
pressed or typed once each shows, the lines it must not show, the least and most time between two lines. Every
guest ends by itself (it powers off or reboots: its root's init, or the kernel's panic= reboot), or its case's
time limit, counted from the last console line, ends it; the case is then judged on the whole console.
--images-only builds the images of the chosen cases (CTest's fixture); --prebuilt boots images built so.

The x86 kernel is the host's Debian kernel: --kernel (or EVWAIT_BOOT_KERNEL), else /boot/vmlinuz-VERSION where
readable, else the same version taken out of its package (apt-get download, dpkg-deb) into the cache folder
(--cache, or EVWAIT_BOOT_CACHE); its modules come from /lib/modules/VERSION. The ARM kernel, its modules and
armhf busybox-static come out of their packages into the cache. KVM where /dev/kvm works and a probe boot
succeeds, TCG otherwise (ARM: TCG). Without QEMU, a kernel, the cross compiler or armhf package lists, an
architecture's cases are skipped (77 when none is left); under CI (CI=true) that is a failure. Without the
Buildroot tools, which are not in this tree, the ARM cases are skipped, under CI too.
"""
import argparse, codecs, concurrent.futures, dataclasses, glob, hashlib, json, os, re, shlex, shutil, socket
import subprocess, sys, tarfile, tempfile, threading, time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from gate_console import BOOTING_ON, ENTERING, HELD, PROMPT  # noqa: E402

ROOT = "evwait boot test: root file system reached"  # the real root's init, once the initramfs is done
COMMAND_RAN = "evwait boot test: recovery command ran"  # the command action of the BusyBox case
KERNEL_PANIC = "Kernel panic - not syncing"
# An oops or a lockup becomes a panic, which ends the boot at once; panic= itself is left to the cases, since
# initramfs-tools' own panic() reads it.
WATCHDOG_ARGUMENTS = "oops=panic softlockup_panic=1"


@dataclasses.dataclass
class Case:
    """One boot. `steps` are lines (text, or a compiled expression), or (line, action): the console must show
    each line, in order, and then the action happens: a monitor command (PRESS), typed(), a pause, or a list of
    these in turn. `unwanted` lines must not show anywhere on the console. `least` and `most` hold (first line,
    second line, seconds): the least and the most time between two of the steps' lines. `gate_most`: the most
    time the gate may take in the guest, by the kernel's time stamps of the start scripts around it (the ARM
    images). `stops` is a line after which the guest stands still for good (a halt, a kernel panic): the boot
    ends there. `anywhere`: lines the console must show, in any place (a unit whose place among the others is
    not fixed)."""
    image: str
    steps: list
    unwanted: list = dataclasses.field(default_factory=list)
    append: str = ""
    least: list = dataclasses.field(default_factory=list)
    most: list = dataclasses.field(default_factory=list)
    gate_most: float = 0.0
    stops: str = ""
    anywhere: list = dataclasses.field(default_factory=list)
    name: str = ""
    system: str = ""


PRESS = ("monitor", "sendkey a")  # a key pressed and released at once, on the emulated keyboard
# The power button: ACPI's on the PC, the gpio-keys button on ARM's virt board (a 100 ms press of its PL061's
# line 3: it cannot be held)
POWER = ("monitor", "system_powerdown")


def pause(seconds):
    """Nothing done for a while: what was pressed before has reached the guest before what comes next."""
    return ("pause", seconds)


def typed(text):
    """Text typed on the serial console; a line ends with the Enter key (carriage return)."""
    return ("serial", text)


def held_from(before, seconds=10, key="a", then=(PROMPT, HELD)):
    """A key that goes down at the console line `before`, ahead of the gate, and is still down when the gate
    starts: recovery without a key during the prompt."""
    return [(before, ("monitor", f"sendkey {key} {seconds * 1000}")), *then, ENTERING]


KEY = [(PROMPT, PRESS), ENTERING]
GATE_LINES = [PROMPT, ENTERING, BOOTING_ON]


def no_key(image, then, unwanted=()):
    """Nothing pressed or held: the whole wait, not cut short, and the boot goes on."""
    return Case(image, [PROMPT, BOOTING_ON] + then, [ENTERING, HELD, *unwanted], least=[(PROMPT, BOOTING_ON, 4.5)])


def gate_off(image, steps, unwanted=(), append=""):
    return Case(image, steps, GATE_LINES + list(unwanted), append=append)

EXIT = typed("exit\r")

# Action shell with EVWAIT_RECOVERY_SHELL_TIMEOUT=3: after a key the gate asks for Enter on the console first.
SHELL_TIMEOUT = "EVWAIT_RECOVERY_SHELL_TIMEOUT=3\n"
ASK_ENTER = "evwait-recovery: press Enter within 3 seconds for the recovery shell, or the boot goes on"
NOBODY = "evwait-recovery: nobody at the console: booting on"
LINE_TYPED = "evwait-trigger: a line typed on the console"


def nobody_at_console(image, then, shell):
    """A key, then no Enter: the three seconds, not cut short, and the boot goes on without the shell (whose
    lines are `shell`)."""
    return Case(image, KEY + [ASK_ENTER, NOBODY] + then, [BOOTING_ON, LINE_TYPED, *shell],
                least=[(ASK_ENTER, NOBODY, 2.5)], most=[(ASK_ENTER, NOBODY, 10)])


# What each init system shows: its rescue shell, left by typing on the serial console, and the boot going on.
ITOOLS_SHELL = ["BusyBox", ("(initramfs) ", EXIT), ROOT]
DRACUT_SHELL = ["Dropping to debug shell", (":/# ", EXIT), ROOT]
# dracut-emergency.service's sulogin -e: Enter gives a root shell (no password in the initramfs)
DRACUT_SYSTEMD_SHELL = ["Entering emergency mode", ("(or press Control-D to continue): ", typed("\r")),
                        ("# ", EXIT), ROOT]
BUSYBOX_SHELL = [("recovery shell; leave it (exit) to boot on", EXIT), ROOT]
# systemd's rescue.target: sulogin asks for the root password (set in the root: locked, it gives no shell);
# leaving its shell starts the default target (systemd-sulogin-shell's "Starting default.target")
DEFAULT_TARGET = "Reached target graphical.target"
RESCUE = ["You are in rescue mode", "Give root password for maintenance",
          ("(or press Control-D to continue): ", typed("evwait\r")),
          ("root@", EXIT), "Starting default.target", ROOT]
SYSTEMD_BOOTS_ON = [DEFAULT_TARGET, ROOT]
PANIC_REBOOT = "Rebooting automatically due to panic= boot argument"  # initramfs-tools' panic()
RESTART = "reboot: Restarting system"  # the kernel's last line
UNIT_FINISHED = "Finished evwait-recovery.s"  # systemd's status line, cut to the console's 80 columns

# The gate with keys or a console key chosen: evwait-trigger's lines.
TRIGGER_PROMPT = "Hold or press KEY_POWER within 5 seconds for recovery"
INSTANT_PROMPT = "Hold KEY_POWER at power-on for recovery"  # EVWAIT_RECOVERY_WINDOW=0
CONSOLE_PROMPT = "Type f and Enter within 5 seconds for recovery"
CONSOLE_TYPED = "evwait-trigger: f typed on the console"
TRIGGERED = "evwait-trigger: "  # the start of each line that says what came
TRIGGER_FAULT = "evwait-trigger did not run"  # the gate's line when the trigger failed
NOT_TRIGGERED = [ENTERING, TRIGGERED, TRIGGER_FAULT, HELD]


def came(key, how, device):
    """The trigger's line for a chosen key `how` ("pressed", "held") on a device named `device`, whatever
    its event node."""
    return re.compile(rf"evwait-trigger: {key} {how} on /dev/input/event\d+ \({re.escape(device)}\)")


def window_passes(image, steps, then, unwanted=(), append=""):
    """With keys chosen, nothing that counts: the trigger's whole window, not cut short, and the boot goes
    on."""
    return Case(image, steps + [BOOTING_ON] + then, NOT_TRIGGERED + list(unwanted), append=append,
                least=[(steps[0][0] if isinstance(steps[0], tuple) else steps[0], BOOTING_ON, 4.5)])


# The PC with EVWAIT_RECOVERY_KEYS=KEY_POWER: the ACPI power button (the "Power Button" device of the button
# module) counts; a key of the PS/2 keyboard, which has KEY_POWER among its keys and so is watched too, does
# not. The key goes down a second before the button. KEY_POWER held on that keyboard counts, at once.
A_THEN_POWER = (TRIGGER_PROMPT, [PRESS, pause(1), POWER])
POWER_BUTTON = came("KEY_POWER", "pressed", "Power Button")
KEYBOARD_HELD = came("KEY_POWER", "held", "AT Translated Set 2 keyboard")

# ARM's virt board: its power button (gpio-keys, built into Debian's armmp kernel) and the virtio keyboard
# (virtio_input), both with KEY_POWER, and the devices input-noise makes before the gate (uinput) with
# KEY_POWER among their keys, as a board's gpio-keys node has its power key beside a lid switch, so that the
# trigger watches them all. input-noise=ARG,... on the kernel command line starts it.
DRIVERS_LOADED = "evwait boot test: input drivers loaded"  # the ARM images' first start script
# The mdev image: virtio_input left to S10mdev's coldplug (see MDEV_FILES)
NOT_BEFORE_MDEV = "evwait boot test: virtio_input not loaded before S10mdev"
LOADED_BY_MDEV = "evwait boot test: virtio_input loaded after S10mdev"
NOISE = "input-noise=with=KEY_POWER,switch=SW_LID,touch,keyboard=KEY_A"
NOISE_HEARD = "input-noise: every device's noise sent, its node open"
NOISE_NOT_HEARD = "its node closed"  # input-noise's line for noise that ended with nobody reading
LATE = "input-noise=late=KEY_POWER"  # a KEY_POWER device made 2 s into the window, pressed once opened
LATE_MADE = 'input-noise: late key "input-noise late key" is /dev/input/event'
GPIO_POWER = came("KEY_POWER", "pressed", "gpio-keys")
VIRTIO_HELD = came("KEY_POWER", "held", "QEMU Virtio Keyboard")
# The gate's cost, by the kernel's time stamps of the start scripts just before and just after it
GATE_STARTS, GATE_ENDED = "evwait boot test: S11gate-starts", "evwait boot test: S13gate-ended"

# A command action under systemd: noted by the gate, run by evwait-recovery-action.service once the local
# filesystems are mounted. Its image's root is mounted read-only (ro) and remounted read-write by
# systemd-remount-fs from its fstab; a unit ordered before that remount says how the root was then.
NOTED = "evwait-recovery: the command runs once the local filesystems are mounted"
ROOT_RW = "evwait boot test: root read-write"
ROOT_RO = "evwait boot test: root read-only when the command ran"
RO_BEFORE_REMOUNT = "evwait boot test: root read-only before systemd-remount-fs"
RW_COMMAND = (f"EVWAIT_RECOVERY_ACTION=\"grep -q ' / [^ ]* rw[ ,]' /proc/mounts && echo '{ROOT_RW}' "
              f"|| echo '{ROOT_RO}'\"\n")

# A command action that names an executable in the staged system (a script, and what it runs), which the
# initramfs glue copies into the image; and one that the image cannot hold (a pipeline), which leaves the gate
# out of it with a warning in the image build's output.
RECOVERY_SCRIPT = "/usr/local/sbin/evwait-boot-test-recovery"
SCRIPT_RAN = "evwait boot test: evwait-boot-test-recovery ran"
RECOVERY_SCRIPT_TEXT = """#!/bin/sh
# The boot test's recovery command: basename is a program the initramfs must hold too.
echo "evwait boot test: $(basename "$0") ran"
"""
SCRIPT_ACTION = f"EVWAIT_RECOVERY_ACTION={RECOVERY_SCRIPT}\n"
PIPELINE_ACTION = "EVWAIT_RECOVERY_ACTION='echo a | cat'\n"
PIPELINE_REFUSED = ('evwait-recovery: the action "echo a | cat" cannot run in the initramfs: not a single program '
                    'with plain arguments (a pipeline, list, redirection, quoting or expansion needs the running '
                    'system): the recovery gate is left out of the initramfs')

# EVWAIT_RECOVERY_LED: the PS/2 keyboard's Caps Lock LED (input-leds, built into Debian's kernel), whose
# trigger the BusyBox image's start scripts print around the gate and a second into evwait's wait
# (ledtrig-timer loaded, so that the LED has the timer trigger).
LED = "input0::capslock"
LED_BEFORE = "evwait boot test: LED trigger before the gate: [kbd-capslock]"
LED_DURING = "evwait boot test: LED trigger during the wait: [timer]"
LED_AFTER = "evwait boot test: LED trigger after the gate: [kbd-capslock]"
LED_UNTOUCHED = "evwait boot test: LED trigger during the wait: [kbd-capslock]"
LED_REFUSED = "is an input device's LED, whose changes would count as a key: it blinks only with keys chosen"
KEY_A_PROMPT = "Hold or press KEY_A within 5 seconds for recovery"
KEY_A_PRESSED = came("KEY_A", "pressed", "AT Translated Set 2 keyboard")

# Every image with the gate on checks held keys (the default), so each "no key" case is also the case of
# nothing held. The gate shows its prompt once evwait has opened the devices: the key goes down as soon as
# the prompt shows.
CASES = {
    "initramfs-tools": {
        "key: panic shell, left, boot goes on": Case("initramfs-tools", KEY + ITOOLS_SHELL, [BOOTING_ON]),
        "no key": no_key("initramfs-tools", [ROOT]),
        # initramfs-tools' /init prints this line just before its init-premount scripts, the gate among them
        "key held from before the gate": Case(
            "initramfs-tools", held_from("Begin: Loading essential drivers") + ITOOLS_SHELL, [BOOTING_ON]),
        "gate off": gate_off("initramfs-tools-off", ["Loading, please wait...", ROOT]),
        "evwait.recovery=off, gate on": gate_off("initramfs-tools", ["Loading, please wait...", ROOT],
                                                 append="evwait.recovery=off"),
        # panic= forbids the shell: panic() reboots after that many seconds, and QEMU (-no-reboot) ends
        "key, panic=1: reboot, no shell": Case(
            "initramfs-tools", KEY + [PANIC_REBOOT, RESTART], [BOOTING_ON, ROOT, "(initramfs) "],
            append="panic=1"),
        "KEY_POWER: keyboard key ignored, power button: panic shell": Case(
            "initramfs-tools-power", [A_THEN_POWER, POWER_BUTTON, ENTERING] + ITOOLS_SHELL, [BOOTING_ON]),
        "KEY_POWER: keyboard key ignored, boot goes on after the window": window_passes(
            "initramfs-tools-power", [(TRIGGER_PROMPT, PRESS)], [ROOT]),
        # KEY_POWER on the PS/2 keyboard (QEMU's key "power"), down before the gate
        "KEY_POWER held on the keyboard from before the gate: at once": Case(
            "initramfs-tools-power", held_from("Begin: Loading essential drivers", key="power",
                                               then=(TRIGGER_PROMPT, KEYBOARD_HELD)) + ITOOLS_SHELL,
            [BOOTING_ON], most=[(TRIGGER_PROMPT, ENTERING, 3)]),
        "shell timeout 3 s, key, nobody at the console: boot goes on": nobody_at_console(
            "initramfs-tools-shell-timeout", [ROOT], ["(initramfs) "]),
        "shell timeout 3 s, key, Enter: panic shell, left, boot goes on": Case(
            "initramfs-tools-shell-timeout", KEY + [(ASK_ENTER, typed("\r")), LINE_TYPED] + ITOOLS_SHELL,
            [BOOTING_ON, NOBODY]),
        "key, action a script in the image: it runs, boot goes on": Case(
            "initramfs-tools-script", KEY + [SCRIPT_RAN, ROOT], [BOOTING_ON, "(initramfs) "]),
        "action a pipeline: gate left out, boot goes on": gate_off(
            "initramfs-tools-pipeline", ["Loading, please wait...", ROOT]),
    },
    "dracut": {
        "key: debug shell, left, boot goes on": Case("dracut", KEY + DRACUT_SHELL, [BOOTING_ON]),
        "no key": no_key("dracut", [ROOT]),
        # the kernel's line as it starts dracut's /init: the gate comes after udev has settled, held for 30 s
        # to stay down until the gate asks under load too
        "key held from before the gate": Case("dracut", held_from("Run /init as init process", 30) + DRACUT_SHELL,
                                              [BOOTING_ON]),
        "gate off": gate_off("dracut-off", ["Run /init as init process", ROOT]),
        "evwait.recovery=off, gate on": gate_off("dracut", ["Run /init as init process", ROOT],
                                                 append="evwait.recovery=off"),
        # rd.shell=0 forbids the shell: dracut's emergency_shell runs its halt instead, which this image (as
        # Debian's) lacks, so /init ends and the kernel panics
        "key, rd.shell=0: no shell, the boot stops": Case(
            "dracut", KEY + ["Boot has failed"], [BOOTING_ON, ROOT, "Dropping to debug shell"],
            append="rd.shell=0", stops=f"{KERNEL_PANIC}: Attempted to kill init"),
        "KEY_POWER: keyboard key ignored, power button: debug shell": Case(
            "dracut-power", [A_THEN_POWER, POWER_BUTTON, ENTERING] + DRACUT_SHELL, [BOOTING_ON]),
        "KEY_POWER: keyboard key ignored, boot goes on after the window": window_passes(
            "dracut-power", [(TRIGGER_PROMPT, PRESS)], [ROOT]),
        "shell timeout 3 s, key, nobody at the console: boot goes on": nobody_at_console(
            "dracut-shell-timeout", [ROOT], ["Dropping to debug shell"]),
        "key, action a script in the image: it runs, boot goes on": Case(
            "dracut-script", KEY + [SCRIPT_RAN, ROOT], [BOOTING_ON, "Dropping to debug shell"]),
        "action a pipeline: gate left out, boot goes on": gate_off(
            "dracut-pipeline", ["Run /init as init process", ROOT]),
    },
    "dracut-systemd": {
        "key: emergency shell, left, boot goes on": Case("dracut-systemd", KEY + DRACUT_SYSTEMD_SHELL, [BOOTING_ON]),
        "no key": no_key("dracut-systemd", [ROOT]),
        "gate off": gate_off("dracut-systemd-off", ["Run /init as init process", ROOT]),
        "shell timeout 3 s, key, nobody at the console: boot goes on": nobody_at_console(
            "dracut-systemd-shell-timeout", [ROOT], ["Entering emergency mode"]),
    },
    "busybox": {
        "key: command runs, boot goes on": Case("busybox", KEY + [COMMAND_RAN, ROOT], [BOOTING_ON]),
        "no key": no_key("busybox", [ROOT], [COMMAND_RAN]),
        # the kernel's line as it starts busybox: the gate is the second start script
        "key held from before the gate": Case(
            "busybox", held_from("Run /init as init process") + [COMMAND_RAN, ROOT], [BOOTING_ON]),
        "key, action shell: shell left, boot goes on": Case("busybox-shell", KEY + BUSYBOX_SHELL, [BOOTING_ON]),
        "shell timeout 3 s, key, nobody at the console: boot goes on": nobody_at_console(
            "busybox-shell-timeout", [ROOT], ["recovery shell; leave it"]),
        "shell timeout 3 s, key, Enter: shell, left, boot goes on": Case(
            "busybox-shell-timeout", KEY + [(ASK_ENTER, typed("\r")), LINE_TYPED] + BUSYBOX_SHELL,
            [BOOTING_ON, NOBODY]),
        # Without keys chosen evwait waits, on the keyboard whose LED it is: each change of the LED is a record
        # (EV_LED) that evwait would count as a key (a blinking LED entered recovery with no key pressed), so the
        # gate leaves that LED alone and says so.
        "LED, no keys chosen, no key: a keyboard's LED left alone, boot goes on": Case(
            "busybox-led", [LED_BEFORE, LED_REFUSED, PROMPT, LED_UNTOUCHED, BOOTING_ON, LED_AFTER, ROOT],
            [ENTERING, COMMAND_RAN, LED_DURING]),
        "LED, no keys chosen, key: a keyboard's LED left alone": Case(
            "busybox-led", [LED_BEFORE, LED_REFUSED, (PROMPT, PRESS), ENTERING, COMMAND_RAN, LED_AFTER, ROOT],
            [BOOTING_ON, LED_DURING]),
        "LED, KEY_A chosen, no key: blinks through the window, put back, boot goes on": Case(
            "busybox-led-key", [LED_BEFORE, KEY_A_PROMPT, LED_DURING, BOOTING_ON, LED_AFTER, ROOT],
            NOT_TRIGGERED + [COMMAND_RAN], least=[(KEY_A_PROMPT, BOOTING_ON, 4.5)]),
        "LED, KEY_A chosen, key: put back": Case(
            "busybox-led-key", [LED_BEFORE, (KEY_A_PROMPT, PRESS), KEY_A_PRESSED, ENTERING, COMMAND_RAN, LED_AFTER,
                                ROOT], [BOOTING_ON]),
    },
    "systemd": {
        "key: rescue mode, left, boot goes on": Case("systemd", KEY + RESCUE, [BOOTING_ON]),
        "no key": no_key("systemd", SYSTEMD_BOOTS_ON, ["rescue mode"]),
        # the gate starts once udev's coldplug has ended, 6 to 7 s after it starts (seen): the key goes down as
        # the coldplug starts, held for 30 s to stay down until the gate asks under load too
        "key held from before the gate": Case("systemd", held_from("Starting systemd-udev-trig", 30) + RESCUE,
                                              [BOOTING_ON]),
        # the unit enabled, and run, with the action empty
        "gate off": gate_off("systemd-off", [UNIT_FINISHED] + SYSTEMD_BOOTS_ON, ["rescue mode"]),
        # the unit's condition leaves it out
        "evwait.recovery=off, gate on": gate_off("systemd", SYSTEMD_BOOTS_ON, [UNIT_FINISHED, "rescue mode"],
                                                 append="evwait.recovery=off"),
        "KEY_POWER: keyboard key ignored, power button: rescue mode": Case(
            "systemd-power", [A_THEN_POWER, POWER_BUTTON, ENTERING] + RESCUE, [BOOTING_ON]),
        "KEY_POWER: keyboard key ignored, boot goes on after the window": window_passes(
            "systemd-power", [(TRIGGER_PROMPT, PRESS)], SYSTEMD_BOOTS_ON, ["rescue mode"]),
        "shell timeout 3 s, key, nobody at the console: boot goes on": nobody_at_console(
            "systemd-shell-timeout", SYSTEMD_BOOTS_ON, ["rescue mode"]),
        # the root ro on the kernel command line, rw once systemd-remount-fs has run
        "key, command: runs with the root read-write, boot goes on": Case(
            "systemd-command", KEY + [NOTED, ROOT_RW] + SYSTEMD_BOOTS_ON, [BOOTING_ON, ROOT_RO, "rescue mode"],
            anywhere=[RO_BEFORE_REMOUNT]),
        "command, no key: it does not run": no_key("systemd-command", SYSTEMD_BOOTS_ON,
                                                   [NOTED, ROOT_RW, ROOT_RO, "rescue mode"]),
    },
    # Buildroot's root on ARM, BusyBox init
    "busybox-arm": {
        # no keys chosen: evwait's five seconds, any key (here the virtio keyboard's), as on the PC
        "no keys chosen, key: command runs, boot goes on": Case("busybox-arm", KEY + [COMMAND_RAN, ROOT],
                                                                [BOOTING_ON]),
        "no keys chosen, no key": no_key("busybox-arm", [ROOT], [COMMAND_RAN]),
        "no keys chosen, key held from before the gate": Case(
            "busybox-arm", held_from(DRIVERS_LOADED) + [COMMAND_RAN, ROOT], [BOOTING_ON]),
        # virtio_input loaded by Buildroot's S10mdev (its coldplug), not by the image's own start script
        "no keys chosen, keyboard driver loaded by S10mdev, key: command runs": Case(
            "busybox-arm-mdev", [NOT_BEFORE_MDEV, "Starting mdev... OK", LOADED_BY_MDEV, (PROMPT, PRESS), ENTERING,
                                 COMMAND_RAN, ROOT], [BOOTING_ON]),
        # KEY_POWER chosen
        "KEY_POWER: keyboard key, lid switch, touches, other keyboard ignored; power button counts": Case(
            "busybox-arm-power", [(TRIGGER_PROMPT, PRESS), (NOISE_HEARD, POWER), GPIO_POWER, ENTERING,
                                  COMMAND_RAN, ROOT], [BOOTING_ON, NOISE_NOT_HEARD], append=NOISE),
        "KEY_POWER: keyboard key, lid switch, touches, other keyboard: boot goes on after the window":
            window_passes("busybox-arm-power", [(TRIGGER_PROMPT, PRESS), NOISE_HEARD], [ROOT],
                          [COMMAND_RAN, NOISE_NOT_HEARD], NOISE),
        # the power button is a 100 ms press: KEY_POWER of the virtio keyboard (QEMU's key "power") is held
        "KEY_POWER held on the keyboard from before the gate: at once": Case(
            "busybox-arm-power", held_from(DRIVERS_LOADED, key="power", then=(TRIGGER_PROMPT, VIRTIO_HELD))
            + [COMMAND_RAN, ROOT], [BOOTING_ON], most=[(TRIGGER_PROMPT, ENTERING, 3)]),
        "KEY_POWER on a device that appears in the window": Case(
            "busybox-arm-power", [TRIGGER_PROMPT, LATE_MADE, came("KEY_POWER", "pressed", "input-noise late key"),
                                  ENTERING, COMMAND_RAN, ROOT], [BOOTING_ON, NOISE_NOT_HEARD], append=LATE,
            least=[(TRIGGER_PROMPT, ENTERING, 1.5)]),
        # EVWAIT_RECOVERY_WINDOW=0: no wait
        "window 0, nothing held: boot goes on at once": Case(
            "busybox-arm-instant", [INSTANT_PROMPT, BOOTING_ON, ROOT], NOT_TRIGGERED + [COMMAND_RAN],
            most=[(INSTANT_PROMPT, BOOTING_ON, 1.5)], gate_most=1.5),
        "window 0, KEY_POWER held from before the gate": Case(
            "busybox-arm-instant", held_from(DRIVERS_LOADED, key="power", then=(INSTANT_PROMPT, VIRTIO_HELD))
            + [COMMAND_RAN, ROOT], [BOOTING_ON]),
        # EVWAIT_RECOVERY_CONSOLE_KEY=f, the action Buildroot's configuration wrote (shell)
        "console key f typed: shell, left, boot goes on": Case(
            "busybox-arm-console", [(CONSOLE_PROMPT, typed("f\r")), CONSOLE_TYPED, ENTERING] + BUSYBOX_SHELL,
            [BOOTING_ON]),
        "other lines typed on the console: boot goes on after the window": window_passes(
            "busybox-arm-console", [(CONSOLE_PROMPT, [typed("g\r"), typed("ff\r"), typed("f g\r")])], [ROOT],
            ["recovery shell"]),
    },
}
for system, cases in CASES.items():
    for name, case in cases.items():
        case.name, case.system = f"{system}: {name}", system
ALL_CASES = [case for cases in CASES.values() for case in cases.values()]


class Fail(Exception):
    """A case that failed, with the reason."""


def run(cmd, both=False, **kw):
    """Runs `cmd`: its output (with `both`, its error output after it); a failure shows both."""
    proc = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if proc.returncode != 0:
        raise Fail(f"{' '.join(map(str, cmd))} exited {proc.returncode}:\n{proc.stdout}{proc.stderr}")
    return proc.stdout + proc.stderr if both else proc.stdout


# ---- the kernel --------------------------------------------------------------------------------------------


def bzimage_version(path):
    """The version string of a bzImage: setup header field kernel_version (offset 0x20E) points into it."""
    with open(path, "rb") as f:
        head = f.read(0x10000)
    where = int.from_bytes(head[0x20E:0x210], "little") + 0x200
    return head[where:head.index(b"\0", where)].decode().split()[0]


def kernel_from_package(version, cache):
    """vmlinuz-VERSION out of the installed version of package linux-image-VERSION, into `cache`."""
    package = f"linux-image-{version}"
    installed = run(["dpkg-query", "-W", "-f=${Version}", package]).strip()
    with tempfile.TemporaryDirectory(dir=cache) as tmp:
        run(["apt-get", "download", f"{package}={installed}"], cwd=tmp)
        deb = glob.glob(f"{tmp}/*.deb")[0]
        tar = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE)
        with tarfile.open(fileobj=tar.stdout, mode="r|") as files:
            for member in files:
                if member.name == f"./boot/vmlinuz-{version}":
                    with open(f"{tmp}/vmlinuz", "wb") as out:
                        shutil.copyfileobj(files.extractfile(member), out)
        tar.wait()
        if not os.path.exists(f"{tmp}/vmlinuz"):
            raise Fail(f"{deb} holds no boot/vmlinuz-{version}")
        os.replace(f"{tmp}/vmlinuz", f"{cache}/vmlinuz-{version}")
    return f"{cache}/vmlinuz-{version}"


def find_kernel(given, cache):
    """(vmlinuz, version), or (None, why not)."""
    if given:
        if not os.access(given, os.R_OK):
            return None, f"the kernel {given} is not readable"
        version = bzimage_version(given)
        if not os.path.isdir(f"/lib/modules/{version}"):
            return None, f"{given} is version {version}, which has no modules in /lib/modules/{version}"
        return given, version
    versions = sorted(os.path.basename(os.path.dirname(p)) for p in glob.glob("/lib/modules/*/modules.dep"))
    if not versions:
        return None, "no kernel's modules in /lib/modules (Debian's linux-image-amd64 installs them)"
    tried = []
    for version in reversed(versions):
        for path in (f"/boot/vmlinuz-{version}", f"{cache}/vmlinuz-{version}"):
            if os.access(path, os.R_OK):
                return path, version
        tried.append(f"/boot/vmlinuz-{version} is not readable by this user (Debian makes it 0600)")
        try:
            return kernel_from_package(version, cache), version
        except (Fail, OSError) as error:
            tried.append(f"taking it out of its package failed: {error}")
    return None, "; ".join(tried) + "; give one with --kernel or EVWAIT_BOOT_KERNEL"


# ---- images ------------------------------------------------------------------------------------------------


@dataclasses.dataclass
class Image:
    """How an image is built (build(ctx, name) gives a dict: initrd, disk, append, listing, said), what the
    listing of its files (lsinitramfs, lsinitrd, find) must hold and must not, and what the builder's output
    (`said`: mkinitramfs's, dracut's) must show."""
    build: object
    holds: list = dataclasses.field(default_factory=list)
    lacks: list = dataclasses.field(default_factory=list)
    says: list = dataclasses.field(default_factory=list)


# The settings file of each image: action `shell` (the init system's rescue shell) or a command.
SHELL = "EVWAIT_RECOVERY_ACTION=shell\n"
COMMAND = f"EVWAIT_RECOVERY_ACTION='echo \"{COMMAND_RAN}\"'\n"
OFF = ""
GATE_FILES = ["bin/evwait", "bin/evwait-held", "sbin/evwait-recovery", "etc/default/evwait-recovery", "/evdev.ko"]
# The executables and the module of the gate, which an image built while it is off does not hold (the
# initramfs-tools script, which then does nothing, is always there: mkinitramfs copies all scripts).
NOT_WHEN_OFF = ["bin/evwait", "sbin/evwait-recovery", "evdev.ko"]
# The settings that choose a key: the power button (the gate then runs evwait-trigger), whose ACPI driver on the
# PC, the button module, the image needs beside evdev, as a board's image needs its key's driver.
POWER_KEY = "EVWAIT_RECOVERY_KEYS=KEY_POWER\n"
TRIGGER_FILES = GATE_FILES + ["bin/evwait-trigger", "/button.ko"]
IMAGES = {}


# Mounts the overlays (args: stage, etc) and runs the command after them. Not mount(8): with the ordinary
# user's own id it refuses, and as the namespace's root the tools' `cp -a` fail on the host's files' owners.
OVERLAYS = """import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
stage, etc, *command = sys.argv[1:]
for target, lower in (("/usr", f"{stage}/usr:/usr"), ("/etc", f"{etc}:{stage}/etc:/etc")):
    if libc.mount(b"overlay", target.encode(), b"overlay", 0, f"lowerdir={lower}".encode()) != 0:
        sys.exit(f"overlay on {target}: {os.strerror(ctypes.get_errno())}")
os.execvp(command[0], command)
"""


def installed_view(ctx, etc, command, **kw):
    """Runs `command` in a user and mount namespace where the staged files, and the files in `etc`, look
    installed: read-only overlays on /usr and /etc (the host's own files beneath). The user keeps its id
    there, with the namespace's capabilities for the mounts."""
    with ctx.cpu:
        return run(["unshare", "--user", "--map-current-user", "--keep-caps", "--mount", sys.executable, "-c",
                    OVERLAYS, ctx.stage, etc] + command, **kw)


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def settings_etc(folder, settings):
    """A folder for the /etc overlay holding the gate's settings `settings`."""
    shutil.rmtree(folder, ignore_errors=True)
    write(f"{folder}/default/evwait-recovery", settings)
    return folder


ROOT_INIT = f"""#!/bin/busybox sh
echo "{ROOT}"
/bin/busybox poweroff -f
"""


def root_disk(ctx, name):
    """The root of the initramfs cases: an ext4 file system whose init only says that it was reached (made
    by mke2fs -d, as any user may)."""
    tree = f"{ctx.work}/{name}.tree"
    shutil.rmtree(tree, ignore_errors=True)
    os.makedirs(f"{tree}/bin")
    shutil.copy("/bin/busybox", f"{tree}/bin/busybox")
    write(f"{tree}/sbin/init", ROOT_INIT, 0o755)
    write(f"{tree}/etc/os-release", "ID=evwait-boot-test\n")  # systemd switches only into an OS's root
    for d in ("dev", "proc", "sys", "run", "tmp"):
        os.mkdir(f"{tree}/{d}")
    run(["mke2fs", "-q", "-F", "-t", "ext4", "-L", "root", "-d", tree, f"{ctx.work}/{name}.img", "16M"])
    return {"disk": f"{ctx.work}/{name}.img", "append": "root=/dev/vda rootfstype=ext4 ro"}
IMAGES["root"] = Image(root_disk)


# The initramfs's own modules: the root disk's driver and file system. The gate's glue must add evdev itself.
ROOT_MODULES = ["virtio_pci", "virtio_blk", "ext4"]


def initramfs_tools(ctx, name, settings, modules=()):
    """mkinitramfs with the installed hook and script, MODULES=list (only the root's modules, `modules` and what
    hooks add)."""
    etc = settings_etc(f"{ctx.work}/{name}.etc", settings)
    with open("/etc/initramfs-tools/initramfs.conf") as f:
        conf = re.sub(r"(?m)^MODULES=.*", "MODULES=list", f.read())
    write(f"{etc}/initramfs-tools/initramfs.conf", conf)
    write(f"{etc}/initramfs-tools/modules", "\n".join(ROOT_MODULES + list(modules)) + "\n")
    image = f"{ctx.work}/{name}.img"
    said = installed_view(ctx, etc, ["mkinitramfs", "-o", image, ctx.version], both=True,
                          env=dict(os.environ, TMPDIR=ctx.work))
    return dict(ctx.images.get("root"), initrd=image, listing=run(["lsinitramfs", image]), said=said)
IMAGES["initramfs-tools"] = Image(lambda ctx, name: initramfs_tools(ctx, name, SHELL), GATE_FILES)
IMAGES["initramfs-tools-off"] = Image(lambda ctx, name: initramfs_tools(ctx, name, OFF), lacks=NOT_WHEN_OFF)
IMAGES["initramfs-tools-power"] = Image(lambda ctx, name: initramfs_tools(ctx, name, SHELL + POWER_KEY, ["button"]),
                                        TRIGGER_FILES)
# The shell comes only after Enter typed within the timeout, which evwait-trigger waits for
IMAGES["initramfs-tools-shell-timeout"] = Image(
    lambda ctx, name: initramfs_tools(ctx, name, SHELL + SHELL_TIMEOUT), GATE_FILES + ["bin/evwait-trigger"])
# The action's script with what it runs (basename); a pipeline leaves the gate out, with the hook's warning
IMAGES["initramfs-tools-script"] = Image(lambda ctx, name: initramfs_tools(ctx, name, SCRIPT_ACTION),
                                         GATE_FILES + [RECOVERY_SCRIPT[1:], "bin/basename"])
IMAGES["initramfs-tools-pipeline"] = Image(lambda ctx, name: initramfs_tools(ctx, name, PIPELINE_ACTION),
                                           lacks=NOT_WHEN_OFF, says=[f"W: {PIPELINE_REFUSED}"])


def dracut(ctx, name, settings, systemd=False, drivers=()):
    """dracut, not host-only, with the installed module added by name (its check() leaves it out unless
    asked for); the plain shell-script initramfs, or the one systemd runs."""
    etc = settings_etc(f"{ctx.work}/{name}.etc", settings)
    modules = ["base", "rootfs-block", "kernel-modules", "udev-rules"]
    if systemd:
        modules += ["systemd", "systemd-initrd", "dracut-systemd"]
    image = f"{ctx.work}/{name}.img"
    os.makedirs(f"{ctx.work}/{name}.conf.d", exist_ok=True)  # empty: none of the host's settings
    said = installed_view(ctx, etc, ["dracut", "--force", "--no-hostonly", "--no-compress", "--conf", "/dev/null",
                                     "--confdir", f"{ctx.work}/{name}.conf.d", "--tmpdir", ctx.work,
                                     "--modules", " ".join(modules), "--add", "evwait-recovery",
                                     "--drivers", " ".join(ROOT_MODULES + list(drivers)), "--kver", ctx.version, image],
                          both=True)
    return dict(ctx.images.get("root"), initrd=image, listing=run(["lsinitrd", image]), said=said)
IMAGES["dracut"] = Image(lambda ctx, name: dracut(ctx, name, SHELL), GATE_FILES)
IMAGES["dracut-off"] = Image(lambda ctx, name: dracut(ctx, name, OFF), lacks=NOT_WHEN_OFF)
IMAGES["dracut-systemd"] = Image(lambda ctx, name: dracut(ctx, name, SHELL, systemd=True), GATE_FILES)
IMAGES["dracut-systemd-off"] = Image(lambda ctx, name: dracut(ctx, name, OFF, systemd=True), lacks=NOT_WHEN_OFF)
IMAGES["dracut-power"] = Image(lambda ctx, name: dracut(ctx, name, SHELL + POWER_KEY, drivers=["button"]),
                               TRIGGER_FILES)
IMAGES["dracut-shell-timeout"] = Image(lambda ctx, name: dracut(ctx, name, SHELL + SHELL_TIMEOUT),
                                       GATE_FILES + ["bin/evwait-trigger"])
IMAGES["dracut-systemd-shell-timeout"] = Image(lambda ctx, name: dracut(ctx, name, SHELL + SHELL_TIMEOUT, systemd=True),
                                               GATE_FILES + ["bin/evwait-trigger"])
IMAGES["dracut-script"] = Image(lambda ctx, name: dracut(ctx, name, SCRIPT_ACTION),
                                GATE_FILES + [RECOVERY_SCRIPT[1:], "bin/basename"])
IMAGES["dracut-pipeline"] = Image(lambda ctx, name: dracut(ctx, name, PIPELINE_ACTION), lacks=NOT_WHEN_OFF,
                                  says=[PIPELINE_REFUSED])


BUSYBOX_INITTAB = """::sysinit:/etc/init.d/rcS
::wait:/etc/init.d/reached
"""
BUSYBOX_REACHED = f"""#!/bin/sh
echo "{ROOT}"
poweroff -f
"""
# Buildroot's rcS: every start script in order.
BUSYBOX_RCS = """#!/bin/sh
for i in /etc/init.d/S??* ;do
     [ ! -f "$i" ] && continue
     case "$i" in
	*.sh) ( trap - INT QUIT TSTP; set start; . $i ) ;;
	*) $i start ;;
    esac
done
"""
BUSYBOX_S00 = """#!/bin/sh
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in /lib/modules/*.ko; do
    insmod "$module"
done
"""
# The LED's trigger (the one in brackets) printed before the gate, a second into the wait (in the background,
# once evwait or evwait-trigger runs) and after the gate.
LED_TRIGGER = f"""#!/bin/sh
trigger() {{
    sed -n 's/.*\\(\\[[^]]*\\]\\).*/\\1/p' /sys/class/leds/{LED}/trigger
}}
"""
LED_BEFORE_SCRIPT = LED_TRIGGER + """echo "evwait boot test: LED trigger before the gate: $(trigger)"
(
    tries=0
    while ! pidof evwait evwait-trigger >/dev/null && [ $tries -lt 200 ]; do
        sleep 0.05
        tries=$((tries + 1))
    done
    sleep 1
    echo "evwait boot test: LED trigger during the wait: $(trigger)"
) &
"""
LED_AFTER_SCRIPT = LED_TRIGGER + """echo "evwait boot test: LED trigger after the gate: $(trigger)"
"""


def busybox(ctx, name, settings, modules=(), scripts=()):
    """A hand-made initramfs: Debian's busybox-static as init, Buildroot's rcS, evdev and `modules` (paths under
    /lib/modules/VERSION), the installed gate, its start script, `scripts` ((name, text): start scripts more)
    and the three executables with the libraries they name (as ldd lists them)."""
    tree = f"{ctx.work}/{name}.tree"
    shutil.rmtree(tree, ignore_errors=True)
    for d in ("bin", "sbin", "usr/bin", "usr/sbin", "proc", "sys", "dev", "tmp", "etc/default", "lib/modules"):
        os.makedirs(f"{tree}/{d}")
    shutil.copy("/bin/busybox", f"{tree}/bin/busybox")
    os.symlink("bin/busybox", f"{tree}/init")
    os.symlink("busybox", f"{tree}/bin/sh")
    write(f"{tree}/etc/inittab", BUSYBOX_INITTAB)
    write(f"{tree}/etc/init.d/rcS", BUSYBOX_RCS, 0o755)
    write(f"{tree}/etc/init.d/S00base", BUSYBOX_S00, 0o755)
    write(f"{tree}/etc/init.d/reached", BUSYBOX_REACHED, 0o755)
    write(f"{tree}/etc/default/evwait-recovery", settings)
    for module in ["kernel/drivers/input/evdev.ko", *modules]:
        shutil.copy(f"/lib/modules/{ctx.version}/{module}", f"{tree}/lib/modules/")
    for script, text in scripts:
        write(f"{tree}/etc/init.d/{script}", text, 0o755)
    for path in ("usr/sbin/evwait-recovery", "etc/init.d/S12evwait-recovery"):
        shutil.copy(f"{ctx.stage}/{path}", f"{tree}/{path}")
    # evwait-trigger: the shell timeout's wait for Enter
    for path in ("usr/bin/evwait", "usr/bin/evwait-held", "usr/bin/evwait-trigger"):
        shutil.copy(f"{ctx.stage}/{path}", f"{tree}/{path}")
        for lib in re.findall(r"(/\S+) \(0x", run(["ldd", f"{ctx.stage}/{path}"])):
            os.makedirs(os.path.dirname(tree + lib), exist_ok=True)
            shutil.copy(lib, tree + lib)
    image, files = cpio(tree, f"{ctx.work}/{name}.img")
    return {"initrd": image, "append": "", "listing": files}


def cpio(tree, image):
    """The folder `tree` as an initramfs, every file root's: (the image, the listing of its files)."""
    files = run(["find", "."], cwd=tree)
    with open(image, "wb") as out:
        subprocess.run(["cpio", "--quiet", "-o", "-H", "newc", "-R", "0:0"], cwd=tree, input=files.encode(),
                       stdout=out, check=True)
    return image, files
IMAGES["busybox"] = Image(lambda ctx, name: busybox(ctx, name, COMMAND), GATE_FILES)
IMAGES["busybox-shell"] = Image(lambda ctx, name: busybox(ctx, name, SHELL), GATE_FILES)
IMAGES["busybox-shell-timeout"] = Image(lambda ctx, name: busybox(ctx, name, SHELL + SHELL_TIMEOUT),
                                        GATE_FILES + ["bin/evwait-trigger"])
IMAGES["busybox-led"] = Image(
    lambda ctx, name: busybox(ctx, name, COMMAND + f"EVWAIT_RECOVERY_LED={LED}\n",
                              ["kernel/drivers/leds/trigger/ledtrig-timer.ko"],
                              [("S11led-before", LED_BEFORE_SCRIPT), ("S13led-after", LED_AFTER_SCRIPT)]),
    GATE_FILES + ["/ledtrig-timer.ko"])
IMAGES["busybox-led-key"] = Image(
    lambda ctx, name: busybox(ctx, name, COMMAND + f"EVWAIT_RECOVERY_LED={LED}\nEVWAIT_RECOVERY_KEYS=KEY_A\n",
                              ["kernel/drivers/leds/trigger/ledtrig-timer.ko"],
                              [("S11led-before", LED_BEFORE_SCRIPT), ("S13led-after", LED_AFTER_SCRIPT)]),
    GATE_FILES + ["bin/evwait-trigger", "/ledtrig-timer.ko"])


# ---- ARM: Buildroot's root under qemu-system-arm -M virt ---------------------------------------------------

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))  # the tree whose BR2_EXTERNAL package Buildroot builds
ARM_SYSTEMS = {"busybox-arm"}
# The modules an ARM image loads, none of which needs another: the virtio keyboard's transport and driver,
# evdev, and uinput for input-noise. The power button's gpio-keys and the board's PL061 GPIO are built into
# Debian's armmp kernel.
ARM_MODULES = ["virtio_mmio", "virtio_input", "evdev", "uinput"]
BUILDROOT_CONFIG = ["BR2_PACKAGE_EVWAIT=y", "BR2_PACKAGE_EVWAIT_RECOVERY=y", "BR2_INIT_BUSYBOX=y"]


def unpacked(ctx, package, keep):
    """The files of armhf package `package` (its candidate version) for which keep(path) holds, out of its .deb
    (apt-get download, dpkg-deb) into a folder of the cache, once per version and `keep`: that folder."""
    shown = run(["apt-cache", "show", "--no-all-versions", f"{package}:armhf"])
    version = re.search(r"(?m)^Version: (\S+)", shown)[1]
    folder = f"{ctx.cache}/armhf-{package}_{version.replace(':', '%')}"
    if os.path.isdir(folder):
        return folder
    with tempfile.TemporaryDirectory(dir=ctx.cache) as tmp:
        run(["apt-get", "download", f"{package}:armhf={version}"], cwd=tmp)
        deb = glob.glob(f"{tmp}/*.deb")[0]
        tar = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE)
        with tarfile.open(fileobj=tar.stdout, mode="r|") as files:
            for member in files:
                if member.isfile() and keep(member.name):
                    path = f"{tmp}/files/{member.name}"
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    with open(path, "wb") as out:
                        shutil.copyfileobj(files.extractfile(member), out)
                    os.chmod(path, member.mode & 0o755)
        if tar.wait() != 0 or not os.path.isdir(f"{tmp}/files"):
            raise Fail(f"nothing wanted out of {deb}")
        os.replace(f"{tmp}/files", folder)
    return folder


def debian_armhf(ctx, name):
    """Debian's armhf kernel, the one linux-image-armmp names, with the modules the ARM images load, and
    busybox-static, out of their packages into the cache."""
    depends = run(["apt-cache", "depends", "--important", "linux-image-armmp:armhf"])
    package = re.search(r"Depends: (linux-image-\S+-armmp)\b", depends)[1]
    wanted = tuple(f"/{m}.ko" for m in ARM_MODULES)
    kernel = unpacked(ctx, package, lambda path: "/boot/vmlinuz-" in path or path.endswith(wanted))
    found = glob.glob(f"{kernel}/lib/modules/*/kernel/**/*.ko", recursive=True)
    modules = {os.path.basename(p)[:-3]: p for p in found}
    for module in ARM_MODULES:
        if module not in modules:
            raise Fail(f"{package} has no module {module}")
        needs = run(["modinfo", "-F", "depends", modules[module]]).strip()
        if needs:
            raise Fail(f"{package}'s {module} needs {needs}, which the ARM images do not load")
    busybox = unpacked(ctx, "busybox-static", lambda path: path == "./bin/busybox")
    return {"kernel": glob.glob(f"{kernel}/boot/vmlinuz-*")[0], "modules": modules,
            "busybox": f"{busybox}/bin/busybox", "listing": f"{package}\n" + "\n".join(modules.values())}
IMAGES["debian-armhf"] = Image(debian_armhf, [f"/{m}.ko" for m in ARM_MODULES])


BUILDROOT_LOCK = threading.Lock()  # one Buildroot build at a time: they share the cache folder


def buildroot_arm(ctx, name, config=()):
    """This tree's Buildroot package with its gate and BusyBox init's start script, built for ARM (Cortex-A7,
    glibc) by the Buildroot tools' buildroot-build with `config` lines more: Buildroot's target folder. Its
    cache folder (host tools, toolchain) is BR_CACHE, else one in the boot tests' cache."""
    out = f"{ctx.work}/{name}"
    env = dict(os.environ, BR_CACHE=os.environ.get("BR_CACHE") or f"{ctx.cache}/buildroot-build")
    with BUILDROOT_LOCK, ctx.cpu:
        run([ctx.buildroot, "-e", f"{SOURCE}/buildroot",
             *[a for c in BUILDROOT_CONFIG + list(config) for a in ("-c", c)], out], env=env)
    target = f"{out}/output/target"
    with open(f"{target}/etc/default/evwait-recovery") as f:
        settings = [line for line in f.read().splitlines() if line.startswith("EVWAIT_")]
    return {"target": target, "listing": run(["find", "."], cwd=target) + "".join(f"{s}\n" for s in settings)}
BUILDROOT_FILES = ["usr/bin/evwait", "usr/bin/evwait-held", "usr/bin/evwait-trigger", "usr/sbin/evwait-recovery",
                   "etc/init.d/S12evwait-recovery", "etc/default/evwait-recovery", "lib/libc.so.6"]
IMAGES["buildroot-arm"] = Image(buildroot_arm, BUILDROOT_FILES + ["EVWAIT_RECOVERY_ACTION=\"shell\""])
# The gate's keys and action set by the package's options, which Buildroot writes into the settings file
IMAGES["buildroot-arm-power"] = Image(
    lambda ctx, name: buildroot_arm(ctx, name, ['BR2_PACKAGE_EVWAIT_RECOVERY_KEYS="KEY_POWER"',
                                                f'BR2_PACKAGE_EVWAIT_RECOVERY_ACTION="echo \\"{COMMAND_RAN}\\""']),
    BUILDROOT_FILES + ["EVWAIT_RECOVERY_KEYS='KEY_POWER'", "EVWAIT_RECOVERY_WINDOW='5'",
                       f'EVWAIT_RECOVERY_ACTION="echo \\"{COMMAND_RAN}\\""'])


def input_noise_arm(ctx, name):
    """input_noise.c for the ARM guest: static, by Debian's cross compiler."""
    out = f"{ctx.work}/input-noise"
    with ctx.cpu:
        run(["arm-linux-gnueabihf-gcc", "-static", "-O2", "-std=gnu11", "-Wall", "-Wextra", "-Werror", "-o", out,
             f"{HERE}/input_noise.c"])
    return {"path": out, "listing": out}
IMAGES["input-noise-arm"] = Image(input_noise_arm)


def arm_s00(load=f"""for module in {" ".join(ARM_MODULES)}; do
    insmod /lib/modules/$module.ko
done
"""):
    """The ARM images' first start script, which loads the drivers with `load`."""
    return ARM_S00_START + load + ARM_S00_END


ARM_S00_START = """#!/bin/sh
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
"""
ARM_S00_END = f"""echo "{DRIVERS_LOADED}"
# input-noise=ARGUMENT,... on the kernel command line: input-noise with those arguments, before the gate (it
# goes on in the background once it has made its devices)
read -r cmdline </proc/cmdline
for word in $cmdline; do
    case $word in
    input-noise=*)
        IFS=,
        set -- ${{word#input-noise=}}
        unset IFS
        input-noise "$@"
        ;;
    esac
done
"""
# The script's name with the kernel's time stamp, on the console: S11gate-starts and S13gate-ended run just
# before and after the gate's S12evwait-recovery (and after S00base).
GATE_MARK = """#!/bin/sh
echo "evwait boot test: ${0##*/}" >/dev/kmsg
"""


# Buildroot's device manager mdev: its start script S10mdev and mdev.conf, as Buildroot installs them (with
# BR2_ROOTFS_DEVICE_CREATION_DYNAMIC_MDEV), out of the Buildroot tools' tarball. S10mdev's coldplug loads the
# modules the devices ask for (modprobe by each modalias): here the virtio keyboard's virtio_input, which the
# image's first start script leaves out, with the modules where modprobe finds them (/lib/modules/VERSION,
# depmod's files made by the host's depmod -b). The first start script says whether virtio_input was loaded
# before S10mdev, and S11drivers after it.
MDEV_FILES = {"package/busybox/S10mdev": ("etc/init.d/S10mdev", 0o755),
              "package/busybox/mdev.conf": ("etc/mdev.conf", 0o644)}
MDEV_LOAD = """for module in virtio_mmio evdev uinput; do
    modprobe $module
done
[ -d /sys/module/virtio_input ] || echo "evwait boot test: virtio_input not loaded before S10mdev"
"""
MDEV_DRIVERS = f"""#!/bin/sh
[ -d /sys/module/virtio_input ] && echo "{LOADED_BY_MDEV}"
:
"""


def buildroot_mdev(ctx, name):
    """S10mdev and mdev.conf out of the Buildroot tools' tarball, into WORK/NAME/."""
    tarballs = glob.glob(f"{os.path.dirname(ctx.buildroot)}/buildroot-*.tar*")
    if not tarballs:
        raise Fail(f"no Buildroot tarball beside {ctx.buildroot}")
    out = f"{ctx.work}/{name}"
    shutil.rmtree(out, ignore_errors=True)
    found = []
    with tarfile.open(tarballs[0]) as files:
        for member in files:
            inside = member.name.split("/", 1)[-1]
            if member.isfile() and inside in MDEV_FILES:
                path = f"{out}/{MDEV_FILES[inside][0]}"
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as f:
                    shutil.copyfileobj(files.extractfile(member), f)
                os.chmod(path, MDEV_FILES[inside][1])
                found.append(MDEV_FILES[inside][0])
    return {"folder": out, "listing": "".join(f"{f}\n" for f in found)}
IMAGES["buildroot-mdev"] = Image(buildroot_mdev, [f for f, _ in MDEV_FILES.values()])


def busybox_arm(ctx, name, settings, built="buildroot-arm", mdev=False):
    """The target folder of Buildroot's build `built` as the root of an initramfs (without the file that says it
    is none, as Buildroot's own image step leaves it out), with Debian's armhf busybox-static as init,
    Buildroot's rcS, the input drivers, input-noise, the gate's time marks, and the boot test's `settings` added
    to the settings file Buildroot wrote (as a post-build script would). With `mdev`, Buildroot's S10mdev,
    which loads virtio_input."""
    debian, built, noise = (ctx.images.get(n) for n in ("debian-armhf", built, "input-noise-arm"))
    tree = f"{ctx.work}/{name}.tree"
    shutil.rmtree(tree, ignore_errors=True)
    shutil.copytree(built["target"], tree, symlinks=True)
    os.remove(f"{tree}/THIS_IS_NOT_YOUR_ROOT_FILESYSTEM")
    os.makedirs(f"{tree}/lib/modules")
    shutil.copy(debian["busybox"], f"{tree}/bin/busybox")
    os.symlink("bin/busybox", f"{tree}/init")
    os.symlink("busybox", f"{tree}/bin/sh")
    write(f"{tree}/etc/inittab", BUSYBOX_INITTAB)
    for script, text in (("rcS", BUSYBOX_RCS), ("S00base", arm_s00(MDEV_LOAD) if mdev else arm_s00()),
                         ("S11gate-starts", GATE_MARK), ("S13gate-ended", GATE_MARK), ("reached", BUSYBOX_REACHED)):
        write(f"{tree}/etc/init.d/{script}", text, 0o755)
    if mdev:
        folder = ctx.images.get("buildroot-mdev")["folder"]
        for path, mode in MDEV_FILES.values():
            shutil.copy(f"{folder}/{path}", f"{tree}/{path}")
            os.chmod(f"{tree}/{path}", mode)
        write(f"{tree}/etc/init.d/S11drivers", MDEV_DRIVERS, 0o755)
        version = None
        for module in ARM_MODULES:
            version, inside = debian["modules"][module].split("/lib/modules/", 1)[1].split("/", 1)
            os.makedirs(os.path.dirname(f"{tree}/lib/modules/{version}/{inside}"), exist_ok=True)
            shutil.copy(debian["modules"][module], f"{tree}/lib/modules/{version}/{inside}")
        run(["depmod", "-b", tree, version])
    else:
        for module in ARM_MODULES:
            shutil.copy(debian["modules"][module], f"{tree}/lib/modules/{module}.ko")
    shutil.copy(noise["path"], f"{tree}/usr/bin/input-noise")
    if settings:
        with open(f"{tree}/etc/default/evwait-recovery", "a") as f:
            f.write(f"# The boot test's settings\n{settings}")
    image, files = cpio(tree, f"{ctx.work}/{name}.img")
    return {"initrd": image, "append": "", "listing": files, "arch": "arm", "kernel": debian["kernel"]}
ARM_FILES = ["bin/busybox", "usr/bin/evwait", "usr/bin/evwait-held", "usr/bin/evwait-trigger",
             "usr/sbin/evwait-recovery", "etc/init.d/S12evwait-recovery", "usr/bin/input-noise"] \
    + [f"lib/modules/{m}.ko" for m in ARM_MODULES]
IMAGES["busybox-arm"] = Image(lambda ctx, name: busybox_arm(ctx, name, COMMAND), ARM_FILES)
IMAGES["busybox-arm-mdev"] = Image(
    lambda ctx, name: busybox_arm(ctx, name, COMMAND, mdev=True),
    ARM_FILES[:7] + [f"/{m}.ko" for m in ARM_MODULES]
    + ["etc/init.d/S10mdev", "etc/mdev.conf", "/modules.dep", "/modules.alias"])
IMAGES["busybox-arm-power"] = Image(lambda ctx, name: busybox_arm(ctx, name, "", "buildroot-arm-power"), ARM_FILES)
IMAGES["busybox-arm-instant"] = Image(
    lambda ctx, name: busybox_arm(ctx, name, "EVWAIT_RECOVERY_WINDOW=0\n", "buildroot-arm-power"), ARM_FILES)
# the action Buildroot's configuration wrote: shell
IMAGES["busybox-arm-console"] = Image(lambda ctx, name: busybox_arm(ctx, name, "EVWAIT_RECOVERY_CONSOLE_KEY=f\n"),
                                      ARM_FILES)


# The systemd root: Debian's packages by mmdebstrap, as a user may (fakechroot, or unshare with subordinate
# ids), made once into the cache. Only the gate's files and settings change from run to run.
SYSTEMD_PACKAGES = "systemd-sysv,udev,kmod"
# The root password "evwait" (openssl passwd -6 -salt evwaitboot evwait), so that rescue.target asks for it:
# on a locked root account sulogin gives no prompt at all.
ROOT_PASSWORD = "$6$evwaitboot$EVg4vfIhNPJfQiE0WMcQ4sfT5n2isMIZ/6nEzt04oLYvtQp7J..aEPzwLYgu4ZreOAQrfRavXThPbPK6QGXhR1"
# Run under fakeroot, which keeps the root's owners and device nodes for mke2fs -d: the root from its tar, the
# staged install on top as a package would put it (the BusyBox start script aside), the gate's unit enabled
# by systemctl, evdev and the modules named (paths under /lib/modules/VERSION, loaded by modules-load.d) with
# their index, the root password, and a unit that says the default target was reached and powers off.
SYSTEMD_ROOT_SCRIPT = r"""set -e
base=$1 stage=$2 settings=$3 version=$4 tree=$5 image=$6 password=$7 marker=$8 modules=$9 root=${10}
mkdir "$tree"
tar -xpf "$base" -C "$tree"
# Files the tar made unreadable (/etc/shadow-, mode 0): the same mode once more through fakeroot, which keeps
# it for mke2fs while the real file stays readable.
find "$tree" ! -type l ! -perm -u+r -exec sh -c 'for f; do chmod "$(stat -c %a "$f")" "$f"; done' sh {} +
tar -C "$stage" --owner=0 --group=0 --exclude=./etc/init.d -cf - . | tar -xpf - -C "$tree"
cp "$settings" "$tree/etc/default/evwait-recovery"
systemctl --root="$tree" enable evwait-recovery.service
cat >"$tree/etc/systemd/system/evwait-boot-test-end.service" <<EOF
[Unit]
Description=evwait boot test: the end of the boot
After=graphical.target
[Service]
Type=oneshot
ExecStart=/bin/sh -c 'echo "$marker" >/dev/console; systemctl --no-block poweroff'
[Install]
WantedBy=graphical.target
EOF
systemctl --root="$tree" enable evwait-boot-test-end.service
# A root mounted read-only (ro): remounted read-write by systemd-remount-fs from the fstab's entry, before the
# local filesystems are reached; a unit says how the root is just before that remount.
if [ "$root" = ro ]; then
    echo "/dev/vda / ext4 defaults 0 0" >"$tree/etc/fstab"
    cat >"$tree/etc/systemd/system/evwait-boot-test-root.service" <<EOF
[Unit]
Description=evwait boot test: the root before systemd-remount-fs
DefaultDependencies=no
Before=systemd-remount-fs.service
[Service]
Type=oneshot
ExecStart=/bin/sh -c 'grep -q " / [^ ]* ro[ ,]" /proc/mounts && echo "$RO_BEFORE_REMOUNT" >/dev/console || :'
[Install]
WantedBy=sysinit.target
EOF
    systemctl --root="$tree" enable evwait-boot-test-root.service
fi
from=/lib/modules/$version
for module in kernel/drivers/input/evdev.ko $modules; do
    mkdir -p "$tree$from/${module%/*}"
    cp "$from/$module" "$tree$from/$module"
done
# With modules named, those loaded early (systemd-modules-load), as a board's key driver would be, not when udevd
# gets to the coldplug's devices, which may be after the gate has started (see the systemd-power image); evdev
# the gate's unit loads itself.
if [ -n "$modules" ]; then
    mkdir -p "$tree/etc/modules-load.d"
    for module in $modules; do
        module=${module##*/}
        echo "${module%.ko}"
    done >"$tree/etc/modules-load.d/evwait-boot-test.conf"
fi
cp "$from/modules.order" "$from/modules.builtin" "$from/modules.builtin.modinfo" "$tree$from/"
depmod -b "$tree" "$version"
sed -i "s|^root:[^:]*:|root:$password:|" "$tree/etc/shadow"
mke2fs -q -F -t ext4 -L root -d "$tree" "$image" 1G
rm -rf "$tree"
"""


def apt_sources():
    """The host's sources of Debian's own archives (no others: their keys are not in the root), for
    mmdebstrap, which otherwise reads them from standard input."""
    files = glob.glob("/etc/apt/sources.list") + glob.glob("/etc/apt/sources.list.d/*.sources") \
        + glob.glob("/etc/apt/sources.list.d/*.list")
    return sorted(p for p in files if re.search(r"(?m)^[^#]*/debian(-security)?/?\s", open(p).read()))


def systemd_base(ctx, name):
    """The root's tar, made once into the cache (an image of its own: both systemd images wait for the
    one mmdebstrap)."""
    suite = re.search(r"(?m)^VERSION_CODENAME=(\S+)", open("/etc/os-release").read())[1]
    sources = "".join(open(p).read() for p in apt_sources())
    key = hashlib.sha256(f"{suite} {SYSTEMD_PACKAGES} {sources}".encode()).hexdigest()[:12]
    base = f"{ctx.cache}/systemd-root-{suite}-{key}.tar"  # made afresh when what it holds changes
    if not os.path.exists(base):
        started = time.monotonic()
        run(["mmdebstrap", "--quiet", "--format=tar", "--variant=essential", f"--include={SYSTEMD_PACKAGES}",
             "--dpkgopt=path-exclude=/usr/share/doc/*", "--dpkgopt=path-exclude=/usr/share/man/*",
             "--dpkgopt=path-exclude=/usr/share/locale/*", suite, f"{base}.part"] + apt_sources(),
            env=dict(os.environ, TMPDIR=ctx.work))
        os.replace(f"{base}.part", base)
        print(f"systemd root made by mmdebstrap in {time.monotonic() - started:.0f} s: {base}")
    return {"tar": base}
IMAGES["systemd-base"] = Image(systemd_base)


def systemd(ctx, name, settings, modules="", root="rw"):
    """Debian's systemd root (mmdebstrap) on an ext4 disk, with the gate's unit enabled, booted through
    the gate-off initramfs-tools image (the root's drivers); mounted read-write from the start, or with
    `root` "ro" read-only, remounted by systemd-remount-fs."""
    base = ctx.images.get("systemd-base")["tar"]
    initrd = ctx.images.get("initramfs-tools-off")["initrd"]
    write(f"{ctx.work}/{name}.settings", settings)
    image = f"{ctx.work}/{name}.img"
    shutil.rmtree(f"{ctx.work}/{name}.tree", ignore_errors=True)
    with ctx.cpu:
        run(["fakeroot", "sh", "-c", SYSTEMD_ROOT_SCRIPT, "sh", base, ctx.stage, f"{ctx.work}/{name}.settings",
             ctx.version, f"{ctx.work}/{name}.tree", image, ROOT_PASSWORD, ROOT, modules, root],
            env=dict(os.environ, RO_BEFORE_REMOUNT=RO_BEFORE_REMOUNT))
    return {"disk": image, "initrd": initrd, "append": f"root=/dev/vda rootfstype=ext4 {root}", "listing": ""}
IMAGES["systemd"] = Image(lambda ctx, name: systemd(ctx, name, SHELL))
IMAGES["systemd-off"] = Image(lambda ctx, name: systemd(ctx, name, OFF))
# The power button's driver (the button module) loaded by modules-load.d, as a board's key driver would be: udev
# loads it only as it handles the coldplug's events, and systemd-udev-trigger, after which the gate's unit
# starts, may end before udevd has even started. So may evdev's, which the unit therefore loads itself: while it
# did not, a press as the prompt showed (or a second later) was lost in 9 of 12 boots, a reader started beside
# the gate found no /dev/input/event* at all, and the trigger, which does not wait for a node when keys are
# chosen, opened the nodes only as udevd made evdev's, a second or two into the window.
IMAGES["systemd-power"] = Image(lambda ctx, name: systemd(ctx, name, SHELL + POWER_KEY,
                                                          "kernel/drivers/acpi/button.ko"))
IMAGES["systemd-shell-timeout"] = Image(lambda ctx, name: systemd(ctx, name, SHELL + SHELL_TIMEOUT))
IMAGES["systemd-command"] = Image(lambda ctx, name: systemd(ctx, name, RW_COMMAND, root="ro"))


class Images:
    """Each image built once, in its own thread, when a case (or another image) first asks for it, and
    described in WORK/NAME.json; with --prebuilt, read from there."""

    def __init__(self, ctx):
        self.ctx, self.lock, self.futures = ctx, threading.Lock(), {}

    def start(self, name):
        with self.lock:
            if name not in self.futures:
                future = self.futures[name] = concurrent.futures.Future()
                threading.Thread(target=self._make, args=(name, future), daemon=True).start()
        return self.futures[name]

    def get(self, name):
        return self.start(name).result()

    def _make(self, name, future):
        described = f"{self.ctx.work}/{name}.json"
        try:
            if self.ctx.prebuilt:
                if not os.path.exists(described):
                    raise Fail(f"image {name} not built (its fixture, boot_images_SYSTEM, builds it)")
                with open(described) as f:
                    future.set_result(json.load(f))
                return
            built = self._build(name)
            with open(described, "w") as f:
                json.dump(built, f)
            future.set_result(built)
        except Exception as error:
            future.set_exception(Fail(f"image {name}: {error}") if not isinstance(error, Fail) else error)

    def _build(self, name):
        started, image = time.monotonic(), IMAGES[name]
        built = image.build(self.ctx, name)
        listing = built.get("listing", "")
        problems = [f"lacks *{w}" for w in image.holds if not re.search(re.escape(w) + r"(\.\w+)?$", listing, re.M)]
        problems += [f"holds {line.split()[-1]}" for u in image.lacks for line in listing.splitlines() if u in line]
        problems += [f"its builder did not say {w!r}" for w in image.says if w not in built.get("said", "")]
        if problems:
            raise Fail(f"image {name}: " + "; ".join(problems))
        what = f", holds {' '.join(image.holds)}" if image.holds else ""
        what += f", holds none of {' '.join(image.lacks)}" if image.lacks else ""
        print(f"image {name} built in {time.monotonic() - started:.0f} s{what}", flush=True)
        return built


# ---- booting -----------------------------------------------------------------------------------------------


# The colours of systemd's status lines, kept out of the text the cases look for.
ESCAPE = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")


class Console:
    """The serial console, through QEMU's socket: what the guest writes (without escape sequences), read as
    it comes and kept, and what is typed on it."""

    def __init__(self, path, proc, log):
        self.text, self.done, self.grew, self.panicked, self.longest = "", False, time.monotonic(), None, 0.0
        self.cond = threading.Condition()
        self.sock = socket.socket(socket.AF_UNIX)
        while True:  # QEMU waits for this connection before it starts the guest
            try:
                self.sock.connect(path)
                break
            except OSError:
                if proc.poll() is not None:
                    self.done = True
                    return
                time.sleep(0.05)
        threading.Thread(target=self._read, args=(log,), daemon=True).start()

    def _read(self, log):
        decoder, pending = codecs.getincrementaldecoder("utf-8")(errors="replace"), ""
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    break
                text = ESCAPE.sub("", pending + decoder.decode(chunk).replace("\r", ""))
                cut = text.rfind("\x1b")  # a sequence cut in two by the read: kept for the next
                text, pending = (text[:cut], text[cut:]) if cut >= 0 and len(text) - cut < 16 else (text, "")
                log.write(text)
                with self.cond:
                    self.text += text
                    self.longest = max(self.longest, time.monotonic() - self.grew)
                    self.grew = time.monotonic()
                    if self.panicked is None and KERNEL_PANIC in self.text:
                        self.panicked = self.grew
                    self.cond.notify_all()
        except OSError:
            pass
        finally:
            with self.cond:
                self.done = True
                self.cond.notify_all()

    def type(self, text, tries=3):
        """Types `text`, again while the guest shows nothing in answer within 5 s: a program may flush its
        terminal's input just after its prompt shows (sulogin does)."""
        for _ in range(tries):
            with self.cond:
                before = len(self.text)
            self.sock.sendall(text.encode())
            with self.cond:
                if self.cond.wait_for(lambda: len(self.text) > before or self.done, timeout=5):
                    return

    def wait_for(self, line, start, silence):
        """Waits until `line` (text, or a compiled expression) shows after offset `start`: (offset after it,
        time seen), or the reason why not: QEMU's end, a kernel panic, or `silence` seconds without console
        output."""
        with self.cond:
            while True:
                if isinstance(line, re.Pattern):
                    match = line.search(self.text, start)
                    if match:
                        return match.end(), time.monotonic()
                elif (at := self.text.find(line, start)) >= 0:
                    return at + len(line), time.monotonic()
                if self.done:
                    return "QEMU ended"
                if self.panicked and time.monotonic() - self.panicked >= 1:  # the panic's own line, whole
                    return "kernel panic"
                if time.monotonic() - self.grew >= silence:
                    return f"no console output for {silence:.0f} s"
                self.cond.wait(0.2 if self.panicked else max(0.01, self.grew + silence - time.monotonic()))

    def wait_end(self, silence):
        """Waits for QEMU's end: whether it came before `silence` seconds without output."""
        with self.cond:
            while not self.done and time.monotonic() - self.grew < silence:
                self.cond.wait(max(0.01, self.grew + silence - time.monotonic()))
            return self.done


def monitor_command(path, command):
    """Sends one command to the QEMU monitor at `path` and waits for its next prompt."""
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(path)
        s.settimeout(30)
        seen = b""
        while not seen.endswith(b"(qemu) "):
            seen += s.recv(4096)
        s.sendall(command.encode() + b"\n")
        seen = b""
        while b"(qemu) " not in seen:
            seen += s.recv(4096)


def qemu_command(ctx, image, append, serial, monitor):
    common = ["-nodefaults", "-display", "none", "-chardev", f"socket,id=console,path={serial},server=on,wait=on",
              "-serial", "chardev:console", "-monitor", f"unix:{monitor},server=on,wait=off", "-no-reboot"]
    if image.get("arch") == "arm":
        # the virt board's PL011 serial line, PL061 GPIO with its gpio-keys power button, and a virtio
        # keyboard on virtio-mmio (modern virtio, which virtio_input needs)
        cmd = ["qemu-system-arm", "-machine", "virt", "-cpu", "cortex-a15", "-accel", "tcg", "-m", "512", *common,
               "-device", "virtio-keyboard-device", "-global", "virtio-mmio.force-legacy=false",
               "-kernel", image["kernel"], "-append", f"console=ttyAMA0 {WATCHDOG_ARGUMENTS} {append}".strip()]
    else:
        cmd = ["qemu-system-x86_64", "-machine", "pc", "-accel", ctx.accel, "-m", "1024", *common,
               "-kernel", ctx.kernel, "-append", f"console=ttyS0 {WATCHDOG_ARGUMENTS} {append}".strip()]
    if "initrd" in image:
        cmd += ["-initrd", image["initrd"]]
    if "disk" in image:
        cmd += ["-drive", f"file={image['disk']},format=raw,if=virtio,snapshot=on"]
    return cmd


def label(line):
    """A step's line as the report shows it."""
    return repr(line.pattern if isinstance(line, re.Pattern) else line)


def shows(line, text):
    return bool(line.search(text)) if isinstance(line, re.Pattern) else line in text


def gate_cost(text):
    """The seconds between the kernel's time stamps of the start scripts around the gate, or None."""
    stamps = dict((m[2], float(m[1])) for m in re.finditer(r"\[\s*(\d+\.\d+)\] (evwait boot test: S\d+\S+)", text))
    if GATE_STARTS in stamps and GATE_ENDED in stamps:
        return stamps[GATE_ENDED] - stamps[GATE_STARTS]
    return None


def slug(name):
    return re.sub(r"\W+", "-", name).strip("-")


def last_lines(text, count=15):
    return "".join(f"\n       > {line}" for line in text.rstrip("\n").splitlines()[-count:])


def boot(ctx, case, sockets):
    """Builds (or waits for) the case's image and boots it: (problems, seconds of the boot, notes)."""
    try:
        image = ctx.images.get(case.image)
    except Fail as error:
        return [str(error)], 0.0, []
    files = f"{ctx.work}/{slug(case.name)}"
    short = hashlib.sha256(case.name.encode()).hexdigest()[:12]  # a socket's path has at most 107 bytes
    serial, monitor = f"{sockets}/{short}.serial", f"{sockets}/{short}.monitor"
    cmd = qemu_command(ctx, image, f"{image.get('append', '')} {case.append}".strip(), serial, monitor)
    problems, seen, notes = [], {}, []
    silence = 30.0 if image.get("arch") == "arm" else ctx.silence  # ARM: always TCG
    steps = [step if isinstance(step, tuple) else (step, None) for step in case.steps]
    with ctx.cpu, open(f"{files}.log", "w") as log, open(f"{files}.qemu", "w") as qemu_output:
        started = time.monotonic()
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=qemu_output, stderr=qemu_output)
        console = Console(serial, proc, log)
        at = 0
        try:
            for line, action in steps:
                found = console.wait_for(line, at, silence)
                if isinstance(found, str):
                    problems.append(f"no line {label(line)}: {found}")
                    break
                at, seen[line] = found
                for kind, what in action if isinstance(action, list) else [action] if action else []:
                    if kind == "monitor":
                        monitor_command(monitor, what)
                    elif kind == "serial":
                        console.type(what)
                    else:
                        time.sleep(what)
            else:
                if case.stops:
                    found = console.wait_for(case.stops, at, silence)
                    if isinstance(found, str):
                        problems.append(f"no line {case.stops!r}: {found}")
                elif not console.wait_end(silence):
                    problems.append(f"the guest did not end by itself: no console output for {silence:.0f} s")
        finally:
            took = time.monotonic() - started
            try:  # QEMU closes the console before it exits
                proc.wait(timeout=10 if console.done else 0)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            console.sock.close()
    with console.cond:
        text = console.text
    if proc.returncode != 0 and not (case.stops and proc.returncode == -9) and not problems:
        problems.append(f"QEMU exited {proc.returncode}")
    if KERNEL_PANIC in text and KERNEL_PANIC not in case.stops:
        problems.append("kernel panic")
    problems += [f"unwanted line {label(u)}" for u in case.unwanted if shows(u, text)]
    problems += [f"no line {label(w)} anywhere" for w in case.anywhere if not shows(w, text)]
    notes.append(f"longest silence {console.longest:.1f} s")
    if len(seen) == len(steps) > 1:
        first, last = steps[0][0], steps[-1][0]
        notes.append(f"{seen[last] - seen[first]:.1f} s from {label(first)} to {label(last)}")
    for bounds, too_soon in ((case.least, True), (case.most, False)):
        for first, second, limit in bounds:
            if first in seen and second in seen:
                took_between = seen[second] - seen[first]
                notes.append(f"{took_between:.1f} s from {label(first)} to {label(second)}")
                if took_between < limit if too_soon else took_between > limit:
                    problems.append(f"{label(second)} {'less' if too_soon else 'more'} than {limit} s after "
                                    f"{label(first)}")
    cost = gate_cost(text)
    if cost is not None:
        notes.append(f"the gate took {cost * 1000:.0f} ms in the guest (from {GATE_STARTS!r} to {GATE_ENDED!r})")
        if case.gate_most and cost > case.gate_most:
            problems.append(f"the gate took more than {case.gate_most} s")
    elif case.gate_most:
        problems.append(f"no time stamps of {GATE_STARTS!r} and {GATE_ENDED!r}")
    if problems:
        with open(f"{files}.qemu") as f:
            qemu_said = f.read().strip()
        problems += [f"QEMU: {shlex.join(cmd)}", f"QEMU's exit status: {proc.returncode}"
                     + (f", its output: {qemu_said}" if qemu_said else ""),
                     f"the console's last lines ({files}.log):" + last_lines(text)]
    return problems, took, notes


def report_lines(text):
    """The console lines of the gate, the trigger, input-noise and the boot test, and of what the cases look
    for."""
    steps = [s[0] if isinstance(s, tuple) else s for c in ALL_CASES for s in c.steps]
    marks = [m for m in steps + [m for c in ALL_CASES for m in c.unwanted + [c.stops]]
             if isinstance(m, re.Pattern) or m.strip()]
    marks += ["evwait-recovery", "evwait-trigger", "input-noise", "evwait boot test"]
    return [line.strip() for line in text.splitlines() if any(shows(m, line) for m in marks)]


def accelerator(ctx):
    """KVM where /dev/kvm is usable and a probe boot (the kernel alone, which finds no root, panics and,
    with panic=-1, reboots at once) ends well within a minute; TCG otherwise. (name, why)."""
    if not os.access("/dev/kvm", os.R_OK | os.W_OK):
        return "tcg", "/dev/kvm is missing or not usable by this user"
    try:
        proc = subprocess.run(["qemu-system-x86_64", "-machine", "pc", "-accel", "kvm", "-m", "256", "-nodefaults",
                               "-display", "none", "-serial", "stdio", "-no-reboot", "-kernel", ctx.kernel,
                               "-append", "console=ttyS0 panic=-1"], capture_output=True, timeout=60)
    except subprocess.TimeoutExpired:
        return "tcg", "a KVM probe boot did not end within 60 s"
    if proc.returncode != 0 or b"Linux version" not in proc.stdout:
        return "tcg", f"a KVM probe boot failed (status {proc.returncode}): {proc.stderr.decode()[-200:]}"
    return "kvm", "a probe boot succeeded"


class Context:
    pass


def arm_missing(ctx):
    """Why the ARM cases cannot run here: (the reason, whether that fails CI), or None."""
    for tool, package in (("qemu-system-arm", "qemu-system-arm"),
                          ("arm-linux-gnueabihf-gcc", "gcc-arm-linux-gnueabihf")):
        if not shutil.which(tool):
            return f"no {tool} (Debian's {package})", True
    if not os.access(ctx.buildroot, os.X_OK):
        # neither in this tree nor in Debian: CI skips what needs them too
        return (f"no Buildroot tools: {ctx.buildroot} is missing (give their folder with --buildroot-tools or "
                "EVWAIT_BUILDROOT_TOOLS)"), False
    shown = subprocess.run(["apt-cache", "show", "--no-all-versions", "linux-image-armmp:armhf",
                            "busybox-static:armhf"], capture_output=True)
    if shown.returncode != 0:
        return "no armhf package lists for linux-image-armmp and busybox-static (dpkg --add-architecture armhf; " \
               "apt-get update)", True
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", help="the build folder whose install is booted")
    parser.add_argument("--work", help="folder for the images and the console logs")
    parser.add_argument("--cache", default=os.environ.get("EVWAIT_BOOT_CACHE"),
                        help="folder for what is made once: the kernel, the systemd root (default: cache beside WORK)")
    parser.add_argument("--kernel", default=os.environ.get("EVWAIT_BOOT_KERNEL"))
    parser.add_argument("--system", choices=list(CASES), help="only this init system's cases")
    parser.add_argument("--only", default="", help="only the cases whose name matches this expression")
    parser.add_argument("--images-only", action="store_true", help="build the cases' images, boot nothing")
    parser.add_argument("--prebuilt", action="store_true", help="boot the images --images-only built")
    parser.add_argument("--jobs", type=int, default=2, help="boots and image builds at once")
    parser.add_argument("--list-systems", action="store_true", help="print the init systems, ';' between")
    parser.add_argument("--buildroot-tools", default=os.environ.get("EVWAIT_BUILDROOT_TOOLS"),
                        help="the Buildroot tools' folder, which holds buildroot-build (default: "
                             "../shared/tools/buildroot beside the checkout)")
    args = parser.parse_args()
    if args.list_systems:
        print(";".join(CASES))
        return
    if not (args.build and args.work):
        parser.error("--build and --work are needed")
    ci = os.environ.get("CI") == "true"
    os.environ["PATH"] += ":/usr/sbin:/sbin"  # mkinitramfs, mke2fs, depmod: not in an ordinary user's PATH
    ctx = Context()
    ctx.work, ctx.prebuilt = os.path.abspath(args.work), args.prebuilt
    ctx.cache = os.path.abspath(args.cache or f"{os.path.dirname(ctx.work)}/cache")
    os.makedirs(ctx.cache, exist_ok=True)
    os.makedirs(ctx.work, exist_ok=True)
    ctx.buildroot = f"{args.buildroot_tools or f'{os.path.dirname(SOURCE)}/shared/tools/buildroot'}/buildroot-build"
    cases = [c for c in ALL_CASES if args.system in (None, c.system) and re.search(args.only, c.name)]
    # What each architecture's cases need here: (why not, whether CI fails for it), or None
    missing = {}
    if any(c.system not in ARM_SYSTEMS for c in cases):
        if not shutil.which("qemu-system-x86_64"):
            missing["x86"] = "no qemu-system-x86_64 (Debian's qemu-system-x86)", True
        else:
            ctx.kernel, ctx.version = find_kernel(args.kernel, ctx.cache)
            if not ctx.kernel:
                missing["x86"] = f"no kernel to boot: {ctx.version}", True
            else:
                print(f"kernel {ctx.kernel} ({ctx.version}), modules /lib/modules/{ctx.version}")
    if any(c.system in ARM_SYSTEMS for c in cases):
        missing["ARM"] = arm_missing(ctx)
    for arch, why in missing.items():
        if why:
            print(f"NOT RUN: the {arch} cases: {why[0]}")
            if ci and why[1]:
                sys.exit(1)
    skipped = [c for c in cases if missing.get("ARM" if c.system in ARM_SYSTEMS else "x86")]
    cases = [c for c in cases if c not in skipped]
    if not cases:
        sys.exit(77)
    ctx.stage = f"{ctx.work}/stage"
    if not args.prebuilt and any(c.system not in ARM_SYSTEMS for c in cases):
        shutil.rmtree(ctx.stage, ignore_errors=True)
        run(["cmake", "--install", args.build, "--prefix", "/usr"], env=dict(os.environ, DESTDIR=ctx.stage))
        # the recovery command the script images name, as its owner would have put it into the system
        write(f"{ctx.stage}{RECOVERY_SCRIPT}", RECOVERY_SCRIPT_TEXT, 0o755)
    ctx.cpu = threading.Semaphore(args.jobs)
    ctx.images = Images(ctx)
    started = time.monotonic()
    if args.images_only:
        failed = 0
        names = sorted({c.image for c in cases})
        for name in names:
            ctx.images.start(name)
        for name in names:
            try:
                ctx.images.get(name)
            except Fail as error:
                failed += 1
                print(f"FAIL {error}")
        print(f"images: {time.monotonic() - started:.0f} s")
        sys.exit(1 if failed else 0)
    ctx.accel, why = accelerator(ctx) if any(c.system not in ARM_SYSTEMS for c in cases) else ("tcg", "ARM")
    # A case's time limit, counted from its last console line: the longest silence of a passing boot is
    # evwait's five seconds (6.4 s seen under TCG, two boots at once on two cores).
    ctx.silence = 30.0 if ctx.accel == "tcg" else 15.0
    print(f"accelerator: {ctx.accel} ({why}); a boot ends after {ctx.silence:.0f} s without console output")
    sockets = tempfile.mkdtemp(prefix="evwait-boot-")  # short paths: a socket's has at most 107 bytes
    try:
        with concurrent.futures.ThreadPoolExecutor(len(cases) or 1) as pool:
            results = [(case, pool.submit(boot, ctx, case, sockets)) for case in cases]
            failed = 0
            for case, result in results:
                try:
                    problems, took, notes = result.result()
                except Exception as error:  # a broken case must show, not vanish with its thread
                    problems, took, notes = [f"test error: {error!r}"], 0.0, []
                failed += bool(problems)
                print(("FAIL " if problems else "ok   ") + f"{case.name}: boot {took:.0f} s"
                      + "".join("\n     " + n for n in notes + problems))
                if os.path.exists(f"{ctx.work}/{slug(case.name)}.log"):
                    with open(f"{ctx.work}/{slug(case.name)}.log", errors="replace") as log:
                        print("".join(f"     | {line}\n" for line in report_lines(log.read())), end="", flush=True)
    finally:
        shutil.rmtree(sockets, ignore_errors=True)
    print(f"all boots: {time.monotonic() - started:.0f} s ({ctx.accel})")
    print(f"{len(cases) - failed} passed, {failed} failed" + (f", {len(skipped)} skipped" if skipped else ""))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
