#include "Velmorine/shell/legacy_import_gate.h"

#include <thread>
#include <utility>

#include "Velmorine/shell/legacy_import_files.h"
#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/store/keychain_service.h"
#include "Velmorine/store/local_store.h"
#include "Velmorine/workspace/main_queue.h"
#include "Velmorine/workspace/workspace_model.h"
#include "native/product/product_identifier.h"
#include "platform/bookmarks/bookmarks.h"
#include "platform/files/durable_file.h"
#include "platform/keychain/keychain.h"

namespace velmorine::shell {

namespace {

// The store with the preferences is not open yet at launch.
constexpr std::string_view kLaunchLanguage = "system";

using Completion = std::function<void(LegacyImportOutcome)>;

std::string text(std::string_view key, std::string_view language) {
  return localizedString(key, language);
}

bool quitBegan(const LegacyImportContext& context) {
  return context.quitting && context.quitting();
}

void startUnlessQuitting(const LegacyImportContext& context,
                         const std::function<void()>& startRuntime) {
  if (!quitBegan(context) && startRuntime) startRuntime();
}

void alertAtLaunch(const LegacyImportContext& context, const std::exception_ptr& failure) {
  if (!quitBegan(context)) presentLegacyImportFailure(*context.dialogs, failure, kLaunchLanguage);
}

// Finishes a waiting import at launch: true when the runtime may start. An import that can no
// longer be finished because D is in use since it was staged is set aside, said once, and the
// runtime starts on D: otherwise it would refuse every later launch too.
bool finishAtLaunch(const LegacyImportContext& context) {
  std::exception_ptr failure;
  try {
    finishPendingLegacyImport(context.dataFolder, *context.keychain, context.checkpoint);
    return true;
  } catch (const LegacyMacImportError& error) {
    failure = std::current_exception();
    if (error.errorCase() != LegacyMacImportError::Case::destinationUsed) {
      alertAtLaunch(context, failure);
      return false;
    }
  } catch (...) {
    alertAtLaunch(context, std::current_exception());
    return false;
  }
  try {
    setAsideUnusedImport(context.dataFolder);
  } catch (...) {
    alertAtLaunch(context, std::current_exception());
    return false;
  }
  alertAtLaunch(context, failure);
  return true;
}

// Shows the picker and stages the chosen folder on a thread of its own; `done` runs on the main
// queue, or at once when nothing was chosen.
void pickAndStage(const LegacyImportContext& context, std::string_view language, Completion done) {
  if (quitBegan(context)) {
    done(false);
    return;
  }
  const auto folder = context.dialogs->chooseFolder(
      {text("migration.title", language), text("migration.picker", language),
       text("migration.choose", language), context.pickerFolder});
  if (!folder) {
    done(false);
    return;
  }
  const bool scoped = platform::start_security_scoped_access(*folder);
  std::thread([context, source = *folder, scoped, done = std::move(done)]() mutable {
    LegacyImportOutcome outcome = true;
    try {
      stageLegacyImport(source, context.dataFolder, *context.keychain, context.checkpoint);
    } catch (...) {
      outcome = std::unexpected(std::current_exception());
    }
    if (scoped) platform::stop_security_scoped_access(source);
    context.mainQueue(
        [done = std::move(done), outcome = std::move(outcome)] { done(std::move(outcome)); });
  }).detach();
}

void completeAtLaunch(const LegacyImportContext& context, const std::function<void()>& startRuntime,
                      const LegacyImportOutcome& outcome) {
  if (quitBegan(context)) return;
  if (!outcome) {
    alertAtLaunch(context, outcome.error());
  } else if (*outcome && !finishAtLaunch(context)) {
    return;
  }
  startUnlessQuitting(context, startRuntime);
}

}  // namespace

LegacyImportContext applicationLegacyImport(std::function<bool()> quitting) {
  LegacyImportContext context;
  context.supported = legacyImportSupported();
  context.dataFolder = platform::applicationSupportFolder();
  context.keychain = std::make_shared<store::SystemIdentityKeychain>(
      store::keychainServiceBase() + store::kIdentityServiceSuffix, store::keychainAccessGroup(),
      platform::Keychain::forUser());
  context.dialogs = std::make_shared<QtLegacyImportDialogs>();
  if (auto home = platform::accountHomeFolder()) context.pickerFolder = *home;
  context.quitting = std::move(quitting);
  context.mainQueue = workspace::postToMainQueue;
  return context;
}

bool legacyImportSupported(const platform::Bundle& bundle) {
  const auto identifier = bundle.identifier();
  return identifier && *identifier == kProductIdentifier;
}

bool legacyImportSupported() { return legacyImportSupported(platform::Bundle::main()); }

void offerLegacyImportAtLaunch(QPointer<workspace::WorkspaceModel> model,
                               LegacyImportContext context) {
  offerLegacyImportAtLaunch(
      [model] {
        if (model) model->startRuntime()();
      },
      std::move(context));
}

void offerLegacyImportAtLaunch(std::function<void()> startRuntime, LegacyImportContext context) {
  if (quitBegan(context)) return;
  if (!context.supported) {
    startRuntime();
    return;
  }
  removeAbandonedStagingCopies(context.dataFolder);
  if (!finishAtLaunch(context)) return;

  try {
    const auto data = import_files::standardised(context.dataFolder);
    const auto marker = data.parent_path() / kOfferMarkerName;
    if (import_files::identityAt(data / store::LocalStore::kDocumentName) ||
        import_files::identityAt(marker)) {
      startUnlessQuitting(context, startRuntime);
      return;
    }
    // Only a device whose identity outlived its data has anything to take back.
    if (!context.keychain->load()) {
      startUnlessQuitting(context, startRuntime);
      return;
    }
    platform::create_private_folders(marker.parent_path());
    const platform::UniqueFd parent = platform::open_folder(marker.parent_path());
    if (!parent.valid()) platform::throw_errno("open");
    platform::replace_file_durably(parent.get(), std::string(kOfferMarkerName), {});
  } catch (...) {
    alertAtLaunch(context, std::current_exception());
    return;
  }

  if (quitBegan(context)) return;
  const auto answer = context.dialogs->runAlert(
      {text("migration.title", kLaunchLanguage),
       text("migration.help", kLaunchLanguage),
       {text("migration.choose", kLaunchLanguage), text("migration.later", kLaunchLanguage)}});
  if (answer != 0) {
    startUnlessQuitting(context, startRuntime);
    return;
  }
  pickAndStage(context, kLaunchLanguage,
               [context, startRuntime = std::move(startRuntime)](LegacyImportOutcome outcome) {
                 completeAtLaunch(context, startRuntime, outcome);
               });
}

void chooseLegacyImportSource(LegacyImportContext context, std::string language,
                              std::function<void(LegacyImportOutcome)> completion) {
  if (!context.supported) {
    completion(false);
    return;
  }
  pickAndStage(context, language, std::move(completion));
}

std::string_view legacyImportFailureKey(const std::exception_ptr& failure) {
  try {
    if (failure) std::rethrow_exception(failure);
  } catch (const LegacyMacImportError& error) {
    switch (error.errorCase()) {
      case LegacyMacImportError::Case::sourceBusy:
        return "migration.busy";
      case LegacyMacImportError::Case::unfinished:
        return "migration.unfinished";
      case LegacyMacImportError::Case::destinationUsed:
        return "migration.used";
      case LegacyMacImportError::Case::invalidSource:
      case LegacyMacImportError::Case::identityMismatch:
        return "migration.invalid";
    }
  } catch (const store::LocalStoreError& error) {
    if (error.errorCase() == store::LocalStoreError::Case::alreadyRunning) return "migration.busy";
  } catch (...) {
  }
  return "migration.invalid";
}

void presentLegacyImportFailure(LegacyImportDialogs& dialogs, const std::exception_ptr& failure,
                                std::string_view language) {
  dialogs.runAlert({text("migration.failed", language),
                    text(legacyImportFailureKey(failure), language),
                    {text("action.ok", language)}});
}

void presentLegacyImportReady(LegacyImportDialogs& dialogs, std::string_view language) {
  dialogs.runAlert({text("migration.ready", language),
                    text("migration.restart", language),
                    {text("action.ok", language)}});
}

void presentLegacyImportFailure(const std::exception_ptr& failure, std::string_view language) {
  QtLegacyImportDialogs dialogs;
  presentLegacyImportFailure(dialogs, failure, language);
}

void presentLegacyImportReady(std::string_view language) {
  QtLegacyImportDialogs dialogs;
  presentLegacyImportReady(dialogs, language);
}

}  // namespace velmorine::shell
