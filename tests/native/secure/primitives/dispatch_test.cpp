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
  if (cpu.avx2) {
    EXPECT_EQ(chacha_xor_for_cpu(), chacha_xor_avx2);
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
#endif

TEST(Dispatch, FallsBackToPortableCodeWithoutTheFeatures) {
  const CpuFeatures& cpu = cpu_features();
  if (!cpu.avx2) {
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
