#pragma once

// The about sheet: the product's name and version, and three tabs: privacy with its policy link,
// help with the support link (and the download link of directly distributed builds), and the
// licence notices. A window-modal dialog; Done and Escape close it. Its texts follow the
// language of the model's snapshots while it is open.

#include <QDialog>
#include <filesystem>
#include <functional>
#include <string>

#include "Velmorine/workspace/view_environment.h"
#include "Velmorine/workspace/workspace_sheets.h"
#include "platform/bundle/bundle.h"

class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QTabBar;
class QVBoxLayout;

namespace velmorine::workspace {
class TextLabel;
}

namespace velmorine::settings {

// Where the sheet reads its info keys and notices; both are read each time a tab is built.
struct AboutSources {
  std::function<platform::Bundle()> bundle = &platform::Bundle::main;
  std::filesystem::path notices;
};

// The program's own: its bundle and share/velmorine/ThirdPartyNotices.txt beside it.
AboutSources applicationAboutSources();

class AboutView : public QDialog {
  Q_OBJECT

 public:
  // `tab`: "privacy", "help", or anything else for the licences.
  AboutView(workspace::ViewEnvironment& environment, AboutSources sources, std::string tab,
            QWidget* parent = nullptr);

  const std::string& tab() const { return tab_; }
  void setTab(std::string tab);

  QTabBar* tabBar() const { return tabs_; }

  static constexpr const char* kProductName = "Velmorine";
  static constexpr QSize kMinimumSize{580, 440};
  static constexpr QSize kIdealSize{640, 560};

 private:
  void followSnapshot();
  void refreshTexts();
  void buildContent();
  QPushButton* addLink(const char* key, const QUrl& url);

  workspace::ViewEnvironment& environment_;
  AboutSources sources_;
  std::string tab_;
  std::string language_;
  workspace::TextLabel* name_ = nullptr;
  workspace::TextLabel* version_ = nullptr;
  workspace::TextLabel* free_ = nullptr;
  QPushButton* done_ = nullptr;
  QTabBar* tabs_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QWidget* content_ = nullptr;
  QVBoxLayout* column_ = nullptr;
  QPlainTextEdit* notices_ = nullptr;
};

// The sheet factory the windows use, over these sources.
workspace::AboutSheetFactory aboutSheetFactory(AboutSources sources = applicationAboutSources());

}  // namespace velmorine::settings
