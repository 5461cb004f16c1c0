#include "native/secure/primitives/byte_order.h"
#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/curve25519_ladders.h"
#include "native/secure/primitives/secret_wipe.h"

#if VELMORINE_SECURE_X86_64

#include <immintrin.h>

namespace velmorine::secure {
namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

// A field element mod p = 2^255 - 19 as four 64-bit limbs, any value below 2^256 (so not
// always fully reduced); 2^256 = 38 mod p folds every carry out of the top back in.
struct Fe {
  u64 v[4];
};

// The assembly reads its operands through pointers. Optimised builds name that memory as
// inputs; unoptimised ones lack the spare registers to address it separately and fall back
// on a memory clobber.
#if defined(__OPTIMIZE__)
#define VELMORINE_READS(fe) , "m"(fe)
#define VELMORINE_MEMORY_CLOBBER
#else
#define VELMORINE_READS(fe)
#define VELMORINE_MEMORY_CLOBBER , "memory"
#endif

// The product with MULX and two carry chains (ADCX on the low halves, ADOX on the high),
// then the fold of the upper 256 bits times 38.
inline Fe mul(const Fe& a, const Fe& b) {
  u64 t0, t1, t2, t3, t4, t5, t6, t7, lo, hi, zero;
  __asm__(
      "movq 0(%[b]), %%rdx\n\t"
      "xorl %k[zero], %k[zero]\n\t"
      "mulxq 0(%[a]), %[t0], %[t1]\n\t"
      "mulxq 8(%[a]), %[lo], %[t2]\n\t"
      "adcxq %[lo], %[t1]\n\t"
      "mulxq 16(%[a]), %[lo], %[t3]\n\t"
      "adcxq %[lo], %[t2]\n\t"
      "mulxq 24(%[a]), %[lo], %[t4]\n\t"
      "adcxq %[lo], %[t3]\n\t"
      "adcxq %[zero], %[t4]\n\t"
      "movq 8(%[b]), %%rdx\n\t"
      "xorl %k[zero], %k[zero]\n\t"
      "mulxq 0(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t1]\n\t"
      "adoxq %[hi], %[t2]\n\t"
      "mulxq 8(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t2]\n\t"
      "adoxq %[hi], %[t3]\n\t"
      "mulxq 16(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t3]\n\t"
      "adoxq %[hi], %[t4]\n\t"
      "mulxq 24(%[a]), %[lo], %[t5]\n\t"
      "adcxq %[lo], %[t4]\n\t"
      "adoxq %[zero], %[t5]\n\t"
      "adcxq %[zero], %[t5]\n\t"
      "movq 16(%[b]), %%rdx\n\t"
      "xorl %k[zero], %k[zero]\n\t"
      "mulxq 0(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t2]\n\t"
      "adoxq %[hi], %[t3]\n\t"
      "mulxq 8(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t3]\n\t"
      "adoxq %[hi], %[t4]\n\t"
      "mulxq 16(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t4]\n\t"
      "adoxq %[hi], %[t5]\n\t"
      "mulxq 24(%[a]), %[lo], %[t6]\n\t"
      "adcxq %[lo], %[t5]\n\t"
      "adoxq %[zero], %[t6]\n\t"
      "adcxq %[zero], %[t6]\n\t"
      "movq 24(%[b]), %%rdx\n\t"
      "xorl %k[zero], %k[zero]\n\t"
      "mulxq 0(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t3]\n\t"
      "adoxq %[hi], %[t4]\n\t"
      "mulxq 8(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t4]\n\t"
      "adoxq %[hi], %[t5]\n\t"
      "mulxq 16(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t5]\n\t"
      "adoxq %[hi], %[t6]\n\t"
      "mulxq 24(%[a]), %[lo], %[t7]\n\t"
      "adcxq %[lo], %[t6]\n\t"
      "adoxq %[zero], %[t7]\n\t"
      "adcxq %[zero], %[t7]\n\t"
      "movl $38, %%edx\n\t"
      "xorl %k[zero], %k[zero]\n\t"
      "mulxq %[t4], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t0]\n\t"
      "adoxq %[hi], %[t1]\n\t"
      "mulxq %[t5], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t1]\n\t"
      "adoxq %[hi], %[t2]\n\t"
      "mulxq %[t6], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t2]\n\t"
      "adoxq %[hi], %[t3]\n\t"
      "mulxq %[t7], %[lo], %[t4]\n\t"
      "adcxq %[lo], %[t3]\n\t"
      "adoxq %[zero], %[t4]\n\t"
      "adcxq %[zero], %[t4]\n\t"
      "imulq $38, %[t4], %[t4]\n\t"
      "addq %[t4], %[t0]\n\t"
      "adcq %[zero], %[t1]\n\t"
      "adcq %[zero], %[t2]\n\t"
      "adcq %[zero], %[t3]\n\t"
      "sbbq %[lo], %[lo]\n\t"
      "andq $38, %[lo]\n\t"
      "addq %[lo], %[t0]\n\t"
      : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), [t4] "=&r"(t4),
        [t5] "=&r"(t5), [t6] "=&r"(t6), [t7] "=&r"(t7), [lo] "=&r"(lo), [hi] "=&r"(hi),
        [zero] "=&r"(zero)
      : [a] "r"(a.v), [b] "r"(b.v)VELMORINE_READS(a) VELMORINE_READS(b)
      : "rdx", "cc" VELMORINE_MEMORY_CLOBBER);
  return {{t0, t1, t2, t3}};
}

