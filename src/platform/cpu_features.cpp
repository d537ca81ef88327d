// SPDX-License-Identifier: MIT
// The one place that asks the CPU. Outside x86 with a GNU compiler, nothing
// past the baseline is known, and the portable kernels run.
#include "platform/cpu_features.hpp"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <cpuid.h>
#endif

namespace md5refresh {

namespace {

CpuFeatures asked_of_the_cpu() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  // The SHA extensions are CPUID leaf 7's EBX bit 29, which not every
  // compiler's __builtin_cpu_supports knows by name.
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  const bool sha = __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx >> 29 & 1) != 0;
  const bool avx2 = __builtin_cpu_supports("avx2");
  return {__builtin_cpu_supports("bmi2") != 0, avx2,
          avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"),
          sha && __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3")};
#else
  return {false, false, false, false};
#endif
}

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = asked_of_the_cpu();
  return features;
}

}  // namespace md5refresh
