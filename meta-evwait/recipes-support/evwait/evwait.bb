SUMMARY = "Wait five seconds for one input event, and a recovery gate for the boot"
DESCRIPTION = "evwait waits five seconds for one event on /dev/input/event0, \
event1 and event2, prints it and exits with the low byte of the product of its \
code, type and value, or with 255 when none came. evwait-held lists the keys \
held down when it runs. The package evwait-recovery adds the recovery gate: \
early in the boot it prints a prompt on the console, and a key or button \
pressed within five seconds, or held down already, starts the recovery action."
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

EXTRA_OECMAKE = "-DBUILD_TESTING=OFF -DEVWAIT_INSTALL_RECOVERY=ON \
                 -DEVWAIT_RECOVERY_INIT='systemd;sysv' \
                 -DEVWAIT_SYSTEMD_UNIT_DIR=${systemd_system_unitdir}"

# The settings line for the action, quoted for sh, which sources the file.
def evwait_action_setting(d):
    import shlex
    line = "EVWAIT_RECOVERY_ACTION=" + shlex.quote(d.getVar("EVWAIT_RECOVERY_ACTION"))
    return shlex.quote(line)

do_install:append() {
	settings=${D}${sysconfdir}/default/evwait-recovery
	sed -i '/^EVWAIT_RECOVERY_ACTION=/d' $settings
	printf '%s\n' '# From EVWAIT_RECOVERY_ACTION of the evwait recipe:' ${@evwait_action_setting(d)} >>$settings
	# update-rc.d makes the start links; the script itself has no number.
	mv ${D}${sysconfdir}/init.d/S01evwait-recovery ${D}${sysconfdir}/init.d/evwait-recovery
}
do_install[vardeps] += "EVWAIT_RECOVERY_ACTION"

# evwait and evwait-held in evwait; the gate, its settings and its start
# script and unit in evwait-recovery, which turns the gate on in an image.
PACKAGES =+ "${PN}-recovery"
FILES:${PN}-recovery = "${sbindir}/evwait-recovery \
                        ${sysconfdir}/default/evwait-recovery \
                        ${sysconfdir}/init.d/evwait-recovery \
                        ${systemd_system_unitdir}/evwait-recovery.service"
CONFFILES:${PN}-recovery = "${sysconfdir}/default/evwait-recovery"
RDEPENDS:${PN}-recovery = "${PN}"

SYSTEMD_PACKAGES = "${PN}-recovery"
SYSTEMD_SERVICE:${PN}-recovery = "evwait-recovery.service"

# After udev (S04) has made the input nodes, with /proc mounted.
INITSCRIPT_PACKAGES = "${PN}-recovery"
INITSCRIPT_NAME:${PN}-recovery = "evwait-recovery"
INITSCRIPT_PARAMS:${PN}-recovery = "start 05 S ."
