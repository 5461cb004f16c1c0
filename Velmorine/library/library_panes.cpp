#include "Velmorine/library/library_panes.h"

#include "Velmorine/library/preparation_view.h"
#include "Velmorine/library/received_library_view.h"
#include "Velmorine/library/transfer_overview.h"

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
  return panes;
}

}  // namespace velmorine::library
