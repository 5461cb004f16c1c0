#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "Velmorine/store/local_store.h"
#include "Velmorine/store/trusted_entry.h"
#include "native/protocol/ve_protocol.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::store {
namespace {

using core::Uuid;

Bytes key(std::uint8_t seed) { return Bytes(32, seed); }

std::string fingerprint(const Bytes& key) { return *VEProtocol::fingerprint(key); }

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

TEST(TrustedEntry, MatchesLowerCaseIdentifierAndKeyFingerprint) {
  const Uuid id = *Uuid::parse("1b4e28ba-2fa1-11d2-883f-0016d3cca427");
  const TrustRecord record{id, key(1), false, false};
  EXPECT_TRUE(isTrustedEntry(record, "1b4e28ba-2fa1-11d2-883f-0016d3cca427", fingerprint(key(1))));
  EXPECT_FALSE(isTrustedEntry(record, "1B4E28BA-2FA1-11D2-883F-0016D3CCA427", fingerprint(key(1))));
  EXPECT_FALSE(isTrustedEntry(record, "1b4e28ba-2fa1-11d2-883f-0016d3cca427", fingerprint(key(2))));
  EXPECT_FALSE(
      isTrustedEntry(record, "1b4e28ba-2fa1-11d2-883f-0016d3cca427", upper(fingerprint(key(1)))));
  const TrustRecord short_key{id, Bytes(31, 1), false, false};
  EXPECT_FALSE(isTrustedEntry(short_key, "1b4e28ba-2fa1-11d2-883f-0016d3cca427", ""));
}

class UnhidePeersTest : public ::testing::Test {
 protected:
  testing::TemporaryFolder folder;
  LocalStore store{folder.path()};
  const Uuid device = Uuid::random();
  const Uuid other_device = Uuid::random();
  // The device's first contact, a separate contact of it with a newer key, and another device.
  const std::string first_contact = device.to_string();
  const std::string separate_contact = Uuid::random().to_string();
  const std::string other_contact = other_device.to_string();

  void seed(std::optional<std::set<std::string>> hidden) {
    store.update([&](StoreDocument& d) {
      d.trust[first_contact] = TrustRecord{device, key(1), false, false};
      d.trust[separate_contact] = TrustRecord{device, key(2), false, false};
      d.trust[other_contact] = TrustRecord{other_device, key(3), false, false};
      d.hiddenHistoricalPeers = std::move(hidden);
    });
  }
  std::string document_text() const {
    std::ifstream stream(store.url(), std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  }
};

TEST_F(UnhidePeersTest, OnlyTheContactWithTheAnnouncedKeyComesBack) {
  seed(std::set<std::string>{first_contact, separate_contact, other_contact, "not-a-contact"});
  store.unhidePeers(device.to_string(), fingerprint(key(2)));
  EXPECT_EQ(store.document().hiddenHistoricalPeers,
            (std::set<std::string>{first_contact, other_contact, "not-a-contact"}));
  store.unhidePeers(device.to_string(), fingerprint(key(1)));
  store.unhidePeers(other_device.to_string(), fingerprint(key(3)));
  // The set stays present when it becomes empty of contacts.
  EXPECT_EQ(store.document().hiddenHistoricalPeers, (std::set<std::string>{"not-a-contact"}));
}

TEST_F(UnhidePeersTest, NothingIsWrittenWhenNoHiddenPeerMatches) {
  struct Case {
    const char* name;
    std::optional<std::set<std::string>> hidden;
    std::string deviceID;
    std::string keyFingerprint;
  };
  const std::vector<Case> cases = {
      {"nothing hidden", std::nullopt, device.to_string(), fingerprint(key(1))},
      {"hidden set empty", std::set<std::string>{}, device.to_string(), fingerprint(key(1))},
      {"other key", std::set<std::string>{first_contact}, device.to_string(), fingerprint(key(9))},
      {"key of another device", std::set<std::string>{first_contact}, device.to_string(),
       fingerprint(key(3))},
      {"upper-case identifier", std::set<std::string>{first_contact}, upper(device.to_string()),
       fingerprint(key(1))},
      {"matching record not hidden", std::set<std::string>{other_contact}, device.to_string(),
       fingerprint(key(1))},
  };
  for (const auto& test : cases) {
    seed(test.hidden);
    const std::string before = document_text();
    const StoreDocument document = store.document();
    store.unhidePeers(test.deviceID, test.keyFingerprint);
    EXPECT_EQ(store.document(), document) << test.name;
    EXPECT_EQ(document_text(), before) << test.name;
  }
}

}  // namespace
}  // namespace velmorine::store
