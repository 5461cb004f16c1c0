// The one compatibility check, reached through the secure channel's header and the
// discovery announcement's header in the same file: a second declaration with another
// parameter type would make every call with a plain integer ambiguous.
#include "native/secure/channel/compatibility.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string_view>

#include "native/protocol/discovery_announcement.h"

namespace velmorine::protocol {
namespace {

struct DiscoveryCase {
  const char* label;
  uint16_t wire_major;
  std::string_view channel;
  bool compatible;
};

void PrintTo(const DiscoveryCase& c, std::ostream* out) {
  *out << c.wire_major << ", \"" << c.channel << "\" (" << c.channel.size() << " bytes)";
}

class DiscoveryCompatibility : public ::testing::TestWithParam<DiscoveryCase> {};

TEST_P(DiscoveryCompatibility, NeedsWireMajorTwoAndTheExactChannelName) {
  const DiscoveryCase& c = GetParam();
  EXPECT_EQ(is_discovery_compatible(c.wire_major, c.channel), c.compatible);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiscoveryCompatibility,
    ::testing::Values(
        DiscoveryCase{"current", 2, "velsecure-v1", true},
        DiscoveryCase{"older_major", 1, "velsecure-v1", false},
        DiscoveryCase{"newer_major", 3, "velsecure-v1", false},
        DiscoveryCase{"major_zero", 0, "velsecure-v1", false},
        DiscoveryCase{"largest_major", 0xffff, "velsecure-v1", false},
        DiscoveryCase{"other_version", 2, "velsecure-v2", false},
        DiscoveryCase{"upper_case", 2, "VELSECURE-V1", false},
        DiscoveryCase{"trailing_zero", 2, std::string_view("velsecure-v1\0", 13), false},
        DiscoveryCase{"padded_to_16", 2, std::string_view(velsecure_v1_channel, 16), false},
        DiscoveryCase{"prefix", 2, "velsecure-v", false}, DiscoveryCase{"empty", 2, "", false}),
    [](const ::testing::TestParamInfo<DiscoveryCase>& param_info) {
      return param_info.param.label;
    });

TEST(DiscoveryCompatibility, TakesPlainIntegersThroughBothHeaders) {
  EXPECT_TRUE(is_discovery_compatible(2, "velsecure-v1"));
  EXPECT_FALSE(is_discovery_compatible(3, "velsecure-v1"));
  EXPECT_TRUE(is_compatible(2));
  EXPECT_FALSE(is_compatible(0));
  EXPECT_FALSE(is_compatible(3));
  // A major that only a 16-bit parameter would wrap to 2.
  EXPECT_FALSE(is_compatible(0x10002));
}

TEST(DiscoveryCompatibility, AnnouncementsCarryTheChannelNameTheCheckAccepts) {
  EXPECT_EQ(kDiscoverySecureChannel, "velsecure-v1");
  EXPECT_TRUE(is_discovery_compatible(kDiscoveryWireMajor, kDiscoverySecureChannel));
}

}  // namespace
}  // namespace velmorine::protocol
