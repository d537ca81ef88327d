// SPDX-License-Identifier: MIT
// The 64 steps of MD5 (RFC 1321) as a table: each step's constant, message word
// and rotation. Every engine unrolls its loop over this table at compile time.
#pragma once

#include <array>
#include <cstdint>

namespace md5refresh {

struct Md5Step {
  std::uint32_t constant;  // floor(2^32 * |sin(i + 1)|)
  std::uint8_t word;       // index of the message word
  std::uint8_t rotation;   // left rotation
};

// RFC 1321, section 3.4: the table T[1..64].
inline constexpr std::array<std::uint32_t, 64> SINE_CONSTANTS{
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

inline constexpr std::array<std::array<std::uint8_t, 4>, 4> ROTATIONS{{
    {7, 12, 17, 22},
    {5, 9, 14, 20},
    {4, 11, 16, 23},
    {6, 10, 15, 21},
}};

constexpr std::uint8_t word_index(int step) {
  switch (step / 16) {
    case 0:
      return static_cast<std::uint8_t>(step);
    case 1:
      return static_cast<std::uint8_t>((5 * step + 1) % 16);
    case 2:
      return static_cast<std::uint8_t>((3 * step + 5) % 16);
    default:
      return static_cast<std::uint8_t>((7 * step) % 16);
  }
}

constexpr std::array<Md5Step, 64> make_steps() {
  std::array<Md5Step, 64> steps{};
  for (int i = 0; i < 64; ++i) {
    steps[static_cast<std::size_t>(i)] = {
        SINE_CONSTANTS[static_cast<std::size_t>(i)], word_index(i),
        ROTATIONS[static_cast<std::size_t>(i / 16)][static_cast<std::size_t>(i % 4)]};
  }
  return steps;
}

inline constexpr std::array<Md5Step, 64> MD5_STEPS = make_steps();
static_assert(MD5_STEPS[0].constant == 0xd76aa478 && MD5_STEPS[0].word == 0 &&
              MD5_STEPS[0].rotation == 7);
static_assert(MD5_STEPS[17].word == 6 && MD5_STEPS[17].rotation == 9);
static_assert(MD5_STEPS[47].word == 2 && MD5_STEPS[47].rotation == 23);
static_assert(MD5_STEPS[63].constant == 0xeb86d391 && MD5_STEPS[63].word == 9 &&
              MD5_STEPS[63].rotation == 21);

inline constexpr std::array<std::uint32_t, 4> MD5_INITIAL_STATE{0x67452301, 0xefcdab89, 0x98badcfe,
                                                                0x10325476};

}  // namespace md5refresh
