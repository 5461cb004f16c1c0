#include "native/secure/velsecure_context.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <thread>
#include <vector>

#include "native/secure/noise/noise_errors.h"
#include "native/secure/noise/noise_util.h"

namespace {

// A scripted platform: counts callback calls, fills with a fixed byte or fails.
struct FakePlatform {
  int random_calls = 0;
  int wipe_calls = 0;
  bool fail = false;
  uint8_t fill_byte = 0xA5;
};

int fake_random(uint64_t context, void* buffer, size_t length) {
  auto* fake = reinterpret_cast<FakePlatform*>(context);
  ++fake->random_calls;
  // A failing source may leave garbage behind; the context must not pass it on.
  std::memset(buffer, fake->fail ? 0x5C : fake->fill_byte, length);
  return fake->fail ? 0 : 1;
}

void fake_wipe(uint64_t context, void* buffer, size_t length) {
  ++reinterpret_cast<FakePlatform*>(context)->wipe_calls;
  std::memset(buffer, 0, length);
}

VelSecurePlatform platform_for(FakePlatform* fake) {
  return VelSecurePlatform{32, 1, reinterpret_cast<uint64_t>(fake), fake_random, fake_wipe};
}

struct PlatformCase {
  const char* name;
  void (*spoil)(VelSecurePlatform&);
};

class RefusedPlatform : public testing::TestWithParam<PlatformCase> {};

TEST_P(RefusedPlatform, GivesInvalidArgumentAndLeavesHandleNull) {
  FakePlatform fake;
  VelSecurePlatform platform = platform_for(&fake);
  GetParam().spoil(platform);
  VelSecureContext context = nullptr;
  StatusRecord record{};
  EXPECT_EQ(velsecure_context_create(&platform, &context, &record), VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(record.code, VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(record.operation, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedPlatform,
    testing::Values(PlatformCase{"version2", [](VelSecurePlatform& p) { p.version = 2; }},
                    PlatformCase{"version0", [](VelSecurePlatform& p) { p.version = 0; }},
                    PlatformCase{"size31", [](VelSecurePlatform& p) { p.size = 31; }},
                    PlatformCase{"noRandom", [](VelSecurePlatform& p) { p.random = nullptr; }},
                    PlatformCase{"noWipe", [](VelSecurePlatform& p) { p.wipe = nullptr; }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(VelSecureContext, RefusesMissingPlatformOrHandle) {
  FakePlatform fake;
  VelSecurePlatform platform = platform_for(&fake);
  VelSecureContext context = nullptr;
  EXPECT_EQ(velsecure_context_create(nullptr, &context, nullptr), VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(velsecure_context_create(&platform, nullptr, nullptr), VELSECURE_INVALID_ARGUMENT);
}

TEST(VelSecureContext, RefusesAHandleThatAlreadyHoldsAnObject) {
  FakePlatform fake;
  VelSecurePlatform platform = platform_for(&fake);
  VelSecureContext context = nullptr;
  ASSERT_EQ(velsecure_context_create(&platform, &context, nullptr), VELSECURE_OK);
  VelSecureContext held = context;
  StatusRecord record{};
  EXPECT_EQ(velsecure_context_create(&platform, &context, &record), VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(context, held);
  EXPECT_EQ(record.operation, 1u);
  velsecure_context_destroy(context);
}

TEST(VelSecureContext, AcceptsALargerRecordAndResetsStatusOnSuccess) {
  FakePlatform fake;
  struct {
    VelSecurePlatform platform;
    uint64_t future_field;
  } larger{platform_for(&fake), 42};
  larger.platform.size = sizeof(larger);
  VelSecureContext context = nullptr;
  StatusRecord record{9, 9, 9, 9, 9, 9};
  ASSERT_EQ(velsecure_context_create(&larger.platform, &context, &record), VELSECURE_OK);
  EXPECT_EQ(record.size, 24u);
  EXPECT_EQ(record.version, 1u);
  EXPECT_EQ(record.code, 0u);
  EXPECT_EQ(record.operation, 0u);
  EXPECT_EQ(record.detail, 0u);
  velsecure_context_destroy(context);
  EXPECT_EQ(fake.wipe_calls, 1);  // destroy wipes through the caller's callback
}

TEST(VelSecureContext, RandomUsesTheCallbackAndWipesOnFailure) {
  FakePlatform fake;
  VelSecurePlatform platform = platform_for(&fake);
  VelSecureContext context = nullptr;
  ASSERT_EQ(velsecure_context_create(&platform, &context, nullptr), VELSECURE_OK);

  std::array<uint8_t, 40> buffer{};
  EXPECT_EQ(velsecure_context_random(context, buffer.data(), buffer.size(), nullptr), VELSECURE_OK);
  EXPECT_TRUE(std::ranges::all_of(buffer, [](uint8_t b) { return b == 0xA5; }));

  fake.random_calls = 0;
  EXPECT_EQ(velsecure_context_random(context, nullptr, 0, nullptr), VELSECURE_OK);
  EXPECT_EQ(fake.random_calls, 0);

  fake.fail = true;
  StatusRecord record{};
  EXPECT_EQ(velsecure_context_random(context, buffer.data(), buffer.size(), &record),
            VELSECURE_RANDOM_FAILED);
  EXPECT_EQ(record.operation, 2u);
  EXPECT_TRUE(std::ranges::all_of(buffer, [](uint8_t b) { return b == 0; }));

  EXPECT_EQ(velsecure_context_random(nullptr, buffer.data(), 1, &record),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(velsecure_context_random(context, nullptr, 1, &record), VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(record.operation, 2u);
  velsecure_context_destroy(context);
}

TEST(VelSecureContext, ClearFallsBackToZeroingWithoutContext) {
  std::array<uint8_t, 8> buffer;
  buffer.fill(0xEE);
  velsecure_context_clear(nullptr, buffer.data(), buffer.size());
  EXPECT_TRUE(std::ranges::all_of(buffer, [](uint8_t b) { return b == 0; }));
  velsecure_context_clear(nullptr, nullptr, 5);
  velsecure_context_destroy(nullptr);
}

TEST(VelSecurePlatformDefault, CreatesAContextThatDrawsSystemRandomness) {
  const VelSecurePlatform platform = velsecure_platform_default();
  EXPECT_EQ(platform.size, 32u);
  EXPECT_EQ(platform.version, 1u);
  EXPECT_EQ(platform.context, 0u);
  VelSecureContext context = nullptr;
  ASSERT_EQ(velsecure_context_create(&platform, &context, nullptr), VELSECURE_OK);
  // 1000 bytes crosses getrandom's 256-byte single-call guarantee.
  std::vector<uint8_t> a(1000), b(1000);
  ASSERT_EQ(velsecure_context_random(context, a.data(), a.size(), nullptr), VELSECURE_OK);
  ASSERT_EQ(velsecure_context_random(context, b.data(), b.size(), nullptr), VELSECURE_OK);
  EXPECT_NE(a, b);
  std::array<uint8_t, 4> wiped{1, 2, 3, 4};
  velsecure_context_clear(context, wiped.data(), wiped.size());
  EXPECT_EQ(wiped, (std::array<uint8_t, 4>{}));
  velsecure_context_destroy(context);
}

int failing_fill(void*, void* buffer, size_t length) {
  std::memset(buffer, 0x77, length);
  return 0;
}

int counting_fill(void* context, void* buffer, size_t length) {
  ++*static_cast<int*>(context);
  std::memset(buffer, 0x11, length);
  return 1;
}

TEST(VelSecureRandomFill, RefusesBadArgumentsAndZeroesOnFailure) {
  int calls = 0;
  const VelSecureRandomProvider counting{counting_fill, &calls};
  const VelSecureRandomProvider failing{failing_fill, nullptr};
  const VelSecureRandomProvider empty{nullptr, nullptr};
  std::array<uint8_t, 16> buffer{};
  EXPECT_EQ(velsecure_random_fill(nullptr, buffer.data(), buffer.size()), 0);
  EXPECT_EQ(velsecure_random_fill(&empty, buffer.data(), buffer.size()), 0);
  EXPECT_EQ(velsecure_random_fill(&counting, nullptr, 1), 0);
  EXPECT_EQ(velsecure_random_fill(&counting, nullptr, 0), 1);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(velsecure_random_fill(&counting, buffer.data(), buffer.size()), 1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(buffer[15], 0x11);
  EXPECT_EQ(velsecure_random_fill(&failing, buffer.data(), buffer.size()), 0);
  EXPECT_EQ(buffer, (std::array<uint8_t, 16>{}));
}

TEST(VelSecureRandomScope, NestsPerThreadAndFeedsNoiseRandom) {
  int calls = 0;
  const VelSecureRandomProvider counting{counting_fill, &calls};
  const VelSecureRandomProvider failing{failing_fill, nullptr};
  EXPECT_EQ(velsecure_noise_random_scope_current(), nullptr);
  uint8_t byte = 0;
  {
    VelSecureRandomScope outer(&counting);
    EXPECT_EQ(noise_rand_bytes(&byte, 1), NOISE_ERROR_NONE);
    EXPECT_EQ(byte, 0x11);
    {
      VelSecureRandomScope inner(&failing);
      EXPECT_EQ(noise_rand_bytes(&byte, 1), NOISE_ERROR_SYSTEM);
      EXPECT_EQ(byte, 0);
      // Another thread sees none of this thread's scopes.
      std::thread([] { EXPECT_EQ(velsecure_noise_random_scope_current(), nullptr); }).join();
    }
    EXPECT_EQ(velsecure_noise_random_scope_current(), &counting);
  }
  EXPECT_EQ(velsecure_noise_random_scope_current(), nullptr);
  EXPECT_EQ(calls, 1);
  // Outside any scope the system source serves.
  EXPECT_EQ(noise_rand_bytes(&byte, 1), NOISE_ERROR_NONE);
}

}  // namespace
