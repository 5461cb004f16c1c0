#pragma once

// The vector paths are written for x86-64; elsewhere only the portable ones exist.
#if defined(__x86_64__)
#define VELMORINE_SECURE_X86_64 1
#else
#define VELMORINE_SECURE_X86_64 0
#endif

namespace velmorine::secure {

// Instruction-set extensions the vector paths need, read once from CPUID.
struct CpuFeatures {
  bool ssse3 = false;
  bool sse41 = false;
  bool avx2 = false;
  bool sha = false;
  bool bmi2 = false;
  bool adx = false;
  // The AVX-512 flags are set only when the OS also saves the opmask and all 32 ZMM registers.
  bool avx512f = false;
  bool avx512vl = false;
  bool avx512bw = false;
  bool avx512ifma = false;
};

const CpuFeatures& cpu_features();

}  // namespace velmorine::secure
