// What the end-to-end table cannot reach: a null path, and the cancellation
// decision at the moments a whole run cannot stop at on purpose. Each test runs
// in a process of its own, since the worker's end is process-wide state.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "evwait.h"

namespace {

int32_t DeviceWithRecord(uint16_t type, uint16_t code, int32_t value) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  input_event iebuf{};
  iebuf.type = type;
  iebuf.code = code;
  iebuf.value = value;
  EXPECT_EQ(write(fds[1], &iebuf, sizeof iebuf), static_cast<ssize_t>(sizeof iebuf));
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
  kbd_fd = kbd5_fd = kbd_volume_fd = -1;
  pthread_t tidp;
  ASSERT_EQ(pthread_create(&tidp, nullptr, EventLoop, nullptr), 0);
  EXPECT_TRUE(CancelEventLoopIfRunning(tidp));
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

TEST(Cancellation, RecordBeingReportedIsNotCutShort) {
  int console[2];
  ASSERT_EQ(pipe(console), 0);
  fcntl(console[1], F_SETFL, O_NONBLOCK);
  while (write(console[1], "#", 1) == 1) {
  }
  fcntl(console[1], F_SETFL, 0);
  int saved_stdout = dup(STDOUT_FILENO);
  dup2(console[1], STDOUT_FILENO);  // the worker's line now blocks on a full console

  kbd_fd = DeviceWithRecord(1, 30, 1);
  kbd5_fd = kbd_volume_fd = -1;
  pthread_t tidp;
  ASSERT_EQ(pthread_create(&tidp, nullptr, EventLoop, nullptr), 0);
  ASSERT_TRUE(Eventually([] {
    int unread = -1;
    return ioctl(kbd_fd, FIONREAD, &unread) == 0 && unread == 0;
  }));
  EXPECT_TRUE(CancelEventLoopIfRunning(tidp));  // arrives while the record is being reported

  std::string console_text;
  char chunk[4096];
  while (console_text.find('\n') == std::string::npos) {
    ssize_t n = read(console[0], chunk, sizeof chunk);
    ASSERT_GT(n, 0);
    console_text.append(chunk, static_cast<size_t>(n));
  }
  EXPECT_TRUE(Eventually([] { return ret_value.load() == 30; }));
  dup2(saved_stdout, STDOUT_FILENO);
  EXPECT_NE(console_text.find("iebuf.code=30 iebuf.type=1 iebuf.value=1\n"), std::string::npos);
}

}  // namespace
