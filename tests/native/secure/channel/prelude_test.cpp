#include "native/secure/channel/prelude.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes prelude(uint32_t role, uint32_t purpose) {
  Bytes out(16);
  size_t length = 0;
  EXPECT_EQ(velsecure_prelude_write(role, purpose, out.data(), out.size(), &length, nullptr),
            VELSECURE_OK);
  EXPECT_EQ(length, 16u);
  return out;
}

TEST(PreludeWrite, HasTheFixedLayout) {
  const Bytes expected = {'V',  'E',  'L',  'M',  'O', 'R', 'I', '2',
                          0x10, 0x02, 0x01, 0x01, 2,   1,   0,   0};
  EXPECT_EQ(prelude(1, 2), expected);
}

TEST(PreludeWrite, RefusesBadArgumentsAndZeroesTheOutput) {
  struct Case {
    uint32_t role, purpose;
    size_t capacity;
    uint32_t code, detail;
  };
  const Case cases[] = {
      {0, 1, 16, VELSECURE_INVALID_ARGUMENT, 0}, {3, 1, 16, VELSECURE_INVALID_ARGUMENT, 0},
      {1, 0, 16, VELSECURE_INVALID_ARGUMENT, 0}, {1, 3, 16, VELSECURE_INVALID_ARGUMENT, 0},
      {1, 1, 15, VELSECURE_BUFFER_TOO_SMALL, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.role << "/" << c.purpose << "/" << c.capacity);
    Bytes out(16, 0xAA);
    size_t length = 99;
    StatusRecord status{};
    EXPECT_EQ(velsecure_prelude_write(c.role, c.purpose, out.data(), c.capacity, &length, &status),
              c.code);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(status.code, c.code);
    EXPECT_EQ(status.operation, VELSECURE_OP_PRELUDE);
    EXPECT_EQ(status.detail, c.detail);
    if (c.code == VELSECURE_INVALID_ARGUMENT) {
      EXPECT_EQ(out, Bytes(16, 0));
    }
  }
  Bytes out(16);
  EXPECT_EQ(velsecure_prelude_write(1, 1, out.data(), out.size(), nullptr, nullptr),
            VELSECURE_INVALID_ARGUMENT);
}

TEST(PreludeAccept, BuildsThePrologueWithTheInitiatorFirst) {
  const Bytes initiator = prelude(1, 1);
  const Bytes responder = prelude(2, 1);
  Bytes expected(std::begin("Velmorine/VelSecure/v1"), std::end("Velmorine/VelSecure/v1") - 1);
  expected.insert(expected.end(), initiator.begin(), initiator.end());
  expected.insert(expected.end(), responder.begin(), responder.end());
  ASSERT_EQ(expected.size(), 54u);

  for (const auto& [role, peer] : {std::pair{1u, responder}, std::pair{2u, initiator}}) {
    Bytes prologue(54);
    size_t length = 0;
    StatusRecord status{};
    ASSERT_EQ(velsecure_prelude_accept(role, 1, peer.data(), peer.size(), prologue.data(),
                                       prologue.size(), &length, &status),
              VELSECURE_OK);
    EXPECT_EQ(length, 54u);
    EXPECT_EQ(prologue, expected);
    EXPECT_EQ(status.size, 24u);
    EXPECT_EQ(status.code, 0u);
  }
}

// A responder for the control purpose checks what an initiator sent.
struct Refusal {
  std::string name;
  Bytes peer;
  uint32_t detail;
};
void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

Bytes with(Bytes bytes, size_t index, uint8_t value) {
  bytes[index] = value;
  return bytes;
}

class PreludeRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(PreludeRefusal, IsAProtocolErrorNamingTheField) {
  const Refusal& refusal = GetParam();
  Bytes prologue(54, 0xAA);
  size_t length = 99;
  StatusRecord status{};
  EXPECT_EQ(velsecure_prelude_accept(2, 1, refusal.peer.data(), refusal.peer.size(),
                                     prologue.data(), prologue.size(), &length, &status),
            VELSECURE_PROTOCOL_ERROR);
  EXPECT_EQ(status.operation, VELSECURE_OP_PRELUDE);
  EXPECT_EQ(status.detail, refusal.detail);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(prologue, Bytes(54, 0));
}

const Bytes kGood = prelude(1, 1);
Bytes json_frame() {
  Bytes bytes(16, ' ');
  bytes[0] = '{';
  bytes[1] = 0x03;
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    EveryField, PreludeRefusal,
    testing::Values(
        Refusal{"Short", Bytes(kGood.begin(), kGood.end() - 1), 1},
        Refusal{"Long",
                [] {
                  Bytes b = kGood;
                  b.push_back(0);
                  return b;
                }(),
                2},
        Refusal{"JsonObject", json_frame(), 4}, Refusal{"JsonArray", with(kGood, 0, '['), 4},
        Refusal{"Tls", with(with(kGood, 0, 0x16), 1, 0x03), 3},
        Refusal{"TlsWithoutVersion", with(with(kGood, 0, 0x16), 1, 0x04), 5},
        Refusal{"Magic", with(kGood, 7, '1'), 5}, Refusal{"Byte8", with(kGood, 8, 0x11), 6},
        Refusal{"Byte9", with(kGood, 9, 0x01), 7}, Refusal{"Byte10", with(kGood, 10, 0x02), 8},
        Refusal{"Byte11", with(kGood, 11, 0x00), 9},
        Refusal{"PurposeOtherSession", with(kGood, 12, 2), 10},
        Refusal{"PurposeUnknown", with(kGood, 12, 3), 10},
        Refusal{"RoleSame", with(kGood, 13, 2), 11}, Refusal{"RoleUnknown", with(kGood, 13, 0), 11},
        Refusal{"Padding14", with(kGood, 14, 1), 12},
        Refusal{"Padding15", with(kGood, 15, 0x80), 12}),
    [](const testing::TestParamInfo<Refusal>& param) { return param.param.name; });

TEST(PreludeAccept, TwoInitiatorsAreRefusedByRole) {
  const Bytes peer = prelude(1, 1);
  Bytes prologue(54);
  size_t length = 0;
  StatusRecord status{};
  EXPECT_EQ(velsecure_prelude_accept(1, 1, peer.data(), peer.size(), prologue.data(),
                                     prologue.size(), &length, &status),
            VELSECURE_PROTOCOL_ERROR);
  EXPECT_EQ(status.detail, 11u);
}

TEST(PreludeAccept, RefusesBadArguments) {
  const Bytes peer = prelude(1, 1);
  Bytes prologue(54);
  size_t length = 0;
  StatusRecord status{};
  EXPECT_EQ(velsecure_prelude_accept(2, 3, peer.data(), 16, prologue.data(), 54, &length, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(status.detail, 0u);
  EXPECT_EQ(velsecure_prelude_accept(0, 1, peer.data(), 16, prologue.data(), 54, &length, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(velsecure_prelude_accept(2, 1, nullptr, 16, prologue.data(), 54, &length, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(velsecure_prelude_accept(2, 1, peer.data(), 16, prologue.data(), 54, nullptr, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(velsecure_prelude_accept(2, 1, peer.data(), 16, prologue.data(), 53, &length, &status),
            VELSECURE_BUFFER_TOO_SMALL);
  EXPECT_EQ(status.detail, 1u);
  EXPECT_EQ(status.operation, VELSECURE_OP_PRELUDE);
}

}  // namespace
