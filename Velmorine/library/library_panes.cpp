#include "Velmorine/library/library_panes.h"

#include "Velmorine/library/preparation_view.h"
#include "Velmorine/library/received_library_view.h"
#include "Velmorine/library/transfer_card.h"
#include "Velmorine/library/transfer_overview.h"
#include "Velmorine/workspace/conversation_view.h"

namespace velmorine::library {

workspace::DetailPanes withLibraryPanes(workspace::DetailPanes panes) {
  panes.makeTransfers = [](workspace::ViewEnvironment& environment, QWidget* parent) -> QWidget* {
    return new TransferOverview(environment, {}, parent);
  };
  panes.makeLibrary = [](workspace::ViewEnvironment& environment, QWidget* parent) -> QWidget* {
    return new ReceivedLibraryView(environment, systemLibraryDesktop(), {}, parent);
  };
  panes.makePreparation = [](workspace::ViewEnvironment& environment, QWidget* parent) -> QWidget* {
    auto& model = environment.model();
    auto* view = new PreparationView(environment, model.attachments(), parent);
    // The composer's preparation changes with the selected peer.
    QObject::connect(&model, &workspace::WorkspaceModel::attachmentsPublished, view,
                     [view, &model] { view->setPreparation(model.attachments()); });
    return view;
  };
  panes.makeConversation = [makePreparation = panes.makePreparation](
                               workspace::ViewEnvironment& environment,
                               const runtime::RuntimePeer& peer, QWidget* parent) -> QWidget* {
    workspace::ConversationParts parts;
    // The cards' states live as long as the pane, so that a card reused for another transfer
    // takes that transfer's page and folder choice along.
    auto states = std::make_shared<TransferCardStates>();
    parts.makeTransferRow = [&environment](QWidget* rowParent) -> QWidget* {
      return new TransferCard(environment, std::make_shared<TransferCardState>(), false, {},
                              rowParent);
    };
    parts.showTransfer = [states](QWidget* row, const transfer::RuntimeTransfer& transfer) {
      static_cast<TransferCard*>(row)->showTransfer(transfer, states->stateFor(transfer.id));
    };
    parts.makePreparation = [&environment, makePreparation](QWidget* composer) {
      return makePreparation(environment, composer);
    };
    return new workspace::ConversationView(environment, peer, std::move(parts), parent);
  };
  return panes;
}

}  // namespace velmorine::library
