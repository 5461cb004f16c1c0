// Throughput of the primitives beside OpenSSL's, run in one process; the ratios
// (ours / OpenSSL) are printed after the individual figures.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "native/secure/primitives/blake2s.h"
#include "native/secure/primitives/chacha20.h"
#include "native/secure/primitives/chacha20_blocks.h"
#include "native/secure/primitives/chacha20_poly1305.h"
#include "native/secure/primitives/cpu_features.h"
#include "native/secure/primitives/curve25519.h"
#include "native/secure/primitives/poly1305.h"
#include "native/secure/primitives/poly1305_blocks.h"
#include "native/secure/primitives/sha256.h"

namespace {

using namespace velmorine::secure;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kRecord = 61440;

Bytes filled(std::size_t length) {
  Bytes out(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return out;
}

const Bytes kKey = filled(32);

// A short chat line: the fixed costs per record (keys, powers of r, tails) dominate.
constexpr std::size_t kChatLine = 256;

void seal_ours(benchmark::State& state) {
  const std::size_t length = static_cast<std::size_t>(state.range(0));
  const Bytes plain = filled(length);
  Bytes out(length + 16);
  std::uint64_t nonce = 0;
  for (auto _ : state) {
    chacha20_poly1305_seal(out.data(), kKey.data(), nonce++, nullptr, 0, plain.data(),
                           plain.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * length));
}

void openssl_seal_into(EVP_CIPHER_CTX* ctx, std::uint64_t nonce, const Bytes& plain, Bytes& out) {
  std::uint8_t iv[12] = {};
  for (int i = 0; i < 8; ++i) iv[4 + i] = static_cast<std::uint8_t>(nonce >> (8 * i));
  int length = 0;
  EVP_EncryptInit_ex(ctx, nullptr, nullptr, kKey.data(), iv);
  EVP_EncryptUpdate(ctx, out.data(), &length, plain.data(), static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(ctx, out.data() + length, &length);
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out.data() + plain.size());
}

void seal_openssl(benchmark::State& state) {
  const std::size_t length = static_cast<std::size_t>(state.range(0));
  const Bytes plain = filled(length);
  Bytes out(length + 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, nullptr, nullptr);
  std::uint64_t nonce = 0;
  for (auto _ : state) {
    openssl_seal_into(ctx, nonce++, plain, out);
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * length));
}

void open_ours(benchmark::State& state) {
  const Bytes plain = filled(kRecord);
  Bytes sealed(kRecord + 16), out(kRecord);
  chacha20_poly1305_seal(sealed.data(), kKey.data(), 9, nullptr, 0, plain.data(), plain.size());
  for (auto _ : state) {
    const bool ok = chacha20_poly1305_open(out.data(), kKey.data(), 9, nullptr, 0, sealed.data(),
                                           sealed.size());
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kRecord));
}

void open_openssl(benchmark::State& state) {
  const Bytes plain = filled(kRecord);
  Bytes sealed(kRecord + 16), out(kRecord + 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, nullptr, nullptr);
  openssl_seal_into(ctx, 9, plain, sealed);
  EVP_CIPHER_CTX_free(ctx);
  ctx = EVP_CIPHER_CTX_new();
  EVP_DecryptInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, nullptr, nullptr);
  std::uint8_t iv[12] = {0, 0, 0, 0, 9};
  for (auto _ : state) {
    int length = 0;
    EVP_DecryptInit_ex(ctx, nullptr, nullptr, kKey.data(), iv);
    EVP_DecryptUpdate(ctx, out.data(), &length, sealed.data(), static_cast<int>(kRecord));
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16, sealed.data() + kRecord);
    const int ok = EVP_DecryptFinal_ex(ctx, out.data() + length, &length);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kRecord));
}

// The keystream alone through one implementation (the public entry point for "ours").
void chacha_path(benchmark::State& state, ChaChaXor xor_keystream) {
  const Bytes plain = filled(kRecord);
  Bytes out(kRecord);
  ChaChaState cipher;
  chacha_keysetup(&cipher, kKey.data(), 256);
  chacha_ivsetup(&cipher, kKey.data() + 8, nullptr);
  for (auto _ : state) {
    if (xor_keystream != nullptr) {
      xor_keystream(cipher.input, plain.data(), out.data(), plain.size());
    } else {
      chacha_encrypt_bytes(&cipher, plain.data(), out.data(), plain.size());
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kRecord));
}

void chacha_openssl(benchmark::State& state) {
  const Bytes plain = filled(kRecord);
  Bytes out(kRecord);
  const std::uint8_t iv[16] = {};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_chacha20(), nullptr, kKey.data(), iv);
  for (auto _ : state) {
    int length = 0;
    EVP_EncryptUpdate(ctx, out.data(), &length, plain.data(), static_cast<int>(plain.size()));
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kRecord));
}

