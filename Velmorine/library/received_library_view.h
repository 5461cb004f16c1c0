#pragma once

// The received section: pick one received container, browse its folders a page at a time,
// preview a file (image, audio or video, text or PDF), open it with its default application,
// show it or the container in the file manager, move the whole container to the trash, and
// reconnect a container whose folder was moved. All file access goes through the browser;
// every path handed to the desktop is verified again just before.

#include <QWidget>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "Velmorine/library/received_browser.h"
#include "Velmorine/workspace/view_environment.h"

class QComboBox;
class QLabel;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QToolButton;
class QTreeWidget;

namespace velmorine::workspace {
class SymbolLabel;
class TextLabel;
}  // namespace velmorine::workspace

namespace velmorine::library {

class MediaPreview;
class QuickLookPreview;

// What the view asks of the desktop; tests put recorders in place.
struct LibraryDesktop {
  std::function<bool(const std::filesystem::path&)> open;
  std::function<void(const std::filesystem::path&)> reveal;
  std::function<bool(const std::filesystem::path&)> trash;
  // A window-modal folder dialog with a message; answers with the folder or none.
  std::function<void(QWidget* parent, const QString& message,
                     std::function<void(std::optional<std::filesystem::path>)> chosen)>
      chooseFolder;
};
LibraryDesktop systemLibraryDesktop();

class ReceivedLibraryView : public QWidget {
  Q_OBJECT

 public:
  ReceivedLibraryView(workspace::ViewEnvironment& environment,
                      LibraryDesktop desktop = systemLibraryDesktop(),
                      ReceivedBrowser::Queues queues = {}, QWidget* parent = nullptr);
  ~ReceivedLibraryView() override;

  ReceivedBrowser& browser() { return browser_; }
  const std::optional<core::Uuid>& entryID() const { return entryID_; }
  // What choosing in the picker does.
  void choose(std::optional<core::Uuid> id);
  std::optional<store::ReceiveIndexEntry> selectedEntry() const;

  // min(max(height − 400, 96), 220).
  static int previewHeight(int viewHeight);

  // The actions as their buttons and alerts run them.
  void reveal();
  void openSelected();
  void trashContainer();
  void reconnect();

  QComboBox* picker() const { return picker_; }
  QTreeWidget* listing() const { return listing_; }
  MediaPreview* mediaPreview() const { return media_; }
  QuickLookPreview* quickLook() const { return quickLook_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void refreshFromSnapshot();
  void refreshBrowser();
  void retranslate();
  void rebuildPicker();
  void rebuildListing();
  void refreshPreview();
  void askToTrash();
  void askToOpen();

  workspace::ViewEnvironment& environment_;
  LibraryDesktop desktop_;
  ReceivedBrowser browser_;
  std::optional<core::Uuid> entryID_;
  std::string language_;
  // What the picker lists: identifiers and commit times, newest first.
  std::vector<std::pair<core::Uuid, double>> pickerEntries_;
  bool pickerBuilt_ = false;
  std::size_t receivedCount_ = 0;
  std::pair<core::Uuid, double> receivedFirst_;
  std::pair<core::Uuid, double> receivedLast_;
  // Whether the snapshot lists the chosen entry.
  bool entryPresent_ = false;
  bool snapshotDirty_ = true;
  std::vector<ReceivedNode> listedNodes_;
  bool rebuildingListing_ = false;
  bool rebuildingPicker_ = false;

  workspace::TextLabel* title_;
  QLabel* count_;
  QWidget* emptyState_;
  workspace::SymbolLabel* empty_;
  QWidget* content_;
  QComboBox* picker_;
  workspace::TextLabel* pickerLabel_;
  QWidget* container_;
  QPushButton* revealButton_;
  QPushButton* trashButton_;
  QToolButton* up_;
  workspace::TextLabel* pathText_;
  QToolButton* refresh_;
  QTreeWidget* listing_;
  QWidget* pageRow_;
  QPushButton* previous_;
  QPushButton* next_;
  QLabel* image_;
  MediaPreview* media_ = nullptr;
  QuickLookPreview* quickLook_;
  QPushButton* browse_;
  QPushButton* preview_;
  QPushButton* open_;
  QProgressBar* spinner_;
  QWidget* errorSection_;
  workspace::TextLabel* errorText_;
  QPushButton* reconnect_;
};

}  // namespace velmorine::library
