// The model over its own runtime, in a data folder of the test's own: construction finds the
// folder, the snapshots and completions come back through the main queue, and the operations
// the runtime does not offer yet answer as the composer expects.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCoreApplication>
#include <QTest>

#include "Velmorine/workspace/workspace_model.h"
#include "tests/Velmorine/workspace/workspace_fixture.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::workspace::testing {
namespace {

// Points XDG_DATA_HOME at a fresh folder for the test's life.
class OwnDataFolder {
 public:
  OwnDataFolder() {
    if (const char* previous = std::getenv("XDG_DATA_HOME")) previous_ = previous;
    ::setenv("XDG_DATA_HOME", folder_.path().c_str(), 1);
  }
  ~OwnDataFolder() {
    if (previous_) {
      ::setenv("XDG_DATA_HOME", previous_->c_str(), 1);
    } else {
      ::unsetenv("XDG_DATA_HOME");
    }
  }
  const std::filesystem::path& path() const { return folder_.path(); }

 private:
  velmorine::testing::TemporaryFolder folder_;
  std::optional<std::string> previous_;
};

class ModelWithItsRuntime : public ::testing::Test {
 protected:
  ModelWithItsRuntime()
      : model([this](std::optional<std::string> recipient) {
          auto preparation = std::make_shared<FakePreparation>(std::move(recipient));
          preparations.push_back(preparation);
          return preparation;
        }) {}

  ~ModelWithItsRuntime() override {
    bool closed = false;
    model.runtime().shutdown([&] { closed = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return closed; }, 20000));
  }

  OwnDataFolder data;
  std::vector<std::shared_ptr<FakePreparation>> preparations;
  WorkspaceModel model;
};

TEST_F(ModelWithItsRuntime, StartsInItsDataFolderAndFollowsTheLanguage) {
  std::vector<std::string> languages;
  model.languageChanged = [&](const std::string& language) { languages.push_back(language); };
  model.startRuntime()();
  ASSERT_TRUE(QTest::qWaitFor([&] { return model.hasReceivedSnapshot(); }, 20000));
  EXPECT_EQ(model.snapshot().status, "network.paused");
  EXPECT_TRUE(std::filesystem::exists(data.path() / "Velmorine" / "instance.lock"));

  int snapshots = 0;
  QObject::connect(&model, &WorkspaceModel::snapshotPublished, [&] { ++snapshots; });
  model.runtime().updatePreferences([](store::AppPreferences& p) { p.language = "ja"; });
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return model.snapshot().preferences.language == "ja"; }, 20000));
  model.runtime().updatePreferences([](store::AppPreferences& p) { p.language = "ja"; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return snapshots >= 2; }, 20000));
  EXPECT_EQ(languages, (std::vector<std::string>{"ja"}));
}

// A selection without a prepared batch is refused before it reaches the outbox.
TEST_F(ModelWithItsRuntime, FilesTheRuntimeRefusesLeaveTheDraft) {
  runtime::RuntimeSnapshot snapshot;
  snapshot.peers = {peer("a")};
  model.apply(snapshot);
  model.setSelectedPeerID("a");
  model.setDraft("with files", "a");
  auto& preparation = static_cast<FakePreparation&>(*model.attachments());
  preparation.prepare();
  model.send();
  ASSERT_TRUE(QTest::qWaitFor([&] { return model.pendingSends().empty(); }, 20000));
  EXPECT_EQ(preparation.error(), transfer::ContentFailure::Case::access);
  EXPECT_EQ(model.draft("a"), "with files");
}

}  // namespace
}  // namespace velmorine::workspace::testing