// One record's tag through one block implementation (the public entry point for "ours").
void poly1305_path(benchmark::State& state, Poly1305Blocks blocks) {
  const Bytes data = filled(kRecord);
  std::uint8_t tag[16];
  for (auto _ : state) {
    if (blocks != nullptr) {
      Poly1305State mac;
      poly1305_init(&mac, kKey.data());
      blocks(&mac, data.data(), data.size() / 16);
      poly1305_finish(&mac, tag);
    } else {
      poly1305_auth(tag, data.data(), data.size(), kKey.data());
    }
    benchmark::DoNotOptimize(tag);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kRecord));
}

void poly1305_openssl(benchmark::State& state) {
  const Bytes data = filled(kRecord);
  std::uint8_t tag[16];
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "POLY1305", nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  for (auto _ : state) {
    std::size_t length = 0;
    EVP_MAC_init(ctx, kKey.data(), 32, nullptr);
    EVP_MAC_update(ctx, data.data(), data.size());
    EVP_MAC_final(ctx, tag, &length, sizeof tag);
    benchmark::DoNotOptimize(tag);
  }
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kRecord));
}

template <typename State, void (*Reset)(State*),
          void (*Update)(State*, const std::uint8_t*, std::size_t),
          void (*Finish)(State*, std::uint8_t*)>
