// SPDX-License-Identifier: MIT
// The key bit masks of an input event device, as EVIOCGKEY (keys down) and
// EVIOCGBIT (keys it has) fill them, the codes they hold, and the ioctl() that
// asks for them.
#pragma once

#include <linux/input.h>
#include <sys/ioctl.h>

#include <climits>

// The kernel keeps the mask in unsigned long words and copies them out as
// they are: bit n of word w is key code w * kHeldBitsPerWord + n.
constexpr int kHeldBitsPerWord = static_cast<int>(sizeof(unsigned long) * CHAR_BIT);
// Room for every code up to KEY_MAX, buttons included.
constexpr int kHeldMaskWords = (KEY_MAX + kHeldBitsPerWord) / kHeldBitsPerWord;
using HeldMask = unsigned long[kHeldMaskWords];

// Whether the bit of key `code` (0 to KEY_MAX) is set in `mask`.
inline bool MaskHoldsCode(const HeldMask &mask, int code) {
  return ((mask[code / kHeldBitsPerWord] >> (code % kHeldBitsPerWord)) & 1UL) != 0;
}

// The lowest code above `after` whose bit is set in `mask`, or -1 when there
// is none; any negative `after` starts at code 0.
inline int NextHeldCode(const HeldMask &mask, int after) {
  for (int code = after < 0 ? 0 : after + 1; code < kHeldMaskWords * kHeldBitsPerWord; ++code) {
    if (MaskHoldsCode(mask, code)) {
      return code;
    }
  }
  return -1;
}

// ioctl() with the request in the type the C library declares: unsigned long
// in glibc, int in musl (as POSIX has it). The kernel takes the low 32 bits
// either way, so the cast to musl's int loses nothing.
template <typename Request>
int AskDeviceWith(int (*call)(int, Request, ...), int fd, unsigned long request, void *buffer) {
  return call(fd, static_cast<Request>(request), buffer);
}

inline int AskDevice(int fd, unsigned long request, void *buffer) {
  return AskDeviceWith(ioctl, fd, request, buffer);
}
