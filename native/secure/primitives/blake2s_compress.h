#pragma once

// The BLAKE2s compression implementations, exposed so that tests can run each one the
// machine supports against the same inputs.

#include <cstddef>
#include <cstdint>

#include "native/secure/primitives/cpu_features.h"

namespace velmorine::secure {

// Compresses `count` consecutive 64-byte blocks into `h`. Block i is compressed with the
// byte counter `counter + 64 * i`; `final_block` sets the last-block flag on every block, so
// callers pass it only with a count of 1.
using Blake2sCompress = void (*)(std::uint32_t h[8], const std::uint8_t* blocks, std::size_t count,
                                 std::uint64_t counter, bool final_block);

void blake2s_compress_portable(std::uint32_t h[8], const std::uint8_t* blocks, std::size_t count,
                               std::uint64_t counter, bool final_block);

#if VELMORINE_SECURE_X86_64
// The 4x4 matrix as four row vectors, with SSSE3 byte shuffles for two of the rotations.
void blake2s_compress_ssse3(std::uint32_t h[8], const std::uint8_t* blocks, std::size_t count,
                            std::uint64_t counter, bool final_block);
#endif

// The implementation chosen for this machine.
Blake2sCompress blake2s_compress_for_cpu();

inline constexpr std::uint32_t kBlake2sIv[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                                0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

inline constexpr std::uint8_t kBlake2sSigma[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
};

}  // namespace velmorine::secure
