// SPDX-License-Identifier: MIT
#include "trigger.h"

#include <fnmatch.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The kernel's names, one string after the other, and their codes in the same
// order: a single block of text, with no pointer per name to relocate.
constexpr char kKeyNameText[] =
#define KEY_NAME(name, code) #name "\0"
#include "key_names.inc"
#undef KEY_NAME
    ;
constexpr unsigned short kKeyNameCodes[] = {
#define KEY_NAME(name, code) code,
#include "key_names.inc"
#undef KEY_NAME
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Cuts `text` in place at the separators in `separators`, trimming blanks
// around each piece, and calls `take` on every non-empty piece until it
// returns false.
template <typename Take>
bool ForEachItem(char *text, const char *separators, Take take) {
  char *item = text;
  for (;;) {
    char *end = item + std::strcspn(item, separators);
    const bool last = *end == '\0';
    *end = '\0';
    while (IsBlank(*item)) {
      ++item;
    }
    for (char *tail = end; tail > item && IsBlank(tail[-1]); --tail) {
      tail[-1] = '\0';
    }
    if (*item != '\0' && !take(item)) {
      return false;
    }
    if (last) {
      return true;
    }
    item = end + 1;
  }
}

// A number of one to four digits and nothing else, or -1.
int SmallNumber(const char *text) {
  const size_t length = std::strlen(text);
  if (length == 0 || length > 4 || std::strspn(text, "0123456789") != length) {
    return -1;
  }
  return static_cast<int>(std::strtol(text, nullptr, 10));
}

// A code given as a number: 0 to KEY_MAX; -1 otherwise.
int KeyCodeFromNumber(const char *text) {
  const int code = SmallNumber(text);
  return code <= KEY_MAX ? code : -1;
}

bool AddKey(TriggerSettings *settings, const char *text, char *why, size_t why_size) {
  int code = KeyCodeFromNumber(text);
  if (code < 0) {
    code = KeyCode(text, std::strlen(text));
  }
  if (code < 0) {
    (void)std::snprintf(why, why_size,
                        "evwait-trigger: unknown key '%s': give a kernel name such as KEY_POWER or BTN_0, "
                        "or a code from 0 to %d",
                        text, KEY_MAX);
    return false;
  }
  if (ChosenKeyIndex(*settings, code) >= 0) {
    return true;
  }
  if (settings->key_count == kMaxChosenKeys) {
    (void)std::snprintf(why, why_size, "evwait-trigger: more than %d keys chosen", kMaxChosenKeys);
    return false;
  }
  settings->keys[settings->key_count++] = code;
  return true;
}

bool AddDevicePattern(TriggerSettings *settings, const char *pattern, char *why, size_t why_size) {
  if (settings->device_count == kMaxDevicePatterns) {
    (void)std::snprintf(why, why_size, "evwait-trigger: more than %d device names", kMaxDevicePatterns);
    return false;
  }
  settings->devices[settings->device_count++] = pattern;
  return true;
}

bool ParseWindow(const char *text, int *seconds) {
  *seconds = SmallNumber(text);
  return *seconds >= 0 && *seconds <= kMaxWindowSeconds;
}

// `option` is argv[*index]: "--name=value" or "--name value". Points `value`
// at the value, stepping over the next argument for the second form; false
// when there is none.
bool OptionValue(int argc, char **argv, int *index, const char *name, char **value) {
  const char *option = argv[*index];
  const size_t length = std::strlen(name);
  if (std::strncmp(option, name, length) != 0) {
    return false;
  }
  if (option[length] == '=') {
    *value = argv[*index] + length + 1;
    return true;
  }
  if (option[length] == '\0' && *index + 1 < argc) {
    *value = argv[++*index];
    return true;
  }
  return false;
}

bool ParseOption(int argc, char **argv, int *index, TriggerSettings *settings, char *why, size_t why_size) {
  char *value = nullptr;
  const char *option = argv[*index];
  if (std::strcmp(option, "--no-held") == 0) {
    settings->count_held = false;
  } else if (std::strcmp(option, "--list") == 0) {
    settings->list = true;
  } else if (std::strcmp(option, "--any-line") == 0) {
    settings->any_line = true;
    settings->console_key = "";
  } else if (OptionValue(argc, argv, index, "--keys", &value)) {
    return ForEachItem(value, ", \t\n",
                       [&](const char *key) { return AddKey(settings, key, why, why_size); });
  } else if (OptionValue(argc, argv, index, "--devices", &value)) {
    return ForEachItem(value, ",\n",
                       [&](const char *name) { return AddDevicePattern(settings, name, why, why_size); });
  } else if (OptionValue(argc, argv, index, "--console-key", &value)) {
    ForEachItem(value, "\n", [&](const char *key) {
      settings->console_key = key;
      return true;
    });
  } else if (OptionValue(argc, argv, index, "--window", &value)) {
    if (!ParseWindow(value, &settings->window_seconds)) {
      (void)std::snprintf(why, why_size, "evwait-trigger: window '%s': give whole seconds from 0 to %d",
                          value, kMaxWindowSeconds);
      return false;
    }
  } else if (OptionValue(argc, argv, index, "--prompt", &value)) {
    settings->prompt = value;
  } else {
    (void)std::snprintf(why, why_size, "evwait-trigger: unknown option or missing value: '%s'", option);
    return false;
  }
  return true;
}

// Appends `text` to the line, cutting it at the end of the buffer.
void Append(char *line, size_t size, const char *text) {
  const size_t used = std::strlen(line);
  (void)std::snprintf(line + used, size - used, "%s", text);
}

void AppendKeyName(int code, char *line, size_t size) {
  const char *name = KeyName(code);
  if (name != nullptr) {
    Append(line, size, name);
    return;
  }
  char number[16];
  (void)std::snprintf(number, sizeof number, "key %d", code);
  Append(line, size, number);
}

// "A", "A or B", "A, B or C".
void AppendChoice(char *line, size_t size, int index, int count) {
  if (index > 0) {
    Append(line, size, index == count - 1 ? " or " : ", ");
  }
}

void AppendKeys(const TriggerSettings &settings, char *line, size_t size) {
  for (int i = 0; i < settings.key_count; ++i) {
    AppendChoice(line, size, i, settings.key_count);
    AppendKeyName(settings.keys[i], line, size);
  }
  for (int i = 0; i < settings.device_count; ++i) {
    Append(line, size, i == 0 ? " on " : "");
    AppendChoice(line, size, i, settings.device_count);
    Append(line, size, settings.devices[i]);
  }
}

}  // namespace

