// The login item as an XDG autostart entry, in a temporary configuration folder with a stub
// helper program.

#include "platform/desktop/autostart_entry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "tests/support/temporary_folder.h"

namespace velmorine::platform {
namespace {

constexpr const char* kEntryName = "org.example.Test.LoginHelper.desktop";

class AutostartFolder : public ::testing::Test {
 protected:
  AutostartFolder() { installHelper(helper); }

  static void installHelper(const std::filesystem::path& program) {
    std::filesystem::create_directories(program.parent_path());
    std::ofstream(program) << "#!/bin/sh\nexit 0\n";
    ::chmod(program.c_str(), 0755);
  }
  AutostartEntry entry(const std::filesystem::path& program) const {
    return AutostartEntry(root / "config", kEntryName, program, "Velmorine");
  }
  void writeEntry(const std::string& text) const {
    std::filesystem::create_directories(root / "config" / "autostart");
    std::ofstream(root / "config" / "autostart" / kEntryName) << text;
  }
  static std::string read(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  testing::TemporaryFolder root;
  std::filesystem::path helper =
      root / "prefix" / "libexec" / "velmorine" / "velmorine-login-helper";
};

struct StatusCase {
  const char* name;
  // The entry's text, with "$EXEC" for the helper's Exec value; null for no entry.
  const char* entry;
  AutostartStatus status;
};

class AutostartStatuses : public AutostartFolder,
                          public ::testing::WithParamInterface<StatusCase> {};

TEST_P(AutostartStatuses, FollowTheEntry) {
  const auto login = entry(helper);
  if (GetParam().entry != nullptr) {
    std::string text = GetParam().entry;
    if (const auto at = text.find("$EXEC"); at != std::string::npos) {
      text.replace(at, 5, login.execValue());
    }
    writeEntry(text);
  }
  EXPECT_EQ(login.status(), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, AutostartStatuses,
    ::testing::Values(StatusCase{"none", nullptr, AutostartStatus::disabled},
                      StatusCase{"ours", "[Desktop Entry]\nType=Application\nName=V\nExec=$EXEC\n",
                                 AutostartStatus::enabled},
                      StatusCase{"spacedKey", "# by hand\n[Desktop Entry]\nExec = $EXEC\n",
                                 AutostartStatus::enabled},
                      StatusCase{"hidden", "[Desktop Entry]\nExec=$EXEC\nHidden=true\n",
                                 AutostartStatus::disabled},
                      StatusCase{"notHidden", "[Desktop Entry]\nExec=$EXEC\nHidden=false\n",
                                 AutostartStatus::enabled},
                      StatusCase{"otherProgram", "[Desktop Entry]\nExec=/usr/bin/true\n",
                                 AutostartStatus::disabled},
                      StatusCase{"withArguments", "[Desktop Entry]\nExec=$EXEC --now\n",
                                 AutostartStatus::disabled},
                      StatusCase{"otherGroup", "[Other]\nExec=$EXEC\n[Desktop Entry]\nName=V\n",
                                 AutostartStatus::disabled},
                      StatusCase{"noExec", "[Desktop Entry]\nName=V\n", AutostartStatus::disabled}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(AutostartFolder, AMissingHelperOrAnUnreadableFolderIsUnavailable) {
  EXPECT_EQ(entry(root / "nowhere" / "velmorine-login-helper").status(),
            AutostartStatus::unavailable);
  // A file where the folder should be cannot be read as one.
  std::filesystem::create_directories(root / "config");
  std::ofstream(root / "config" / "autostart") << "not a folder";
  EXPECT_EQ(entry(helper).status(), AutostartStatus::unavailable);
}

TEST_F(AutostartFolder, EnablingWritesAValidEntryThatDisablingRemoves) {
  const auto login = entry(helper);
  login.enable();
  EXPECT_EQ(login.status(), AutostartStatus::enabled);
  EXPECT_EQ(read(login.path()), login.contents());
  const auto validated =
      std::system(("desktop-file-validate '" + login.path().string() + "'").c_str());
  EXPECT_EQ(validated, 0);

  login.disable();
  EXPECT_FALSE(std::filesystem::exists(login.path()));
  EXPECT_EQ(login.status(), AutostartStatus::disabled);
  login.disable();  // nothing left to remove is no failure
}

TEST_F(AutostartFolder, AnEntryLeftByAHelperThatIsGoneCanStillBeRemoved) {
  const auto login = entry(helper);
  login.enable();
  std::filesystem::remove(helper);
  EXPECT_EQ(login.status(), AutostartStatus::unavailable);
  login.disable();
  EXPECT_FALSE(std::filesystem::exists(login.path()));
}

TEST_F(AutostartFolder, AHelperPathWithReservedCharactersIsQuotedAndReadBack) {
  const auto odd = root / "my prefix $1" / "libexec" / "velmorine-login-helper";
  installHelper(odd);
  const auto login = entry(odd);
  EXPECT_EQ(login.execValue(),
            "\"" + (root / "my prefix \\$1").string() + "/libexec/velmorine-login-helper\"");
  login.enable();
  EXPECT_EQ(login.status(), AutostartStatus::enabled);
  EXPECT_EQ(std::system(("desktop-file-validate '" + login.path().string() + "'").c_str()), 0);
}

TEST(AutostartPaths, ComeFromTheEnvironmentAndThePrefix) {
  EXPECT_EQ(userConfigFolder("/x/config", "/home/u"), std::filesystem::path("/x/config"));
  EXPECT_EQ(userConfigFolder("relative", "/home/u"), std::filesystem::path("/home/u/.config"));
  EXPECT_EQ(userConfigFolder(nullptr, "/home/u"), std::filesystem::path("/home/u/.config"));
  EXPECT_EQ(userConfigFolder(nullptr, "home"), std::nullopt);
  EXPECT_EQ(loginHelperProgram("/opt/velmorine/bin/velmorine"),
            std::filesystem::path("/opt/velmorine/libexec/velmorine/velmorine-login-helper"));
}

TEST(DesktopEntryValues, AreUnescapedAndTakenFromTheMainGroupOnly) {
  const std::string entry =
      "[Desktop Entry]\nName=A\\sB\\\\C\nName=Second\n[Desktop Action x]\nExec=other\n";
  EXPECT_EQ(desktopEntryValue(entry, "Name"), "A B\\C");
  EXPECT_EQ(desktopEntryValue(entry, "Exec"), std::nullopt);
}

}  // namespace
}  // namespace velmorine::platform
