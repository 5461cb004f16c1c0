#include "platform/bundle/bundle.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/temporary_folder.h"

namespace velmorine::platform {
namespace {

TEST(Bundle, DefaultsCarryTheProductIdentifier) {
  EXPECT_EQ(Bundle::withDefaults().identifier(), VELMORINE_PRODUCT_IDENTIFIER);
}

TEST(Bundle, InfoIsFoundUnderThePrefixThenBesideTheProgramElseDefaults) {
  testing::TemporaryFolder prefix;
  std::filesystem::create_directories(prefix / "bin");
  std::filesystem::create_directories(prefix / "share" / "velmorine");
  const auto program = prefix / "bin" / "velmorine";

  EXPECT_EQ(Bundle::forProgram(program).identifier(), VELMORINE_PRODUCT_IDENTIFIER);

  std::ofstream(prefix / "bin" / "Info.json") << R"({"BundleIdentifier":"beside"})";
  EXPECT_EQ(Bundle::forProgram(program).identifier(), "beside");

  std::ofstream(prefix / "share" / "velmorine" / "Info.json")
      << R"({"BundleIdentifier":"installed","VelmorineMacKeychainGroup":7})";
  const auto installed = Bundle::forProgram(program);
  EXPECT_EQ(installed.identifier(), "installed");
  ASSERT_NE(installed.infoValue("VelmorineMacKeychainGroup"), nullptr);
  EXPECT_TRUE(installed.infoValue("VelmorineMacKeychainGroup")->is_number());
  EXPECT_EQ(installed.infoValue("VelmorineSupportURL"), nullptr);

  // An Info.json that is not one object counts as missing.
  std::ofstream(prefix / "share" / "velmorine" / "Info.json") << "[1,2";
  EXPECT_EQ(Bundle::forProgram(program).identifier(), "beside");
}

TEST(Bundle, IdentifierOnlyWhenText) {
  EXPECT_EQ(Bundle(nlohmann::json::object()).identifier(), std::nullopt);
  EXPECT_EQ(Bundle(nlohmann::json{{"BundleIdentifier", 3}}).identifier(), std::nullopt);
  EXPECT_EQ(Bundle(nlohmann::json::array()).infoValue("BundleIdentifier"), nullptr);
}

TEST(Bundle, ApplicationSupportFolderIsAlwaysAbsolute) {
  const std::optional<std::string> account = "/home/account";
  EXPECT_EQ(applicationSupportFolder("/xdg", "/home/u", account), "/xdg/Velmorine");
  EXPECT_EQ(applicationSupportFolder(nullptr, "/home/u", account),
            "/home/u/.local/share/Velmorine");
  EXPECT_EQ(applicationSupportFolder("", "/home/u", account), "/home/u/.local/share/Velmorine");
  EXPECT_EQ(applicationSupportFolder("xdg", "/home/u", account), "/home/u/.local/share/Velmorine");
  // Without an absolute HOME the user database's home counts, never the working directory.
  EXPECT_EQ(applicationSupportFolder(nullptr, nullptr, account),
            "/home/account/.local/share/Velmorine");
  EXPECT_EQ(applicationSupportFolder("rel", "home/u", account),
            "/home/account/.local/share/Velmorine");
  EXPECT_THROW(applicationSupportFolder(nullptr, nullptr, std::nullopt), std::runtime_error);
  EXPECT_THROW(applicationSupportFolder(nullptr, "", "relative"), std::runtime_error);
}

TEST(ComputerName, PrettyHostNameForms) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"PRETTY_HOSTNAME=Studio\n", "Studio"},
      {"PRETTY_HOSTNAME=\"Anna's Laptop\"\n", "Anna's Laptop"},
      {"PRETTY_HOSTNAME='Say \"hi\"'", "Say \"hi\""},
      {"PRETTY_HOSTNAME=\"a \\\"quoted\\\" \\\\ name\"", "a \"quoted\" \\ name"},
      {"# PRETTY_HOSTNAME=commented\nICON_NAME=computer\n", std::nullopt},
      {"PRETTY_HOSTNAME=\"\"\n", std::nullopt},
      {"PRETTY_HOSTNAME=\"open quote\n", std::nullopt},
      {"CHASSIS=laptop\n  PRETTY_HOSTNAME = Büro Rechner \r\n", "Büro Rechner"},
      {"PRETTY_HOSTNAME=first\nPRETTY_HOSTNAME=second\n", "second"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(prettyHostName(text), expected) << text;
}

TEST(ComputerName, FallsBackToHostName) {
  testing::TemporaryFolder folder;
  const auto info = folder / "machine-info";
  EXPECT_EQ(computerName(info, "host"), "host");
  EXPECT_EQ(computerName(info, ""), std::nullopt);
  EXPECT_EQ(computerName(info, std::nullopt), std::nullopt);
  std::ofstream(info) << "PRETTY_HOSTNAME=\"Pretty One\"\n";
  EXPECT_EQ(computerName(info, "host"), "Pretty One");
}

}  // namespace
}  // namespace velmorine::platform
