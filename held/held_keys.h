// SPDX-License-Identifier: MIT
// The key bit mask of an input event device, as EVIOCGKEY fills it, and the
// codes it holds.
#pragma once

#include <linux/input.h>

#include <climits>

// The kernel keeps the mask in unsigned long words and copies them out as
// they are: bit n of word w is key code w * kHeldBitsPerWord + n.
constexpr int kHeldBitsPerWord = static_cast<int>(sizeof(unsigned long) * CHAR_BIT);
// Room for every code up to KEY_MAX, buttons included.
constexpr int kHeldMaskWords = (KEY_MAX + kHeldBitsPerWord) / kHeldBitsPerWord;
using HeldMask = unsigned long[kHeldMaskWords];

// The lowest code above `after` whose bit is set in `mask`, or -1 when there
// is none; any negative `after` starts at code 0.
inline int NextHeldCode(const HeldMask &mask, int after) {
  for (int code = after < 0 ? 0 : after + 1; code < kHeldMaskWords * kHeldBitsPerWord; ++code) {
    if (((mask[code / kHeldBitsPerWord] >> (code % kHeldBitsPerWord)) & 1UL) != 0) {
      return code;
    }
  }
  return -1;
}
