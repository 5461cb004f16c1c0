#include "Velmorine/shell/display_check.h"

#include <gtest/gtest.h>

#include <map>

namespace velmorine::shell {
namespace {

struct DisplayCase {
  const char* name;
  std::map<std::string, std::string> variables;
  bool missing;
};

class Display : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(Display, NeedsADisplayOrANamedPlatform) {
  const auto variables = GetParam().variables;
  const EnvironmentLookup lookup = [&](const char* name) -> std::optional<std::string> {
    const auto found = variables.find(name);
    if (found == variables.end()) return std::nullopt;
    return found->second;
  };
  const auto missing = missingDisplay(lookup);
  EXPECT_EQ(missing.has_value(), GetParam().missing);
  if (missing) {
    EXPECT_EQ(missing->find('\n'), std::string::npos);  // one line
    EXPECT_NE(missing->find("DISPLAY"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Display,
    ::testing::Values(DisplayCase{"nothing", {}, true},
                      DisplayCase{
                          "emptyValues",
                          {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}},
                          true},
                      DisplayCase{"x11", {{"DISPLAY", ":0"}}, false},
                      DisplayCase{"wayland", {{"WAYLAND_DISPLAY", "wayland-0"}}, false},
                      DisplayCase{"platform", {{"QT_QPA_PLATFORM", "offscreen"}}, false},
                      DisplayCase{"other", {{"HOME", "/root"}, {"TERM", "xterm"}}, true}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace velmorine::shell
