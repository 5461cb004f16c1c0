#include "Velmorine/store/keychain_service.h"

#include <gtest/gtest.h>

namespace velmorine::store {
namespace {

TEST(KeychainService, BaseAndGroupFollowTheBundle) {
  const std::string product = VELMORINE_PRODUCT_IDENTIFIER;
  struct Case {
    nlohmann::json info;
    std::string base;
    std::optional<std::string> group;
  };
  const std::vector<Case> cases = {
      {{{"BundleIdentifier", product}, {"VelmorineMacKeychainGroup", "TEAM.group"}},
       product + ".macos",
       "TEAM.group"},
      {{{"BundleIdentifier", product + ".macos"}, {"VelmorineMacKeychainGroup", "TEAM.group"}},
       product + ".macos",
       "TEAM.group"},
      {{{"BundleIdentifier", "org.example.Test"}, {"VelmorineMacKeychainGroup", "TEAM.group"}},
       "org.example.Test",
       std::nullopt},
      {{{"VelmorineMacKeychainGroup", "TEAM.group"}}, product + ".macos.dev", std::nullopt},
      {{{"BundleIdentifier", 12}}, product + ".macos.dev", std::nullopt},
      {{{"BundleIdentifier", product}}, product + ".macos", std::nullopt},
      {{{"BundleIdentifier", product}, {"VelmorineMacKeychainGroup", 5}},
       product + ".macos",
       std::nullopt},
  };
  for (const auto& test : cases) {
    const platform::Bundle bundle(test.info);
    EXPECT_EQ(keychainServiceBase(bundle), test.base) << test.info.dump();
    EXPECT_EQ(keychainAccessGroup(bundle), test.group) << test.info.dump();
  }
}

TEST(KeychainService, IdentifierDifferingOnlyInCaseIsNotRecognised) {
  std::string upper = VELMORINE_PRODUCT_IDENTIFIER;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const platform::Bundle bundle({{"BundleIdentifier", upper}, {"VelmorineMacKeychainGroup", "G"}});
  EXPECT_EQ(keychainServiceBase(bundle), upper);
  EXPECT_EQ(keychainAccessGroup(bundle), std::nullopt);
}

}  // namespace
}  // namespace velmorine::store