// The square: six cross products doubled, plus the four squares on the diagonal, then the
// same fold as the product.
inline Fe square(const Fe& a) {
  u64 t0, t1, t2, t3, t4, t5, t6, t7, lo, hi, zero;
  __asm__(
      "xorl %k[zero], %k[zero]\n\t"
      "movq 0(%[a]), %%rdx\n\t"
      "mulxq 8(%[a]), %[t1], %[t2]\n\t"
      "mulxq 16(%[a]), %[lo], %[t3]\n\t"
      "adcxq %[lo], %[t2]\n\t"
      "mulxq 24(%[a]), %[lo], %[t4]\n\t"
      "adcxq %[lo], %[t3]\n\t"
      "adcxq %[zero], %[t4]\n\t"
      "xorl %k[zero], %k[zero]\n\t"
      "movq 8(%[a]), %%rdx\n\t"
      "mulxq 16(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t3]\n\t"
      "adoxq %[hi], %[t4]\n\t"
      "mulxq 24(%[a]), %[lo], %[t5]\n\t"
      "adcxq %[lo], %[t4]\n\t"
      "adoxq %[zero], %[t5]\n\t"
      "adcxq %[zero], %[t5]\n\t"
      "xorl %k[zero], %k[zero]\n\t"
      "movq 16(%[a]), %%rdx\n\t"
      "mulxq 24(%[a]), %[lo], %[t6]\n\t"
      "adcxq %[lo], %[t5]\n\t"
      "adcxq %[zero], %[t6]\n\t"
      "xorl %k[zero], %k[zero]\n\t"
      "movq %[zero], %[t7]\n\t"
      "adcxq %[t1], %[t1]\n\t"
      "adcxq %[t2], %[t2]\n\t"
      "adcxq %[t3], %[t3]\n\t"
      "adcxq %[t4], %[t4]\n\t"
      "adcxq %[t5], %[t5]\n\t"
      "adcxq %[t6], %[t6]\n\t"
      "adcxq %[zero], %[t7]\n\t"
      "xorl %k[zero], %k[zero]\n\t"
      "movq 0(%[a]), %%rdx\n\t"
      "mulxq %%rdx, %[t0], %[hi]\n\t"
      "adcxq %[hi], %[t1]\n\t"
      "movq 8(%[a]), %%rdx\n\t"
      "mulxq %%rdx, %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t2]\n\t"
      "adcxq %[hi], %[t3]\n\t"
      "movq 16(%[a]), %%rdx\n\t"
      "mulxq %%rdx, %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t4]\n\t"
      "adcxq %[hi], %[t5]\n\t"
      "movq 24(%[a]), %%rdx\n\t"
      "mulxq %%rdx, %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t6]\n\t"
      "adcxq %[hi], %[t7]\n\t"
      "movl $38, %%edx\n\t"
      "xorl %k[zero], %k[zero]\n\t"
      "mulxq %[t4], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t0]\n\t"
      "adoxq %[hi], %[t1]\n\t"
      "mulxq %[t5], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t1]\n\t"
      "adoxq %[hi], %[t2]\n\t"
      "mulxq %[t6], %[lo], %[hi]\n\t"
      "adcxq %[lo], %[t2]\n\t"
      "adoxq %[hi], %[t3]\n\t"
      "mulxq %[t7], %[lo], %[t4]\n\t"
      "adcxq %[lo], %[t3]\n\t"
      "adoxq %[zero], %[t4]\n\t"
      "adcxq %[zero], %[t4]\n\t"
      "imulq $38, %[t4], %[t4]\n\t"
      "addq %[t4], %[t0]\n\t"
      "adcq %[zero], %[t1]\n\t"
      "adcq %[zero], %[t2]\n\t"
      "adcq %[zero], %[t3]\n\t"
      "sbbq %[lo], %[lo]\n\t"
      "andq $38, %[lo]\n\t"
      "addq %[lo], %[t0]\n\t"
      : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), [t4] "=&r"(t4),
        [t5] "=&r"(t5), [t6] "=&r"(t6), [t7] "=&r"(t7), [lo] "=&r"(lo), [hi] "=&r"(hi),
        [zero] "=&r"(zero)
      : [a] "r"(a.v)VELMORINE_READS(a)
      : "rdx", "cc" VELMORINE_MEMORY_CLOBBER);
  return {{t0, t1, t2, t3}};
}

