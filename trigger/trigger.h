// SPDX-License-Identifier: MIT
// What counts for evwait-trigger: the keys, devices, console line and window
// of its command line, and the tests of records and names against them. No
// input or output here, so that the decisions can be checked without devices.
#pragma once

#include <linux/input.h>

#include <cstddef>

constexpr int kMaxChosenKeys = 32;
constexpr int kMaxDevicePatterns = 16;
constexpr int kMaxWindowSeconds = 3600;
constexpr int kDefaultWindowSeconds = 5;

struct TriggerSettings {
  int keys[kMaxChosenKeys];  // codes, in the order given, each once
  int key_count;
  const char *devices[kMaxDevicePatterns];  // name patterns; none: any device with a chosen key
  int device_count;
  const char *console_key;  // the line typed on the console that counts, or nullptr
  bool any_line;            // --any-line: any line typed on the console counts (console_key is "")
  int window_seconds;
  bool count_held;     // a chosen key already down counts
  const char *prompt;  // nullptr: DescribeTrigger's line
  bool list;           // --list: describe the devices and end
};

// The kernel's name of key `code` (KEY_POWER, BTN_0), or nullptr when the
// table has none.
const char *KeyName(int code);
// The code of a kernel key name, in any case, or -1.
int KeyCode(const char *name, size_t length);

// Fills `settings` from the command line. On a fault returns false and
// writes a line for standard error into `why`.
bool ParseTriggerArguments(int argc, char **argv, TriggerSettings *settings, char *why, size_t why_size);

// The index of `code` among the chosen keys, or -1.
int ChosenKeyIndex(const TriggerSettings &settings, int code);
// Whether a device of this name may give the trigger (its keys are asked
// separately).
bool DeviceNameCounts(const TriggerSettings &settings, const char *name);
// Whether `record` is a press of a chosen key: EV_KEY with value 1. Repeats
// (2), releases (0) and every other type are not.
bool IsChosenPress(const TriggerSettings &settings, const input_event &record);
// Whether a line read from the console (without its end of line) is the
// console key, blanks around it aside.
bool IsConsoleKeyLine(const TriggerSettings &settings, const char *line, size_t length);

// The prompt derived from the settings, such as "Hold or press KEY_POWER
// within 5 seconds for recovery".
void DescribeTrigger(const TriggerSettings &settings, char *line, size_t size);
