// SPDX-License-Identifier: MIT
#include <linux/input.h>
#include <pthread.h>
#include <sys/select.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <initializer_list>

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

// Held by the worker from the moment its wait returns until it ends, so around
// the read, the line and the store of the product. The driver
// takes it at the end of the window and never gives it back: a worker that
// wakes after that blocks here and never reads a descriptor being closed.
pthread_mutex_t report_lock = PTHREAD_MUTEX_INITIALIZER;

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
  // The line is for a person watching; whether the console took it does not
  // change the result.
  std::printf("iebuf.code=%u iebuf.type=%u iebuf.value=%d\n", static_cast<unsigned>(iebuf.code),
              static_cast<unsigned>(iebuf.type), static_cast<int>(iebuf.value));
  (void)std::fflush(stdout);
  ret_value.store(EventProduct(iebuf));
}

// Blocks until a watched device is readable; true with `readfds` holding the
// ready ones, false when the wait failed. The thread stays cancellable in its
// wait, as a waiting thread should be, though evwait's own driver ends it with
// the process instead.
bool WaitForReadyDevice(fd_set *readfds) {
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);

  int iMaxfd = kbd_fd > kbd5_fd ? kbd_fd : kbd5_fd;
  if (iMaxfd < kbd_volume_fd) {
    iMaxfd = kbd_volume_fd;
  }
  pthread_testcancel();

  FD_ZERO(readfds);
  for (int32_t s32Fd : {kbd_fd, kbd5_fd, kbd_volume_fd}) {
    if (IsWatched(s32Fd)) {
      FD_SET(s32Fd, readfds);
    }
  }
  // Descriptors above the set's capacity were left out, so the count never
  // needs to reach past it either.
  int nfds = iMaxfd < kHighestWatchedFd ? iMaxfd + 1 : FD_SETSIZE;
  int iRet = select(nfds, readfds, nullptr, nullptr, nullptr);
  return iRet > 0;
}

void ReportFirstReady(fd_set *readfds) {
  int32_t s32Fd = FirstReadyDevice(readfds);
  if (s32Fd < 0) {
    (void)std::fputs("no key \n\n", stdout);
    (void)std::fflush(stdout);
    return;
  }
  ReportOneRecord(s32Fd);
}

}  // namespace

void *EventLoop(void * /*unused*/) {
  pthread_detach(pthread_self());
  fd_set readfds;
  bool ready = WaitForReadyDevice(&readfds);
  pthread_mutex_lock(&report_lock);
  if (ready) {
    ReportFirstReady(&readfds);
  }
  pthread_mutex_unlock(&report_lock);
  return nullptr;
}

void StopEventLoopReading() { pthread_mutex_lock(&report_lock); }
