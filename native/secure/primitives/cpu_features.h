#pragma once

namespace velmorine::secure {

// Instruction-set extensions the vector paths need, read once from CPUID.
struct CpuFeatures {
  bool ssse3 = false;
  bool sse41 = false;
  bool avx2 = false;
  bool sha = false;
  bool bmi2 = false;
  bool adx = false;
};

const CpuFeatures& cpu_features();

}  // namespace velmorine::secure
