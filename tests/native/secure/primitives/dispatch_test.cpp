// The public entry points must take the vector path wherever the CPU offers it: losing one
// silently costs the channel its speed without failing any vector test.

#include <gtest/gtest.h>

#include "native/secure/primitives/blake2s_compress.h"
#include "native/secure/primitives/chacha20_blocks.h"
#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/curve25519_ladders.h"
#include "native/secure/primitives/poly1305_blocks.h"
#include "native/secure/primitives/sha256_blocks.h"

namespace velmorine::secure {
namespace {

#if VELMORINE_SECURE_X86_64
TEST(Dispatch, ChoosesTheVectorPathsTheCpuSupports) {
  const CpuFeatures& cpu = cpu_features();
  if (cpu.avx512f && cpu.avx512vl && cpu.avx512bw) {
    EXPECT_EQ(chacha_xor_for_cpu(), chacha_xor_avx512);
  } else if (cpu.avx2) {
    EXPECT_EQ(chacha_xor_for_cpu(), chacha_xor_avx2);
  }
  if (cpu.avx512f && cpu.avx512vl && cpu.avx512ifma) {
    EXPECT_EQ(poly1305_blocks_for_cpu(), poly1305_blocks_avx512ifma);
  } else if (cpu.avx512f && cpu.avx512vl && cpu.avx512bw) {
    EXPECT_EQ(poly1305_blocks_for_cpu(), poly1305_blocks_avx512);
  } else if (cpu.avx2) {
    EXPECT_EQ(poly1305_blocks_for_cpu(), poly1305_blocks_avx2);
  }
  if (cpu.sha && cpu.sse41 && cpu.ssse3) {
    EXPECT_EQ(sha256_blocks_for_cpu(), sha256_blocks_shani);
  }
  if (cpu.ssse3) {
    EXPECT_EQ(blake2s_compress_for_cpu(), blake2s_compress_ssse3);
  }
  if (cpu.bmi2 && cpu.adx) {
    EXPECT_EQ(curve25519_ladder_for_cpu(), curve25519_ladder_adx);
  }
}

// A wrong CPUID bit or XCR0 mask would switch a path off (or on) silently; the compiler's
// runtime reads the same features independently, including the OS's saved-state check.
TEST(Dispatch, SeesTheFeaturesTheCompilerRuntimeSees) {
  __builtin_cpu_init();
  const CpuFeatures& cpu = cpu_features();
  EXPECT_EQ(cpu.avx2, __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(cpu.avx512f, __builtin_cpu_supports("avx512f") != 0);
  EXPECT_EQ(cpu.avx512vl, __builtin_cpu_supports("avx512vl") != 0);
  EXPECT_EQ(cpu.avx512bw, __builtin_cpu_supports("avx512bw") != 0);
  EXPECT_EQ(cpu.avx512ifma, __builtin_cpu_supports("avx512ifma") != 0);
}
#endif

TEST(Dispatch, FallsBackToPortableCodeWithoutTheFeatures) {
  const CpuFeatures& cpu = cpu_features();
  if (!cpu.avx2 && !(cpu.avx512f && cpu.avx512vl && cpu.avx512bw)) {
    EXPECT_EQ(chacha_xor_for_cpu(), chacha_xor_portable);
    EXPECT_EQ(poly1305_blocks_for_cpu(), poly1305_blocks_portable);
  }
  if (!cpu.ssse3) {
    EXPECT_EQ(blake2s_compress_for_cpu(), blake2s_compress_portable);
  }
  if (!(cpu.sha && cpu.sse41 && cpu.ssse3)) {
    EXPECT_EQ(sha256_blocks_for_cpu(), sha256_blocks_portable);
  }
}

}  // namespace
}  // namespace velmorine::secure
