// MD5 as one loop over a table of its 64 steps. The loop is unrolled at compile
// time, so every constant, word index and rotation folds into the code and the
// a/b/c/d renaming between steps costs nothing. MD5 is a single dependency chain
// through b; the step functions are written so the least work lies on it.
#include "digest/md5.hpp"

#include <bit>
#include <cstring>
#include <new>

namespace {

struct Md5Step {
  std::uint32_t constant;  // floor(2^32 * |sin(i + 1)|)
  std::uint8_t word;       // index of the message word
  std::uint8_t rotation;   // left rotation
};

// RFC 1321, section 3.4: the table T[1..64].
constexpr std::array<std::uint32_t, 64> SINE_CONSTANTS{
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr std::array<std::array<std::uint8_t, 4>, 4> ROTATIONS{{
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

constexpr std::array<Md5Step, 64> STEPS = make_steps();
static_assert(STEPS[0].constant == 0xd76aa478 && STEPS[0].word == 0 && STEPS[0].rotation == 7);
static_assert(STEPS[17].word == 6 && STEPS[17].rotation == 9);
static_assert(STEPS[47].word == 2 && STEPS[47].rotation == 23);
static_assert(STEPS[63].constant == 0xeb86d391 && STEPS[63].word == 9 && STEPS[63].rotation == 21);

constexpr std::array<std::uint32_t, 4> INITIAL_STATE{0x67452301, 0xefcdab89, 0x98badcfe,
                                                     0x10325476};

// Message words are read where the caller's bytes lie, least significant byte first.
inline std::uint32_t load_word(const std::uint8_t* bytes) {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
  } else {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  }
}

// The four functions, rearranged so that b, the one input that arrives late,
// meets as few operations as possible. In the second round, (b & d) and (c & ~d) share
// no set bit, so their OR is their sum, and the part without b is added early.
inline std::uint32_t step_sum(int round, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                              std::uint32_t early) {
  switch (round) {
    case 0:
      return early + (d ^ (b & (c ^ d)));
    case 1:
      return (early + (c & ~d)) + (b & d);
    case 2:
      return early + (b ^ (c ^ d));
    default:
      return early + (c ^ (b | ~d));
  }
}

// The state stays in locals across blocks: written back through the reference
// each time, it would be reloaded through memory on the dependency chain.
void process_blocks(std::array<std::uint32_t, 4>& state, const std::uint8_t* data,
                    std::uint32_t length) {
  auto [state_a, state_b, state_c, state_d] = state;
  for (std::uint32_t offset = 0; offset < length; offset += 64) {
    const std::uint8_t* block = data + offset;
    std::uint32_t a = state_a, b = state_b, c = state_c, d = state_d;
#if defined(__GNUC__)
#pragma GCC unroll 64
#endif
    for (int i = 0; i < 64; ++i) {
      const Md5Step& step = STEPS[static_cast<std::size_t>(i)];
      const std::uint32_t early = a + load_word(block + 4 * step.word) + step.constant;
      const std::uint32_t rotated = b + std::rotl(step_sum(i / 16, b, c, d, early), step.rotation);
      a = d;
      d = c;
      c = b;
      b = rotated;
    }
    state_a += a;
    state_b += b;
    state_c += c;
    state_d += d;
  }
  state = {state_a, state_b, state_c, state_d};
}

// Pads the message in the caller's buffer: 0x80, zeros, then the length in bits,
// least significant byte first, so that the data ends on a block boundary.
std::uint32_t pad_message(std::uint8_t* data, std::uint32_t length, std::uint64_t total_bytes) {
  const std::uint32_t remainder = length % 64;
  const std::uint32_t padding = remainder < 56 ? 56 - remainder : 120 - remainder;
  std::memset(data + length, 0, padding);
  data[length] = 0x80;
  const std::uint64_t bits = total_bytes * 8;
  for (std::uint32_t i = 0; i < 8; ++i) {
    data[length + padding + i] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
  return length + padding + 8;
}

}  // namespace

Md5Context* md5_process(std::uint8_t* data, std::uint32_t length, Md5Digest* digest,
                        Md5Context* context) {
  if (context == nullptr) {
    context = new (std::nothrow) Md5Context{};
    if (context == nullptr) return nullptr;
    context->state = INITIAL_STATE;
  }
  context->count += length;

  const bool final_call = length == 0 || length % 64 != 0;
  if (!final_call) {
    process_blocks(context->state, data, length);
    return context;
  }
  process_blocks(context->state, data, pad_message(data, length, context->count));
  for (std::size_t word = 0; word < 4; ++word) {
    for (std::size_t byte = 0; byte < 4; ++byte) {
      (*digest)[4 * word + byte] = static_cast<std::uint8_t>(context->state[word] >> (8 * byte));
    }
  }
  delete context;
  return nullptr;
}
