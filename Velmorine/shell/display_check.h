#pragma once

// Whether the program has somewhere to show its windows: an X11 or Wayland display, or a Qt
// platform named outright. Without one Qt's platform plugin would abort; the program says why
// and ends instead.

#include <optional>
#include <string>

#include "Velmorine/shell/language_code.h"

namespace velmorine::shell {

// The one line to print when there is no display, or none when there is one.
std::optional<std::string> missingDisplay(const EnvironmentLookup& environment);

}  // namespace velmorine::shell
