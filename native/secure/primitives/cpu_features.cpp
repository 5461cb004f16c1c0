#include "native/secure/primitives/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace velmorine::secure {
namespace {

CpuFeatures detect() {
  CpuFeatures features;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
  features.ssse3 = (ecx >> 9) & 1;
  features.sse41 = (ecx >> 19) & 1;
  const bool osxsave = (ecx >> 27) & 1;
  bool ymm_enabled = false;
  bool zmm_enabled = false;
  if (osxsave) {
    // The OS must save the vector registers on context switches before they are usable: XCR0
    // bits 1-2 for XMM and YMM, and bits 5-7 for the opmask, the upper ZMM halves and ZMM16-31.
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    ymm_enabled = (xcr0_low & 0x6) == 0x6;
    zmm_enabled = (xcr0_low & 0xe6) == 0xe6;
  }
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) {
    features.avx2 = ymm_enabled && ((ebx >> 5) & 1);
    features.bmi2 = (ebx >> 8) & 1;
    features.adx = (ebx >> 19) & 1;
    features.sha = (ebx >> 29) & 1;
    features.avx512f = zmm_enabled && ((ebx >> 16) & 1);
    features.avx512ifma = features.avx512f && ((ebx >> 21) & 1);
    features.avx512bw = features.avx512f && ((ebx >> 30) & 1);
    features.avx512vl = features.avx512f && ((ebx >> 31) & 1);
  }
#endif
  return features;
}

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = detect();
  return features;
}

}  // namespace velmorine::secure
