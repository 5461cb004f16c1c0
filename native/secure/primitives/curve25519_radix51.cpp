#include <cstring>

#include "native/secure/primitives/byte_order.h"
#include "native/secure/primitives/curve25519_ladders.h"
#include "native/secure/primitives/secret_wipe.h"

#if defined(__SIZEOF_INT128__)

namespace velmorine::secure {
namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

constexpr u64 kMask51 = (u64{1} << 51) - 1;

// A field element mod 2^255 - 19 as five 51-bit limbs. Products and squares come out with
// limbs just above 51 bits; sums and differences below 2^54, which products accept.
struct Fe {
  u64 v[5];
};

inline Fe carry_out(u128 r0, u128 r1, u128 r2, u128 r3, u128 r4) {
  r1 += static_cast<u64>(r0 >> 51);
  r2 += static_cast<u64>(r1 >> 51);
  r3 += static_cast<u64>(r2 >> 51);
  r4 += static_cast<u64>(r3 >> 51);
  // 2^255 = 19 mod p folds the top carry back into the bottom limb.
  u64 h0 = (static_cast<u64>(r0) & kMask51) + static_cast<u64>(r4 >> 51) * 19;
  u64 h1 = (static_cast<u64>(r1) & kMask51) + (h0 >> 51);
  h0 &= kMask51;
  return {{h0, h1, static_cast<u64>(r2) & kMask51, static_cast<u64>(r3) & kMask51,
           static_cast<u64>(r4) & kMask51}};
}

inline Fe mul(const Fe& a, const Fe& b) {
  const u64 b1 = b.v[1] * 19, b2 = b.v[2] * 19, b3 = b.v[3] * 19, b4 = b.v[4] * 19;
  const u128 r0 = static_cast<u128>(a.v[0]) * b.v[0] + static_cast<u128>(a.v[1]) * b4 +
                  static_cast<u128>(a.v[2]) * b3 + static_cast<u128>(a.v[3]) * b2 +
                  static_cast<u128>(a.v[4]) * b1;
  const u128 r1 = static_cast<u128>(a.v[0]) * b.v[1] + static_cast<u128>(a.v[1]) * b.v[0] +
                  static_cast<u128>(a.v[2]) * b4 + static_cast<u128>(a.v[3]) * b3 +
                  static_cast<u128>(a.v[4]) * b2;
  const u128 r2 = static_cast<u128>(a.v[0]) * b.v[2] + static_cast<u128>(a.v[1]) * b.v[1] +
                  static_cast<u128>(a.v[2]) * b.v[0] + static_cast<u128>(a.v[3]) * b4 +
                  static_cast<u128>(a.v[4]) * b3;
  const u128 r3 = static_cast<u128>(a.v[0]) * b.v[3] + static_cast<u128>(a.v[1]) * b.v[2] +
                  static_cast<u128>(a.v[2]) * b.v[1] + static_cast<u128>(a.v[3]) * b.v[0] +
                  static_cast<u128>(a.v[4]) * b4;
  const u128 r4 = static_cast<u128>(a.v[0]) * b.v[4] + static_cast<u128>(a.v[1]) * b.v[3] +
                  static_cast<u128>(a.v[2]) * b.v[2] + static_cast<u128>(a.v[3]) * b.v[1] +
                  static_cast<u128>(a.v[4]) * b.v[0];
  return carry_out(r0, r1, r2, r3, r4);
}

inline Fe square(const Fe& a) {
  const u64 a0_2 = a.v[0] * 2, a1_2 = a.v[1] * 2, a2_2 = a.v[2] * 2;
  const u64 a3_19 = a.v[3] * 19, a4_19 = a.v[4] * 19;
  const u128 r0 = static_cast<u128>(a.v[0]) * a.v[0] + static_cast<u128>(a1_2) * a4_19 +
                  static_cast<u128>(a2_2) * a3_19;
  const u128 r1 = static_cast<u128>(a0_2) * a.v[1] + static_cast<u128>(a2_2) * a4_19 +
                  static_cast<u128>(a.v[3]) * a3_19;
  const u128 r2 = static_cast<u128>(a0_2) * a.v[2] + static_cast<u128>(a.v[1]) * a.v[1] +
                  static_cast<u128>(a.v[3] * 2) * a4_19;
  const u128 r3 = static_cast<u128>(a0_2) * a.v[3] + static_cast<u128>(a1_2) * a.v[2] +
                  static_cast<u128>(a.v[4]) * a4_19;
  const u128 r4 = static_cast<u128>(a0_2) * a.v[4] + static_cast<u128>(a1_2) * a.v[3] +
                  static_cast<u128>(a.v[2]) * a.v[2];
  return carry_out(r0, r1, r2, r3, r4);
}

inline Fe square_times(Fe a, int times) {
  for (int i = 0; i < times; ++i) a = square(a);
  return a;
}

inline Fe mul_small(const Fe& a, u64 factor) {
  return carry_out(static_cast<u128>(a.v[0]) * factor, static_cast<u128>(a.v[1]) * factor,
                   static_cast<u128>(a.v[2]) * factor, static_cast<u128>(a.v[3]) * factor,
                   static_cast<u128>(a.v[4]) * factor);
}

inline Fe add(const Fe& a, const Fe& b) {
  return {{a.v[0] + b.v[0], a.v[1] + b.v[1], a.v[2] + b.v[2], a.v[3] + b.v[3], a.v[4] + b.v[4]}};
}

// a - b + 2p keeps every limb positive for reduced operands.
inline Fe sub(const Fe& a, const Fe& b) {
  constexpr u64 kTwoP0 = (u64{1} << 52) - 38, kTwoP = (u64{1} << 52) - 2;
  return {{a.v[0] + kTwoP0 - b.v[0], a.v[1] + kTwoP - b.v[1], a.v[2] + kTwoP - b.v[2],
           a.v[3] + kTwoP - b.v[3], a.v[4] + kTwoP - b.v[4]}};
}

inline void conditional_swap(Fe& a, Fe& b, u64 swap) {
  const u64 mask = 0 - swap;
  for (int i = 0; i < 5; ++i) {
    const u64 t = mask & (a.v[i] ^ b.v[i]);
    a.v[i] ^= t;
    b.v[i] ^= t;
  }
}

// z^(p-2) = z^(2^255 - 21) along a fixed chain of squarings and multiplications.
Fe invert(const Fe& z) {
  const Fe z2 = square(z);
  const Fe z9 = mul(square_times(z2, 2), z);
  const Fe z11 = mul(z9, z2);
  const Fe z_5_0 = mul(square(z11), z9);  // z^(2^5 - 1)
  const Fe z_10_0 = mul(square_times(z_5_0, 5), z_5_0);
  const Fe z_20_0 = mul(square_times(z_10_0, 10), z_10_0);
  const Fe z_40_0 = mul(square_times(z_20_0, 20), z_20_0);
  const Fe z_50_0 = mul(square_times(z_40_0, 10), z_10_0);
  const Fe z_100_0 = mul(square_times(z_50_0, 50), z_50_0);
  const Fe z_200_0 = mul(square_times(z_100_0, 100), z_100_0);
  const Fe z_250_0 = mul(square_times(z_200_0, 50), z_50_0);
  return mul(square_times(z_250_0, 5), z11);  // 2^255 - 2^5 + 11
}

Fe unpack(const std::uint8_t in[32]) {
  const u64 w0 = load_le64(in), w1 = load_le64(in + 8), w2 = load_le64(in + 16),
            w3 = load_le64(in + 24);
  return {{w0 & kMask51, ((w0 >> 51) | (w1 << 13)) & kMask51, ((w1 >> 38) | (w2 << 26)) & kMask51,
           ((w2 >> 25) | (w3 << 39)) & kMask51, (w3 >> 12) & kMask51}};
}

void pack(std::uint8_t out[32], const Fe& a) {
  u64 h[5] = {a.v[0], a.v[1], a.v[2], a.v[3], a.v[4]};
  // Two carry passes leave every limb within 51 bits and the value below 2^255.
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 4; ++i) {
      h[i + 1] += h[i] >> 51;
      h[i] &= kMask51;
    }
    h[0] += (h[4] >> 51) * 19;
    h[4] &= kMask51;
  }
  // q = 1 exactly when h >= p: then h + 19 reaches 2^255.
  u64 q = (h[0] + 19) >> 51;
  for (int i = 1; i < 5; ++i) q = (h[i] + q) >> 51;
  h[0] += 19 * q;
  for (int i = 0; i < 4; ++i) {
    h[i + 1] += h[i] >> 51;
    h[i] &= kMask51;
  }
  h[4] &= kMask51;
  store_le64(out, h[0] | (h[1] << 51));
  store_le64(out + 8, (h[1] >> 13) | (h[2] << 38));
  store_le64(out + 16, (h[2] >> 26) | (h[3] << 25));
  store_le64(out + 24, (h[3] >> 39) | (h[4] << 12));
}

}  // namespace

void curve25519_ladder_radix51(std::uint8_t output[32], const std::uint8_t clamped[32],
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

    const Fe a = add(x2, z2);
    const Fe b = sub(x2, z2);
    const Fe c = add(x3, z3);
    const Fe d = sub(x3, z3);
    const Fe aa = square(a);
    const Fe bb = square(b);
    const Fe da = mul(d, a);
    const Fe cb = mul(c, b);
    const Fe e = sub(aa, bb);
    x3 = square(add(da, cb));
    z3 = mul(x1, square(sub(da, cb)));
    x2 = mul(aa, bb);
    z2 = mul(e, add(aa, mul_small(e, 121665)));
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
