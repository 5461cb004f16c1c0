#pragma once

// The composer's attachments: the items picked for the next message while they are imported and
// prepared, their count and size once prepared, and why their preparation failed, with the
// package consent and the hint to choose a recipient. It keeps no state of its own; everything
// follows the preparation it observes.

#include <QWidget>
#include <memory>

#include "Velmorine/workspace/attachment_preparation.h"
#include "Velmorine/workspace/view_environment.h"

class QCheckBox;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace velmorine::workspace {
class SymbolLabel;
class TextLabel;
}  // namespace velmorine::workspace

namespace velmorine::library {

class PreparationView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kRowHeight = 50;
  static constexpr int kGreatestListHeight = 112;

  PreparationView(workspace::ViewEnvironment& environment,
                  std::shared_ptr<workspace::AttachmentPreparation> preparation,
                  QWidget* parent = nullptr);

  void setPreparation(std::shared_ptr<workspace::AttachmentPreparation> preparation);
  // Shows the preparation's current state.
  void refresh();

  QScrollArea* list() const { return list_; }

 private:
  void rebuildRows(const std::vector<transfer::ContentUrl>& selections);
  void remove(const transfer::ContentUrl& url);

  workspace::ViewEnvironment& environment_;
  std::shared_ptr<workspace::AttachmentPreparation> preparation_;
  std::shared_ptr<void> observation_;
  std::vector<transfer::ContentUrl> shownSelections_;

  QScrollArea* list_;
  QWidget* listContent_;
  QVBoxLayout* listColumn_;
  QWidget* summaryRow_;
  workspace::TextLabel* summary_;
  QPushButton* clear_;
  QWidget* progressRow_;
  QProgressBar* spinner_;
  workspace::TextLabel* progressText_;
  QPushButton* cancel_;
  QWidget* failureRow_;
  workspace::SymbolLabel* failure_;
  QPushButton* failureButton_;
  QCheckBox* consent_;
  workspace::TextLabel* recipientHint_;
};

}  // namespace velmorine::library
