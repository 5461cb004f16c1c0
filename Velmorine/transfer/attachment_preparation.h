#pragma once

// The attachments the user collects for one peer before sending, and their preparation into a
// batch on a queue of its own. Staleness is settled by two counters on the main thread: every
// cancel moves the revision, and a preparation publishes only if the revision is still the one it
// started with; every clear moves the import generation, and an import (a drop or the chooser)
// adds its files only if the generation is still the one it started with. No user interface
// here: the chooser is an interface, and results reach the main thread through an executor.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/transfer/content_cancellation.h"
#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_preparation.h"
#include "Velmorine/transfer/content_url.h"
#include "Velmorine/transfer/prepared_batch.h"

namespace velmorine::transfer {

// Runs work elsewhere: on the main thread's loop, on a serial queue, or by a test's hand.
class Executor {
 public:
  virtual ~Executor() = default;
  virtual void post(std::function<void()> work) = 0;
};

// A serial queue of its own, labelled "<product identifier>.<role>".
std::shared_ptr<Executor> makeSerialQueueExecutor(const std::string& role);

// Lets the user pick files and folders (several at once; package folders as items).
class AttachmentChooser {
 public:
  virtual ~AttachmentChooser() = default;
  // Shows the chooser; calls `done` once, from any thread, with the chosen URLs, or with none
  // when the user dismissed it.
  virtual void choose(std::function<void(std::optional<std::vector<ContentUrl>>)> done) = 0;
};

class AttachmentPreparation : public std::enable_shared_from_this<AttachmentPreparation> {
 public:
  struct Dependencies {
    std::shared_ptr<Executor> main;  // the main thread, where every operation is called
    std::shared_ptr<Executor> work;  // none: a serial queue with the role "prepare"
    std::shared_ptr<AttachmentChooser> chooser;
    PreparationServices services;
    VerificationFailed verificationFailed;  // none: the system log line
  };

  static std::shared_ptr<AttachmentPreparation> create(std::optional<std::string> recipientID,
                                                       Dependencies dependencies);
  // Cancels the running preparation, whose result then finds no one to publish to.
  ~AttachmentPreparation();
  AttachmentPreparation(const AttachmentPreparation&) = delete;
  AttachmentPreparation& operator=(const AttachmentPreparation&) = delete;

  // Called before each published property changes.
  void setWillChange(std::function<void()> willChange) { willChange_ = std::move(willChange); }

  const std::vector<ContentUrl>& selections() const { return selections_; }
  void setSelections(std::vector<ContentUrl> selections);
  const std::shared_ptr<PreparedBatch>& prepared() const { return prepared_; }
  bool preparing() const { return preparing_; }
  std::int64_t pendingImports() const { return pendingImports_; }
  const std::optional<ContentFailure::Case>& error() const { return error_; }
  void setError(std::optional<ContentFailure::Case> error);
  bool allowPackages() const { return allowPackages_; }
  // Prepares again when the consent changed and something is selected.
  void setAllowPackages(bool allow);
  const std::optional<std::string>& recipientID() const { return recipientID_; }
  std::int64_t importGeneration() const { return importGeneration_; }
  // Whether the chooser is showing.
  bool choosing() const { return choosing_; }

  // False, changing nothing, when another peer is bound already.
  bool bindRecipient(const std::string& peerID);
  // Starts preparing the current selection, replacing any running preparation.
  void prepare();
  // Stops the running preparation and clears the published result.
  void cancel();
  // Empties the preparation; imports still running can no longer add anything.
  void clear();
  // Shows the chooser, unless it is showing already.
  void choose();
  // Appends the file URLs not yet selected (others are ignored) and prepares when that changed
  // the selection.
  void add(const std::vector<ContentUrl>& urls);
  // The owner of a drop announces it: one more pending import; returns the generation to hand
  // back to importFinished.
  std::int64_t beginImport();
  // A drop's items have been loaded; `failed` when any could not be.
  void importFinished(const std::vector<ContentUrl>& urls, bool failed, std::int64_t generation);
  // The runtime accepted the batch with this identifier.
  void finishSent(const core::Uuid& batchID);

 private:
  AttachmentPreparation(std::optional<std::string> recipientID, Dependencies dependencies);

  void willChange() const;
  void publishResult(std::int64_t revision, std::shared_ptr<PreparedBatch> batch,
                     std::optional<ContentFailure::Case> failure);

  std::vector<ContentUrl> selections_;
  std::shared_ptr<PreparedBatch> prepared_;
  bool preparing_ = false;
  std::int64_t pendingImports_ = 0;
  std::optional<ContentFailure::Case> error_;
  bool allowPackages_ = false;
  std::optional<std::string> recipientID_;
  Dependencies dependencies_;
  std::shared_ptr<ContentCancellation> cancellation_ = std::make_shared<ContentCancellation>();
  std::int64_t revision_ = 0;
  std::int64_t importGeneration_ = 0;
  bool choosing_ = false;
  std::function<void()> willChange_;
};

}  // namespace velmorine::transfer
