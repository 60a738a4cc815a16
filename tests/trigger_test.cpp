// SPDX-License-Identifier: MIT
// evwait-trigger's reading of its command line and its decisions on records,
// names, console lines and prompts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trigger.h"

namespace {

struct Parsed {
  bool ok;
  TriggerSettings settings;
  std::string why;
};

// The arguments live in `storage`, since parsing cuts lists in place.
Parsed Parse(std::vector<std::string> *storage) {
  std::vector<char *> argv;
  for (std::string &arg : *storage) {
    argv.push_back(arg.data());
  }
  Parsed parsed{};
  char why[256];
  parsed.ok =
      ParseTriggerArguments(static_cast<int>(argv.size()), argv.data(), &parsed.settings, why, sizeof why);
  parsed.why = why;
  return parsed;
}

TEST(Trigger, KeyNamesBothWays) {
  EXPECT_EQ(KeyCode("KEY_POWER", 9), 116);
  EXPECT_EQ(KeyCode("btn_0", 5), 256);
  EXPECT_EQ(KeyCode("KEY_POWERX", 9), 116);  // the length given is what counts
  EXPECT_EQ(KeyCode("KEY_NOPE", 8), -1);
  EXPECT_EQ(KeyCode("KEY_HANGUEL", 11), 122);  // an alias is known by name...
  EXPECT_STREQ(KeyName(122), "KEY_HANGEUL");   // ...but the code shows its own name
  EXPECT_STREQ(KeyName(256), "BTN_0");         // not the range's mark, BTN_MISC
  EXPECT_EQ(KeyName(0x2fe), nullptr);          // a code without a name
  EXPECT_STREQ(KeyName(1), "KEY_ESC");
}

TEST(Trigger, CommandLines) {
  struct {
    std::vector<std::string> args;
    bool ok;
    std::vector<int> keys;
    int devices;
    int window;
    bool held;
    const char *why;
  } cases[] = {
      {{"--keys=KEY_POWER"}, true, {116}, 0, 5, true, ""},
      {{"--keys", "KEY_VOLUMEDOWN, btn_0,116 116", "--window=0", "--no-held"},
       true,
       {114, 256, 116},
       0,
       0,
       false,
       ""},
      {{"--keys=767", "--devices= gpio-keys , QEMU Virtio Keyboard,", "--window", "3600"},
       true,
       {767},
       2,
       3600,
       true,
       ""},
      {{"--console-key=f"}, true, {}, 0, 5, true, ""},
      {{"--list"}, true, {}, 0, 5, true, ""},
      {{},
       false,
       {},
       0,
       5,
       true,
       "evwait-trigger: nothing to wait for: choose --keys, --console-key or --any-line"},
      {{"--console-key= "}, false, {}, 0, 5, true, "evwait-trigger: nothing to wait for"},
      {{"--keys=768"}, false, {}, 0, 5, true, "evwait-trigger: unknown key '768'"},
      {{"--keys=KEY_A,-1"}, false, {}, 0, 5, true, "evwait-trigger: unknown key '-1'"},
      {{"--keys=KEY_A", "--window=3601"}, false, {}, 0, 5, true, "evwait-trigger: window '3601'"},
      {{"--keys=KEY_A", "--window=1.5"}, false, {}, 0, 5, true, "evwait-trigger: window '1.5'"},
      {{"--keys=KEY_A", "--window="}, false, {}, 0, 5, true, "evwait-trigger: window ''"},
      {{"--keys"}, false, {}, 0, 5, true, "evwait-trigger: unknown option or missing value: '--keys'"},
      {{"--keysKEY_A"}, false, {}, 0, 5, true, "evwait-trigger: unknown option"},
  };
  for (auto &c : cases) {
    std::vector<std::string> storage{"evwait-trigger"};
    storage.insert(storage.end(), c.args.begin(), c.args.end());
    const Parsed parsed = Parse(&storage);
    const std::string shown = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(parsed.ok, c.ok) << shown << ": " << parsed.why;
    EXPECT_EQ(parsed.why.rfind(c.why, 0), 0U) << shown << ": " << parsed.why;
    if (parsed.ok) {
      EXPECT_EQ(std::vector<int>(parsed.settings.keys, parsed.settings.keys + parsed.settings.key_count),
                c.keys)
          << shown;
      EXPECT_EQ(parsed.settings.device_count, c.devices) << shown;
      EXPECT_EQ(parsed.settings.window_seconds, c.window) << shown;
      EXPECT_EQ(parsed.settings.count_held, c.held) << shown;
    }
  }
}

TEST(Trigger, TooManyKeys) {
  std::string keys;
  for (int code = 1; code <= kMaxChosenKeys + 1; ++code) {
    keys += std::to_string(code) + ",";
  }
  std::vector<std::string> storage{"evwait-trigger", "--keys=" + keys};
  EXPECT_FALSE(Parse(&storage).ok);
}

TEST(Trigger, OnlyAPressOfAChosenKeyCounts) {
  std::vector<std::string> storage{"evwait-trigger", "--keys=KEY_POWER,BTN_0"};
  const TriggerSettings settings = Parse(&storage).settings;
  struct {
    int type, code, value;
    bool counts;
  } records[] = {
      {EV_KEY, KEY_POWER, 1, true},   {EV_KEY, BTN_0, 1, true},       {EV_KEY, KEY_POWER, 0, false},
      {EV_KEY, KEY_POWER, 2, false},  {EV_KEY, KEY_A, 1, false},      {EV_KEY, BTN_TOUCH, 1, false},
      {EV_SW, SW_LID, 1, false},      {EV_MSC, MSC_SCAN, 116, false}, {EV_ABS, ABS_X, 1, false},
      {EV_SYN, SYN_REPORT, 0, false}, {EV_SW, KEY_POWER, 1, false},   {EV_ABS, KEY_POWER, 1, false},
  };
  for (const auto &r : records) {
    input_event record{};
    record.type = static_cast<__u16>(r.type);
    record.code = static_cast<__u16>(r.code);
    record.value = r.value;
    EXPECT_EQ(IsChosenPress(settings, record), r.counts) << r.type << " " << r.code << " " << r.value;
  }
}

TEST(Trigger, DeviceNamesAndConsoleLines) {
  std::vector<std::string> storage{"evwait-trigger", "--keys=KEY_POWER", "--devices=gpio-keys,*Keyboard",
                                   "--console-key=f"};
  const TriggerSettings settings = Parse(&storage).settings;
  EXPECT_TRUE(DeviceNameCounts(settings, "gpio-keys"));
  EXPECT_TRUE(DeviceNameCounts(settings, "QEMU Virtio Keyboard"));
  EXPECT_FALSE(DeviceNameCounts(settings, "gpio-keys-polled"));
  EXPECT_FALSE(DeviceNameCounts(settings, "Power Button"));
  EXPECT_TRUE(IsConsoleKeyLine(settings, " f\r", 3));
  EXPECT_FALSE(IsConsoleKeyLine(settings, "ff", 2));
  EXPECT_FALSE(IsConsoleKeyLine(settings, "", 0));
  std::vector<std::string> any{"evwait-trigger", "--keys=KEY_POWER"};
  const TriggerSettings any_device = Parse(&any).settings;
  EXPECT_TRUE(DeviceNameCounts(any_device, "Power Button"));
  EXPECT_FALSE(IsConsoleKeyLine(any_device, "f", 1));
  std::vector<std::string> enter{"evwait-trigger", "--any-line"};
  const TriggerSettings any_line = Parse(&enter).settings;
  EXPECT_TRUE(IsConsoleKeyLine(any_line, "", 0));
  EXPECT_TRUE(IsConsoleKeyLine(any_line, "exit", 4));
}

TEST(Trigger, PromptsSayWhatCounts) {
  struct {
    std::vector<std::string> args;
    const char *prompt;
  } cases[] = {
      {{"--keys=KEY_POWER"}, "Hold or press KEY_POWER within 5 seconds for recovery"},
      {{"--keys=KEY_POWER", "--no-held", "--window=1"}, "Press KEY_POWER within 1 second for recovery"},
      {{"--keys=KEY_VOLUMEDOWN,KEY_VOLUMEUP,BTN_0", "--devices=gpio-keys", "--window=0"},
       "Hold KEY_VOLUMEDOWN, KEY_VOLUMEUP or BTN_0 on gpio-keys at power-on for recovery"},
      {{"--keys=KEY_POWER", "--console-key=f"},
       "Hold or press KEY_POWER, or type f and Enter, within 5 seconds for recovery"},
      {{"--console-key=f", "--window=10"}, "Type f and Enter within 10 seconds for recovery"},
      {{"--any-line", "--window=30"}, "Press Enter within 30 seconds for recovery"},
  };
  for (auto &c : cases) {
    std::vector<std::string> storage{"evwait-trigger"};
    storage.insert(storage.end(), c.args.begin(), c.args.end());
    char line[256];
    DescribeTrigger(Parse(&storage).settings, line, sizeof line);
    EXPECT_STREQ(line, c.prompt);
  }
}

}  // namespace
