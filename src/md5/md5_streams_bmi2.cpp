// SPDX-License-Identifier: MIT
// The interleaved scalar kernels built for BMI2: a rotate and an and-not that
// leave their inputs alone need fewer copies, and so fewer registers, which
// two or three streams of four words each run short of.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("bmi,bmi2"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC target("bmi,bmi2")
#endif

#include "md5/md5_scalar_kernel.hpp"

namespace md5refresh {

void md5_absorb_streams_bmi2(std::span<Md5State* const> states,
                             std::span<const std::uint8_t* const> data, std::size_t blocks) {
  if (states.size() == 2) {
    absorb_interleaved<2>(states, data, blocks);
  } else {
    absorb_interleaved<3>(states, data, blocks);
  }
}

}  // namespace md5refresh

#if defined(__clang__)
#pragma clang attribute pop
#endif
