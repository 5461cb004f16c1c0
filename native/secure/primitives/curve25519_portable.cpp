#include "native/secure/primitives/curve25519_ladders.h"
#include "native/secure/primitives/secret_wipe.h"

namespace velmorine::secure {
namespace {

// A field element mod 2^255 - 19 as sum of limb[i] * 2^(16 i); limbs may run outside
// 16 bits between carries.
struct Fe {
  std::int64_t limb[16];
};

// 2^256 = 38 mod p folds the carry out of the top limb back into the bottom one.
void carry(Fe& a) {
  for (int i = 0; i < 16; ++i) {
    const std::int64_t c = a.limb[i] >> 16;
    a.limb[i] -= c * 65536;
    if (i < 15) {
      a.limb[i + 1] += c;
    } else {
      a.limb[0] += 38 * c;
    }
  }
}

Fe add(const Fe& a, const Fe& b) {
  Fe r;
  for (int i = 0; i < 16; ++i) r.limb[i] = a.limb[i] + b.limb[i];
  return r;
}

Fe sub(const Fe& a, const Fe& b) {
  Fe r;
  for (int i = 0; i < 16; ++i) r.limb[i] = a.limb[i] - b.limb[i];
  return r;
}

Fe mul(const Fe& a, const Fe& b) {
  std::int64_t t[31] = {};
  for (int i = 0; i < 16; ++i) {
    for (int j = 0; j < 16; ++j) t[i + j] += a.limb[i] * b.limb[j];
  }
  for (int i = 0; i < 15; ++i) t[i] += 38 * t[i + 16];
  Fe r;
  for (int i = 0; i < 16; ++i) r.limb[i] = t[i];
  carry(r);
  carry(r);
  return r;
}

// Swaps a and b when swap is 1, without a branch or a secret-dependent address.
void conditional_swap(Fe& a, Fe& b, std::int64_t swap) {
  const std::int64_t mask = -swap;
  for (int i = 0; i < 16; ++i) {
    const std::int64_t t = mask & (a.limb[i] ^ b.limb[i]);
    a.limb[i] ^= t;
    b.limb[i] ^= t;
  }
}

Fe invert(const Fe& z) {
  // z^(p-2); p-2 = 2^255 - 21 has every bit from 254 down set except bits 4 and 2.
  Fe c = z;
  for (int bit = 253; bit >= 0; --bit) {
    c = mul(c, c);
    if (bit != 2 && bit != 4) c = mul(c, z);
  }
  return c;
}

void pack(std::uint8_t out[32], Fe a) {
  carry(a);
  carry(a);
  carry(a);
  // Now every limb is within 16 bits; subtract p up to twice to reach the canonical value.
  for (int round = 0; round < 2; ++round) {
    Fe m;
    m.limb[0] = a.limb[0] - 0xffed;
    for (int i = 1; i < 15; ++i) {
      m.limb[i] = a.limb[i] - 0xffff - ((m.limb[i - 1] >> 16) & 1);
      m.limb[i - 1] &= 0xffff;
    }
    m.limb[15] = a.limb[15] - 0x7fff - ((m.limb[14] >> 16) & 1);
    m.limb[14] &= 0xffff;
    const std::int64_t borrow = (m.limb[15] >> 16) & 1;
    conditional_swap(a, m, 1 - borrow);
  }
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = static_cast<std::uint8_t>(a.limb[i] & 0xff);
    out[2 * i + 1] = static_cast<std::uint8_t>((a.limb[i] >> 8) & 0xff);
  }
}

Fe unpack(const std::uint8_t in[32]) {
  Fe r;
  for (int i = 0; i < 16; ++i)
    r.limb[i] = in[2 * i] | (static_cast<std::int64_t>(in[2 * i + 1]) << 8);
  r.limb[15] &= 0x7fff;
  return r;
}

}  // namespace

void curve25519_ladder_portable(std::uint8_t output[32], const std::uint8_t clamped[32],
                                const std::uint8_t point[32]) {
  const Fe x1 = unpack(point);
  Fe x2 = {{1}}, z2 = {}, x3 = x1, z3 = {{1}};
  const Fe a24 = {{0xdb41, 1}};  // (486662 - 2) / 4 = 121665
  std::int64_t swap = 0;
  for (int t = 254; t >= 0; --t) {
    const std::int64_t bit = (clamped[t >> 3] >> (t & 7)) & 1;
    swap ^= bit;
    conditional_swap(x2, x3, swap);
    conditional_swap(z2, z3, swap);
    swap = bit;

    const Fe a = add(x2, z2);
    const Fe aa = mul(a, a);
    const Fe b = sub(x2, z2);
    const Fe bb = mul(b, b);
    const Fe e = sub(aa, bb);
    const Fe c = add(x3, z3);
    const Fe d = sub(x3, z3);
    const Fe da = mul(d, a);
    const Fe cb = mul(c, b);
    const Fe sum = add(da, cb);
    x3 = mul(sum, sum);
    const Fe difference = sub(da, cb);
    z3 = mul(x1, mul(difference, difference));
    x2 = mul(aa, bb);
    z2 = mul(e, add(aa, mul(a24, e)));
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
