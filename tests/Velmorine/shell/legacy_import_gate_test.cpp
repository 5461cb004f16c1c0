// The launch path and the picker over real data folders, with scripted dialogs: when the offer
// comes, what each answer does, which alert each failure brings, and when the runtime starts.

#include "Velmorine/shell/legacy_import_gate.h"

#include <gtest/gtest.h>

#include "Velmorine/shell/text_lookup.h"
#include "Velmorine/workspace/main_queue.h"
#include "native/product/product_identifier.h"
#include "tests/Velmorine/shell/legacy_import_fixture.h"
#include "tests/Velmorine/workspace/workspace_fixture.h"

namespace velmorine::shell {

void PrintTo(const LegacyImportAlert& alert, std::ostream* out) {
  *out << "alert(" << alert.message << " / " << alert.informativeText << ")";
}

namespace {

using namespace testing;

std::string text(std::string_view key, std::string_view language = "system") {
  return localizedString(key, language);
}

LegacyImportAlert failureAlert(std::string_view key, std::string_view language = "system") {
  return {text("migration.failed", language), text(key, language), {text("action.ok", language)}};
}

class LegacyImportGate : public ::testing::Test {
 public:
  LegacyImportContext context() {
    LegacyImportContext context;
    context.supported = supported;
    context.dataFolder = home.data();
    context.keychain = keychain;
    context.dialogs = dialogs;
    context.pickerFolder = home.root();
    context.quitting = [this] { return quitting; };
    context.mainQueue = [this](std::function<void()> work) {
      workspace::postToMainQueue([this, work = std::move(work)] {
        work();
        ++delivered;
      });
    };
    return context;
  }

  void launch() {
    offerLegacyImportAtLaunch([this] { ++starts; }, context());
  }
  // Launches and waits until the staging's result was handled on the main thread.
  void launchAndSettle() {
    launch();
    ASSERT_TRUE(spinUntil([&] { return delivered == 1; }));
  }
  void answerOfferWith(std::optional<fs::path> folder) {
    dialogs->alertAnswers.push_back(0);
    dialogs->folderAnswers.push_back(std::move(folder));
  }

  LegacyImportAlert offer() const {
    return {text("migration.title"),
            text("migration.help"),
            {text("migration.choose"), text("migration.later")}};
  }
  bool offerMarked() const { return fs::exists(home.root() / std::string(kOfferMarkerName)); }

