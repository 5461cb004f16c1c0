#include "Velmorine/workspace/view_environment.h"

#include "Velmorine/shell/text_lookup.h"

namespace velmorine::workspace {

TextLookup applicationTextLookup() {
  return [](std::string_view key, std::string_view language) -> const std::string& {
    return shell::localizedString(key, language);
  };
}

ViewEnvironment::ViewEnvironment(WorkspaceModel& model, TextLookup lookup, QObject* parent)
    : QObject(parent), model_(model), lookup_(std::move(lookup)) {}

const std::string& ViewEnvironment::language() const {
  return model_.snapshot().preferences.language;
}

const std::string& ViewEnvironment::rawText(std::string_view key) const {
  return lookup_(key, language());
}

QString ViewEnvironment::text(std::string_view key) const {
  return QString::fromStdString(rawText(key));
}

void ViewEnvironment::setSurfaceSettings(SurfaceSettings settings) {
  if (settings == surfaceSettings_) return;
  surfaceSettings_ = settings;
  Q_EMIT surfaceSettingsChanged();
}

}  // namespace velmorine::workspace
