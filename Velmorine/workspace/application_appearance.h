#pragma once

// The light or dark look of the whole application, from the appearance preference. Qt 6.4 has
// no colour-scheme switch, so a forced appearance is a palette: Fusion's standard one for
// "light", one of ours for "dark"; any other value gives the desktop theme's palette back.

#include <QPalette>
#include <string_view>

namespace velmorine::workspace {

enum class Appearance { system, light, dark };

Appearance appearanceOfPreference(std::string_view preference);

// The palette of the dark appearance.
QPalette darkPalette();

class ApplicationAppearance {
 public:
  // Sets the application's palette for the preference when it names another appearance than
  // the one set last (each change repaints every widget), and only in a graphical application;
  // returns whether it did. The desktop theme's appearance is the one in force at first.
  bool apply(std::string_view preference);

  Appearance current() const { return current_; }

 private:
  Appearance current_ = Appearance::system;
};

}  // namespace velmorine::workspace
