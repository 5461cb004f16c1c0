#include "native/secure/velsecure_status.h"

#include <gtest/gtest.h>

#include <string>

#include "native/secure/noise/noise_errors.h"

namespace {

TEST(VelSecureStatusName, NamesEveryCodeAndUnknownBeyond) {
  const char* expected[] = {"ok",
                            "invalid_argument",
                            "invalid_state",
                            "buffer_too_small",
                            "out_of_memory",
                            "random_failed",
                            "invalid_key",
                            "authentication_failed",
                            "message_too_large",
                            "sequence_exhausted",
                            "protocol_error",
                            "system_error",
                            "cancelled",
                            "timed_out",
                            "truncated",
                            "identity_corrupt",
                            "identity_mismatch",
                            "trust_store_corrupt",
                            "trust_not_found",
                            "trust_conflict",
                            "trust_store_full"};
  for (uint32_t code = 0; code < std::size(expected); ++code) {
    EXPECT_EQ(std::string(velsecure_status_name(code)), expected[code]) << code;
  }
  EXPECT_STREQ(velsecure_status_name(21), "unknown");
  EXPECT_STREQ(velsecure_status_name(0xFFFFFFFFu), "unknown");
}

TEST(VelSecureStatusRecord, ResetWritesSizeAndVersionAndIgnoresNull) {
  StatusRecord record{0, 0, 7, 9, 3, 5};
  velsecure_error_reset(&record);
  EXPECT_EQ(record.size, 24u);
  EXPECT_EQ(record.version, 1u);
  EXPECT_EQ(record.code, 0u);
  EXPECT_EQ(record.operation, 0u);
  EXPECT_EQ(record.reserved, 0u);
  EXPECT_EQ(record.detail, 0u);
  velsecure_error_reset(nullptr);
}

TEST(VelSecureStatusRecord, FailOverwritesAStaleRecord) {
  StatusRecord record{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(velsecure_fail(&record, VELSECURE_TRUNCATED, VELSECURE_OP_RECORD_READER, 7),
            VELSECURE_TRUNCATED);
  EXPECT_EQ(record.size, 24u);
  EXPECT_EQ(record.version, 1u);
  EXPECT_EQ(record.code, VELSECURE_TRUNCATED);
  EXPECT_EQ(record.operation, 13u);
  EXPECT_EQ(record.reserved, 0u);
  EXPECT_EQ(record.detail, 7u);
  EXPECT_EQ(velsecure_fail(nullptr, VELSECURE_TRUNCATED, 13, 7), VELSECURE_TRUNCATED);
}

struct NoiseMapping {
  int noise_error;
  uint32_t operation;
  uint32_t code;
};

class NoiseErrorMapping : public testing::TestWithParam<NoiseMapping> {};

TEST_P(NoiseErrorMapping, MapsToStatusWithNoiseIdentifierAsDetail) {
  const NoiseMapping& c = GetParam();
  StatusRecord record{};
  EXPECT_EQ(velsecure_status_from_noise(c.noise_error, c.operation, &record), c.code);
  EXPECT_EQ(record.size, 24u);
  EXPECT_EQ(record.version, 1u);
  EXPECT_EQ(record.code, c.code);
  EXPECT_EQ(record.reserved, 0u);
  if (c.code == VELSECURE_OK) {
    EXPECT_EQ(record.operation, 0u);
    EXPECT_EQ(record.detail, 0u);
  } else {
    EXPECT_EQ(record.operation, c.operation);
    EXPECT_EQ(record.detail, static_cast<uint32_t>(c.noise_error));
  }
  EXPECT_EQ(velsecure_status_from_noise(c.noise_error, c.operation, nullptr), c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NoiseErrorMapping,
    testing::Values(NoiseMapping{0, 5, VELSECURE_OK},
                    NoiseMapping{NOISE_ERROR_NO_MEMORY, 4, VELSECURE_OUT_OF_MEMORY},
                    NoiseMapping{NOISE_ERROR_MAC_FAILURE, 6, VELSECURE_AUTHENTICATION_FAILED},
                    NoiseMapping{NOISE_ERROR_SYSTEM, 3, VELSECURE_RANDOM_FAILED},
                    NoiseMapping{NOISE_ERROR_SYSTEM, 4, VELSECURE_SYSTEM_ERROR},
                    NoiseMapping{NOISE_ERROR_SYSTEM, 5, VELSECURE_RANDOM_FAILED},
                    NoiseMapping{NOISE_ERROR_SYSTEM, 6, VELSECURE_RANDOM_FAILED},
                    NoiseMapping{NOISE_ERROR_SYSTEM, 7, VELSECURE_SYSTEM_ERROR},
                    NoiseMapping{NOISE_ERROR_SYSTEM, 19, VELSECURE_SYSTEM_ERROR},
                    NoiseMapping{NOISE_ERROR_INVALID_LENGTH, 5, VELSECURE_BUFFER_TOO_SMALL},
                    NoiseMapping{NOISE_ERROR_INVALID_PARAM, 5, VELSECURE_INVALID_ARGUMENT},
                    NoiseMapping{NOISE_ERROR_INVALID_STATE, 7, VELSECURE_INVALID_STATE},
                    NoiseMapping{NOISE_ERROR_INVALID_NONCE, 8, VELSECURE_SEQUENCE_EXHAUSTED},
                    NoiseMapping{NOISE_ERROR_INVALID_PRIVATE_KEY, 3, VELSECURE_INVALID_KEY},
                    NoiseMapping{NOISE_ERROR_INVALID_PUBLIC_KEY, 6, VELSECURE_INVALID_KEY},
                    NoiseMapping{NOISE_ERROR_UNKNOWN_NAME, 4, VELSECURE_PROTOCOL_ERROR},
                    NoiseMapping{NOISE_ERROR_LOCAL_KEY_REQUIRED, 4, VELSECURE_PROTOCOL_ERROR},
                    NoiseMapping{0x1234, 9, VELSECURE_PROTOCOL_ERROR}));

}  // namespace