// a * 121665 (the curve's (A - 2) / 4), with the fifth limb folded back as in the product.
inline Fe mul_a24(const Fe& a) {
  u64 r0, r1, r2, r3, r4, lo, zero;
  __asm__(
      "movl $121665, %%edx\n\t"
      "xorl %k[zero], %k[zero]\n\t"
      "mulxq 0(%[a]), %[r0], %[r1]\n\t"
      "mulxq 8(%[a]), %[lo], %[r2]\n\t"
      "adcxq %[lo], %[r1]\n\t"
      "mulxq 16(%[a]), %[lo], %[r3]\n\t"
      "adcxq %[lo], %[r2]\n\t"
      "mulxq 24(%[a]), %[lo], %[r4]\n\t"
      "adcxq %[lo], %[r3]\n\t"
      "adcxq %[zero], %[r4]\n\t"
      "imulq $38, %[r4], %[r4]\n\t"
      "addq %[r4], %[r0]\n\t"
      "adcq %[zero], %[r1]\n\t"
      "adcq %[zero], %[r2]\n\t"
      "adcq %[zero], %[r3]\n\t"
      "sbbq %[lo], %[lo]\n\t"
      "andq $38, %[lo]\n\t"
      "addq %[lo], %[r0]\n\t"
      : [r0] "=&r"(r0), [r1] "=&r"(r1), [r2] "=&r"(r2), [r3] "=&r"(r3), [r4] "=&r"(r4),
        [lo] "=&r"(lo), [zero] "=&r"(zero)
      : [a] "r"(a.v)VELMORINE_READS(a)
      : "rdx", "cc" VELMORINE_MEMORY_CLOBBER);
  return {{r0, r1, r2, r3}};
}

