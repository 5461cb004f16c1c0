#include "Velmorine/runtime/trust_index.h"

#include <gtest/gtest.h>

#include "native/protocol/ve_protocol.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::runtime {
namespace {

const std::string kDevice = "4d1c0000-0000-4000-8000-000000000001";
const std::string kOther = "4d1c0000-0000-4000-8000-000000000002";
// The device's own contact and a separate contact made for it after a key change; the
// separate one sorts first.
const std::string kSeparate = "0a000000-0000-4000-8000-000000000009";

std::vector<uint8_t> key(uint8_t fill) { return std::vector<uint8_t>(32, fill); }

store::TrustRecord recordOf(const std::string& device, uint8_t fill, bool blocked = false) {
  return store::TrustRecord{*core::Uuid::parse(device), key(fill), false, blocked};
}

class TrustIndexTest : public ::testing::Test {
 protected:
  velmorine::testing::TemporaryFolder folder;
  store::LocalStore store{folder.path()};
  TrustIndex index;
};

TEST_F(TrustIndexTest, ClaimsOfADeviceComeInContactOrderWithTheirKeysFingerprints) {
  store.update([](store::StoreDocument& document) {
    document.trust[kDevice] = recordOf(kDevice, 1);
    document.trust[kSeparate] = recordOf(kDevice, 2);
    document.trust[kOther] = recordOf(kOther, 3, true);
  });
  index.refresh(store);
  const auto& claims = index.claimsOf(kDevice);
  ASSERT_EQ(claims.size(), 2u);
  EXPECT_EQ(claims[0].contact, kSeparate);
  EXPECT_EQ(claims[0].fingerprint, VEProtocol::fingerprint(key(2)));
  EXPECT_EQ(claims[1].contact, kDevice);
  EXPECT_EQ(claims[1].fingerprint, VEProtocol::fingerprint(key(1)));
  EXPECT_TRUE(index.claimsOf(kSeparate).empty());  // a contact is not a claimed device
  EXPECT_EQ(index.unblockedContacts(), (std::set<std::string>{kSeparate, kDevice}));
}

TEST_F(TrustIndexTest, FollowsEveryWriteOfTheStoreAndAnotherStoreOfTheSameDocument) {
  index.refresh(store);
  EXPECT_TRUE(index.claimsOf(kDevice).empty());

  store.update(
      [](store::StoreDocument& document) { document.trust[kDevice] = recordOf(kDevice, 1); });
  index.refresh(store);
  EXPECT_EQ(index.claimsOf(kDevice).size(), 1u);
  EXPECT_EQ(index.unblockedContacts(), std::set<std::string>{kDevice});

  store.update([](store::StoreDocument& document) { document.trust[kDevice].blocked = true; });
  index.refresh(store);
  EXPECT_TRUE(index.unblockedContacts().empty());

  // The same document read by another store (after this one is gone) is another revision.
  velmorine::testing::TemporaryFolder otherFolder;
  store::LocalStore other(otherFolder.path());
  other.update(
      [](store::StoreDocument& document) { document.trust[kOther] = recordOf(kOther, 4); });
  index.refresh(other);
  EXPECT_TRUE(index.claimsOf(kDevice).empty());
  EXPECT_EQ(index.claimsOf(kOther).size(), 1u);
}

}  // namespace
}  // namespace velmorine::runtime
