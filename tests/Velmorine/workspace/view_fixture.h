#pragma once

// Views as every view test sees them: the offscreen platform, the Fusion style and palette,
// DejaVu Sans at 10 points, no icon theme (symbols draw the style's own icons), and texts from
// the repository's tables, or the same texts marked with the language they were asked in.
// Screenshots are compared with committed references, with a tolerance.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Velmorine/shell/localization_tables.h"
#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/workspace/view_environment.h"
#include "tests/Velmorine/workspace/workspace_fixture.h"

namespace velmorine::workspace::testing {

inline std::filesystem::path sourceDirectory() {
  const char* source = std::getenv("VELMORINE_SOURCE_DIR");
  return source != nullptr ? std::filesystem::path(source) : std::filesystem::path(".");
}

inline void useViewTestLook() {
  static const bool done = [] {
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(QApplication::style()->standardPalette());
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSizeF(10);
    font.setStyleStrategy(QFont::NoSubpixelAntialias);
    QApplication::setFont(font);
    QIcon::setThemeSearchPaths({});
    QIcon::setFallbackSearchPaths({});
    QIcon::setThemeName(QStringLiteral("velmorine-none"));
    QApplication::setEffectEnabled(Qt::UI_AnimateMenu, false);
    QApplication::setEffectEnabled(Qt::UI_FadeMenu, false);
    QApplication::setEffectEnabled(Qt::UI_AnimateTooltip, false);
    QApplication::setEffectEnabled(Qt::UI_FadeTooltip, false);
    return true;
  }();
  (void)done;
}

inline const shell::LocalizationTables& repositoryTables() {
  static const auto tables = shell::LocalizationTables::fromFolder(sourceDirectory() / "Velmorine" /
                                                                   "shell" / "localization");
  return tables;
}

// The program's own texts in the language asked for.
inline TextLookup tableLookup() {
  return [](std::string_view key, std::string_view language) -> const std::string& {
    return shell::localizedString(repositoryTables(), key, language, {});
  };
}

// "[<resolved code>] <English text>": shows which language a text was asked in.
inline TextLookup markedLookup() {
  return [](std::string_view key, std::string_view language) -> const std::string& {
    static std::mutex mutex;
    static std::map<std::string, std::string, std::less<>> texts;
    const std::string code(shell::resolvedLanguageCode(language, {}));
    std::string marked =
        "[" + code + "] " + shell::localizedString(repositoryTables(), key, "en", {});
    std::lock_guard lock(mutex);
    return texts.try_emplace(marked, marked).first->second;
  };
}

// A model over a recording runtime, with the environment its views read.
class ViewFixture : public WorkspaceFixture {
 protected:
  explicit ViewFixture(TextLookup lookup = tableLookup())
      : environment(std::make_unique<ViewEnvironment>(*model, std::move(lookup))) {
    useViewTestLook();
  }

  // Applies a snapshot whose preferences carry `language`, keeping the rest of the current one.
  void switchLanguage(const std::string& language) {
    auto next = model->snapshot();
    next.preferences.language = language;
    model->apply(std::move(next));
  }

  std::unique_ptr<ViewEnvironment> environment;
};

// Renders a widget as it shows on screen.
inline QImage screenshot(QWidget& widget) {
  return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Compares `image` with the committed reference `name`.png: the same size, and at most 0.5% of
// the pixels differing by more than 32 in a channel. VELMORINE_UPDATE_SCREENSHOTS=1 writes the
// reference instead. The image taken is kept in the system's temporary folder for a look.
inline void expectMatchesReference(const QImage& image, const std::string& name) {
  const auto references = sourceDirectory() / "tests" / "Velmorine" / "workspace" / "screenshots";
  const auto reference = references / (name + ".png");
  const auto taken = std::filesystem::temp_directory_path() / "velmorine-screenshots";
  std::filesystem::create_directories(taken);
  image.save(QString::fromStdString((taken / (name + ".png")).string()));
  if (const char* update = std::getenv("VELMORINE_UPDATE_SCREENSHOTS");
      update != nullptr && std::string(update) == "1") {
    std::filesystem::create_directories(references);
    ASSERT_TRUE(image.save(QString::fromStdString(reference.string())));
    return;
  }
  QImage expected(QString::fromStdString(reference.string()));
  ASSERT_FALSE(expected.isNull()) << "no reference " << reference;
  expected = expected.convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(expected.size(), image.size()) << name;
  qsizetype differing = 0;
  for (int y = 0; y < image.height(); ++y) {
    const auto* a = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    const auto* b = reinterpret_cast<const QRgb*>(expected.constScanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      if (std::abs(qRed(a[x]) - qRed(b[x])) > 32 || std::abs(qGreen(a[x]) - qGreen(b[x])) > 32 ||
          std::abs(qBlue(a[x]) - qBlue(b[x])) > 32) {
        ++differing;
      }
    }
  }
  const qsizetype allowed = image.width() * image.height() / 200;
  EXPECT_LE(differing, allowed) << name << ": " << differing << " pixels differ; taken image in "
                                << (taken / (name + ".png"));
}

}  // namespace velmorine::workspace::testing
