// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "evwait.h"

int32_t kbd_fd = 0;
int32_t kbd5_fd = 0;
int32_t kbd_volume_fd = 0;

int32_t InitKeyboard(const char *pszDev) {
  if (pszDev == nullptr) {
    return -1;
  }
  // Blocking mode on purpose: the worker reads exactly one whole record.
  int32_t s32Fd = open(pszDev, O_RDONLY | O_NOCTTY);
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
