// SPDX-License-Identifier: MIT
// What the end-to-end table cannot reach: a null path, and the cancellation
// decision at the moments a whole run cannot stop at on purpose. Each test runs
// in a process of its own (ctest runs them so), since the worker's end is
// process-wide state.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "evwait.h"

namespace {

void WriteRecord(int fd, uint16_t type, uint16_t code, int32_t value) {
  input_event iebuf{};
  iebuf.type = type;
  iebuf.code = code;
  iebuf.value = value;
  EXPECT_EQ(write(fd, &iebuf, sizeof iebuf), static_cast<ssize_t>(sizeof iebuf));
}

int32_t DeviceWithRecord(uint16_t type, uint16_t code, int32_t value) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  WriteRecord(fds[1], type, code, value);
  return fds[0];
}

template <typename Condition>
bool Eventually(Condition condition) {
  for (int i = 0; i < 500 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return condition();
}

TEST(InitKeyboard, NullPathGivesMinusOneAndNoLine) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(InitKeyboard(nullptr), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Cancellation, WaitingWorkerIsCancelled) {
  int device[2];
  ASSERT_EQ(pipe(device), 0);
  kbd_fd = device[0];
  kbd5_fd = kbd_volume_fd = -1;
  pthread_t tidp;
  ASSERT_EQ(pthread_create(&tidp, nullptr, EventLoop, nullptr), 0);
  EXPECT_TRUE(CancelEventLoopIfRunning(tidp));
  // A worker that was really cancelled leaves a later record unread.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  WriteRecord(device[1], 1, 30, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int unread = -1;
  EXPECT_EQ(ioctl(kbd_fd, FIONREAD, &unread), 0);
  EXPECT_EQ(unread, static_cast<int>(sizeof(input_event)));
  EXPECT_EQ(ret_value.load(), -1);
}

TEST(Cancellation, EndedWorkerIsNotCancelled) {
  kbd_fd = DeviceWithRecord(1, 30, -1);
  kbd5_fd = kbd_volume_fd = -1;
  // EventLoop ends on a thread that then asks to cancel itself: a request that
  // reached the ended worker would end that thread before it reports back. (Not
  // on the test's main thread: ThreadSanitizer cannot detach a thread it did not
  // see created.)
  static std::atomic<bool> survived{false};
  pthread_t tidp;
  auto worker_then_cancel = [](void *) -> void * {
    EventLoop(nullptr);
    EXPECT_FALSE(CancelEventLoopIfRunning(pthread_self()));
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);  // EventLoop leaves it off after a read
    pthread_testcancel();
    survived = true;
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&tidp, nullptr, worker_then_cancel, nullptr), 0);
  EXPECT_TRUE(Eventually([] { return survived.load(); }));
  EXPECT_EQ(ret_value.load(), -30);
}

// The worker is made to block half way through its line on a full console;
// the cancellation request and the driver's last read come then. Nothing is
// asserted while standard output is that pipe, or gtest's own output would block.
TEST(Cancellation, LineBeingWrittenIsFinishedAndCounted) {
  int console[2];
  ASSERT_EQ(pipe(console), 0);
  fcntl(console[1], F_SETFL, O_NONBLOCK);
  while (write(console[1], "#", 1) == 1) {
  }
  fcntl(console[1], F_SETFL, 0);
  fflush(stdout);
  int saved_stdout = dup(STDOUT_FILENO);
  dup2(console[1], STDOUT_FILENO);

  kbd_fd = DeviceWithRecord(1, 30, 1);
  kbd5_fd = kbd_volume_fd = -1;
  pthread_t tidp;
  bool started = pthread_create(&tidp, nullptr, EventLoop, nullptr) == 0;
  bool worker_writing = started && Eventually([] {
                          bool locked_elsewhere = ftrylockfile(stdout) != 0;
                          if (!locked_elsewhere) funlockfile(stdout);
                          return locked_elsewhere;
                        });
  bool cancel_sent = worker_writing && CancelEventLoopIfRunning(tidp);

  static std::atomic<int64_t> settled{INT64_MIN};
  std::thread([] {
    settled = SettledResult();
    funlockfile(stdout);  // the program would end here; the test goes on printing
  }).detach();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int64_t settled_while_writing = settled.load();

  std::string console_text;
  char chunk[4096];
  pollfd readable{console[0], POLLIN, 0};
  while (console_text.find('\n') == std::string::npos && poll(&readable, 1, 5000) == 1) {
    ssize_t n = read(console[0], chunk, sizeof chunk);
    if (n <= 0) break;
    console_text.append(chunk, static_cast<size_t>(n));
  }
  bool settled_after = Eventually([] { return settled.load() != INT64_MIN; });
  dup2(saved_stdout, STDOUT_FILENO);

  ASSERT_TRUE(worker_writing);
  EXPECT_TRUE(cancel_sent);
  EXPECT_EQ(settled_while_writing, INT64_MIN) << "the last read did not wait for the line";
  EXPECT_TRUE(settled_after);
  EXPECT_EQ(settled.load(), 30);
  EXPECT_NE(console_text.find("iebuf.code=30 iebuf.type=1 iebuf.value=1\n"), std::string::npos);
}

}  // namespace
