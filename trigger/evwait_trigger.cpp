// SPDX-License-Identifier: MIT
// evwait-trigger: waits for the one thing a board's recovery is asked with,
// and nothing else: a press of a chosen key on a chosen input device, such a
// key already held, or a chosen line typed on the console (with --any-line,
// any line: Enter). Devices are found
// by what they are (their name, the keys they have), not by their event
// number, including one that appears during the wait. Exit status 0 when the
// trigger came, 1 when the window passed without it, 2 for a usage fault.
// --list describes every input device instead.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "held_keys.h"
#include "trigger.h"

namespace {

constexpr const char *kInputFolder = "/dev/input";
constexpr int kMaxWatched = 32;
constexpr int kNameSize = 128;
// "/dev/input/" and a folder entry's name of up to 255 bytes.
constexpr int kNodeSize = 272;

enum Outcome { kTriggered = 0, kWindowPassed = 1, kUsage = 2 };

// The devices watched, in the order they were opened. A device that goes
// away is closed and its place taken by the last one.
struct WatchedDevice {
  int fd;
  dev_t node_number;
  char node[kNodeSize];
  char name[kNameSize];
  HeldMask held_at_open;  // chosen keys down when it was opened
};

TriggerSettings settings;
WatchedDevice watched[kMaxWatched];
int watched_count = 0;
int inotify_fd = -1;
// The watch on /dev while /dev/input does not exist yet, or -1.
int dev_watch = -1;
// The console line typed so far; an overlong line is dropped whole.
char console_line[256];
size_t console_length = 0;
bool console_line_too_long = false;
// What the trigger was, printed after the prompt.
char report[kNodeSize + kNameSize + 96];

void IgnoreBrokenConsole() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);
}

long long NowMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool IsEventNodeName(const char *name) {
  return std::strncmp(name, "event", 5) == 0 && name[5] != '\0' &&
         std::strspn(name + 5, "0123456789") == std::strlen(name + 5);
}

