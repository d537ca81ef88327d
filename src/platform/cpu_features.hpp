// SPDX-License-Identifier: MIT
// What the CPU offers beyond the baseline instruction set, asked once and in
// one place: the build assumes nothing past the baseline, and each engine
// chooses its kernels from this.
#pragma once

namespace md5refresh {

struct CpuFeatures {
  bool bmi2;
  bool avx2;
  bool avx512;          // F and VL, with AVX2
  bool sha_extensions;  // with SSE4.1 and SSSE3, which its kernel uses too
};

[[nodiscard]] const CpuFeatures& cpu_features();

}  // namespace md5refresh
