#include <gtest/gtest.h>

#include "Velmorine/store/device_name_preferences.h"
#include "Velmorine/store/store_document.h"

namespace velmorine::store {
namespace {

using core::Uuid;

TEST(DeviceNames, NormalizedNameTrimsAndRefuses) {
  std::string euro_43;
  for (int i = 0; i < 43; ++i) euro_43 += "\u20AC";
  std::string euro_42 = euro_43.substr(3);
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"  Anna's  laptop \n", "Anna's  laptop"},
      {"\u3000\u00A0Name\u2028\u0085\t\r", "Name"},  // Z category and the listed controls
      {"plain", "plain"},
      {std::string(128, 'a'), std::string(128, 'a')},
      {" " + std::string(128, 'a') + " ", std::string(128, 'a')},  // trimmed before counting
      {std::string(129, 'a'), std::nullopt},
      {euro_42 + "ab", euro_42 + "ab"},  // 128 bytes
      {euro_43, std::nullopt},           // 129 bytes, only 43 characters
      {"", std::nullopt},
      {" \t\n\u2003", std::nullopt},
      {"a\tb", std::nullopt},
      {"a\nb", std::nullopt},
      {"evil\u202Etxt", std::nullopt},
      {"x\u2066y", std::nullopt},
      {"zero\u200Bwidth", std::nullopt},
      {"bom\uFEFF", std::nullopt},
      {"nul" + std::string(1, '\0') + "x", std::nullopt},
      {"\x7f", std::nullopt},
      {"bad \xc3 utf8", std::nullopt},
      {"\u00C9t\u00E9 \U0001F600", "\u00C9t\u00E9 \U0001F600"},
  };
  for (const auto& [name, expected] : cases) {
    EXPECT_EQ(DeviceNamePreferences::normalizedName(name), expected) << name;
  }
}

constexpr std::string_view kFallback = "3f2a9c11-2222-4333-8444-555555555555";

Uuid fallback() { return *Uuid::parse(kFallback); }

struct EffectiveCase {
  const char* name;
  std::optional<std::string> displayName;  // of a document without a naming record
  std::optional<DeviceNamePreferences> naming;
  std::optional<std::string> computerName;
  std::string expectedName;
  bool expectedFallback;
};

TEST(DeviceNames, EffectiveNameChoosesCustomThenComputerThenLastResort) {
  const DeviceNamePreferences automatic{std::nullopt, fallback(), false};
  const DeviceNamePreferences custom{"My Desk", fallback(), true};
  const DeviceNamePreferences broken_custom{"bad\u0007name", fallback(), true};
  const std::vector<EffectiveCase> cases = {
      {"custom name wins", std::nullopt, custom, "Studio Of Anna", "My Desk", false},
      {"computer name kept with its case", std::nullopt, automatic, "  MacBook Pro von Anna ",
       "MacBook Pro von Anna", false},
      {"generic Macintosh", std::nullopt, automatic, "Macintosh", "Mac \u00B7 3F2A9C", true},
      {"generic MAC", std::nullopt, automatic, "MAC", "Mac \u00B7 3F2A9C", true},
      {"generic Velmorine Mac in any case", std::nullopt, automatic, "vELMORINE mAC",
       "Mac \u00B7 3F2A9C", true},
      {"generic iPod touch", std::nullopt, automatic, "iPod Touch", "Mac \u00B7 3F2A9C", true},
      {"no computer name", std::nullopt, automatic, std::nullopt, "Mac \u00B7 3F2A9C", true},
      {"refused computer name", std::nullopt, automatic, "tab\there", "Mac \u00B7 3F2A9C", true},
      {"custom name that no longer normalises", std::nullopt, broken_custom, "Desk", "Desk", false},
      {"broken custom and no computer", std::nullopt, broken_custom, std::nullopt,
       "Mac \u00B7 3F2A9C", true},
      {"old custom display name carried over", "Kitchen", std::nullopt, "Desk", "Kitchen", false},
      {"former default not carried over", "Velmorine Mac", std::nullopt, "Desk", "Desk", false},
      {"former default other case is custom", "velmorine mac", std::nullopt, "Desk",
       "velmorine mac", false},
  };
  for (const auto& test : cases) {
    AppPreferences preferences;
    if (test.displayName) preferences.displayName = *test.displayName;
    preferences.deviceNaming = test.naming;
    DeviceNamePreferences::effectiveName(test.computerName, preferences, fallback);
    EXPECT_EQ(preferences.displayName, test.expectedName) << test.name;
    EXPECT_EQ(DeviceNamePreferences::usesFallbackName(preferences, test.computerName),
              test.expectedFallback)
        << test.name;
    ASSERT_TRUE(preferences.deviceNaming) << test.name;
  }
}

TEST(DeviceNames, CreationFromDisplayName) {
  struct Case {
    std::string displayName;
    std::optional<std::string> customName;
    bool hintDismissed;
  };
  const std::vector<Case> cases = {
      {"Velmorine Mac", std::nullopt, false},   {"Velmorine", std::nullopt, false},
      {"velmorine mac", "velmorine mac", true}, {" Kitchen ", "Kitchen", true},
      {"bad\u202Ename", std::nullopt, false},   {"", std::nullopt, false},
  };
  for (const auto& test : cases) {
    const auto naming = DeviceNamePreferences::fromDisplayName(test.displayName, fallback);
    EXPECT_EQ(naming.customName, test.customName) << test.displayName;
    EXPECT_EQ(naming.hintDismissed, test.hintDismissed) << test.displayName;
    EXPECT_EQ(naming.fallbackID, fallback());
  }
}

TEST(DeviceNames, EffectiveNameChangesOnlyTheNameAndKeepsAnExistingRecord) {
  AppPreferences preferences;
  preferences.networkEnabled = true;
  preferences.deviceNaming = DeviceNamePreferences{std::nullopt, fallback(), true};
  const auto never = []() -> Uuid {
    ADD_FAILURE() << "no new identifier expected";
    return {};
  };
  DeviceNamePreferences::effectiveName(std::nullopt, preferences, never);
  AppPreferences expected;
  expected.networkEnabled = true;
  expected.deviceNaming = DeviceNamePreferences{std::nullopt, fallback(), true};
  expected.displayName = "Mac \u00B7 3F2A9C";
  EXPECT_EQ(preferences, expected);
}

TEST(DeviceNames, RenameSetsOrClearsTheCustomName) {
  AppPreferences preferences;
  preferences.deviceNaming = DeviceNamePreferences{std::nullopt, fallback(), false};
  DeviceNamePreferences::rename(std::string(" Den "), "Desk", preferences, fallback);
  EXPECT_EQ(preferences.deviceNaming->customName, "Den");
  EXPECT_TRUE(preferences.deviceNaming->hintDismissed);
  EXPECT_EQ(preferences.displayName, "Den");
  DeviceNamePreferences::rename(std::string("\u202E"), "Desk", preferences, fallback);
  EXPECT_EQ(preferences.deviceNaming->customName, std::nullopt);
  EXPECT_EQ(preferences.displayName, "Desk");
  DeviceNamePreferences::rename(std::nullopt, std::nullopt, preferences, fallback);
  EXPECT_EQ(preferences.displayName, "Mac \u00B7 3F2A9C");
}

TEST(DeviceNames, LastResortNameUsesUpperCaseDigits) {
  EXPECT_EQ(
      DeviceNamePreferences::lastResortName(*Uuid::parse("abcdef01-0000-4000-8000-000000000000")),
      "Mac \u00B7 ABCDEF");
}

}  // namespace
}  // namespace velmorine::store
