/* SPDX-License-Identifier: MIT */
/* A yardstick for the cost benchmark: a plain C program, dynamically linked,
 * that behaves as evwait does in the runs the benchmark makes (three devices,
 * one key press or none). It opens the devices and reports each open, waits in
 * a second thread with select, reads and prints one record, and exits after
 * five seconds with code * type * value, or 255. */
#include <fcntl.h>
#include <linux/input.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <sys/select.h>
#include <unistd.h>

static int fds[3];
static atomic_int result = -1;
/* As evwait: the worker reads and reports under this lock, and main takes it
 * for good at the end of the window, so no record is read after it. */
static pthread_mutex_t report = PTHREAD_MUTEX_INITIALIZER;

static void *wait_for_one_event(void *unused) {
  (void)unused;
  fd_set ready;
  FD_ZERO(&ready);
  int highest = -1;
  for (int i = 0; i < 3; i++) {
    if (fds[i] >= 0 && fds[i] < FD_SETSIZE) {
      FD_SET(fds[i], &ready);
      highest = fds[i] > highest ? fds[i] : highest;
    }
  }
  if (select(highest + 1, &ready, NULL, NULL, NULL) <= 0) {
    return NULL;
  }
  pthread_mutex_lock(&report);
  struct input_event ev;
  for (int i = 0; i < 3; i++) {
    if (fds[i] >= 0 && fds[i] < FD_SETSIZE && FD_ISSET(fds[i], &ready)) {
      if (read(fds[i], &ev, sizeof ev) == (ssize_t)sizeof ev) {
        printf("iebuf.code=%u iebuf.type=%u iebuf.value=%d\n", ev.code, ev.type, ev.value);
        fflush(stdout);
        result = (int)((unsigned)ev.code * ev.type * (unsigned)ev.value);
      }
      break;
    }
  }
  pthread_mutex_unlock(&report);
  return NULL;
}

int main(void) {
  /* As evwait: a console whose reader went away must not end the run. */
  signal(SIGPIPE, SIG_IGN);
  char path[] = "/dev/input/event0";
  for (int i = 0; i < 3; i++) {
    path[sizeof path - 2] = (char)('0' + i);
    /* As evwait: opened without blocking (a FIFO with no writer cannot hold
       the run), then read in blocking mode. */
    fds[i] = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fds[i] >= 0) {
      int flags = fcntl(fds[i], F_GETFL);
      if (flags >= 0) {
        fcntl(fds[i], F_SETFL, flags & ~O_NONBLOCK);
      }
    }
    printf("open %s:%s\n", fds[i] >= 0 ? "successfully" : "failed", path);
    fflush(stdout);
  }
  /* Never joined nor cancelled, as in evwait: the end of the process ends it. */
  pthread_t worker;
  pthread_create(&worker, NULL, wait_for_one_event, NULL);
  sleep(5);
  pthread_mutex_lock(&report);
  for (int i = 0; i < 3; i++) {
    if (fds[i] >= 0) {
      close(fds[i]);
    }
  }
  return result;
}
