#pragma once

// A workspace model over a runtime that records what it is asked, preparations whose state a
// test sets by hand, and send closures that keep their completions until the test answers.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/workspace/workspace_model.h"

namespace velmorine::workspace::testing {

class RecordingRuntime final : public RuntimeOperations {
 public:
  std::vector<std::string> calls;
  std::function<void(runtime::RuntimeSnapshot)> onSnapshot;
  std::vector<TextSent> textCompletions;
  std::vector<std::function<void(store::AppPreferences&)>> preferenceChanges;
  // What the transfer and library views wait for, kept until the test answers.
  std::vector<std::filesystem::path> acceptedFolders;
  std::vector<ReceivedFolderOpened> folderOpenings;
  std::vector<Completion> hideCompletions;
  std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> hideRequests;
  std::vector<ReceivedFolderRelinked> relinkCompletions;
  std::vector<std::filesystem::path> relinkFolders;

  void setOnSnapshot(std::function<void(runtime::RuntimeSnapshot)> handler) override {
    onSnapshot = std::move(handler);
  }
  void start() override { calls.push_back("start"); }
  void suspend() override { calls.push_back("suspend"); }
  void resume() override { calls.push_back("resume"); }
  void shutdown(std::function<void()>) override { calls.push_back("shutdown"); }
  void refreshDeviceName() override { calls.push_back("refreshDeviceName"); }
  void configureReminders() override { calls.push_back("configureReminders"); }
  void connectPeer(std::string wireID) override { calls.push_back("connectPeer " + wireID); }
  void selectConversation(std::string contactID, bool earlier) override {
    calls.push_back("selectConversation " + contactID + (earlier ? " earlier" : " first"));
  }
  void sendText(std::string text, std::string wireID, std::string contactID,
                TextSent completion) override {
    calls.push_back("sendText " + text + " " + wireID + " " + contactID);
    textCompletions.push_back(std::move(completion));
  }
  void resendMessage(std::string messageID, std::string contactID) override {
    calls.push_back("resendMessage " + messageID + " " + contactID);
  }
  void cancelMessage(std::string messageID, std::string contactID) override {
    calls.push_back("cancelMessage " + messageID + " " + contactID);
  }
  void cancelReminder(std::string peerID) override { calls.push_back("cancelReminder " + peerID); }
  void clearConversation(std::string wireID, std::string contactID, Completion) override {
    calls.push_back("clearConversation " + wireID + " " + contactID);
  }
  void setPeerBlocked(std::string peerID, bool blocked) override {
    calls.push_back("setPeerBlocked " + peerID + (blocked ? " true" : " false"));
  }
  void resolveChangedKey(std::string wireID, bool separate) override {
    calls.push_back("resolveChangedKey " + wireID + (separate ? " separate" : " replace"));
  }
  void verifyPeer(std::string wireID) override { calls.push_back("verifyPeer " + wireID); }
  void setNetworkEnabled(bool enabled) override {
    calls.push_back(enabled ? "setNetworkEnabled true" : "setNetworkEnabled false");
  }
  void updatePreferences(std::function<void(store::AppPreferences&)> change) override {
    calls.push_back("updatePreferences");
    preferenceChanges.push_back(std::move(change));
  }
  void renameDevice(std::optional<std::string>, Completion) override {
    calls.push_back("renameDevice");
  }
  void resetDevices(Completion) override { calls.push_back("resetDevices"); }
  void sendFiles(PreparedAttachments, std::string wireID, FilesSent) override {
    calls.push_back("sendFiles " + wireID);
  }
  void acceptTransfer(std::string id, std::filesystem::path folder) override {
    calls.push_back("acceptTransfer " + id);
    acceptedFolders.push_back(std::move(folder));
  }
  void declineTransfer(std::string id) override { calls.push_back("declineTransfer " + id); }
  void cancelTransfer(std::string id) override { calls.push_back("cancelTransfer " + id); }
  void retryTransfer(std::string id) override { calls.push_back("retryTransfer " + id); }
  void hideEndedTransfers(std::optional<std::string> contactID,
                          std::optional<std::string> transferID, Completion completion) override {
    calls.push_back("hideEndedTransfers");
    hideRequests.emplace_back(std::move(contactID), std::move(transferID));
    hideCompletions.push_back(std::move(completion));
  }
  void recoverReceives(std::filesystem::path) override { calls.push_back("recoverReceives"); }
  void removeReceivedRecord(std::string id) override {
    calls.push_back("removeReceivedRecord " + id);
  }
  void relinkReceivedFolder(std::string id, std::filesystem::path folder,
                            ReceivedFolderRelinked completion) override {
    calls.push_back("relinkReceivedFolder " + id);
    relinkFolders.push_back(std::move(folder));
    relinkCompletions.push_back(std::move(completion));
  }
  void openReceivedFolder(ReceivedFolderOpened completion) override {
    calls.push_back("openReceivedFolder");
    folderOpenings.push_back(std::move(completion));
  }
};

// A preparation whose published state the test sets; `clear` and `finishSent` behave as the
// real one's do.
class FakePreparation final : public AttachmentPreparation {
 public:
  explicit FakePreparation(std::optional<std::string> recipient)
      : recipient(std::move(recipient)) {}

  bool selections = false;
  std::optional<PreparedAttachments> batch;
  bool isPreparing = false;
  std::int64_t imports = 0;
  std::optional<transfer::ContentFailure::Case> failure;
  std::optional<std::string> recipient;
  bool chooserOpen = false;
  int chooseCalls = 0;
  int clearCalls = 0;
  std::vector<core::Uuid> sent;