// a + b: a carry out of 2^256 comes back as 38; should that carry again, the value has
// wrapped to below 38 and the final 38 fits without another carry.
inline Fe add(const Fe& a, const Fe& b) {
  u64 r0, r1, r2, r3, zero, fold;
  __asm__(
      "movq 0(%[a]), %[r0]\n\t"
      "addq 0(%[b]), %[r0]\n\t"
      "movq 8(%[a]), %[r1]\n\t"
      "adcq 8(%[b]), %[r1]\n\t"
      "movq 16(%[a]), %[r2]\n\t"
      "adcq 16(%[b]), %[r2]\n\t"
      "movq 24(%[a]), %[r3]\n\t"
      "adcq 24(%[b]), %[r3]\n\t"
      "movl $0, %k[zero]\n\t"
      "movl $38, %k[fold]\n\t"
      "cmovncq %[zero], %[fold]\n\t"
      "addq %[fold], %[r0]\n\t"
      "adcq %[zero], %[r1]\n\t"
      "adcq %[zero], %[r2]\n\t"
      "adcq %[zero], %[r3]\n\t"
      "movl $38, %k[fold]\n\t"
      "cmovncq %[zero], %[fold]\n\t"
      "addq %[fold], %[r0]\n\t"
      : [r0] "=&r"(r0), [r1] "=&r"(r1), [r2] "=&r"(r2), [r3] "=&r"(r3), [zero] "=&r"(zero),
        [fold] "=&r"(fold)
      : [a] "r"(a.v), [b] "r"(b.v)VELMORINE_READS(a) VELMORINE_READS(b)
      : "cc" VELMORINE_MEMORY_CLOBBER);
  return {{r0, r1, r2, r3}};
}

// a - b: a borrow of 2^256 is a borrow of 38 too many; taking 38 away again can borrow once
// more only from a value near 2^256, where the last 38 fits without another borrow.
inline Fe sub(const Fe& a, const Fe& b) {
  u64 r0, r1, r2, r3, zero, fold;
  __asm__(
      "movq 0(%[a]), %[r0]\n\t"
      "subq 0(%[b]), %[r0]\n\t"
      "movq 8(%[a]), %[r1]\n\t"
      "sbbq 8(%[b]), %[r1]\n\t"
      "movq 16(%[a]), %[r2]\n\t"
      "sbbq 16(%[b]), %[r2]\n\t"
      "movq 24(%[a]), %[r3]\n\t"
      "sbbq 24(%[b]), %[r3]\n\t"
      "movl $0, %k[zero]\n\t"
      "movl $38, %k[fold]\n\t"
      "cmovncq %[zero], %[fold]\n\t"
      "subq %[fold], %[r0]\n\t"
      "sbbq %[zero], %[r1]\n\t"
      "sbbq %[zero], %[r2]\n\t"
      "sbbq %[zero], %[r3]\n\t"
      "movl $38, %k[fold]\n\t"
      "cmovncq %[zero], %[fold]\n\t"
      "subq %[fold], %[r0]\n\t"
      : [r0] "=&r"(r0), [r1] "=&r"(r1), [r2] "=&r"(r2), [r3] "=&r"(r3), [zero] "=&r"(zero),
        [fold] "=&r"(fold)
      : [a] "r"(a.v), [b] "r"(b.v)VELMORINE_READS(a) VELMORINE_READS(b)
      : "cc" VELMORINE_MEMORY_CLOBBER);
  return {{r0, r1, r2, r3}};
}

inline void conditional_swap(Fe& a, Fe& b, u64 swap) {
  const u64 mask = 0 - swap;
  for (int i = 0; i < 4; ++i) {
    const u64 t = mask & (a.v[i] ^ b.v[i]);
    a.v[i] ^= t;
    b.v[i] ^= t;
  }
}

inline Fe square_times(Fe a, int times) {
  for (int i = 0; i < times; ++i) a = square(a);
  return a;
}

