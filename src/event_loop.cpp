// SPDX-License-Identifier: MIT
#include <linux/input.h>
#include <sys/select.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <iostream>

#include "evwait.h"

// One read takes one whole record in the kernel's layout. On the 32-bit target
// that is 16 bytes: time at 0, type at 8, code at 10, value at 12; a toolchain
// that disagrees would print and multiply the wrong bytes.
static_assert(sizeof(void *) != 4 ||
                  (sizeof(input_event) == 16 && offsetof(input_event, type) == 8 &&
                   offsetof(input_event, code) == 10 && offsetof(input_event, value) == 12),
              "input_event on a 32-bit target must be 16 bytes: type at 8, code at 10, value at 12");

std::atomic<int32_t> ret_value{-1};

namespace {

// Guards worker_ended: the worker sets it as its very last step, the driver
// reads it in the same critical section as its cancellation request.
pthread_mutex_t end_lock = PTHREAD_MUTEX_INITIALIZER;
bool worker_ended = false;

// The highest descriptor a select() read set can hold.
constexpr int32_t kHighestWatchedFd = FD_SETSIZE - 1;

bool IsWatched(int32_t s32Fd) { return s32Fd >= 0 && s32Fd <= kHighestWatchedFd; }

bool IsReady(int32_t s32Fd, fd_set *readfds) { return IsWatched(s32Fd) && FD_ISSET(s32Fd, readfds); }

// First ready device in the order event0, event1, event2, or -1.
int32_t FirstReadyDevice(fd_set *readfds) {
  for (int32_t s32Fd : {kbd_fd, kbd5_fd, kbd_volume_fd}) {
    if (IsReady(s32Fd, readfds)) {
      return s32Fd;
    }
  }
  return -1;
}

// Formed without sign so that the wrap modulo 2^32 is defined.
int32_t EventProduct(const input_event &iebuf) {
  uint32_t product = uint32_t{iebuf.code} * uint32_t{iebuf.type} * static_cast<uint32_t>(iebuf.value);
  return static_cast<int32_t>(product);
}

void ReportOneRecord(int32_t s32Fd) {
  input_event iebuf{};
  // A short read, end of file or an error leaves nothing worth reporting.
  if (read(s32Fd, &iebuf, sizeof iebuf) != static_cast<ssize_t>(sizeof iebuf)) {
    return;
  }
  // Standard output stays locked from the line to the store of its product,
  // which SettledResult waits for: the process ends either after both or
  // before either, never with half a line.
  flockfile(stdout);
  std::cout << "iebuf.code=" << iebuf.code << " iebuf.type=" << iebuf.type << " iebuf.value=" << iebuf.value
            << std::endl;
  ret_value.store(EventProduct(iebuf));
  funlockfile(stdout);
}

void WaitForOneEvent() {
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);

  int iMaxfd = kbd_fd > kbd5_fd ? kbd_fd : kbd5_fd;
  if (iMaxfd < kbd_volume_fd) {
    iMaxfd = kbd_volume_fd;
  }
  pthread_testcancel();

  fd_set readfds;
  FD_ZERO(&readfds);
  for (int32_t s32Fd : {kbd_fd, kbd5_fd, kbd_volume_fd}) {
    if (IsWatched(s32Fd)) {
      FD_SET(s32Fd, &readfds);
    }
  }
  // Descriptors above the set's capacity were left out, so the count never
  // needs to reach past it either.
  int nfds = iMaxfd < kHighestWatchedFd ? iMaxfd + 1 : FD_SETSIZE;
  int iRet = select(nfds, &readfds, nullptr, nullptr, nullptr);
  if (iRet <= 0) {
    return;
  }

  // From here on a record that is read is reported whole.
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  int32_t s32Fd = FirstReadyDevice(&readfds);
  if (s32Fd < 0) {
    flockfile(stdout);
    std::cout << "no key \n" << std::endl;
    funlockfile(stdout);
    return;
  }
  ReportOneRecord(s32Fd);
}

}  // namespace

void *EventLoop(void * /*unused*/) {
  pthread_detach(pthread_self());
  WaitForOneEvent();
  pthread_mutex_lock(&end_lock);
  worker_ended = true;
  pthread_mutex_unlock(&end_lock);
  return nullptr;
}

bool CancelEventLoopIfRunning(pthread_t tidp) {
  pthread_mutex_lock(&end_lock);
  bool running = !worker_ended;
  if (running) {
    pthread_cancel(tidp);
  }
  pthread_mutex_unlock(&end_lock);
  return running;
}

int32_t SettledResult() {
  flockfile(stdout);
  return ret_value.load();
}