const char *KeyName(int code) {
  const char *name = kKeyNameText;
  for (unsigned short known : kKeyNameCodes) {
    if (known == code) {
      return name;
    }
    name += std::strlen(name) + 1;
  }
  return nullptr;
}

int KeyCode(const char *name, size_t length) {
  const char *known = kKeyNameText;
  for (unsigned short code : kKeyNameCodes) {
    const size_t known_length = std::strlen(known);
    if (known_length == length && strncasecmp(known, name, length) == 0) {
      return code;
    }
    known += known_length + 1;
  }
  return -1;
}

bool ParseTriggerArguments(int argc, char **argv, TriggerSettings *settings, char *why, size_t why_size) {
  *settings = TriggerSettings{};
  settings->window_seconds = kDefaultWindowSeconds;
  settings->count_held = true;
  why[0] = '\0';
  for (int i = 1; i < argc; ++i) {
    if (!ParseOption(argc, argv, &i, settings, why, why_size)) {
      return false;
    }
  }
  if (!settings->list && settings->key_count == 0 && settings->console_key == nullptr) {
    (void)std::snprintf(why, why_size,
                        "evwait-trigger: nothing to wait for: choose --keys, --console-key or --any-line");
    return false;
  }
  return true;
}

int ChosenKeyIndex(const TriggerSettings &settings, int code) {
  for (int i = 0; i < settings.key_count; ++i) {
    if (settings.keys[i] == code) {
      return i;
    }
  }
  return -1;
}

bool DeviceNameCounts(const TriggerSettings &settings, const char *name) {
  if (settings.device_count == 0) {
    return true;
  }
  for (int i = 0; i < settings.device_count; ++i) {
    if (fnmatch(settings.devices[i], name, 0) == 0) {
      return true;
    }
  }
  return false;
}

bool IsChosenPress(const TriggerSettings &settings, const input_event &record) {
  return record.type == EV_KEY && record.value == 1 && ChosenKeyIndex(settings, record.code) >= 0;
}

bool IsConsoleKeyLine(const TriggerSettings &settings, const char *line, size_t length) {
  if (settings.console_key == nullptr) {
    return false;
  }
  if (settings.any_line) {
    return true;
  }
  while (length > 0 && IsBlank(*line)) {
    ++line;
    --length;
  }
  while (length > 0 && IsBlank(line[length - 1])) {
    --length;
  }
  return length == std::strlen(settings.console_key) && std::strncmp(line, settings.console_key, length) == 0;
}

void DescribeTrigger(const TriggerSettings &settings, char *line, size_t size) {
  line[0] = '\0';
  const bool keys = settings.key_count > 0;
  const bool console = settings.console_key != nullptr;
  if (keys) {
    Append(line, size,
           settings.window_seconds == 0 ? (settings.count_held ? "Hold " : "Press ")
                                        : (settings.count_held ? "Hold or press " : "Press "));
    AppendKeys(settings, line, size);
    if (settings.window_seconds == 0) {
      Append(line, size, " at power-on");
    }
  }
  if (console) {
    if (settings.any_line) {
      Append(line, size, keys ? ", or press Enter" : "Press Enter");
    } else {
      Append(line, size, keys ? ", or type " : "Type ");
      Append(line, size, settings.console_key);
      Append(line, size, " and Enter");
    }
    if (settings.window_seconds == 0) {
      Append(line, size, " ahead of the boot");
    }
    Append(line, size, keys ? "," : "");
  }
  if (settings.window_seconds > 0) {
    char within[48];
    (void)std::snprintf(within, sizeof within, " within %d second%s", settings.window_seconds,
                        settings.window_seconds == 1 ? "" : "s");
    Append(line, size, within);
  }
  Append(line, size, " for recovery");
}