  ImportHome home;
  std::shared_ptr<store::SystemIdentityKeychain> keychain = home.keychain();
  // The device's identity outlived its data: the keychain holds it, D is gone.
  SourceFolder source{*keychain};
  std::shared_ptr<ScriptedDialogs> dialogs = std::make_shared<ScriptedDialogs>();
  bool supported = true;
  bool quitting = false;
  int starts = 0;
  int delivered = 0;  // results handed to the main queue and handled there
};

TEST_F(LegacyImportGate, BuildWithoutTheImportStartsAtOnce) {
  supported = false;
  launch();
  EXPECT_EQ(starts, 1);
  EXPECT_TRUE(dialogs->alerts.empty());
  EXPECT_FALSE(offerMarked());
}

TEST_F(LegacyImportGate, SupportFollowsTheBundleIdentifier) {
  const std::string product(velmorine::kProductIdentifier);
  EXPECT_TRUE(
      legacyImportSupported(platform::Bundle(nlohmann::json{{"BundleIdentifier", product}})));
  EXPECT_FALSE(legacyImportSupported(
      platform::Bundle(nlohmann::json{{"BundleIdentifier", product + ".macos"}})));
  EXPECT_FALSE(legacyImportSupported(platform::Bundle(nlohmann::json::object())));
}

TEST_F(LegacyImportGate, OfferComesOnceAndLaterStartsWithNothingImported) {
  dialogs->alertAnswers.push_back(1);
  launch();
  ASSERT_EQ(dialogs->alerts.size(), 1u);
  EXPECT_EQ(dialogs->alerts[0], offer());
  EXPECT_EQ(starts, 1);
  EXPECT_TRUE(offerMarked());
  EXPECT_FALSE(fs::exists(home.data()));

  starts = 0;
  launch();
  EXPECT_EQ(dialogs->alerts.size(), 1u);
  EXPECT_EQ(starts, 1);
}

TEST_F(LegacyImportGate, DataOfItsOwnOrNoIdentityMeansNoOffer) {
  makeDataFolder(home.data(), *keychain);
  launch();
  EXPECT_EQ(starts, 1);

  ImportHome bare;
  LegacyImportContext withoutIdentity = context();
  withoutIdentity.dataFolder = bare.data();
  withoutIdentity.keychain = bare.keychain();
  offerLegacyImportAtLaunch([this] { ++starts; }, withoutIdentity);
  EXPECT_EQ(starts, 2);
  EXPECT_TRUE(dialogs->alerts.empty());
  EXPECT_FALSE(fs::exists(bare.root() / std::string(kOfferMarkerName)));
}

TEST_F(LegacyImportGate, ChosenFolderIsImportedBeforeTheRuntimeStarts) {
  answerOfferWith(source.path);
  launchAndSettle();
  EXPECT_EQ(starts, 1);
  ASSERT_EQ(dialogs->alerts.size(), 1u);  // the offer only
  ASSERT_EQ(dialogs->pickers.size(), 1u);
  EXPECT_EQ(dialogs->pickers[0].title, text("migration.title"));
  EXPECT_EQ(dialogs->pickers[0].message, text("migration.picker"));
  EXPECT_EQ(dialogs->pickers[0].prompt, text("migration.choose"));
  EXPECT_EQ(dialogs->pickers[0].startFolder, home.root());
  // Finished before the start: D holds the import, networking off.
  const auto document = documentIn(home.data());
  EXPECT_EQ(document.preferences.displayName, "Source");
  EXPECT_FALSE(document.preferences.networkEnabled);
  EXPECT_FALSE(fs::exists(home.pending()));
  EXPECT_EQ(treeOf(home.data(), {"state-v1.json"}), treeOf(source.path, {"state-v1.json"}));
}

TEST_F(LegacyImportGate, FailedStagingIsShownAndTheRuntimeStarts) {
  fs::rename(source.path, source.parent / "Other");
  answerOfferWith(source.parent / "Other");
  launchAndSettle();
  EXPECT_EQ(starts, 1);
  ASSERT_EQ(dialogs->alerts.size(), 2u);
  EXPECT_EQ(dialogs->alerts[1], failureAlert("migration.invalid"));
  EXPECT_FALSE(fs::exists(home.data()));
}

TEST_F(LegacyImportGate, CancelledPickerStarts) {
  answerOfferWith(std::nullopt);
  launch();
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(dialogs->pickers.size(), 1u);
}

TEST_F(LegacyImportGate, FinishingThatFailsLeavesTheRuntimeStopped) {
  makeDataFolder(home.data(), *keychain);
  stageLegacyImport(source.path, home.data(), *keychain);
  LockHolder running(home.data() / "instance.lock");
  ASSERT_TRUE(running.locked());
  launch();
  EXPECT_EQ(starts, 0);
  ASSERT_EQ(dialogs->alerts.size(), 1u);
  EXPECT_EQ(dialogs->alerts[0], failureAlert("migration.busy"));
  EXPECT_TRUE(fs::exists(home.pending()));
}

TEST_F(LegacyImportGate, ImportOverUsedDataIsSetAsideOnceAndTheRuntimeStarts) {
  makeDataFolder(home.data(), *keychain);
  stageLegacyImport(source.path, home.data(), *keychain);
  const auto staged = treeOf(home.pending());
  // A pairing after the staging, before the next launch.
  store::LocalStore(home.data()).update([](store::StoreDocument& document) {
    document.trust.emplace("peer", trustRecord());
  });
  const auto data = treeOf(home.data());

  launch();
  EXPECT_EQ(starts, 1);
  ASSERT_EQ(dialogs->alerts.size(), 1u);
  EXPECT_EQ(dialogs->alerts[0], failureAlert("migration.used"));
  EXPECT_FALSE(fs::exists(home.pending()));
  ASSERT_EQ(home.unusedImports().size(), 1u);
  EXPECT_EQ(treeOf(home.root() / home.unusedImports()[0]), staged);
  EXPECT_EQ(treeOf(home.data()), data);

  launch();
  EXPECT_EQ(starts, 2);
  EXPECT_EQ(dialogs->alerts.size(), 1u);
}

TEST_F(LegacyImportGate, UnreadableKeychainLeavesTheRuntimeStopped) {
  writeFile(home.root() / kKeychainFolderName / "items-v1.json", "damaged");
  launch();
  EXPECT_EQ(starts, 0);
  ASSERT_EQ(dialogs->alerts.size(), 1u);
  EXPECT_EQ(dialogs->alerts[0], failureAlert("migration.invalid"));
  EXPECT_FALSE(offerMarked());
}

TEST_F(LegacyImportGate, AbandonedCopiesAreSweptBeforeTheStart) {
  const auto copy =
      home.root() / (std::string(kStagingCopyPrefix) + upperCase(core::Uuid::random().to_string()));
  writeFile(copy / "state-v1.json", "{}");
  makeDataFolder(home.data(), *keychain);
  launch();
  EXPECT_EQ(starts, 1);
  EXPECT_FALSE(fs::exists(copy));
}

TEST_F(LegacyImportGate, QuitStartsNothingAndOpensNoDialog) {
  quitting = true;
  launch();
  EXPECT_EQ(starts, 0);
  EXPECT_TRUE(dialogs->alerts.empty());
  EXPECT_FALSE(offerMarked());
}

TEST_F(LegacyImportGate, QuitDuringStagingStartsNothingAndFinishesNothing) {
  answerOfferWith(source.path);
  launch();
  quitting = true;  // before the staging's result reaches the main thread
  ASSERT_TRUE(spinUntil([&] { return delivered == 1; }));
  EXPECT_EQ(starts, 0);
  EXPECT_EQ(dialogs->alerts.size(), 1u);
  EXPECT_TRUE(fs::exists(home.pending()));  // finished at the next launch
}

// The settings window's picker.

class LegacyImportPickerFromSettings : public LegacyImportGate {
 public:
  std::optional<LegacyImportOutcome> choose(std::optional<fs::path> folder,
                                            std::string language = "ja") {
    dialogs->folderAnswers.push_back(std::move(folder));
    std::optional<LegacyImportOutcome> outcome;
    int calls = 0;
    chooseLegacyImportSource(context(), std::move(language), [&](LegacyImportOutcome result) {
      outcome = std::move(result);
      ++calls;
    });
    // A cancelled picker answers at once, a staging through the main queue.
    EXPECT_TRUE(spinUntil([&] { return calls > 0 && (delivered == 1 || !**outcome); }));
    EXPECT_EQ(calls, 1);
    return outcome;
  }
};

TEST_F(LegacyImportPickerFromSettings, CancelledPickerStagesNothing) {
  const auto outcome = choose(std::nullopt);
  ASSERT_TRUE(outcome && outcome->has_value());
  EXPECT_FALSE(**outcome);
  ASSERT_EQ(dialogs->pickers.size(), 1u);
  EXPECT_EQ(dialogs->pickers[0].title, text("migration.title", "ja"));
  EXPECT_EQ(dialogs->pickers[0].message, text("migration.picker", "ja"));
}

TEST_F(LegacyImportPickerFromSettings, StagesForTheNextLaunchAndLeavesTheDataAlone) {
  makeDataFolder(home.data(), *keychain);
  const auto data = treeOf(home.data());
  const auto outcome = choose(source.path);
  ASSERT_TRUE(outcome && outcome->has_value());
  EXPECT_TRUE(**outcome);
  EXPECT_TRUE(fs::exists(home.pending()));
  EXPECT_EQ(treeOf(home.data()), data);
  EXPECT_EQ(starts, 0);
  EXPECT_TRUE(dialogs->alerts.empty());

  // The next launch swaps it in, then starts.
  launch();
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(documentIn(home.data()).preferences.displayName, "Source");
}

TEST_F(LegacyImportPickerFromSettings, FailureComesBackForItsAlert) {
  LockHolder olderRunning(source.path / "instance.lock");
  const auto outcome = choose(source.path);
  ASSERT_TRUE(outcome && !outcome->has_value());
  EXPECT_EQ(legacyImportFailureKey(outcome->error()), "migration.busy");
  presentLegacyImportFailure(*dialogs, outcome->error(), "ja");
  presentLegacyImportReady(*dialogs, "ja");
  ASSERT_EQ(dialogs->alerts.size(), 2u);
  EXPECT_EQ(dialogs->alerts[0], failureAlert("migration.busy", "ja"));
  EXPECT_EQ(dialogs->alerts[1], (LegacyImportAlert{text("migration.ready", "ja"),
                                                   text("migration.restart", "ja"),
                                                   {text("action.ok", "ja")}}));
}

TEST_F(LegacyImportPickerFromSettings, BuildWithoutTheImportShowsNoPicker) {
  supported = false;
  std::optional<LegacyImportOutcome> outcome;
  chooseLegacyImportSource(context(), "en", [&](LegacyImportOutcome result) { outcome = result; });
  ASSERT_TRUE(outcome && outcome->has_value());
  EXPECT_FALSE(**outcome);
  EXPECT_TRUE(dialogs->pickers.empty());
}

// The model's side: the start goes to the model's runtime while the model lives.

class LegacyImportGateModel : public workspace::testing::WorkspaceFixture {
 public:
  ImportHome home;
  std::shared_ptr<ScriptedDialogs> dialogs = std::make_shared<ScriptedDialogs>();

