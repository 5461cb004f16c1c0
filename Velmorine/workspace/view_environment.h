#pragma once

// What every view of the workspace reads besides the model: the text of a key in the language of
// the model's current snapshot, and the accessibility settings that surfaces follow. One object
// per window set, handed to each view it builds.

#include <QObject>
#include <QString>
#include <functional>
#include <string>
#include <string_view>

#include "Velmorine/workspace/workspace_model.h"

namespace velmorine::workspace {

// The user's accessibility settings that change how surfaces are drawn. Linux has no
// reduce-transparency setting; increased contrast comes from the desktop where it offers one.
struct SurfaceSettings {
  bool reduceTransparency = false;
  bool increasedContrast = false;

  friend bool operator==(const SurfaceSettings&, const SurfaceSettings&) = default;
};

// The text of a localisation key in a language preference.
using TextLookup =
    std::function<const std::string&(std::string_view key, std::string_view language)>;

// The application's own lookup: the program's tables and the system's preferred languages.
TextLookup applicationTextLookup();

class ViewEnvironment : public QObject {
  Q_OBJECT

 public:
  explicit ViewEnvironment(WorkspaceModel& model, TextLookup lookup = applicationTextLookup(),
                           QObject* parent = nullptr);

  WorkspaceModel& model() const { return model_; }

  // The language preference of the model's current snapshot.
  const std::string& language() const;
  // The text of `key` in that language, as it comes.
  QString text(std::string_view key) const;
  // The same text as the raw lookup gives it.
  const std::string& rawText(std::string_view key) const;

  SurfaceSettings surfaceSettings() const { return surfaceSettings_; }
  // Providers (the desktop's settings, tests) set these; surfaces repaint.
  void setSurfaceSettings(SurfaceSettings settings);

 Q_SIGNALS:
  void surfaceSettingsChanged();

 private:
  WorkspaceModel& model_;
  TextLookup lookup_;
  SurfaceSettings surfaceSettings_;
};

}  // namespace velmorine::workspace
