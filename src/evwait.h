// SPDX-License-Identifier: MIT
// State and entry points shared by the driver, the input device set and the
// event wait thread.
#pragma once

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

// The driver's first step at the end of the window: waits until the worker
// has finished a record it is reading or printing, then keeps it from reading
// any other. The lock taken here is never released, so from this point to the
// end of the process the devices may be closed and the result read without
// the worker touching either, and the console shows an event exactly when the
// exit status carries it.
void StopEventLoopReading();