void hash_ours(benchmark::State& state) {
  const Bytes data = filled(static_cast<std::size_t>(state.range(0)));
  std::uint8_t digest[32];
  for (auto _ : state) {
    State hash;
    Reset(&hash);
    Update(&hash, data.data(), data.size());
    Finish(&hash, digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void hash_openssl(benchmark::State& state, const EVP_MD* md) {
  const Bytes data = filled(static_cast<std::size_t>(state.range(0)));
  std::uint8_t digest[64];
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  for (auto _ : state) {
    unsigned int length = 0;
    EVP_DigestInit_ex(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, data.data(), data.size());
    EVP_DigestFinal_ex(ctx, digest, &length);
    benchmark::DoNotOptimize(digest);
  }
  EVP_MD_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void x25519_ours(benchmark::State& state) {
  Bytes scalar = filled(32), point(32, 0), out(32);
  point[0] = 9;
  curve25519_donna(point.data(), scalar.data(), point.data());
  for (auto _ : state) {
    curve25519_donna(out.data(), scalar.data(), point.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void x25519_openssl(benchmark::State& state) {
  Bytes scalar = filled(32), point(32, 0), out(32);
  point[0] = 9;
  curve25519_donna(point.data(), scalar.data(), point.data());
  EVP_PKEY* ours = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, scalar.data(), 32);
  EVP_PKEY* peer = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, point.data(), 32);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(ours, nullptr);
  EVP_PKEY_derive_init(ctx);
  EVP_PKEY_derive_set_peer(ctx, peer);
  for (auto _ : state) {
    std::size_t length = out.size();
    EVP_PKEY_derive(ctx, out.data(), &length);
    benchmark::DoNotOptimize(out.data());
  }
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(peer);
  EVP_PKEY_free(ours);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// Keeps each run's rate by name so that the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      // The machine is shared: the median of the repetitions is the figure compared.
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
      const auto bytes = run.counters.find("bytes_per_second");
      const auto items = run.counters.find("items_per_second");
      double rate = 0;
      if (bytes != run.counters.end()) rate = bytes->second;
      if (items != run.counters.end()) rate = items->second;
      rates_[operation_name(run.benchmark_name())] = rate;
    }
  }

  // "sha256_1MiB/ours/1048576/repeats:5_median" -> "sha256_1MiB/ours".
  static std::string operation_name(std::string name) {
    const auto aggregate = name.rfind('_');
    if (aggregate != std::string::npos && name.compare(aggregate, 7, "_median") == 0) {
      name.erase(aggregate);
    }
    const auto repeats = name.find("/repeats:");
    if (repeats != std::string::npos) name.erase(repeats);
    const auto slash = name.find_last_of('/');
    if (slash != std::string::npos &&
        name.find_first_not_of("0123456789", slash + 1) == std::string::npos) {
      name.erase(slash);
    }
    return name;
  }

  // One row per implementation: "ours" is the public entry point, any other name a path
  // called directly.
  void print_ratios() const {
    std::printf("\n%-32s %14s %14s %8s\n", "operation", "ours", "OpenSSL", "ratio");
    for (const auto& [name, rate] : rates_) {
      const auto slash = name.rfind('/');
      if (slash == std::string::npos) continue;
      const std::string operation = name.substr(0, slash);
      const std::string path = name.substr(slash + 1);
      if (path == "openssl") continue;
      const auto peer = rates_.find(operation + "/openssl");
      if (peer == rates_.end() || peer->second == 0) continue;
      const std::string row = path == "ours" ? operation : operation + " [" + path + "]";
      const bool per_item = operation.rfind("x25519", 0) == 0;
      const double scale = per_item ? 1.0 : 1.0 / (1024 * 1024);
      std::printf("%-32s %12.1f%s %12.1f%s %8.2f\n", row.c_str(), rate * scale,
                  per_item ? "/s" : "MB", peer->second * scale, per_item ? "/s" : "MB",
                  rate / peer->second);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

// Five repetitions of each, shown as aggregates; the ratios use the medians.
void repeat(benchmark::internal::Benchmark* benchmark) {
  benchmark->Repetitions(5)->DisplayAggregatesOnly(true);
}

int main(int argc, char** argv) {
  for (const std::size_t length : {kRecord, kChatLine}) {
    const std::string label = "chachapoly_seal_" + std::to_string(length);
    benchmark::RegisterBenchmark((label + "/ours").c_str(), seal_ours)
        ->Arg(static_cast<std::int64_t>(length))
        ->Apply(repeat);
    benchmark::RegisterBenchmark((label + "/openssl").c_str(), seal_openssl)
        ->Arg(static_cast<std::int64_t>(length))
        ->Apply(repeat);
  }
  benchmark::RegisterBenchmark("chachapoly_open_61440/ours", open_ours)->Apply(repeat);
  benchmark::RegisterBenchmark("chachapoly_open_61440/openssl", open_openssl)->Apply(repeat);

  // Every implementation this CPU runs, so that a path the dispatcher does not pick is still
  // measured against the one it does.
  const CpuFeatures& cpu = cpu_features();
  struct ChaChaPath {
    const char* name;
    ChaChaXor xor_keystream;
    bool supported;
  };
  const ChaChaPath chacha_paths[] = {
    {"ours", nullptr, true},
    {"portable", chacha_xor_portable, true},
#if VELMORINE_SECURE_X86_64
    {"avx2", chacha_xor_avx2, cpu.avx2},
    {"avx512", chacha_xor_avx512, cpu.avx512f && cpu.avx512vl && cpu.avx512bw},
#endif
  };
  for (const ChaChaPath& path : chacha_paths) {
    if (!path.supported) continue;
    benchmark::RegisterBenchmark((std::string("chacha20_61440/") + path.name).c_str(), chacha_path,
                                 path.xor_keystream)
        ->Apply(repeat);
  }
  benchmark::RegisterBenchmark("chacha20_61440/openssl", chacha_openssl)->Apply(repeat);
  struct Poly1305Path {
    const char* name;
    Poly1305Blocks blocks;
    bool supported;
  };
  const Poly1305Path poly1305_paths[] = {
    {"ours", nullptr, true},
    {"portable", poly1305_blocks_portable, true},
#if VELMORINE_SECURE_X86_64
    {"avx2", poly1305_blocks_avx2, cpu.avx2},
    {"avx512", poly1305_blocks_avx512, cpu.avx512f && cpu.avx512vl && cpu.avx512bw},
    {"avx512ifma", poly1305_blocks_avx512ifma, cpu.avx512f && cpu.avx512vl && cpu.avx512ifma},
#endif
  };
  for (const Poly1305Path& path : poly1305_paths) {
    if (!path.supported) continue;
    benchmark::RegisterBenchmark((std::string("poly1305_61440/") + path.name).c_str(),
                                 poly1305_path, path.blocks)
        ->Apply(repeat);
  }
  benchmark::RegisterBenchmark("poly1305_61440/openssl", poly1305_openssl)->Apply(repeat);

  for (const std::int64_t size : {16 * 1024, 1024 * 1024}) {
    const std::string label = size == 16 * 1024 ? "16KiB" : "1MiB";
    benchmark::RegisterBenchmark(("sha256_" + label + "/ours").c_str(),
                                 hash_ours<Sha256State, sha256_reset, sha256_update, sha256_finish>)
        ->Arg(size)
        ->Apply(repeat);
    benchmark::RegisterBenchmark(("sha256_" + label + "/openssl").c_str(), hash_openssl,
                                 EVP_sha256())
        ->Arg(size)
        ->Apply(repeat);
    benchmark::RegisterBenchmark(
        ("blake2s_" + label + "/ours").c_str(),
        hash_ours<Blake2sState, blake2s_reset, blake2s_update, blake2s_finalize>)
        ->Arg(size)
        ->Apply(repeat);
    benchmark::RegisterBenchmark(("blake2s_" + label + "/openssl").c_str(), hash_openssl,
                                 EVP_blake2s256())
        ->Arg(size)
        ->Apply(repeat);
  }
  benchmark::RegisterBenchmark("x25519/ours", x25519_ours)->Apply(repeat);
  benchmark::RegisterBenchmark("x25519/openssl", x25519_openssl)->Apply(repeat);

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}
