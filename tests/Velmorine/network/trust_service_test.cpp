#include "Velmorine/network/trust_service.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "native/protocol/ve_protocol.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::network {
namespace {

using store::Bytes;
using Case = TrustFailure::Case;

constexpr const char* kDevice = "6f1c2a4e-93b5-4d7e-8a21-3c4b5d6e7f80";
constexpr const char* kDeviceUpper = "6F1C2A4E-93B5-4D7E-8A21-3C4B5D6E7F80";
constexpr const char* kOtherDevice = "0a1b2c3d-4e5f-4a6b-9c7d-8e9fa0b1c2d3";

Bytes key(uint8_t seed, size_t length = 32) { return Bytes(length, seed); }

template <typename Call>
std::optional<Case> trustFailureOf(Call call) {
  try {
    call();
  } catch (const TrustFailure& failure) {
    return failure.failure();
  }
  return std::nullopt;
}

class TrustServiceTest : public ::testing::Test {
 protected:
  static constexpr std::chrono::system_clock::time_point kNow{std::chrono::seconds(1'800'000'000)};

  testing::TemporaryFolder root;
  std::shared_ptr<store::LocalStore> store = std::make_shared<store::LocalStore>(root / "store");
  TrustService trust{store, [] { return kNow; }};

  const store::StoreDocument& document() const { return store->document(); }
  const store::TrustRecord& record(const std::string& contact) const {
    return document().trust.at(contact);
  }
  std::vector<std::string> actions() const {
    std::vector<std::string> result;
    for (const auto& entry : document().audit) result.push_back(entry.action);
    return result;
  }
  static std::string separateOf(const std::string& claimed, const Bytes& publicKey) {
    return *VEProtocol::separateContactWithClaimedID(claimed, publicKey);
  }
};

TEST_F(TrustServiceTest, FirstSessionPinsOnceAndLaterSessionsWithTheSameKeyWriteNothing) {
  EXPECT_EQ(trust.admit(kDevice, key(1)), kDevice);
  ASSERT_EQ(document().trust.size(), 1u);
  EXPECT_EQ(record(kDevice),
            (store::TrustRecord{*core::Uuid::parse(kDevice), key(1), false, false}));
  ASSERT_EQ(document().audit.size(), 1u);
  const auto& entry = document().audit[0];
  EXPECT_EQ(entry.action, "first-trust");
  EXPECT_EQ(entry.contactID, *core::Uuid::parse(kDevice));
  EXPECT_EQ(entry.date, store::Date::fromSystemTime(kNow));
  EXPECT_FALSE(entry.id.is_nil());

  const auto before = document();
  EXPECT_EQ(trust.admit(kDevice, key(1)), kDevice);
  EXPECT_EQ(document(), before);
}

TEST_F(TrustServiceTest, PinnedKeyIsOnDiskForTheNextStore) {
  trust.admit(kDevice, key(1));
  store.reset();
  trust = TrustService(nullptr);
  store::LocalStore reopened(root / "store");
  EXPECT_EQ(reopened.document().trust.at(kDevice).publicKey, key(1));
}

TEST_F(TrustServiceTest, UpperCaseClaimIsItsOwnContact) {
  EXPECT_EQ(trust.admit(kDeviceUpper, key(1)), kDeviceUpper);
  EXPECT_EQ(trust.admit(kDevice, key(2)), kDevice);
  EXPECT_EQ(document().trust.size(), 2u);
  EXPECT_EQ(record(kDeviceUpper).publicKey, key(1));
  EXPECT_EQ(record(kDevice).publicKey, key(2));
}

TEST_F(TrustServiceTest, ChangedKeyIsReportedAndNothingIsWritten) {
  trust.admit(kDevice, key(1));
  const auto before = document();
  EXPECT_EQ(trustFailureOf([&] { trust.admit(kDevice, key(2)); }), Case::changedKey);
  EXPECT_EQ(document(), before);
}

struct InvalidAdmission {
  const char* name;
  std::string claimed;
  size_t keyLength;
};

class TrustServiceInvalidAdmission : public TrustServiceTest,
                                     public ::testing::WithParamInterface<InvalidAdmission> {};

TEST_P(TrustServiceInvalidAdmission, IsInvalidIdentityAndWritesNothingEvenForABlockedContact) {
  trust.admit(kDevice, key(1));
  trust.setBlocked(true, kDevice);
  const auto before = document();
  const auto& c = GetParam();
  EXPECT_EQ(trustFailureOf([&] { trust.admit(c.claimed, key(1, c.keyLength)); }),
            Case::invalidIdentity);
  EXPECT_EQ(document(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrustServiceInvalidAdmission,
    ::testing::Values(InvalidAdmission{"ShortKey", kDevice, 31},
                      InvalidAdmission{"LongKey", kDevice, 33},
                      InvalidAdmission{"EmptyKey", kDevice, 0},
                      InvalidAdmission{"NotUuid", "not-a-device", 32},
                      InvalidAdmission{"NoHyphens", "6f1c2a4e93b54d7e8a213c4b5d6e7f80", 32},
                      InvalidAdmission{"TrailingSpace", std::string(kDevice) + " ", 32},
                      InvalidAdmission{"Empty", "", 32}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(TrustServiceTest, BlockedClaimedContactRefusesEveryKeyOfTheDevice) {
  trust.admit(kDevice, key(1));
  EXPECT_EQ(trust.resolveChangedKey(kDevice, key(2), true), separateOf(kDevice, key(2)));
  trust.setBlocked(true, kDevice);
  for (uint8_t seed : {1, 2, 3}) {
    EXPECT_EQ(trustFailureOf([&] { trust.admit(kDevice, key(seed)); }), Case::blocked) << +seed;
  }
}

TEST_F(TrustServiceTest, SeparateContactTakesTheNewKeyAndLeavesTheOldContactAsItWas) {
  trust.admit(kDevice, key(1));
  trust.markVerified(kDevice, key(1));
  const auto old = record(kDevice);
  const std::string separate = separateOf(kDevice, key(2));

  EXPECT_EQ(trust.resolveChangedKey(kDevice, key(2), true), separate);
  EXPECT_EQ(record(kDevice), old);
  EXPECT_EQ(record(separate),
            (store::TrustRecord{*core::Uuid::parse(kDevice), key(2), false, false}));
  EXPECT_EQ(document().audit.back().action, "separate-contact");
  EXPECT_EQ(document().audit.back().contactID, *core::Uuid::parse(separate));

  EXPECT_EQ(trust.admit(kDevice, key(2)), separate);
  EXPECT_EQ(trust.admit(kDevice, key(1)), kDevice);
  // A third key of the same device is still a changed key of the claimed contact.
  EXPECT_EQ(trustFailureOf([&] { trust.admit(kDevice, key(3)); }), Case::changedKey);
}

TEST_F(TrustServiceTest, ReplaceForgetsTheOldKeyAndItsVerification) {
  trust.admit(kDevice, key(1));
  trust.markVerified(kDevice, key(1));
  EXPECT_EQ(trust.resolveChangedKey(kDevice, key(2), false), kDevice);
  EXPECT_EQ(record(kDevice),
            (store::TrustRecord{*core::Uuid::parse(kDevice), key(2), false, false}));
  EXPECT_EQ(trustFailureOf([&] { trust.admit(kDevice, key(1)); }), Case::changedKey);
  EXPECT_EQ(trust.admit(kDevice, key(2)), kDevice);
  EXPECT_EQ(actions(),
            (std::vector<std::string>{"first-trust", "manually-verified", "replace-trust"}));
}

TEST_F(TrustServiceTest, ResolvingAKeyOfAnUnknownContactFilesIt) {
  EXPECT_EQ(trust.resolveChangedKey(kDevice, key(4), false), kDevice);
  EXPECT_EQ(record(kDevice).publicKey, key(4));
  EXPECT_EQ(actions(), std::vector<std::string>{"replace-trust"});
}

struct RefusedResolution {
  const char* name;
  std::string contact;
  size_t keyLength;
  bool separate;
  bool blockContact;
  bool blockSeparate;
  Case expected;
};

class TrustServiceRefusedResolution : public TrustServiceTest,
                                      public ::testing::WithParamInterface<RefusedResolution> {};

TEST_P(TrustServiceRefusedResolution, RefusesAndWritesNothing) {
  const auto& c = GetParam();
  trust.admit(kDevice, key(1));
  if (c.blockSeparate) {
    const std::string separate = trust.resolveChangedKey(kDevice, key(2), true);
    trust.setBlocked(true, separate);
  }
  if (c.blockContact) trust.setBlocked(true, kDevice);
  const auto before = document();
  EXPECT_EQ(
      trustFailureOf([&] { trust.resolveChangedKey(c.contact, key(2, c.keyLength), c.separate); }),
      c.expected);
  EXPECT_EQ(document(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrustServiceRefusedResolution,
    ::testing::Values(
        RefusedResolution{"NotUuid", "device", 32, false, false, false, Case::invalidIdentity},
        RefusedResolution{"ShortKey", kDevice, 31, true, false, false, Case::invalidIdentity},
        RefusedResolution{"BlockedContactReplace", kDevice, 32, false, true, false, Case::blocked},
        RefusedResolution{"BlockedContactSeparate", kDevice, 32, true, true, false, Case::blocked},
        RefusedResolution{"BlockedSeparateTarget", kDevice, 32, true, false, true, Case::blocked}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(TrustServiceTest, BlockAndUnblockAreAuditedEveryTime) {
  trust.admit(kDevice, key(1));
  trust.setBlocked(true, kDevice);
  trust.setBlocked(true, kDevice);
  EXPECT_TRUE(record(kDevice).blocked);
  EXPECT_EQ(trustFailureOf([&] { trust.admit(kDevice, key(1)); }), Case::blocked);
  trust.setBlocked(false, kDevice);
  EXPECT_FALSE(record(kDevice).blocked);
  EXPECT_EQ(trust.admit(kDevice, key(1)), kDevice);
  EXPECT_EQ(actions(), (std::vector<std::string>{"first-trust", "block", "block", "unblock"}));
}

TEST_F(TrustServiceTest, BlockingAContactWithoutRecordOrIdentifierIsInvalidIdentity) {
  trust.admit(kDevice, key(1));
  const auto before = document();
  EXPECT_EQ(trustFailureOf([&] { trust.setBlocked(true, kOtherDevice); }), Case::invalidIdentity);
  EXPECT_EQ(trustFailureOf([&] { trust.setBlocked(true, "nobody"); }), Case::invalidIdentity);
  EXPECT_EQ(trustFailureOf([&] { trust.setBlocked(true, kDeviceUpper); }), Case::invalidIdentity);
  EXPECT_EQ(document(), before);
}

struct RefusedVerification {
  const char* name;
  std::string contact;
  uint8_t keySeed;
  bool block;
};

class TrustServiceRefusedVerification : public TrustServiceTest,
                                        public ::testing::WithParamInterface<RefusedVerification> {
};

TEST_P(TrustServiceRefusedVerification, IsChangedKeyAndWritesNothing) {
  const auto& c = GetParam();
  trust.admit(kDevice, key(1));
  if (c.block) trust.setBlocked(true, kDevice);
  const auto before = document();
  EXPECT_EQ(trustFailureOf([&] { trust.markVerified(c.contact, key(c.keySeed)); }),
            Case::changedKey);
  EXPECT_EQ(document(), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, TrustServiceRefusedVerification,
                         ::testing::Values(RefusedVerification{"OtherKey", kDevice, 2, false},
                                           RefusedVerification{"Blocked", kDevice, 1, true},
                                           RefusedVerification{"NoRecord", kOtherDevice, 1, false},
                                           RefusedVerification{"NotUuid", "device", 1, false}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(TrustServiceTest, VerifyingTwiceIsAuditedTwice) {
  trust.admit(kDevice, key(1));
  trust.markVerified(kDevice, key(1));
  trust.markVerified(kDevice, key(1));
  EXPECT_TRUE(record(kDevice).manuallyVerified);
  EXPECT_EQ(actions(),
            (std::vector<std::string>{"first-trust", "manually-verified", "manually-verified"}));
}

TEST_F(TrustServiceTest, FullTrustMapRefusesANewDeviceWithTheStoresCapacity) {
  store->update([](store::StoreDocument& document) {
    for (size_t i = 0; i < store::LocalStore::kMaximumTrustRecords; ++i) {
      const auto id = core::Uuid::random();
      document.trust[id.to_string()] = store::TrustRecord{id, key(7), false, false};
    }
  });
  const auto before = document();
  try {
    trust.admit(kDevice, key(1));
    FAIL() << "admitted past the store's limit";
  } catch (const store::LocalStoreError& error) {
    EXPECT_EQ(error.errorCase(), store::LocalStoreError::Case::capacity);
  }
  EXPECT_EQ(document(), before);
}

}  // namespace
}  // namespace velmorine::network
