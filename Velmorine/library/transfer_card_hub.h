#pragma once

// What the transfer cards of one model take from a snapshot besides their own transfer, which
// their host hands them: a change of language, and for a received batch its container once the
// index lists it. One hub per model follows the snapshots for all of its cards, so that a
// snapshot costs a card nothing unless the language changed or the card waits for its container.

#include <QObject>
#include <set>
#include <string>

namespace velmorine::workspace {
class WorkspaceModel;
}  // namespace velmorine::workspace

namespace velmorine::library {

class TransferCard;

class TransferCardHub : public QObject {
  Q_OBJECT

 public:
  // The model's hub, made on first use as a child of the model.
  static TransferCardHub& of(workspace::WorkspaceModel& model);

  void add(TransferCard* card);
  void remove(TransferCard* card);
  // Whether `card` waits for its container to appear in the received index.
  void setAwaiting(TransferCard* card, bool awaiting);

 private:
  explicit TransferCardHub(workspace::WorkspaceModel& model);
  void snapshotPublished();

  workspace::WorkspaceModel& model_;
  std::string language_;
  std::set<TransferCard*> cards_;
  std::set<TransferCard*> awaiting_;
};

}  // namespace velmorine::library
