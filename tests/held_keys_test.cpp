// SPDX-License-Identifier: MIT
// evwait-held's reading of the key mask EVIOCGKEY fills, with masks laid out
// byte by byte as a little-endian kernel copies its words out: byte b holds
// codes 8b to 8b+7, lowest bit first.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "held_keys.h"

namespace {

std::vector<int> HeldCodes(const std::vector<std::pair<int, unsigned char>> &bytes) {
  unsigned char raw[sizeof(HeldMask)] = {};
  for (const auto &[at, value] : bytes) {
    raw[at] = value;
  }
  HeldMask mask;
  std::memcpy(mask, raw, sizeof mask);
  std::vector<int> codes;
  for (int code = NextHeldCode(mask, -1); code >= 0; code = NextHeldCode(mask, code)) {
    codes.push_back(code);
  }
  return codes;
}

TEST(HeldKeys, CodesOfTheMask) {
  if (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__) {
    GTEST_SKIP() << "the masks below are laid out as a little-endian kernel writes them";
  }
  // The request's buffer covers every code up to KEY_MAX, and no more.
  EXPECT_EQ(sizeof(HeldMask), (KEY_MAX + 1) / 8);
  struct {
    const char *name;
    std::vector<std::pair<int, unsigned char>> bytes;
    std::vector<int> codes;
  } const cases[] = {
      {"nothing held", {}, {}},
      {"code 0", {{0, 0x01}}, {0}},
      {"KEY_B", {{6, 0x01}}, {48}},
      {"both sides of a 32-bit word boundary", {{3, 0x80}, {4, 0x01}}, {31, 32}},
      {"both sides of a 64-bit word boundary", {{7, 0x80}, {8, 0x01}}, {63, 64}},
      {"a whole byte", {{1, 0xff}}, {8, 9, 10, 11, 12, 13, 14, 15}},
      {"KEY_A and BTN_LEFT", {{3, 0x40}, {34, 0x01}}, {30, 272}},
      {"KEY_MAX", {{(KEY_MAX + 1) / 8 - 1, 0x80}}, {KEY_MAX}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(HeldCodes(c.bytes), c.codes) << c.name;
  }
}

}  // namespace
