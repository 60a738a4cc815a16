// SPDX-License-Identifier: MIT
// evwait-held: which keys and buttons of /dev/input/event0, event1 and event2
// are down at this moment, as the kernel's EVIOCGKEY answers. A key held since
// before the start sends no event, so evwait cannot see it; its state can be
// asked. Exit status 0 when any is held, 1 when none, 2 when no device could
// be opened. Nothing here waits: the opens do not block and the question is
// answered at once.
#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "held_keys.h"

namespace {

constexpr const char *kDevices[] = {"/dev/input/event0", "/dev/input/event1", "/dev/input/event2"};

// Prints one line per key or button held on the device open on `fd`, and
// returns how many. A node that is no input event device (a FIFO, a folder,
// another character device) refuses the request and holds nothing.
int ReportHeldKeys(const char *pszDev, int fd) {
  HeldMask mask = {};
  if (AskDevice(fd, EVIOCGKEY(sizeof mask), mask) < 0) {
    return 0;
  }
  int held = 0;
  for (int code = NextHeldCode(mask, -1); code >= 0; code = NextHeldCode(mask, code)) {
    (void)std::printf("held:%s code=%d\n", pszDev, code);
    ++held;
  }
  return held;
}

// A console whose reader has gone away must not end the run: the exit status
// is what the caller acts on, the lines are only for a person.
void IgnoreBrokenConsole() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace

int main(int /*argc*/, char ** /*argv*/) {
  IgnoreBrokenConsole();
  bool opened = false;
  bool held = false;
  for (const char *pszDev : kDevices) {
    // Without blocking: a FIFO nobody writes to opens at once all the same.
    int fd = open(pszDev, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
      continue;
    }
    opened = true;
    held = ReportHeldKeys(pszDev, fd) > 0 || held;
    close(fd);
  }
  (void)std::fflush(stdout);
  if (!opened) {
    (void)std::fputs("evwait-held: no input device could be opened\n", stderr);
    return 2;
  }
  return held ? 0 : 1;
}
