#!/bin/bash
# SPDX-License-Identifier: MIT
# dracut module evwait-recovery: the recovery gate in a dracut initramfs, classic
# or systemd. Only in an image that asks for it (add_dracutmodules+=" evwait-recovery "
# in /etc/dracut.conf.d/), and even then empty while the gate's action is unset.
# EVWAIT_RECOVERY_CONFIG names another settings file (an image built by hand).

# Never by itself, only when asked for; and not without the gate and evwait
# (found in dracut's DRACUT_PATH, as every module's programs are).
check() {
    require_binaries evwait-recovery evwait || return 1
    return 255
}

depends() {
    return 0
}

installkernel() {
    # Debian's kernels build evdev as a module, which dracut leaves out
    # otherwise: without it no /dev/input/event* appears in the initramfs.
    if evwait_recovery_on; then
        instmods evdev
    fi
}

install() {
    evwait_recovery_on || return 0
    # Where the initramfs's PATH finds them, wherever they were found.
    inst "$(find_binary evwait-recovery)" /usr/sbin/evwait-recovery
    inst "$(find_binary evwait)" /usr/bin/evwait
    if find_binary evwait-held >/dev/null; then
        inst "$(find_binary evwait-held)" /usr/bin/evwait-held
    fi
    inst_simple "$evwait_recovery_settings" /etc/default/evwait-recovery
    # pre-mount: after the initqueue, when udev has settled and the root
    # device is found, before the root is mounted; once per boot (hooks in
    # initqueue/settled run on every turn of its loop).
    inst_hook pre-mount 10 "$moddir/evwait-recovery-hook.sh"
}

# Whether the settings turn the gate on.
evwait_recovery_on() {
    evwait_recovery_settings=${EVWAIT_RECOVERY_CONFIG:-/etc/default/evwait-recovery}
    local EVWAIT_RECOVERY_ACTION=
    if [ -r "$evwait_recovery_settings" ]; then
        . "$evwait_recovery_settings"
    fi
    [ -n "$EVWAIT_RECOVERY_ACTION" ]
}
