#pragma once

// The panes of the detail area that views of their own provide: the transfers overview, the
// received-files library, the attachment preparation shown under the welcome view, and the
// conversation of a peer. Until those views exist the defaults stand in for them.

#include <QWidget>
#include <filesystem>
#include <functional>
#include <optional>

#include "Velmorine/workspace/view_environment.h"

namespace velmorine::workspace {

struct DetailPanes {
  std::function<QWidget*(ViewEnvironment&, QWidget* parent)> makeTransfers;
  std::function<QWidget*(ViewEnvironment&, QWidget* parent)> makeLibrary;
  std::function<QWidget*(ViewEnvironment&, QWidget* parent)> makePreparation;
  // Made afresh whenever another peer is selected: its state lives as long as the selection.
  std::function<QWidget*(ViewEnvironment&, const runtime::RuntimePeer&, QWidget* parent)>
      makeConversation;
};

// The stand-ins: a section's title, centred; an empty preparation; the conversation with plain
// transfer rows and no attachments.
DetailPanes placeholderPanes();

// Asks for a folder and answers with it, or with none when the user cancels.
using FolderChooser = std::function<void(
    QWidget* parent, std::function<void(std::optional<std::filesystem::path>)> chosen)>;

// A window-modal folder dialog.
FolderChooser folderDialogChooser();

// What the window's first appearance runs before the runtime may start: the data-import gate,
// which starts the runtime itself. Without one the runtime starts at once.
using LaunchGate = std::function<void(WorkspaceModel& model)>;
LaunchGate startAtOnce();

}  // namespace velmorine::workspace
