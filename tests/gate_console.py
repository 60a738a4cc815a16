# SPDX-License-Identifier: MIT
"""The recovery gate's console lines, written once for every test that runs the gate."""

PROMPT = "Press any key within five seconds for recovery"
ENTERING = "evwait-recovery: entering recovery"
BOOTING_ON = "evwait-recovery: booting on"
HELD = "held:/dev/input/event"  # the start of evwait-held's line, which the gate shows
