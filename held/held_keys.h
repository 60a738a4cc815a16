// SPDX-License-Identifier: MIT
// The key bit mask of an input event device, as EVIOCGKEY fills it, and the
// codes it holds.
#pragma once

#include <linux/input.h>

#include <climits>
#include <cstddef>

// The kernel keeps the mask in unsigned long words and copies them out as
// they are: bit n of word w is key code w * kHeldBitsPerWord + n.
constexpr std::size_t kHeldBitsPerWord = sizeof(unsigned long) * CHAR_BIT;
// Room for every code up to KEY_MAX, buttons included.
constexpr std::size_t kHeldMaskWords = (KEY_MAX + 1 + kHeldBitsPerWord - 1) / kHeldBitsPerWord;

// The lowest code above `after` whose bit is set in the first `words` words
// of `mask`, or -1 when there is none; `after` -1 starts at code 0.
inline int NextHeldCode(const unsigned long *mask, std::size_t words, int after) {
  for (auto code = static_cast<std::size_t>(after + 1); code < words * kHeldBitsPerWord; ++code) {
    if (((mask[code / kHeldBitsPerWord] >> (code % kHeldBitsPerWord)) & 1UL) != 0) {
      return static_cast<int>(code);
    }
  }
  return -1;
}
