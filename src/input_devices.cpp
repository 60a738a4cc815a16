// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "evwait.h"

int32_t kbd_fd = 0;
int32_t kbd5_fd = 0;
int32_t kbd_volume_fd = 0;

static void RestoreBlockingReads(int32_t s32Fd) {
  int flags = fcntl(s32Fd, F_GETFL);
  if (flags >= 0) {
    (void)fcntl(s32Fd, F_SETFL, flags & ~O_NONBLOCK);
  }
}

int32_t InitKeyboard(const char *pszDev) {
  if (pszDev == nullptr) {
    return -1;
  }
  // Opened without blocking, so that a FIFO with no writer cannot hold the
  // run in open(); reads then block again, as the worker reads exactly one
  // whole record. An evdev device behaves the same either way.
  int32_t s32Fd = open(pszDev, O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (s32Fd >= 0) {
    RestoreBlockingReads(s32Fd);
  }
  // A console that fails to take the line changes nothing else in the run.
  std::printf("%s%s\n", s32Fd >= 0 ? "open successfully:" : "open failed:", pszDev);
  (void)std::fflush(stdout);
  return s32Fd;
}

void InitAllKeys() {
  kbd_fd = InitKeyboard("/dev/input/event0");
  kbd5_fd = InitKeyboard("/dev/input/event1");
  kbd_volume_fd = InitKeyboard("/dev/input/event2");
}

static void CloseIfOpen(int32_t s32Fd) {
  if (s32Fd >= 0) {
    close(s32Fd);
  }
}

void CloseAllKeys() {
  CloseIfOpen(kbd_fd);
  CloseIfOpen(kbd5_fd);
  CloseIfOpen(kbd_volume_fd);
}