// Opens `node` without blocking (a FIFO nobody writes to opens at once, too)
// and keeps it only if it is an input event device: a character device that
// answers EVIOCGVERSION. Returns the descriptor, or -1.
int OpenInputDevice(const char *node, struct stat *status) {
  const int fd = open(node, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  int version = 0;
  if (fstat(fd, status) != 0 || !S_ISCHR(status->st_mode) || AskDevice(fd, EVIOCGVERSION, &version) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void ReadDeviceName(int fd, char *name) {
  if (AskDevice(fd, EVIOCGNAME(kNameSize - 1), name) < 0) {
    name[0] = '\0';
  }
  name[kNameSize - 1] = '\0';
}

// The first chosen key set in `mask` and not in `before` (nullptr: none
// before), or -1.
int FirstChosenKeyIn(const HeldMask &mask, const HeldMask *before) {
  for (int i = 0; i < settings.key_count; ++i) {
    const int code = settings.keys[i];
    if (MaskHoldsCode(mask, code) && (before == nullptr || !MaskHoldsCode(*before, code))) {
      return code;
    }
  }
  return -1;
}

void ReportKey(int code, const char *how, const WatchedDevice &device) {
  const char *name = KeyName(code);
  char number[16];
  (void)std::snprintf(number, sizeof number, "key %d", code);
  (void)std::snprintf(report, sizeof report, "evwait-trigger: %s %s on %s (%s)",
                      name != nullptr ? name : number, how, device.node, device.name);
}

bool AlreadyWatched(dev_t node_number) {
  for (int i = 0; i < watched_count; ++i) {
    if (watched[i].node_number == node_number) {
      return true;
    }
  }
  return false;
}

// Starts watching `node` if it is an input event device of a chosen name
// with a chosen key. True when a chosen key is already down there and that
// counts (the report is written).
bool WatchDevice(const char *node) {
  if (watched_count == kMaxWatched) {
    return false;
  }
  struct stat status {};
  const int fd = OpenInputDevice(node, &status);
  if (fd < 0) {
    return false;
  }
  WatchedDevice &device = watched[watched_count];
  HeldMask keys = {};
  ReadDeviceName(fd, device.name);
  if (AlreadyWatched(status.st_rdev) || !DeviceNameCounts(settings, device.name) ||
      AskDevice(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) < 0 || FirstChosenKeyIn(keys, nullptr) < 0) {
    close(fd);
    return false;
  }
  device.fd = fd;
  device.node_number = status.st_rdev;
  (void)std::snprintf(device.node, sizeof device.node, "%s", node);
  std::memset(device.held_at_open, 0, sizeof device.held_at_open);
  // Asked after the open: a key that goes down in between shows both here and
  // as a press in the queue, and one that goes up leaves only a release.
  if (AskDevice(fd, EVIOCGKEY(sizeof device.held_at_open), device.held_at_open) < 0) {
    std::memset(device.held_at_open, 0, sizeof device.held_at_open);
  }
  ++watched_count;
  const int held = FirstChosenKeyIn(device.held_at_open, nullptr);
  if (settings.count_held && held >= 0) {
    ReportKey(held, "held", device);
    return true;
  }
  return false;
}

void ForgetDevice(int index) {
  close(watched[index].fd);
  watched[index] = watched[--watched_count];
}

long EventNumber(const dirent *entry) { return std::strtol(entry->d_name + 5, nullptr, 10); }

int ByEventNumber(const dirent **a, const dirent **b) {
  const long difference = EventNumber(*a) - EventNumber(*b);
  return difference < 0 ? -1 : (difference > 0 ? 1 : 0);
}

int EventNodeEntry(const dirent *entry) { return IsEventNodeName(entry->d_name) ? 1 : 0; }

// Calls `visit` on the path of each event node in the folder, in the order
// of their numbers, until it returns true. Returns how many there were, or
// -1 when the folder cannot be read.
template <typename Visit>
int ForEachEventNode(Visit visit) {
  dirent **entries = nullptr;
  const int count = scandir(kInputFolder, &entries, EventNodeEntry, ByEventNumber);
  bool done = false;
  for (int i = 0; i < count; ++i) {
    char node[kNodeSize];
    (void)std::snprintf(node, sizeof node, "%s/%s", kInputFolder, entries[i]->d_name);
    done = done || visit(node);
    std::free(entries[i]);
  }
  std::free(entries);
  return count;
}

// Every event node there is now. True when one of them already holds the
// trigger.
bool WatchFolder() {
  bool triggered = false;
  ForEachEventNode([&triggered](const char *node) { return triggered = WatchDevice(node); });
  return triggered;
}

// New nodes are told by inotify: on /dev/input, or on /dev until the folder
// appears. Set up before the folder is read, so that no node comes unseen
// between the two.
bool WatchInputFolder() {
  // IN_ATTRIB: a node the device manager makes readable only after creating it.
  return inotify_add_watch(inotify_fd, kInputFolder, IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR) >= 0;
}

void WatchForNewNodes() {
  inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_fd >= 0 && !WatchInputFolder()) {
    dev_watch = inotify_add_watch(inotify_fd, "/dev", IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
  }
}

// Reads what inotify told. True when a new device holds the trigger.
bool TakeNewNodes() {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t length = read(inotify_fd, buffer, sizeof buffer);
    if (length <= 0) {
      return false;
    }
    for (ssize_t at = 0; at < length;) {
      const auto *told = reinterpret_cast<const inotify_event *>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + told->len);
      if (told->len == 0) {
        continue;
      }
      if (told->wd == dev_watch && std::strcmp(told->name, "input") == 0) {
        inotify_rm_watch(inotify_fd, dev_watch);
        dev_watch = -1;
        if (WatchInputFolder() && WatchFolder()) {
          return true;
        }
      } else if (told->wd != dev_watch && IsEventNodeName(told->name)) {
        char node[kNodeSize];
        (void)std::snprintf(node, sizeof node, "%s/%s", kInputFolder, told->name);
        if (WatchDevice(node)) {
          return true;
        }
      }
    }
  }
}

// Reads the records waiting on watched[index]. True when one is a press of a
// chosen key. After SYN_DROPPED the kernel's queue overflowed and a press may
// be lost: a chosen key down now that was not down at the open counts.
bool TakeRecords(int index) {
  WatchedDevice &device = watched[index];
  input_event records[64];
  for (;;) {
    const ssize_t length = read(device.fd, records, sizeof records);
    if (length < 0 && errno == EINTR) {
      continue;
    }
    if (length <= 0) {
      if (length == 0 || errno != EAGAIN) {
        ForgetDevice(index);  // gone (ENODEV), or no longer readable
      }
      return false;
    }
    const int count = static_cast<int>(static_cast<size_t>(length) / sizeof(input_event));
    for (int i = 0; i < count; ++i) {
      if (IsChosenPress(settings, records[i])) {
        ReportKey(records[i].code, "pressed", device);
        return true;
      }
      if (records[i].type == EV_SYN && records[i].code == SYN_DROPPED) {
        HeldMask now = {};
        const int pressed = AskDevice(device.fd, EVIOCGKEY(sizeof now), now) < 0
                                ? -1
                                : FirstChosenKeyIn(now, &device.held_at_open);
        if (pressed >= 0) {
          ReportKey(pressed, "pressed", device);
          return true;
        }
      }
    }
  }
}

// Reads what the console holds: a whole line where the terminal is in its
// usual line mode, what was typed so far otherwise. One read per call, so
// that a line typed after the trigger is left to the next reader. False at
// the console's end, which then drops out of the wait.
bool TakeConsoleInput(bool *triggered) {
  char typed[128];
  const ssize_t length = read(STDIN_FILENO, typed, sizeof typed);
  if (length < 0) {
    return errno == EINTR || errno == EAGAIN;
  }
  for (ssize_t i = 0; i < length; ++i) {
    if (typed[i] != '\n' && typed[i] != '\r') {
      console_line_too_long = console_line_too_long || console_length == sizeof console_line;
      if (!console_line_too_long) {
        console_line[console_length++] = typed[i];
      }
      continue;
    }
    if (!console_line_too_long && IsConsoleKeyLine(settings, console_line, console_length)) {
      if (settings.any_line) {
        (void)std::snprintf(report, sizeof report, "evwait-trigger: a line typed on the console");
      } else {
        (void)std::snprintf(report, sizeof report, "evwait-trigger: %s typed on the console",
                            settings.console_key);
      }
      *triggered = true;
      return true;
    }
    console_length = 0;
    console_line_too_long = false;
  }
  return length > 0;
}

// Waits until the trigger comes or `deadline` passes, blocked in poll(): no
// time is spent while nothing happens. Descriptors: the devices, then the new
// nodes' watch, then the console.
Outcome Wait(long long deadline, bool console) {
  for (;;) {
    pollfd waiting[kMaxWatched + 2];
    int count = 0;
    for (int i = 0; i < watched_count; ++i) {
      waiting[count++] = pollfd{watched[i].fd, POLLIN, 0};
    }
    const int first_other = count;
    if (inotify_fd >= 0) {
      waiting[count++] = pollfd{inotify_fd, POLLIN, 0};
    }
    if (console) {
      waiting[count++] = pollfd{STDIN_FILENO, POLLIN, 0};
    }
    const long long left = deadline - NowMilliseconds();
    const int ready = poll(waiting, static_cast<nfds_t>(count), left > 0 ? static_cast<int>(left) : 0);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return kWindowPassed;  // the window passed, or poll() failed: the boot goes on
    }
    // From the last device down, so that a device forgotten on the way moves
    // only one already looked at.
    for (int i = first_other - 1; i >= 0; --i) {
      if (waiting[i].revents != 0 && TakeRecords(i)) {
        return kTriggered;
      }
    }
    int other = first_other;
    if (inotify_fd >= 0 && waiting[other++].revents != 0 && TakeNewNodes()) {
      return kTriggered;
    }
    if (console && waiting[other].revents != 0) {
      bool triggered = false;
      console =
          TakeConsoleInput(&triggered) && (waiting[other].revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
      if (triggered) {
        return kTriggered;
      }
    }
  }
}

// The keys of one device, by name, after `label`.
void ListKeys(const char *label, const HeldMask &mask) {
  (void)std::printf("  %s:", label);
  int listed = 0;
  for (int code = NextHeldCode(mask, -1); code >= 0 && code <= KEY_MAX; code = NextHeldCode(mask, code)) {
    const char *name = KeyName(code);
    if (name != nullptr) {
      (void)std::printf(" %s", name);
    } else {
      (void)std::printf(" %d", code);
    }
    ++listed;
  }
  (void)std::printf("%s\n", listed == 0 ? " none" : "");
}

void ListNode(const char *node) {
  struct stat status {};
  const int fd = OpenInputDevice(node, &status);
  if (fd < 0) {
    (void)std::printf("%s: %s\n", node, errno == EACCES ? "not readable here" : "not an input event device");
    return;
  }
  char name[kNameSize];
  ReadDeviceName(fd, name);
  (void)std::printf("%s: \"%s\"\n", node, name);
  HeldMask keys = {};
  HeldMask held = {};
  if (AskDevice(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) < 0) {
    std::memset(keys, 0, sizeof keys);
  }
  if (AskDevice(fd, EVIOCGKEY(sizeof held), held) < 0) {
    std::memset(held, 0, sizeof held);
  }
  close(fd);
  ListKeys("keys", keys);
  ListKeys("held", held);
}

// One block per event node, in the order of their numbers. Status 0 when
// there is any, 1 when there is none.
int ListDevices() {
  if (ForEachEventNode([](const char *node) {
        ListNode(node);
        return false;
      }) <= 0) {
    (void)std::printf("no input event devices in %s\n", kInputFolder);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  IgnoreBrokenConsole();
  char why[256];
  if (!ParseTriggerArguments(argc, argv, &settings, why, sizeof why)) {
    (void)std::fprintf(stderr, "%s\n", why);
    return kUsage;
  }
  if (settings.list) {
    return ListDevices();
  }
  const long long deadline = NowMilliseconds() + settings.window_seconds * 1000LL;
  WatchForNewNodes();
  const bool held = WatchFolder();
  char prompt[512];
  if (settings.prompt == nullptr) {
    DescribeTrigger(settings, prompt, sizeof prompt);
  }
  (void)std::printf("%s\n", settings.prompt != nullptr ? settings.prompt : prompt);
  (void)std::fflush(stdout);
  Outcome outcome = kTriggered;
  if (!held) {
    const bool console = settings.console_key != nullptr && isatty(STDIN_FILENO) == 1;
    outcome = Wait(deadline, console);
  }
  if (outcome == kTriggered) {
    (void)std::printf("%s\n", report);
  }
  (void)std::fflush(stdout);
  return outcome;
}