// z^(p-2) = z^(2^255 - 21) along a fixed chain of squarings and multiplications.
Fe invert(const Fe& z) {
  const Fe z2 = square(z);
  const Fe z9 = mul(square_times(z2, 2), z);
  const Fe z11 = mul(z9, z2);
  const Fe z_5_0 = mul(square(z11), z9);
  const Fe z_10_0 = mul(square_times(z_5_0, 5), z_5_0);
  const Fe z_20_0 = mul(square_times(z_10_0, 10), z_10_0);
  const Fe z_40_0 = mul(square_times(z_20_0, 20), z_20_0);
  const Fe z_50_0 = mul(square_times(z_40_0, 10), z_10_0);
  const Fe z_100_0 = mul(square_times(z_50_0, 50), z_50_0);
  const Fe z_200_0 = mul(square_times(z_100_0, 100), z_100_0);
  const Fe z_250_0 = mul(square_times(z_200_0, 50), z_50_0);
  return mul(square_times(z_250_0, 5), z11);
}

Fe unpack(const std::uint8_t in[32]) {
  return {{load_le64(in), load_le64(in + 8), load_le64(in + 16),
           load_le64(in + 24) & 0x7fffffffffffffff}};
}

void pack(std::uint8_t out[32], Fe a) {
  // Below 2^256: fold bit 255 (2^255 = 19), leaving a value below 2^255 + 2 * 19 < 2p.
  unsigned long long limb;
  u64 top = a.v[3] >> 63;
  a.v[3] &= 0x7fffffffffffffff;
  unsigned char carry = _addcarry_u64(0, a.v[0], 19 * top, &limb);
  a.v[0] = limb;
  for (int i = 1; i < 4; ++i) {
    carry = _addcarry_u64(carry, a.v[i], 0, &limb);
    a.v[i] = limb;
  }
  // a - p = a + 19 - 2^255: take it when a + 19 reaches bit 255.
  Fe b;
  carry = _addcarry_u64(0, a.v[0], 19, &limb);
  b.v[0] = limb;
  for (int i = 1; i < 4; ++i) {
    carry = _addcarry_u64(carry, a.v[i], 0, &limb);
    b.v[i] = limb;
  }
  const u64 reduce = b.v[3] >> 63;
  b.v[3] &= 0x7fffffffffffffff;
  conditional_swap(a, b, reduce);
  for (int i = 0; i < 4; ++i) store_le64(out + 8 * i, a.v[i]);
}

#undef VELMORINE_READS
#undef VELMORINE_MEMORY_CLOBBER

}  // namespace

void curve25519_ladder_adx(std::uint8_t output[32], const std::uint8_t clamped[32],
                           const std::uint8_t point[32]) {
  const Fe x1 = unpack(point);
  Fe x2 = {{1}}, z2 = {}, x3 = x1, z3 = {{1}};
  u64 swap = 0;
  for (int t = 254; t >= 0; --t) {
    const u64 bit = (clamped[t >> 3] >> (t & 7)) & 1;
    swap ^= bit;
    conditional_swap(x2, x3, swap);
    conditional_swap(z2, z3, swap);
    swap = bit;

    // The longest chain, through da and cb to z3, goes first.
    const Fe a = add(x2, z2);
    const Fe b = sub(x2, z2);
    const Fe c = add(x3, z3);
    const Fe d = sub(x3, z3);
    const Fe da = mul(d, a);
    const Fe cb = mul(c, b);
    const Fe aa = square(a);
    const Fe bb = square(b);
    const Fe difference = square(sub(da, cb));
    const Fe e = sub(aa, bb);
    x3 = square(add(da, cb));
    const Fe f = add(aa, mul_a24(e));
    z3 = mul(x1, difference);
    x2 = mul(aa, bb);
    z2 = mul(e, f);
  }
  conditional_swap(x2, x3, swap);
  conditional_swap(z2, z3, swap);
  pack(output, mul(x2, invert(z2)));
  wipe_secret(&x2, sizeof x2);
  wipe_secret(&z2, sizeof z2);
  wipe_secret(&x3, sizeof x3);
  wipe_secret(&z3, sizeof z3);
}

}  // namespace velmorine::secure

#endif
