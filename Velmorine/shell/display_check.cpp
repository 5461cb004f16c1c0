#include "Velmorine/shell/display_check.h"

namespace velmorine::shell {

std::optional<std::string> missingDisplay(const EnvironmentLookup& environment) {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const auto value = environment(name);
    if (value && !value->empty()) return std::nullopt;
  }
  return "velmorine: no display to show windows on (neither DISPLAY nor WAYLAND_DISPLAY is set)";
}

}  // namespace velmorine::shell
