// The Noise layer's costs: a whole XX handshake (both ends, through the velsecure
// wrappers) and record-sized sealing through a CipherState beside OpenSSL's
// ChaCha20-Poly1305; the sealing ratio (ours / OpenSSL) is printed at the end.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "native/secure/noise/noise_cipherstate.h"
#include "native/secure/noise/noise_names.h"
#include "native/secure/velsecure_handshake.h"
#include "native/secure/velsecure_identity.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kRecord = 61440;

struct Side {
  VelSecureContext context = nullptr;
  uint8_t private_key[32];
  uint8_t public_key[32];

  Side() {
    const VelSecurePlatform platform = velsecure_platform_default();
    velsecure_context_create(&platform, &context, nullptr);
    velsecure_identity_generate(context, private_key, public_key, nullptr);
  }
  ~Side() { velsecure_context_destroy(context); }

  VelSecureHandshakeConfig config(uint32_t role) const {
    return VelSecureHandshakeConfig{
        sizeof(VelSecureHandshakeConfig),
        1,
        role,
        1,
        nullptr,
        0,
        VelSecureIdentityView_s{sizeof(VelSecureIdentityView_s), private_key, 32, public_key, 32}};
  }
};

void xx_handshake(benchmark::State& state) {
  Side initiator_side, responder_side;
  const auto init_config = initiator_side.config(VELSECURE_ROLE_INITIATOR);
  const auto resp_config = responder_side.config(VELSECURE_ROLE_RESPONDER);
  uint8_t message[256];
  size_t length = 0, payload_length = 0;
  for (auto _ : state) {
    VelSecureHandshake* init = nullptr;
    VelSecureHandshake* resp = nullptr;
    velsecure_handshake_create(initiator_side.context, &init_config, &init, nullptr);
    velsecure_handshake_create(responder_side.context, &resp_config, &resp, nullptr);
    for (int i = 0; i < 3; ++i) {
      VelSecureHandshake* writer = i % 2 == 0 ? init : resp;
      VelSecureHandshake* reader = i % 2 == 0 ? resp : init;
      velsecure_handshake_write(writer, nullptr, 0, message, sizeof(message), &length, nullptr);
      velsecure_handshake_read(reader, message, length, nullptr, 0, &payload_length, nullptr);
    }
    uint8_t hash[32];
    benchmark::DoNotOptimize(velsecure_handshake_transcript_hash(resp, hash, nullptr));
    velsecure_handshake_destroy(init);
    velsecure_handshake_destroy(resp);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

Bytes filled(size_t length) {
  Bytes out(length);
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(i * 131 + 7);
  return out;
}

void seal_ours(benchmark::State& state) {
  NoiseCipherState* cipher = nullptr;
  noise_cipherstate_new_by_id(&cipher, NOISE_CIPHER_CHACHAPOLY);
  const Bytes key = filled(32);
  noise_cipherstate_init_key(cipher, key.data(), key.size());
  Bytes buffer = filled(kRecord + 16);
  const uint8_t ad[2] = {0xF0, 0x10};
  size_t out_length = 0;
  for (auto _ : state) {
    noise_cipherstate_encrypt_with_ad(cipher, ad, sizeof(ad), buffer.data(), kRecord, buffer.size(),
                                      &out_length);
    benchmark::DoNotOptimize(buffer.data());
  }
  noise_cipherstate_free(cipher);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRecord));
}

void seal_openssl(benchmark::State& state) {
  const Bytes key = filled(32);
  const Bytes plain = filled(kRecord);
  Bytes out(kRecord + 16);
  const uint8_t ad[2] = {0xF0, 0x10};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, nullptr, nullptr);
  uint64_t nonce = 0;
  for (auto _ : state) {
    uint8_t iv[12] = {};
    for (int i = 0; i < 8; ++i) iv[4 + i] = static_cast<uint8_t>(nonce >> (8 * i));
    ++nonce;
    int length = 0;
    EVP_EncryptInit_ex(ctx, nullptr, nullptr, key.data(), iv);
    EVP_EncryptUpdate(ctx, nullptr, &length, ad, sizeof(ad));
    EVP_EncryptUpdate(ctx, out.data(), &length, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + length, &length);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out.data() + kRecord);
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRecord));
}

// Keeps the sealing rates so that their ratio can be printed after the runs.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto bytes = run.counters.find("bytes_per_second");
      if (run.run_type == Run::RT_Iteration && bytes != run.counters.end()) {
        rates_[run.benchmark_name()] = bytes->second;
      }
    }
  }
  void print_ratio() const {
    const auto ours = rates_.find("cipherstate_seal_61440/ours");
    const auto peer = rates_.find("cipherstate_seal_61440/openssl");
    if (ours == rates_.end() || peer == rates_.end() || peer->second == 0) return;
    std::printf("\ncipherstate_seal_61440: ours %.1f MB/s, OpenSSL %.1f MB/s, ratio %.2f\n",
                ours->second / (1024 * 1024), peer->second / (1024 * 1024),
                ours->second / peer->second);
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("xx_handshake", xx_handshake);
  benchmark::RegisterBenchmark("cipherstate_seal_61440/ours", seal_ours);
  benchmark::RegisterBenchmark("cipherstate_seal_61440/openssl", seal_openssl);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratio();
  benchmark::Shutdown();
  return 0;
}