  // Files chosen and prepared into a batch with a fresh identifier.
  void prepare() {
    selections = true;
    batch = PreparedAttachments{core::Uuid::random(), nullptr};
  }

  bool hasSelections() const override { return selections; }
  std::optional<PreparedAttachments> prepared() const override { return batch; }
  bool preparing() const override { return isPreparing; }
  std::int64_t pendingImports() const override { return imports; }
  std::optional<transfer::ContentFailure::Case> error() const override { return failure; }
  void setError(std::optional<transfer::ContentFailure::Case> error) override { failure = error; }
  const std::optional<std::string>& recipientID() const override { return recipient; }
  bool choosing() const override { return chooserOpen; }
  bool bindRecipient(const std::string& contactID) override {
    if (recipient && *recipient != contactID) return false;
    recipient = contactID;
    return true;
  }
  void choose() override { ++chooseCalls; }
  void clear() override {
    ++clearCalls;
    selections = false;
    batch.reset();
    isPreparing = false;
    imports = 0;
    failure.reset();
  }
  void cancel() override {
    batch.reset();
    isPreparing = false;
  }
  void finishSent(const core::Uuid& batchID) override {
    sent.push_back(batchID);
    if (batch && batch->id == batchID) clear();
  }
  std::int64_t beginImport() override {
    ++imports;
    return generation;
  }
  void importFinished(std::vector<std::filesystem::path> files, bool failed,
                      std::int64_t generation) override {
    finishedImports.push_back({std::move(files), failed, generation});
  }

  struct Import {
    std::vector<std::filesystem::path> files;
    bool failed = false;
    std::int64_t generation = 0;
  };
  std::int64_t generation = 0;
  std::vector<Import> finishedImports;
};

struct TextCall {
  std::string text, wireID, contactID;
  RuntimeOperations::TextSent completion;
};
struct BatchCall {
  PreparedAttachments batch;
  std::string wireID;
  RuntimeOperations::FilesSent completion;
};
struct ClearCall {
  std::string wireID, contactID;
  RuntimeOperations::Completion completion;
};

inline runtime::RuntimePeer peer(std::string id, bool online = true) {
  runtime::RuntimePeer peer;
  peer.id = id;
  peer.contactID = id;
  peer.wireID = "wire-" + id;
  peer.name = "Peer " + id;
  peer.online = online;
  peer.safetyCode = "12345";
  return peer;
}

inline runtime::RuntimeMessage message(std::string id, std::string contact, bool outgoing = false,
                                       double date = 0) {
  runtime::RuntimeMessage message;
  message.id = std::move(id);
  message.peerID = "wire-" + contact;
  message.contactID = std::move(contact);
  message.text = "text of " + message.id;
  message.outgoing = outgoing;
  message.date = store::Date{date};
  message.delivery =
      outgoing ? runtime::MessageDelivery::acknowledged : runtime::MessageDelivery::received;
  return message;
}

inline transfer::RuntimeTransfer transferOf(std::string id, std::string contact,
                                            transfer::TransferState state, bool outgoing = false,
                                            double createdAt = 0) {
  transfer::RuntimeTransfer transfer;
  transfer.id = std::move(id);
  transfer.peerID = "wire-" + contact;
  transfer.contactID = std::move(contact);
  transfer.state = state;
  transfer.outgoing = outgoing;
  transfer.createdAt = store::Date{createdAt};
  return transfer;
}

class WorkspaceFixture : public ::testing::Test {
 protected:
  WorkspaceFixture() { model = makeModel(); }

  std::unique_ptr<WorkspaceModel> makeModel() {
    WorkspaceModel::Replacements replacements;
    replacements.runtime = runtime;
    replacements.enqueueText = [this](std::string text, std::string wireID, std::string contactID,
                                      RuntimeOperations::TextSent done) {
      texts.push_back({std::move(text), std::move(wireID), std::move(contactID), std::move(done)});
    };
    replacements.enqueueAttachments = [this](PreparedAttachments batch, std::string wireID,
                                             RuntimeOperations::FilesSent done) {
      batches.push_back({std::move(batch), std::move(wireID), std::move(done)});
    };
    replacements.clearHistory = [this](std::string wireID, std::string contactID,
                                       RuntimeOperations::Completion done) {
      clears.push_back({std::move(wireID), std::move(contactID), std::move(done)});
    };
    return std::make_unique<WorkspaceModel>(
        [this](std::optional<std::string> recipient) {
          auto preparation = std::make_shared<FakePreparation>(std::move(recipient));
          preparations.push_back(preparation);
          return preparation;
        },
        std::move(replacements));
  }

  // Applies a snapshot with these peers (and the rest as given).
  void applyPeers(std::vector<runtime::RuntimePeer> peers, runtime::RuntimeSnapshot snapshot = {}) {
    snapshot.peers = std::move(peers);
    model->apply(std::move(snapshot));
  }

  FakePreparation& current() { return static_cast<FakePreparation&>(*model->attachments()); }
  FakePreparation& unaddressed() {
    return static_cast<FakePreparation&>(*model->unaddressedAttachments());
  }

  std::shared_ptr<RecordingRuntime> runtime = std::make_shared<RecordingRuntime>();
  std::vector<std::shared_ptr<FakePreparation>> preparations;
  std::vector<TextCall> texts;
  std::vector<BatchCall> batches;
  std::vector<ClearCall> clears;
  std::unique_ptr<WorkspaceModel> model;
};

}  // namespace velmorine::workspace::testing
