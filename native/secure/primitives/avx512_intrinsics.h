#pragma once

// For the AVX-512 translation units only (they are compiled with the flags these need).

// GCC 12 takes the deliberately undefined sources inside its own AVX-512 intrinsics for
// uninitialized variables (GCC bug 105593).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace velmorine::secure {
namespace {

// Clears every vector register a vector run may have left key material in: VZEROALL reaches
// only the first sixteen, so the other sixteen are cleared one by one.
inline void wipe_vector_registers() {
  __asm__ volatile(
      "vpxord %%xmm16, %%xmm16, %%xmm16\n\t"
      "vpxord %%xmm17, %%xmm17, %%xmm17\n\t"
      "vpxord %%xmm18, %%xmm18, %%xmm18\n\t"
      "vpxord %%xmm19, %%xmm19, %%xmm19\n\t"
      "vpxord %%xmm20, %%xmm20, %%xmm20\n\t"
      "vpxord %%xmm21, %%xmm21, %%xmm21\n\t"
      "vpxord %%xmm22, %%xmm22, %%xmm22\n\t"
      "vpxord %%xmm23, %%xmm23, %%xmm23\n\t"
      "vpxord %%xmm24, %%xmm24, %%xmm24\n\t"
      "vpxord %%xmm25, %%xmm25, %%xmm25\n\t"
      "vpxord %%xmm26, %%xmm26, %%xmm26\n\t"
      "vpxord %%xmm27, %%xmm27, %%xmm27\n\t"
      "vpxord %%xmm28, %%xmm28, %%xmm28\n\t"
      "vpxord %%xmm29, %%xmm29, %%xmm29\n\t"
      "vpxord %%xmm30, %%xmm30, %%xmm30\n\t"
      "vpxord %%xmm31, %%xmm31, %%xmm31\n\t"
      "vzeroall\n\t" ::
          : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
            "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18", "xmm19",
            "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25", "xmm26", "xmm27", "xmm28",
            "xmm29", "xmm30", "xmm31");
}

}  // namespace
}  // namespace velmorine::secure
