#pragma once

// The one-time offer to import a data folder, the folder picker, their alerts, and the gate in
// front of the runtime's first start: at launch a pending import is finished before the store
// opens, and the runtime starts once the offer is settled.

#include <QPointer>
#include <exception>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Velmorine/shell/legacy_import.h"
#include "Velmorine/shell/legacy_import_dialogs.h"
#include "Velmorine/store/device_identity.h"
#include "platform/bundle/bundle.h"

namespace velmorine::workspace {
class WorkspaceModel;
}

namespace velmorine::shell {

// Beside the data folder: its existence means the offer was made once.
inline constexpr std::string_view kOfferMarkerName = ".Velmorine-LegacyImportOffered";

// What the offer, the picker and staging work with. `applicationLegacyImport` gives the
// program's own; tests put in their own places, keychain and dialogs.
struct LegacyImportContext {
  // Whether this build offers the import (`legacyImportSupported`).
  bool supported = false;
  std::filesystem::path dataFolder;  // D; its parent holds the places of the import
  std::shared_ptr<store::IdentityKeychain> keychain;
  std::shared_ptr<LegacyImportDialogs> dialogs;
  // Where the picker opens.
  std::optional<std::filesystem::path> pickerFolder;
  // True once the application began to quit: from then on nothing starts and no dialog opens.
  std::function<bool()> quitting;
  // Runs work on the main thread, from any thread.
  std::function<void(std::function<void()>)> mainQueue;
  LegacyImportCheckpoint checkpoint;
};

// The program's own: the user's data folder, the identity item in the user's keychain, Qt's
// dialogs, the picker in the user database's home, the interface's main queue.
LegacyImportContext applicationLegacyImport(std::function<bool()> quitting = {});

// True when the bundle's identifier is the product identifier itself; false without one.
bool legacyImportSupported(const platform::Bundle& bundle);
bool legacyImportSupported();

// What a staging ended with: a folder was staged (true), nothing was (false), or its failure.
using LegacyImportOutcome = std::expected<bool, std::exception_ptr>;

// The launch path, on the main thread, once, when the main window is first shown: sweeps
// abandoned staging copies, finishes a pending import, offers the import once, and ends by
// starting the runtime, except after a failed finishing, an unreadable keychain or an offer
// marker that could not be written (the failure alert says why).
void offerLegacyImportAtLaunch(QPointer<workspace::WorkspaceModel> model,
                               LegacyImportContext context);
// The same with the caller's own start of the runtime.
void offerLegacyImportAtLaunch(std::function<void()> startRuntime, LegacyImportContext context);

// The settings window's entry: shows the picker and stages the chosen folder on a thread of its
// own; the import completes at the next launch. `completion` always runs on the main thread,
// with the failure, true when a folder was staged, or false when none was.
void chooseLegacyImportSource(LegacyImportContext context, std::string language,
                              std::function<void(LegacyImportOutcome)> completion);

// The informative text key of the failure alert for an import's failure.
std::string_view legacyImportFailureKey(const std::exception_ptr& failure);

// "migration.failed" with the failure's key, and "migration.ready"; one button "action.ok".
void presentLegacyImportFailure(LegacyImportDialogs& dialogs, const std::exception_ptr& failure,
                                std::string_view language);
void presentLegacyImportReady(LegacyImportDialogs& dialogs, std::string_view language);
// The same with Qt's dialogs.
void presentLegacyImportFailure(const std::exception_ptr& failure, std::string_view language);
void presentLegacyImportReady(std::string_view language);

}  // namespace velmorine::shell
