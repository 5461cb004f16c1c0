// Where and as what the login helper must be installed to open the main program.

#include "VelmorineLoginHelper/login_target.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/support/temporary_folder.h"

namespace velmorine::login {
namespace {

constexpr const char* kIdentifier = "org.example.Main.LoginHelper";

// A prefix laid out as an installation: bin/velmorine and share/velmorine/Info.json.
class LoginTargetTest : public ::testing::Test {
 protected:
  LoginTargetTest() { layOut(prefix.path(), "org.example.Main"); }

  static void layOut(const std::filesystem::path& root, const std::string& identifier) {
    std::filesystem::create_directories(root / "bin");
    std::filesystem::create_directories(root / "share" / "velmorine");
    std::ofstream(root / "bin" / "velmorine") << "#!/bin/sh\nexit 0\n";
    ::chmod((root / "bin" / "velmorine").c_str(), 0755);
    std::ofstream(root / "share" / "velmorine" / "Info.json")
        << R"({"BundleIdentifier": ")" << identifier << R"(", "ShortVersionString": "1.0"})";
  }

  std::filesystem::path helper() const {
    return prefix / "libexec" / "velmorine" / "velmorine-login-helper";
  }

  velmorine::testing::TemporaryFolder prefix;
};

TEST_F(LoginTargetTest, ResolvesTheMainProgramOfItsOwnPrefix) {
  const auto target = LoginTarget::resolve(helper(), kIdentifier);
  ASSERT_TRUE(target);
  EXPECT_EQ(target->mainProgram, prefix / "bin" / "velmorine");
  EXPECT_EQ(target->identifier, "org.example.Main");
}

TEST_F(LoginTargetTest, TheIdentifierMustNameAMainIdentifierWithTheSuffix) {
  const struct {
    const char* label;
    std::optional<std::string_view> identifier;
  } cases[] = {
      {"none", std::nullopt},
      {"the suffix alone", ".LoginHelper"},
      {"no suffix", "org.example.Main"},
      {"the suffix in other case", "org.example.Main.loginhelper"},
      {"the suffix not at the end", "org.example.Main.LoginHelper.x"},
      {"another main identifier", "org.example.Other.LoginHelper"},
      {"empty", ""},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.label);
    EXPECT_FALSE(LoginTarget::resolve(helper(), test.identifier));
  }
}

TEST_F(LoginTargetTest, ThePathMustEndInTheHelpersPlaceAfterNormalising) {
  const auto root = prefix.path();
  const struct {
    const char* label;
    std::filesystem::path path;
    bool resolves;
  } cases[] = {
      {"single dots", root / "." / "libexec" / "." / "velmorine" / "velmorine-login-helper", true},
      {"double dots", root / "libexec" / "other" / ".." / "velmorine" / "velmorine-login-helper",
       true},
      {"double dots above the prefix",
       root / "bin" / ".." / "libexec" / "velmorine" / "velmorine-login-helper", true},
      {"relative", "libexec/velmorine/velmorine-login-helper", false},
      {"in bin", root / "bin" / "velmorine-login-helper", false},
      {"in libexec itself", root / "libexec" / "velmorine-login-helper", false},
      {"in another folder", root / "libexec" / "other" / "velmorine-login-helper", false},
      {"another name", root / "libexec" / "velmorine" / "velmorine-login-helper2", false},
      {"one level too deep", root / "x" / "libexec" / "velmorine" / "velmorine-login-helper",
       false},
      {"a folder", root / "libexec" / "velmorine" / "velmorine-login-helper" / "", false},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.label);
    const auto target = LoginTarget::resolve(test.path, kIdentifier);
    EXPECT_EQ(target.has_value(), test.resolves);
    if (target) {
      EXPECT_EQ(target->mainProgram, root / "bin" / "velmorine");
    }
  }
}

TEST_F(LoginTargetTest, TheMainProgramMustBeARegularExecutableFile) {
  const auto main = prefix / "bin" / "velmorine";
  ::chmod(main.c_str(), 0644);
  EXPECT_FALSE(LoginTarget::resolve(helper(), kIdentifier)) << "not executable";
  std::filesystem::remove(main);
  EXPECT_FALSE(LoginTarget::resolve(helper(), kIdentifier)) << "missing";
  std::filesystem::create_directories(main);
  EXPECT_FALSE(LoginTarget::resolve(helper(), kIdentifier)) << "a folder";
}

TEST_F(LoginTargetTest, InfoMustCarryTheMainIdentifier) {
  const auto info = prefix / "share" / "velmorine" / "Info.json";
  const struct {
    const char* label;
    const char* text;  // nullptr: no file
  } cases[] = {
      {"another identifier", R"({"BundleIdentifier": "org.example.Other"})"},
      {"not text", R"({"BundleIdentifier": 1})"},
      {"no identifier", R"({"ShortVersionString": "1.0"})"},
      {"not an object", R"(["org.example.Main"])"},
      {"not JSON", "BundleIdentifier=org.example.Main"},
      {"missing", nullptr},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.label);
    std::filesystem::remove(info);
    if (test.text != nullptr) std::ofstream(info) << test.text;
    EXPECT_FALSE(LoginTarget::resolve(helper(), kIdentifier));
  }
}

}  // namespace
}  // namespace velmorine::login
