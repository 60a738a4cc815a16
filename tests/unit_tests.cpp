// SPDX-License-Identifier: MIT
// What the end-to-end table cannot reach: a null path, and the driver's end of
// the window at the moments a whole run cannot stop at on purpose. Each case
// runs in a child process of its own, since ret_value and the lock the driver
// never gives back are process-wide: the binary can be run alone, repeated or
// shuffled.
#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

// The read end of a new pipe; its write end goes to *writer.
int32_t Device(int *writer) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  *writer = fds[1];
  return fds[0];
}

int32_t DeviceWithRecord(uint16_t type, uint16_t code, int32_t value) {
  int writer = -1;
  int32_t reader = Device(&writer);
  WriteRecord(writer, type, code, value);
  return reader;
}

int UnreadBytes(int fd) {
  int unread = -1;
  EXPECT_EQ(ioctl(fd, FIONREAD, &unread), 0);
  return unread;
}

template <typename Condition>
bool Eventually(Condition condition) {
  for (int i = 0; i < 500 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return condition();
}

// The worker, started through a wrapper that makes its thread id known.
std::atomic<pid_t> worker_tid{0};

bool StartWorker(pthread_t *tidp) {
  auto entry = [](void *) -> void * {
    worker_tid = gettid();
    return EventLoop(nullptr);
  };
  return pthread_create(tidp, nullptr, entry, nullptr) == 0 && Eventually([] { return worker_tid != 0; });
}

char WorkerState() {
  std::ifstream stat("/proc/self/task/" + std::to_string(worker_tid.load()) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t end_of_name = text.rfind(')');
  return end_of_name == std::string::npos || end_of_name + 2 >= text.size() ? '?' : text[end_of_name + 2];
}

// Nothing on the worker's way to its wait, or to the lock after it, sleeps: a
// worker seen asleep several times in a row is blocked in one of those.
bool WorkerBlocked() {
  for (int i = 0; i < 3; ++i) {
    if (WorkerState() != 'S') return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Runs `body`, writes its failures to standard error (the parent shows them)
// and ends the process with 1 when there were any.
void RunAndExit(void (*body)()) {
  testing::TestPartResultArray results;
  {
    testing::ScopedFakeTestPartResultReporter reporter(
        testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
    body();
  }
  bool failed = false;
  for (int i = 0; i < results.size(); ++i) {
    const testing::TestPartResult &result = results.GetTestPartResult(i);
    if (result.failed()) {
      std::fprintf(stderr, "%s:%d: %s\n", result.file_name() ? result.file_name() : "?", result.line_number(),
                   result.message());
      failed = true;
    }
  }
  std::fflush(stdout);
  std::_Exit(failed ? 1 : 0);
}

// Runs `body` in a forked child; its failures fail the case here.
void InOwnProcess(void (*body)()) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(RunAndExit(body), testing::ExitedWithCode(0), "");
}

TEST(InitKeyboard, NullPathGivesMinusOneAndNoLine) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(InitKeyboard(nullptr), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// A FIFO that no writer opens must not hold the open; what comes back reads
// in blocking mode, as an evdev device does.
TEST(InitKeyboard, FifoWithoutWriterOpensAtOnceForBlockingReads) {
  char dir[] = "/tmp/evwait-fifo-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/event0";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  testing::internal::CaptureStdout();
  int32_t s32Fd = InitKeyboard(path.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "open successfully:" + path + "\n");
  ASSERT_GE(s32Fd, 0);
  EXPECT_EQ(fcntl(s32Fd, F_GETFL) & O_NONBLOCK, 0);
  close(s32Fd);
  unlink(path.c_str());
  rmdir(dir);
}

// A record that becomes readable after the driver's stop stays unread: the
// devices may be closed then without a read under way on any of them.
TEST(Stop, WorkerWakingAfterTheStopReadsNothing) {
  InOwnProcess([] {
    StopEventLoopReading();
    kbd_fd = DeviceWithRecord(1, 30, 1);
    kbd5_fd = kbd_volume_fd = -1;
    pthread_t tidp;
    ASSERT_TRUE(StartWorker(&tidp));
    EXPECT_TRUE(Eventually(WorkerBlocked)) << "the worker did not wait for the lock";
    EXPECT_EQ(UnreadBytes(kbd_fd), static_cast<int>(sizeof(input_event)));
    EXPECT_EQ(ret_value.load(), -1);
  });
}

// The worst wait the stop can meet: the worker blocked half way through its
// line on a full console. The stop waits for the line, which is then whole and
// counted, negative product included. Nothing is asserted while standard
// output is that pipe, or gtest's own output would block.
TEST(Stop, LineBeingWrittenIsFinishedAndCounted) {
  InOwnProcess([] {
    int console[2];
    ASSERT_EQ(pipe(console), 0);
    fcntl(console[1], F_SETFL, O_NONBLOCK);
    while (write(console[1], "#", 1) == 1) {
    }
    fcntl(console[1], F_SETFL, 0);
    fflush(stdout);
    int saved_stdout = dup(STDOUT_FILENO);
    dup2(console[1], STDOUT_FILENO);

    kbd_fd = DeviceWithRecord(1, 30, -1);
    kbd5_fd = kbd_volume_fd = -1;
    pthread_t tidp;
    bool worker_writing = StartWorker(&tidp) && Eventually([] { return UnreadBytes(kbd_fd) == 0; }) &&
                          Eventually(WorkerBlocked);

    static std::atomic<int64_t> settled{INT64_MIN};
    std::thread([] {  // the driver's end of the window
      StopEventLoopReading();
      settled = ret_value.load();
    })
        .detach();
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
    EXPECT_EQ(settled_while_writing, INT64_MIN) << "the stop did not wait for the line";
    EXPECT_TRUE(settled_after);
    EXPECT_EQ(settled.load(), -30);
    EXPECT_NE(console_text.find("iebuf.code=30 iebuf.type=1 iebuf.value=-1\n"), std::string::npos);
  });
}

}  // namespace
