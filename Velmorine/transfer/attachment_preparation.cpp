#include "Velmorine/transfer/attachment_preparation.h"

#include <algorithm>

#include "Velmorine/transfer/content_limits.h"
#include "Velmorine/transfer/source_verification.h"
#include "native/product/product_identifier.h"
#include "platform/dispatch/serial_queue.h"

namespace velmorine::transfer {

namespace {

using Case = ContentFailure::Case;

class SerialQueueExecutor final : public Executor {
 public:
  explicit SerialQueueExecutor(const std::string& role) : queue_(product_scoped(role)) {}
  void post(std::function<void()> work) override { queue_.async(std::move(work)); }

 private:
  platform::SerialQueue queue_;
};

}  // namespace

std::shared_ptr<Executor> makeSerialQueueExecutor(const std::string& role) {
  return std::make_shared<SerialQueueExecutor>(role);
}

std::shared_ptr<AttachmentPreparation> AttachmentPreparation::create(
    std::optional<std::string> recipientID, Dependencies dependencies) {
  return std::shared_ptr<AttachmentPreparation>(
      new AttachmentPreparation(std::move(recipientID), std::move(dependencies)));
}

AttachmentPreparation::AttachmentPreparation(std::optional<std::string> recipientID,
                                             Dependencies dependencies)
    : recipientID_(std::move(recipientID)), dependencies_(std::move(dependencies)) {
  if (!dependencies_.work) dependencies_.work = makeSerialQueueExecutor("prepare");
  if (!dependencies_.verificationFailed) dependencies_.verificationFailed = logVerificationFailure;
}

AttachmentPreparation::~AttachmentPreparation() { cancellation_->cancel(); }

void AttachmentPreparation::willChange() const {
  if (willChange_) willChange_();
}

void AttachmentPreparation::setSelections(std::vector<ContentUrl> selections) {
  willChange();
  selections_ = std::move(selections);
}

void AttachmentPreparation::setError(std::optional<ContentFailure::Case> error) {
  willChange();
  error_ = error;
}

void AttachmentPreparation::setAllowPackages(bool allow) {
  const bool previous = allowPackages_;
  willChange();
  allowPackages_ = allow;
  if (allow != previous && !selections_.empty()) prepare();
}

bool AttachmentPreparation::bindRecipient(const std::string& peerID) {
  if (recipientID_ && *recipientID_ != peerID) return false;
  recipientID_ = peerID;
  return true;
}

void AttachmentPreparation::cancel() {
  ++revision_;
  cancellation_->cancel();
  cancellation_ = std::make_shared<ContentCancellation>();
  willChange();
  prepared_.reset();
  willChange();
  preparing_ = false;
  willChange();
  error_.reset();
}

void AttachmentPreparation::prepare() {
  cancel();
  if (selections_.empty()) return;
  if (selections_.size() > static_cast<std::size_t>(kMaxTopLevelItems)) {
    willChange();
    error_ = Case::topLevelLimit;
    return;
  }
  const std::int64_t revision = revision_;
  willChange();
  preparing_ = true;
  dependencies_.work->post(
      [weak = weak_from_this(), revision, urls = selections_, allow = allowPackages_,
       token = cancellation_, services = dependencies_.services,
       verificationFailed = dependencies_.verificationFailed, main = dependencies_.main] {
        std::shared_ptr<PreparedBatch> batch;
        std::optional<Case> failure;
        try {
          batch = prepareBatch(urls, allow, *token, services, verificationFailed);
        } catch (const ContentFailure& error) {
          failure = error.failure();
        } catch (...) {
          failure = Case::access;
        }
        main->post([weak, revision, batch = std::move(batch), failure] {
          if (const auto self = weak.lock()) self->publishResult(revision, batch, failure);
        });
      });
}

void AttachmentPreparation::publishResult(std::int64_t revision,
                                          std::shared_ptr<PreparedBatch> batch,
                                          std::optional<ContentFailure::Case> failure) {
  if (revision != revision_) return;
  willChange();
  preparing_ = false;
  willChange();
  if (batch) {
    prepared_ = std::move(batch);
  } else {
    error_ = failure;
  }
}

void AttachmentPreparation::add(const std::vector<ContentUrl>& urls) {
  std::vector<ContentUrl> selections = selections_;
  for (const auto& url : urls) {
    if (url.isFile() && std::find(selections.begin(), selections.end(), url) == selections.end()) {
      selections.push_back(url);
    }
  }
  if (selections == selections_) return;
  setSelections(std::move(selections));
  prepare();
}

std::int64_t AttachmentPreparation::beginImport() {
  willChange();
  ++pendingImports_;
  return importGeneration_;
}

void AttachmentPreparation::importFinished(const std::vector<ContentUrl>& urls, bool failed,
                                           std::int64_t generation) {
  if (generation != importGeneration_) return;
  add(urls);
  willChange();
  pendingImports_ = std::max<std::int64_t>(pendingImports_ - 1, 0);
  if (failed) {
    cancel();
    willChange();
    error_ = Case::access;
  }
}

void AttachmentPreparation::choose() {
  if (choosing_ || !dependencies_.chooser) return;
  choosing_ = true;
  const std::int64_t generation = importGeneration_;
  dependencies_.chooser->choose([weak = weak_from_this(), generation, main = dependencies_.main](
                                    std::optional<std::vector<ContentUrl>> urls) {
    main->post([weak, generation, urls = std::move(urls)] {
      const auto self = weak.lock();
      if (!self) return;
      self->choosing_ = false;
      if (self->importGeneration_ == generation && urls && !urls->empty()) self->add(*urls);
    });
  });
}

void AttachmentPreparation::clear() {
  cancel();
  ++importGeneration_;
  willChange();
  pendingImports_ = 0;
  setSelections({});
  setAllowPackages(false);
}

void AttachmentPreparation::finishSent(const core::Uuid& batchID) {
  if (prepared_ && prepared_->id() == batchID) clear();
}

}  // namespace velmorine::transfer