  LegacyImportContext context() {
    LegacyImportContext context;
    context.supported = true;
    context.dataFolder = home.data();
    context.keychain = home.keychain();
    context.dialogs = dialogs;
    context.mainQueue = [this](std::function<void()> work) {
      workspace::postToMainQueue([this, work = std::move(work)] {
        work();
        ++delivered;
      });
    };
    return context;
  }
  int delivered = 0;
  int startCalls() const {
    return static_cast<int>(std::count(runtime->calls.begin(), runtime->calls.end(), "start"));
  }
};

TEST_F(LegacyImportGateModel, StartsTheModelsRuntime) {
  offerLegacyImportAtLaunch(QPointer<workspace::WorkspaceModel>(model.get()), context());
  EXPECT_EQ(startCalls(), 1);
}

TEST_F(LegacyImportGateModel, ModelGoneBeforeStagingEndsStartsNothing) {
  SourceFolder source(*home.keychain());
  dialogs->alertAnswers.push_back(0);
  dialogs->folderAnswers.push_back(source.path);
  offerLegacyImportAtLaunch(QPointer<workspace::WorkspaceModel>(model.get()), context());
  model.reset();
  ASSERT_TRUE(spinUntil([&] { return delivered == 1; }));
  EXPECT_EQ(startCalls(), 0);
  EXPECT_TRUE(fs::exists(home.data()));  // finished all the same
}

}  // namespace
}  // namespace velmorine::shell
