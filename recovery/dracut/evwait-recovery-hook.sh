#!/bin/sh
# SPDX-License-Identifier: MIT
# dracut pre-mount hook of evwait-recovery. dracut sources its hooks: no exit
# here, and nothing left behind but what the boot should keep. In a systemd
# initramfs this runs inside dracut-pre-mount.service, whose input and output
# are not the console: the gate gets the console itself. Action "shell" enters
# dracut's emergency shell, which honours rd.shell=0; leaving it boots on.

evwait_recovery_status=0
/usr/sbin/evwait-recovery </dev/console >/dev/console 2>&1 || evwait_recovery_status=$?
if [ "$evwait_recovery_status" -eq 3 ]; then
    emergency_shell -n evwait-recovery "Recovery shell, asked for at the keyboard; leave it (exit) to boot on"
fi
unset evwait_recovery_status
