#!/bin/bash
# SPDX-License-Identifier: MIT
# dracut module evwait-recovery: the recovery gate in a dracut initramfs, classic
# or systemd. Only in an image that asks for it (add_dracutmodules+=" evwait-recovery "
# in /etc/dracut.conf.d/), and even then empty while the gate's action is unset.
# EVWAIT_RECOVERY_CONFIG names another settings file (an image built by hand),
# EVWAIT_RECOVERY_LIB another initramfs-action.sh.

# Never by itself, only when asked for. The gate's programs are looked for
# when it is installed: without them it is left out with a warning, as the
# initramfs-tools hook leaves it out, rather than the whole image failing.
check() {
    return 255
}

depends() {
    return 0
}

installkernel() {
    # Debian's kernels build evdev as a module, which dracut leaves out
    # otherwise: without it no /dev/input/event* appears in the initramfs.
    # The drivers of the keys themselves (a keyboard's, gpio_keys for a
    # board's buttons) come with dracut's kernel-modules, or from
    # add_drivers+=" gpio_keys " where the board needs.
    if evwait_recovery_on quiet; then
        instmods evdev
    fi
}

install() {
    evwait_recovery_on || return 0
    # Where the initramfs's PATH finds them, wherever they were found.
    inst "$(find_binary evwait-recovery)" /usr/sbin/evwait-recovery
    local name
    for name in evwait evwait-held evwait-trigger; do
        if find_binary "$name" >/dev/null; then
            inst "$(find_binary "$name")" "/usr/bin/$name"
        fi
    done
    local kind from to
    while read -r kind from to; do
        case $kind in
        exec) inst "$from" "$to" ;;
        file) inst_simple "$from" "$to" ;;
        esac
    done <<EOF
$evwait_recovery_files
EOF
    inst_simple "$evwait_recovery_settings" /etc/default/evwait-recovery
    # pre-mount: after the initqueue, when udev has settled and the root
    # device is found, before the root is mounted; once per boot (hooks in
    # initqueue/settled run on every turn of its loop).
    inst_hook pre-mount 10 "$moddir/evwait-recovery-hook.sh"
}

# Whether the settings turn the gate on and the programs it needs are found
# (in dracut's DRACUT_PATH, as every module's programs are): the gate, the
# program it waits with, evwait, or evwait-trigger once the settings choose
# keys or a console key, and all a command action runs (in
# evwait_recovery_files, as initramfs-action.sh lists them: an action the
# image cannot hold would only fail at boot). What is missing is warned of
# unless $1 is "quiet".
evwait_recovery_on() {
    evwait_recovery_settings=${EVWAIT_RECOVERY_CONFIG:-/etc/default/evwait-recovery}
    local EVWAIT_RECOVERY_ACTION= EVWAIT_RECOVERY_KEYS= EVWAIT_RECOVERY_CONSOLE_KEY= missing=
    if [ -r "$evwait_recovery_settings" ]; then
        . "$evwait_recovery_settings"
    fi
    [ -n "$EVWAIT_RECOVERY_ACTION" ] || return 1
    if ! find_binary evwait-recovery >/dev/null; then
        missing="evwait-recovery not found"
    elif [ -n "$EVWAIT_RECOVERY_KEYS" ] || [ -n "$EVWAIT_RECOVERY_CONSOLE_KEY" ]; then
        find_binary evwait-trigger >/dev/null ||
            missing="the settings choose keys or a console key, but evwait-trigger, which waits for them, is not found"
    else
        find_binary evwait >/dev/null || missing="evwait not found"
    fi
    local lib=${EVWAIT_RECOVERY_LIB:-/usr/share/evwait-recovery/initramfs-action.sh}
    if [ -z "$missing" ] && [ -r "$lib" ]; then
        . "$lib"
        evwait_recovery_files=$(evwait_recovery_action_files "$EVWAIT_RECOVERY_ACTION" "$DRACUT_PATH") ||
            missing="the action \"$EVWAIT_RECOVERY_ACTION\" cannot run in the initramfs: $evwait_recovery_files"
    elif [ -z "$missing" ]; then
        missing="$lib not found"
    fi
    [ -n "$missing" ] || return 0
    [ "${1-}" = quiet ] || dwarn "evwait-recovery: $missing: the recovery gate is left out of the initramfs"
    return 1
}
