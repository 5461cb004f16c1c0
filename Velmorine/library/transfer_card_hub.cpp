#include "Velmorine/library/transfer_card_hub.h"

#include <vector>

#include "Velmorine/library/transfer_card.h"
#include "Velmorine/workspace/workspace_model.h"

namespace velmorine::library {

TransferCardHub& TransferCardHub::of(workspace::WorkspaceModel& model) {
  if (auto* hub = model.findChild<TransferCardHub*>(QString(), Qt::FindDirectChildrenOnly)) {
    return *hub;
  }
  return *new TransferCardHub(model);
}

TransferCardHub::TransferCardHub(workspace::WorkspaceModel& model)
    : QObject(&model), model_(model), language_(model.snapshot().preferences.language) {
  connect(&model_, &workspace::WorkspaceModel::snapshotPublished, this,
          &TransferCardHub::snapshotPublished);
}

void TransferCardHub::add(TransferCard* card) { cards_.insert(card); }

void TransferCardHub::remove(TransferCard* card) {
  cards_.erase(card);
  awaiting_.erase(card);
}

void TransferCardHub::setAwaiting(TransferCard* card, bool awaiting) {
  if (awaiting) {
    awaiting_.insert(card);
  } else {
    awaiting_.erase(card);
  }
}

void TransferCardHub::snapshotPublished() {
  const bool languageChanged = model_.snapshot().preferences.language != language_;
  language_ = model_.snapshot().preferences.language;
  // A card's refresh may change which cards wait: the cards are taken first.
  const auto& following = languageChanged ? cards_ : awaiting_;
  if (following.empty()) return;
  const std::vector<TransferCard*> cards(following.begin(), following.end());
  for (TransferCard* card : cards) {
    if (cards_.contains(card)) card->followSnapshot();
  }
}

}  // namespace velmorine::library
