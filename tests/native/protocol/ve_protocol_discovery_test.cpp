#include <gtest/gtest.h>

#include <string>

#include "native/protocol/ve_announcement.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine {
namespace {

const std::string kPeerId = "5F0C1D2E-3A4B-4C5D-8E6F-708192A3B4C5";  // either case is accepted
const std::string kLocalId = "0a1b2c3d-4e5f-4a6b-9c7d-8e9fa0b1c2d3";
const std::string kFingerprint(64, 'b');
const std::string kNonce(64, 'c');

TEST(VEProtocolDiscovery, BuiltAnnouncementReadsBackThroughTheBridge) {
  const auto bytes =
      VEProtocol::discoveryWithID(kPeerId, "Desk \"one\"", kFingerprint, kNonce, 40001, 15, 3);
  ASSERT_TRUE(bytes);
  const auto announcement = VEProtocol::parseDiscovery(*bytes, kLocalId);
  ASSERT_TRUE(announcement);
  EXPECT_EQ(announcement->deviceID(), "5f0c1d2e-3a4b-4c5d-8e6f-708192a3b4c5");
  EXPECT_EQ(announcement->displayName(), "Desk \"one\"");
  EXPECT_EQ(announcement->platform(), "linux");
  EXPECT_EQ(announcement->fingerprint(), kFingerprint);
  EXPECT_EQ(announcement->nonce(), kNonce);
  EXPECT_EQ(announcement->port(), 40001u);
  EXPECT_EQ(announcement->capabilities(), 15u);
  EXPECT_EQ(announcement->sequence(), 3u);
}

TEST(VEProtocolDiscovery, BuilderRefusals) {
  struct Case {
    std::string label;
    std::string id;
    std::string name;
    uint64_t port;
    uint64_t capabilities;
  };
  const std::vector<Case> cases = {
      {"bad identifier", "not-a-uuid", "Desk", 40001, 0},
      {"port 65536", kPeerId, "Desk", 65536, 0},
      {"port 0", kPeerId, "Desk", 0, 0},
      {"capabilities 2^32", kPeerId, "Desk", 40001, uint64_t{1} << 32},
      {"name not UTF-8", kPeerId, "Desk\xFF", 40001, 0},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(
        VEProtocol::discoveryWithID(c.id, c.name, kFingerprint, kNonce, c.port, c.capabilities, 1))
        << c.label;
  }
  EXPECT_TRUE(
      VEProtocol::discoveryWithID(kPeerId, "Desk", kFingerprint, kNonce, 65535, 4294967295u, 1));
}

TEST(VEProtocolDiscovery, OwnAnnouncementAndBadLocalIdentifierGiveNothing) {
  const auto bytes = VEProtocol::discoveryWithID(kPeerId, "Desk", kFingerprint, kNonce, 1, 0, 1);
  ASSERT_TRUE(bytes);
  EXPECT_FALSE(VEProtocol::parseDiscovery(*bytes, kPeerId));
  EXPECT_FALSE(VEProtocol::parseDiscovery(*bytes, "local"));
  EXPECT_FALSE(VEProtocol::parseDiscovery({}, kLocalId));
}

TEST(VEAnnouncement, PlatformWithoutANameReadsUnknown) {
  protocol::DiscoveryAnnouncement record;
  record.device_id = *core::Uuid::parse(kLocalId);
  for (int32_t platform : {0, 6, -1, 99}) {
    record.platform = platform;
    EXPECT_EQ(VEAnnouncement(record).platform(), "unknown") << platform;
  }
  record.platform = protocol::kPlatformMacos;
  EXPECT_EQ(VEAnnouncement(record).platform(), "macos");
}

}  // namespace
}  // namespace velmorine
