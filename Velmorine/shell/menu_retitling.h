#pragma once

// Retitling the standard menus in the application's language belongs to the application's
// frame; the lifecycle only tells it when to install itself, which language to use and when to
// look again. Without one installed, nothing is retitled.

#include <string>

namespace velmorine::shell {

class MenuRetitling {
 public:
  virtual ~MenuRetitling() = default;
  virtual void install() = 0;
  virtual void setLanguage(const std::string& language) = 0;
  virtual void refresh() = 0;
};

}  // namespace velmorine::shell
