#include "Velmorine/workspace/content_attachments.h"

#include <QApplication>
#include <QFileDialog>

#include "Velmorine/workspace/main_queue.h"

namespace velmorine::workspace {

namespace {

class MainQueueExecutor final : public transfer::Executor {
 public:
  void post(std::function<void()> work) override { postToMainQueue(std::move(work)); }
};

}  // namespace

ContentAttachments::ContentAttachments(std::shared_ptr<transfer::AttachmentPreparation> preparation)
    : preparation_(std::move(preparation)) {
  // The content layer says before a change; observers hear of it on the next turn, after it.
  preparation_->setWillChange([this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.expired() || announcing_ || observers_.empty()) return;
    announcing_ = true;
    postToMainQueue([this, alive] {
      if (alive.expired()) return;
      announcing_ = false;
      announce();
    });
  });
}

void ContentAttachments::announce() {
  // An observer may release its token while it runs.
  const auto observers = observers_;
  for (const auto& [number, changed] : observers) {
    if (observers_.contains(number)) changed();
  }
}

std::vector<transfer::ContentUrl> ContentAttachments::selections() const {
  return preparation_->selections();
}
void ContentAttachments::setSelections(std::vector<transfer::ContentUrl> selections) {
  preparation_->setSelections(std::move(selections));
}
void ContentAttachments::prepare() { preparation_->prepare(); }
bool ContentAttachments::allowPackages() const { return preparation_->allowPackages(); }
void ContentAttachments::setAllowPackages(bool allow) { preparation_->setAllowPackages(allow); }

std::shared_ptr<void> ContentAttachments::observe(std::function<void()> changed) {
  const std::uint64_t number = nextObserver_++;
  observers_.emplace(number, std::move(changed));
  return std::shared_ptr<void>(nullptr, [this, number, alive = std::weak_ptr<bool>(alive_)](void*) {
    if (!alive.expired()) observers_.erase(number);
  });
}

bool ContentAttachments::hasSelections() const { return !preparation_->selections().empty(); }

std::optional<PreparedAttachments> ContentAttachments::prepared() const {
  const auto& batch = preparation_->prepared();
  if (!batch) return std::nullopt;
  return PreparedAttachments{batch->id(), batch};
}

bool ContentAttachments::preparing() const { return preparation_->preparing(); }
std::int64_t ContentAttachments::pendingImports() const { return preparation_->pendingImports(); }
std::optional<transfer::ContentFailure::Case> ContentAttachments::error() const {
  return preparation_->error();
}
void ContentAttachments::setError(std::optional<transfer::ContentFailure::Case> error) {
  preparation_->setError(error);
}
const std::optional<std::string>& ContentAttachments::recipientID() const {
  return preparation_->recipientID();
}
bool ContentAttachments::choosing() const { return preparation_->choosing(); }
bool ContentAttachments::bindRecipient(const std::string& contactID) {
  return preparation_->bindRecipient(contactID);
}
void ContentAttachments::choose() { preparation_->choose(); }
void ContentAttachments::clear() { preparation_->clear(); }
void ContentAttachments::cancel() { preparation_->cancel(); }
void ContentAttachments::finishSent(const core::Uuid& batchID) {
  preparation_->finishSent(batchID);
}
std::int64_t ContentAttachments::beginImport() { return preparation_->beginImport(); }

void ContentAttachments::importFinished(std::vector<std::filesystem::path> files, bool failed,
                                        std::int64_t generation) {
  std::vector<transfer::ContentUrl> urls;
  urls.reserve(files.size());
  for (const auto& file : files) {
    std::error_code error;
    // A link is taken as the item it is, never as the folder it may point to.
    const bool directory =
        std::filesystem::is_directory(std::filesystem::symlink_status(file, error));
    urls.push_back(transfer::ContentUrl::file(file, directory));
  }
  preparation_->importFinished(urls, failed, generation);
}

void FileDialogChooser::choose(
    std::function<void(std::optional<std::vector<transfer::ContentUrl>>)> done) {
  auto* dialog = new QFileDialog(QApplication::activeWindow());
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowModality(Qt::WindowModal);
  dialog->setFileMode(QFileDialog::ExistingFiles);
  QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, done](int result) {
    if (result != QDialog::Accepted) {
      done(std::nullopt);
      return;
    }
    std::vector<transfer::ContentUrl> urls;
    for (const auto& file : dialog->selectedFiles()) {
      urls.push_back(transfer::ContentUrl::file(std::filesystem::path(file.toStdString())));
    }
    done(std::move(urls));
  });
  dialog->open();
}

std::shared_ptr<transfer::Executor> mainQueueExecutor() {
  return std::make_shared<MainQueueExecutor>();
}

AttachmentPreparationFactory contentAttachmentFactory() {
  auto main = mainQueueExecutor();
  auto chooser = std::make_shared<FileDialogChooser>();
  return [main, chooser](std::optional<std::string> recipient) {
    transfer::AttachmentPreparation::Dependencies dependencies;
    dependencies.main = main;
    dependencies.chooser = chooser;
    return std::make_shared<ContentAttachments>(
        transfer::AttachmentPreparation::create(std::move(recipient), std::move(dependencies)));
  };
}

}  // namespace velmorine::workspace
