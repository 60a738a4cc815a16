// SPDX-License-Identifier: MIT
// State and entry points shared by the driver, the input device set and the
// event wait thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

// Descriptors of /dev/input/event0, event1 and event2, or -1 when the open
// failed. Written by the main thread before the worker exists, then only read.
extern int32_t kbd_fd;
extern int32_t kbd5_fd;
extern int32_t kbd_volume_fd;

// code * type * value of the one event read, or -1 while none was recorded.
extern std::atomic<int32_t> ret_value;

int32_t InitKeyboard(const char *pszDev);
void InitAllKeys();
void CloseAllKeys();

void *EventLoop(void *);

// Sends a cancellation request to the event wait thread `tidp` unless that
// thread has already ended; returns whether a request was sent. The check and
// the request happen under the lock the worker takes to mark its own end, so
// the request can never reach a thread that is gone.
bool CancelEventLoopIfRunning(pthread_t tidp);

// The driver's last step: waits for an event line the worker has begun to be
// written with its product, then returns ret_value. Standard output stays
// locked by the caller, so no line can begin afterwards and the console shows
// an event exactly when the exit status carries it.
int32_t SettledResult();
