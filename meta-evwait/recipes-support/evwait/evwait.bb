SUMMARY = "Wait five seconds for one input event, and a recovery gate for the boot"
DESCRIPTION = "evwait waits five seconds for one event on /dev/input/event0, \
event1 and event2, prints it and exits with the low byte of the product of its \
code, type and value, or with 255 when none came. evwait-held lists the keys \
held down when it runs. evwait-trigger waits for a chosen key on a chosen \
device, pressed or held, or for a line typed on the console. The package \
evwait-recovery adds the recovery gate: early in the boot it prints a prompt \
on the console, and a key or button pressed within five seconds, or held down \
already, starts the recovery action; with chosen keys, only those count."
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=f7734fb45c976f4dec68c0c8c7f82f2b"

# project(VERSION) in CMakeLists.txt.
PV = "1.1.0"

# The checkout this layer sits in (EVWAIT_SRCDIR, from conf/layer.conf) is the
# source: nothing is fetched. The build folder stays under WORKDIR, and no
# oe-workdir/oe-logs links are put into the checkout.
inherit externalsrc
EXTERNALSRC = "${EVWAIT_SRCDIR}"
EXTERNALSRC_SYMLINKS = ""

inherit cmake systemd update-rc.d

# What the gate does when recovery is asked for: "shell" (the rescue shell or
# target), a command run with sh -c on the console, or empty: gate off.
# Whoever sits at the keyboard gets it: with sysvinit, "shell" is a root shell
# without a password (systemd's rescue.target asks for the root password).
EVWAIT_RECOVERY_ACTION ?= "shell"

# The keys that ask for recovery (kernel names such as KEY_POWER, or codes),
# the devices they count on (kernel names, shell wildcards), a line typed on
# the console, and the window in seconds (0 to 3600), for evwait-trigger.
# With no keys and no console key (the default) the gate counts any input
# event within five seconds. Set them in local.conf
# (EVWAIT_RECOVERY_KEYS:pn-evwait = "KEY_POWER") or in a bbappend. Only those
# set are written; the window only with keys or a console key.
EVWAIT_RECOVERY_KEYS ?= ""
EVWAIT_RECOVERY_DEVICES ?= ""
EVWAIT_RECOVERY_CONSOLE_KEY ?= ""
EVWAIT_RECOVERY_WINDOW ?= "5"
# With action "shell": seconds to wait for Enter on the console before the
# shell, after which the boot goes on (empty: the shell at once); an LED under
# /sys/class/leds that blinks while the gate waits (empty: none).
EVWAIT_RECOVERY_SHELL_TIMEOUT ?= ""
EVWAIT_RECOVERY_LED ?= ""

EXTRA_OECMAKE = "-DBUILD_TESTING=OFF -DEVWAIT_INSTALL_RECOVERY=ON \
                 -DEVWAIT_RECOVERY_INIT='systemd;sysv' \
                 -DEVWAIT_SYSTEMD_UNIT_DIR=${systemd_system_unitdir}"

EVWAIT_RECOVERY_SETTINGS = "EVWAIT_RECOVERY_ACTION EVWAIT_RECOVERY_KEYS EVWAIT_RECOVERY_DEVICES \
                             EVWAIT_RECOVERY_CONSOLE_KEY EVWAIT_RECOVERY_WINDOW \
                             EVWAIT_RECOVERY_SHELL_TIMEOUT EVWAIT_RECOVERY_LED"

# The recipe's settings that apply, by name: the action always, the others
# when set, the window only with keys or a console key (and then whole
# seconds from 0 to 3600, as evwait-trigger takes it).
def evwait_settings(d):
    chosen = ["EVWAIT_RECOVERY_ACTION"]
    for name in ("EVWAIT_RECOVERY_KEYS", "EVWAIT_RECOVERY_DEVICES", "EVWAIT_RECOVERY_CONSOLE_KEY",
                 "EVWAIT_RECOVERY_SHELL_TIMEOUT", "EVWAIT_RECOVERY_LED"):
        if d.getVar(name):
            chosen.append(name)
    timeout = d.getVar("EVWAIT_RECOVERY_SHELL_TIMEOUT") or ""
    if timeout and not timeout.isdigit():
        bb.fatal("EVWAIT_RECOVERY_SHELL_TIMEOUT is '%s', not whole seconds" % timeout)
    if d.getVar("EVWAIT_RECOVERY_KEYS") or d.getVar("EVWAIT_RECOVERY_CONSOLE_KEY"):
        window = d.getVar("EVWAIT_RECOVERY_WINDOW") or ""
        if not window.isdigit() or int(window) > 3600:
            bb.fatal("EVWAIT_RECOVERY_WINDOW is '%s', not whole seconds from 0 to 3600" % window)
        chosen.append("EVWAIT_RECOVERY_WINDOW")
    return chosen

# The settings lines, each quoted for sh, which sources the file, and quoted
# once more as words for printf; and the sed expression that deletes the
# lines of the installed file they replace.
def evwait_setting_lines(d):
    import shlex
    return " ".join(shlex.quote(name + "=" + shlex.quote(d.getVar(name) or ""))
                    for name in evwait_settings(d))

def evwait_setting_deletes(d):
    return ";".join("/^%s=/d" % name for name in evwait_settings(d))

EVWAIT_RECOVERY_LINES = "${@evwait_setting_lines(d)}"
EVWAIT_RECOVERY_LINES[vardeps] = "${EVWAIT_RECOVERY_SETTINGS}"

do_install:append() {
	settings=${D}${sysconfdir}/default/evwait-recovery
	sed -i '${@evwait_setting_deletes(d)}' $settings
	printf '%s\n' '# From the evwait recipe:' ${EVWAIT_RECOVERY_LINES} >>$settings
	# update-rc.d makes the start links; the script itself has no number.
	mv ${D}${sysconfdir}/init.d/S12evwait-recovery ${D}${sysconfdir}/init.d/evwait-recovery
}
do_install[vardeps] += "${EVWAIT_RECOVERY_SETTINGS}"

# evwait, evwait-held and evwait-trigger in evwait (bindir, the package's
# default FILES); the gate, its settings and its start script and unit in
# evwait-recovery, which turns the gate on in an image.
PACKAGES =+ "${PN}-recovery"
FILES:${PN}-recovery = "${sbindir}/evwait-recovery \
                        ${sysconfdir}/default/evwait-recovery \
                        ${sysconfdir}/init.d/evwait-recovery \
                        ${systemd_system_unitdir}/evwait-recovery.service \
                        ${systemd_system_unitdir}/evwait-recovery-action.service"
CONFFILES:${PN}-recovery = "${sysconfdir}/default/evwait-recovery"
RDEPENDS:${PN}-recovery = "${PN}"

SYSTEMD_PACKAGES = "${PN}-recovery"
SYSTEMD_SERVICE:${PN}-recovery = "evwait-recovery.service evwait-recovery-action.service"

# After udev (S04) has made the input nodes, with /proc mounted.
INITSCRIPT_PACKAGES = "${PN}-recovery"
INITSCRIPT_NAME:${PN}-recovery = "evwait-recovery"
INITSCRIPT_PARAMS:${PN}-recovery = "start 05 S ."
