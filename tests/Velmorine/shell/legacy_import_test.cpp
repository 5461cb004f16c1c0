// Staging and finishing of an import on real data folders: the tree check, the test that the
// data folder is not in use, staging's refusals (each leaves nothing behind), the swap with its
// recovery, the rewrite of the imported document, and the sweep of abandoned copies.

#include "Velmorine/shell/legacy_import.h"

#include <gtest/gtest.h>

#include "Velmorine/shell/legacy_import_gate.h"
#include "tests/Velmorine/shell/legacy_import_fixture.h"

namespace velmorine::shell {
namespace {

using namespace testing;

// The tree check.

struct TreeCase {
  const char* name;
  // Makes a tree below the folder and gives the root to check.
  std::function<fs::path(const fs::path&)> make;
  std::string expected;
};

fs::path plainTree(const fs::path& base) {
  writeFile(base / "Velmorine" / "state-v1.json", "{}");
  writeFile(base / "Velmorine" / "Received" / "a" / "b.txt", "b");
  fs::create_directories(base / "Velmorine" / "empty");
  return base / "Velmorine";
}

class LegacyImportTreeCheck : public ::testing::TestWithParam<TreeCase> {};

TEST_P(LegacyImportTreeCheck, TakesOnlyFoldersAndFiles) {
  velmorine::testing::TemporaryFolder base;
  const fs::path root = GetParam().make(base.path());
  EXPECT_EQ(outcomeOf([&] { validateLegacyTree(root); }), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, LegacyImportTreeCheck,
    ::testing::Values(TreeCase{"FoldersAndFiles", plainTree, "ok"},
                      TreeCase{"HiddenFile",
                               [](const fs::path& base) {
                                 writeFile(plainTree(base) / "Received" / ".hidden", "h");
                                 return base / "Velmorine";
                               },
                               "ok"},
                      TreeCase{"LinkToFile",
                               [](const fs::path& base) {
                                 fs::create_symlink("../state-v1.json",
                                                    plainTree(base) / "Received" / "l");
                                 return base / "Velmorine";
                               },
                               "invalidSource"},
                      TreeCase{"DanglingLink",
                               [](const fs::path& base) {
                                 fs::create_symlink("/nowhere", plainTree(base) / "gone");
                                 return base / "Velmorine";
                               },
                               "invalidSource"},
                      TreeCase{"LinkToFolder",
                               [](const fs::path& base) {
                                 fs::create_directory_symlink(
                                     base, plainTree(base) / "Received" / "a" / "up");
                                 return base / "Velmorine";
                               },
                               "invalidSource"},
                      TreeCase{"NamedPipeDeepInside",
                               [](const fs::path& base) {
                                 makeFifo(plainTree(base) / "Received" / "a" / "pipe");
                                 return base / "Velmorine";
                               },
                               "invalidSource"},
                      TreeCase{"Socket",
                               [](const fs::path& base) {
                                 makeSocket(plainTree(base) / "socket");
                                 return base / "Velmorine";
                               },
                               "invalidSource"},
                      TreeCase{"RootIsALink",
                               [](const fs::path& base) {
                                 fs::create_directory_symlink(plainTree(base), base / "link");
                                 return base / "link";
                               },
                               "invalidSource"},
                      TreeCase{"RootIsAFile",
                               [](const fs::path& base) {
                                 writeFile(base / "file", "x");
                                 return base / "file";
                               },
                               "invalidSource"},
                      TreeCase{"RootMissing", [](const fs::path& base) { return base / "missing"; },
                               "errno ENOENT"}),
    [](const auto& tested) { return tested.param.name; });

// The destination test.

struct DestinationCase {
  const char* name;
  std::function<void(const fs::path& data, store::IdentityKeychain&)> make;
  std::string expected;
};

class LegacyImportDestination : public ::testing::TestWithParam<DestinationCase> {};

TEST_P(LegacyImportDestination, CountsOnlyADeviceInUse) {
  ImportHome home;
  const auto keychain = home.keychain();
  GetParam().make(home.data(), *keychain);
  EXPECT_EQ(outcomeOf([&] { ensureImportDestinationNotInUse(home.data()); }), GetParam().expected);
}

// A data folder of a device that never paired: identity, preferences, an empty history and an
// empty "Received".
void unusedData(const fs::path& data, store::IdentityKeychain& keychain) {
  makeDataFolder(data, keychain, [](store::StoreDocument& document) {
    document.preferences.displayName = "Fresh";
    document.preferences.networkEnabled = true;
  });
  store::ConversationHistory history(data / std::string(kHistoryFileName));
  fs::create_directories(data / "Received");
}

void changedData(const fs::path& data, store::IdentityKeychain& keychain,
                 const store::LocalStore::Change& change) {
  unusedData(data, keychain);
  store::LocalStore(data).update(change);
}

INSTANTIATE_TEST_SUITE_P(
    DataFolders, LegacyImportDestination,
    ::testing::Values(
        DestinationCase{"Missing", [](const fs::path&, store::IdentityKeychain&) {}, "ok"},
        DestinationCase{"IdentityAndPreferencesOnly", unusedData, "ok"},
        DestinationCase{"EmptyPendingReceives",
                        [](const fs::path& data, store::IdentityKeychain& keychain) {
                          changedData(data, keychain, [](store::StoreDocument& document) {
                            document.pendingReceives.emplace();
                          });
                        },
                        "ok"},
        DestinationCase{"TrustRecord",
                        [](const fs::path& data, store::IdentityKeychain& keychain) {
                          changedData(data, keychain, [](store::StoreDocument& document) {
                            document.trust.emplace("peer", trustRecord());
                          });
                        },
                        "destinationUsed"},
        DestinationCase{"AuditEntry",
                        [](const fs::path& data, store::IdentityKeychain& keychain) {
                          changedData(data, keychain, [](store::StoreDocument& document) {
                            document.audit.push_back(auditEntry());
                          });
                        },
                        "destinationUsed"},
        DestinationCase{
            "ReceivedEntry",
            [](const fs::path& data, store::IdentityKeychain& keychain) {
              changedData(data, keychain, [](store::StoreDocument& document) {
                document.received.push_back({core::Uuid::random(), {1}, store::Date{1}});
              });
            },
            "destinationUsed"},
        DestinationCase{"PendingReceive",
                        [](const fs::path& data, store::IdentityKeychain& keychain) {
                          changedData(data, keychain, [](store::StoreDocument& document) {
                            document.pendingReceives.emplace();
                            document.pendingReceives->emplace("X", pendingReceive());
                          });
                        },
                        "destinationUsed"},
        DestinationCase{"HistoryRecord",
                        [](const fs::path& data, store::IdentityKeychain& keychain) {
                          unusedData(data, keychain);
                          addHistoryRecord(data);
                        },
                        "destinationUsed"},
        DestinationCase{"HiddenEntryInReceived",
                        [](const fs::path& data, store::IdentityKeychain& keychain) {
                          unusedData(data, keychain);
                          writeFile(data / "Received" / ".partial", "x");
                        },
                        "destinationUsed"},
        DestinationCase{"LinkInside",
                        [](const fs::path& data, store::IdentityKeychain& keychain) {
                          unusedData(data, keychain);
                          fs::create_symlink("/", data / "root");
                        },
                        "invalidSource"},
        DestinationCase{"DocumentNotJSON",
                        [](const fs::path& data, store::IdentityKeychain&) {
                          writeFile(data / "state-v1.json", "not json");
                        },
                        "other"}),
    [](const auto& tested) { return tested.param.name; });

// Staging.

class LegacyImportStaging : public ::testing::Test {
 public:
  void stage(const fs::path& source) {
    stageLegacyImport(source, home.data(), *keychain, recordSteps());
  }
  LegacyImportCheckpoint recordSteps() {
    return [this](LegacyImportStep step) { steps.push_back(step); };
  }
  // A staging that failed leaves neither a pending folder nor a copy, and D as it was.
  void expectNothingLeft(const std::map<std::string, std::string>& dataBefore) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(home.pending())));
    EXPECT_TRUE(home.copies().empty());
    EXPECT_EQ(treeOf(home.data()), dataBefore);
  }

  ImportHome home;
  std::shared_ptr<store::SystemIdentityKeychain> keychain = home.keychain();
  SourceFolder source{*keychain};
  std::vector<LegacyImportStep> steps;
  std::unique_ptr<LockHolder> holder;
};

TEST_F(LegacyImportStaging, CopiesTheWholeSourceIntoThePendingFolder) {
  const auto sourceBefore = treeOf(source.path);
  fs::permissions(source.path / "Received", fs::perms(0750));
  stage(source.path);

  // Everything, hidden file and history included, with the folder itself private.
  EXPECT_EQ(treeOf(home.pending()), treeOf(source.path));
  EXPECT_EQ(modeOf(home.pending()), 0700);
  EXPECT_EQ(modeOf(home.pending() / "Received"), 0750);
  EXPECT_EQ(modeOf(home.pending() / "state-v1.json"), 0600);
  EXPECT_EQ(historyRecordCount(home.pending()), 1u);
  EXPECT_TRUE(home.copies().empty());
  // The source stays as it was, its lock free again.
  EXPECT_EQ(treeOf(source.path), sourceBefore);
  EXPECT_NO_THROW(store::LocalStore{source.path});
  // D is untouched until finishing.
  EXPECT_FALSE(fs::exists(home.data()));
  EXPECT_EQ(steps, (std::vector<LegacyImportStep>{
                       LegacyImportStep::copying, LegacyImportStep::copied,
                       LegacyImportStep::copyChecked, LegacyImportStep::historyRead,
                       LegacyImportStep::synced, LegacyImportStep::staged}));
}

TEST_F(LegacyImportStaging, KeepsModesAndTimesOfFilesAndCopiesNothingSpecial) {
  writeFile(source.path / "Received" / "script.sh", "#!/bin/sh\n");
  fs::permissions(source.path / "Received" / "script.sh", fs::perms(0755));
  const fs::file_time_type old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
  fs::last_write_time(source.path / "Received" / "script.sh", old);
  stage(source.path);
  EXPECT_EQ(modeOf(home.pending() / "Received" / "script.sh"), 0755);
  EXPECT_EQ(fs::last_write_time(home.pending() / "Received" / "script.sh"), old);
}

TEST_F(LegacyImportStaging, LinkSwappedInAfterTheCheckIsCaughtInTheCopy) {
  const auto late = source.path / "Received" / "late";
  writeFile(late / "one", "1");
  writeFile(late / "two", "2");
  const auto dataBefore = treeOf(home.data());
  // Once copying began, both files become links: at least one is not copied yet, whichever the
  // copy took first, and it goes into the copy as a link.
  const auto swap = [&](LegacyImportStep step) {
    if (step != LegacyImportStep::copying) return;
    for (const char* name : {"one", "two"}) {
      fs::remove(late / name);
      fs::create_symlink("/etc/passwd", late / name);
    }
  };
  EXPECT_EQ(outcomeOf([&] { stageLegacyImport(source.path, home.data(), *keychain, swap); }),
            "invalidSource");
  expectNothingLeft(dataBefore);
}

TEST_F(LegacyImportStaging, SecondStagingWhileOneWaitsIsRefused) {
  stage(source.path);
  const auto pendingBefore = treeOf(home.pending());
  SourceFolder another(*keychain, "Another");
  EXPECT_EQ(outcomeOf([&] { stage(another.path); }), "destinationUsed");
  EXPECT_EQ(treeOf(home.pending()), pendingBefore);
  EXPECT_TRUE(home.copies().empty());
}

struct StagingCase {
  const char* name;
  // Prepares the fixture and gives the folder to stage.
  std::function<fs::path(LegacyImportStaging&, SourceFolder&, ImportHome&)> setup;
  std::string expected;
  std::string_view alertKey;  // the failure alert's informative text
};

class LegacyImportStagingCases : public LegacyImportStaging,
                                 public ::testing::WithParamInterface<StagingCase> {
 public:
  static void hold(LegacyImportStaging& fixture, const fs::path& path) {
    static_cast<LegacyImportStagingCases&>(fixture).holder = std::make_unique<LockHolder>(path);
  }
};

TEST_P(LegacyImportStagingCases, RefusesAndLeavesNothing) {
  const fs::path chosen = GetParam().setup(*this, source, home);
  const auto dataBefore = treeOf(home.data());
  std::exception_ptr failure;
  const std::string outcome = outcomeOf([&] {
    try {
      stage(chosen);
    } catch (...) {
      failure = std::current_exception();
      throw;
    }
  });
  EXPECT_EQ(outcome, GetParam().expected);
  EXPECT_EQ(legacyImportFailureKey(failure), GetParam().alertKey);
  expectNothingLeft(dataBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, LegacyImportStagingCases,
    ::testing::Values(
        StagingCase{"LinkInSource",
                    [](auto&, SourceFolder& source, ImportHome&) {
                      fs::create_symlink("/etc/passwd", source.path / "Received" / "passwd");
                      return source.path;
                    },
                    "invalidSource", "migration.invalid"},
        StagingCase{"NamedPipeInSource",
                    [](auto&, SourceFolder& source, ImportHome&) {
                      makeFifo(source.path / "pipe");
                      return source.path;
                    },
                    "invalidSource", "migration.invalid"},
        StagingCase{"SocketInSource",
                    [](auto&, SourceFolder& source, ImportHome&) {
                      makeSocket(source.path / "Received" / "socket");
                      return source.path;
                    },
                    "invalidSource", "migration.invalid"},
        StagingCase{"AnotherName",
                    [](auto&, SourceFolder& source, ImportHome&) {
                      fs::rename(source.path, source.parent / "Velmorine-old");
                      return source.parent / "Velmorine-old";
                    },
                    "invalidSource", "migration.invalid"},
        StagingCase{"NameInOtherCase",
                    [](auto&, SourceFolder& source, ImportHome&) {
                      fs::rename(source.path, source.parent / "velmorine");
                      return source.parent / "velmorine";
                    },
                    "invalidSource", "migration.invalid"},
        StagingCase{"DataFolderItself",
                    [](LegacyImportStaging& fixture, SourceFolder&, ImportHome& home) {
                      unusedData(home.data(), *fixture.keychain);
                      return home.data() / ".";
                    },
                    "invalidSource", "migration.invalid"},
        StagingCase{"DataFolderByAnotherPath",
                    [](LegacyImportStaging& fixture, SourceFolder& source, ImportHome& home) {
                      unusedData(home.data(), *fixture.keychain);
                      fs::create_directory_symlink(home.root(), source.parent / "elsewhere");
                      return source.parent / "elsewhere" / "Velmorine";
                    },
                    "invalidSource", "migration.invalid"},
        StagingCase{"SourceInsideTheDataFolder",
                    [](LegacyImportStaging& fixture, SourceFolder& source, ImportHome& home) {
                      unusedData(home.data(), *fixture.keychain);
                      fs::create_directories(home.data() / "backup");
                      fs::rename(source.path, home.data() / "backup" / "Velmorine");
                      return home.data() / "backup" / "Velmorine";
                    },
                    "invalidSource", "migration.invalid"},
        StagingCase{"NoDocument",
                    [](auto&, SourceFolder& source, ImportHome&) {
                      fs::remove(source.path / "state-v1.json");
                      return source.path;
                    },
                    "invalidSource", "migration.invalid"},
        StagingCase{"SourceBusy",
                    [](LegacyImportStaging& fixture, SourceFolder& source, ImportHome&) {
                      LegacyImportStagingCases::hold(fixture, source.path / "instance.lock");
                      return source.path;
                    },
                    "sourceBusy", "migration.busy"},
        StagingCase{"UnfinishedReceives",
                    [](auto&, SourceFolder& source, ImportHome&) {
                      store::LocalStore(source.path).update([](store::StoreDocument& document) {
                        document.pendingReceives.emplace();
                        document.pendingReceives->emplace("X", pendingReceive());
                      });
                      return source.path;
                    },
                    "unfinished", "migration.unfinished"},
        StagingCase{"DataFolderInUse",
                    [](LegacyImportStaging& fixture, SourceFolder& source, ImportHome& home) {
                      unusedData(home.data(), *fixture.keychain);
                      addHistoryRecord(home.data());
                      return source.path;
                    },
                    "destinationUsed", "migration.used"},
        StagingCase{"SourceWithoutIdentity",
                    [](auto&, SourceFolder& source, ImportHome&) {
                      const auto path = source.parent / "bare" / "Velmorine";
                      store::LocalStore(path).update([](store::StoreDocument& document) {
                        document.preferences.displayName = "Bare";
                      });
                      return path;
                    },
                    "identityMismatch", "migration.invalid"},
        StagingCase{"NoIdentityInTheKeychain",
                    [](LegacyImportStaging& fixture, SourceFolder& source, ImportHome&) {
                      fs::remove_all(fixture.home.root() / kKeychainFolderName);
                      return source.path;
                    },
                    "identityMismatch", "migration.invalid"},
        StagingCase{"AnotherIdentityInTheKeychain",
                    [](LegacyImportStaging& fixture, SourceFolder& source, ImportHome&) {
                      fs::remove_all(fixture.home.root() / kKeychainFolderName);
                      velmorine::testing::TemporaryFolder other;
                      makeDataFolder(other / "Velmorine", *fixture.keychain);
                      return source.path;
                    },
                    "LocalStoreError.identityMismatch", "migration.invalid"},
        StagingCase{"DamagedKeychainFile",
                    [](LegacyImportStaging& fixture, SourceFolder& source, ImportHome&) {
                      writeFile(fixture.home.root() / kKeychainFolderName / "items-v1.json",
                                "\x01\x02 damaged");
                      return source.path;
                    },
                    "LocalStoreError.keychain", "migration.invalid"},
        StagingCase{"HistoryNotSQLite",
                    [](auto&, SourceFolder& source, ImportHome&) {
                      writeFile(source.path / std::string(kHistoryFileName),
                                std::string(8192, 'x'));
                      return source.path;
                    },
                    "history", "migration.invalid"}),
    [](const auto& tested) { return tested.param.name; });

// Finishing.

class LegacyImportFinishing : public LegacyImportStaging {
 public:
  void finish() { finishPendingLegacyImport(home.data(), *keychain, recordSteps()); }

  // The source's tree as the import must leave it in D: the document is rewritten, the rest is
  // the same.
  std::map<std::string, std::string> importedTree() const {
    return treeOf(source.path, {"state-v1.json"});
  }
  // D holds the whole import, and its document is the source's adjusted for this device.
  void expectImported() {
    EXPECT_EQ(treeOf(home.data(), {"state-v1.json"}), importedTree());
    const auto document = documentIn(home.data());
    auto expected = documentIn(source.path);
    expected.preferences.networkEnabled = false;
    expected.preferences.notificationsEnabled = false;
    expected.preferences.destinationBookmark.reset();
    ASSERT_EQ(document.received.size(), 1u);
    expected.received[0].containerBookmark = document.received[0].containerBookmark;
    EXPECT_EQ(document, expected);
    const auto resolved = platform::resolve_bookmark(document.received[0].containerBookmark);
    EXPECT_EQ(resolved.path,
              home.data() / "Received" / ("Velmorine-" + source.receivedID.to_string()));
    EXPECT_FALSE(resolved.stale);
    EXPECT_EQ(modeOf(home.data() / "state-v1.json"), 0600);
    EXPECT_FALSE(fs::exists(home.data() / std::string(kFinishingMarkerName)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(home.pending())));
  }
};

TEST_F(LegacyImportFinishing, NothingPendingChangesNothing) {
  unusedData(home.data(), *keychain);
  const auto before = treeOf(home.root());
  finish();
  EXPECT_EQ(treeOf(home.root()), before);
  EXPECT_TRUE(steps.empty());
}

TEST_F(LegacyImportFinishing, SwapsThePendingFolderInAndKeepsThePreviousData) {
  unusedData(home.data(), *keychain);
  writeFile(home.data() / "before.txt", "old");
  const auto before = treeOf(home.data());
  stage(source.path);
  steps.clear();
  finish();
  expectImported();
  const auto previous = home.previousData();
  ASSERT_EQ(previous.size(), 1u);
  EXPECT_EQ(treeOf(home.root() / previous[0]), before);
  EXPECT_EQ(steps, (std::vector<LegacyImportStep>{
                       LegacyImportStep::markerWritten, LegacyImportStep::dataSetAside,
                       LegacyImportStep::pendingSwapped, LegacyImportStep::documentAdjusted,
                       LegacyImportStep::documentWritten, LegacyImportStep::markerRemoved}));
  // Opened as the runtime will: the identity matches.
  store::LocalStore opened(home.data());
  EXPECT_NO_THROW(opened.loadOrCreateIdentity(*keychain));
}

TEST_F(LegacyImportFinishing, MissingDataFolderIsMadeAndSetAside) {
  stage(source.path);
  finish();
  expectImported();
  ASSERT_EQ(home.previousData().size(), 1u);
  EXPECT_TRUE(treeOf(home.root() / home.previousData()[0]).empty());
}

TEST_F(LegacyImportFinishing, MarkerInTheDataFolderCompletesTheRewrite) {
  stage(source.path);
  // As a crash after the swap leaves it.
  fs::rename(home.pending(), home.data());
  writeFile(home.data() / std::string(kFinishingMarkerName), "");
  steps.clear();
  finish();
  expectImported();
  EXPECT_EQ(steps, (std::vector<LegacyImportStep>{LegacyImportStep::documentAdjusted,
                                                  LegacyImportStep::documentWritten,
                                                  LegacyImportStep::markerRemoved}));
}

struct FinishingRefusal {
  const char* name;
  std::function<void(LegacyImportFinishing&)> afterStaging;
  std::string expected;
};

class LegacyImportFinishingRefusals : public LegacyImportFinishing,
                                      public ::testing::WithParamInterface<FinishingRefusal> {
 public:
  static void hold(LegacyImportFinishing& fixture, const fs::path& path) {
    static_cast<LegacyImportFinishingRefusals&>(fixture).holder =
        std::make_unique<LockHolder>(path);
  }
};

TEST_P(LegacyImportFinishingRefusals, MoveNothing) {
  unusedData(home.data(), *keychain);
  stage(source.path);
  GetParam().afterStaging(*this);
  // The keychain may make its lock file when it is read.
  const auto before = treeOf(home.root(), {kKeychainFolderName});
  EXPECT_EQ(outcomeOf([&] { finish(); }), GetParam().expected);
  EXPECT_EQ(treeOf(home.root(), {kKeychainFolderName}), before);
  EXPECT_TRUE(home.previousData().empty());
}

INSTANTIATE_TEST_SUITE_P(
    BeforeTheSwap, LegacyImportFinishingRefusals,
    ::testing::Values(FinishingRefusal{"DataFolderUsedSinceStaging",
                                       [](LegacyImportFinishing& fixture) {
                                         store::LocalStore(fixture.home.data())
                                             .update([](store::StoreDocument& document) {
                                               document.trust.emplace("peer", trustRecord());
                                             });
                                       },
                                       "destinationUsed"},
                      FinishingRefusal{"DataFolderLockedByAnotherProcess",
                                       [](LegacyImportFinishing& fixture) {
                                         LegacyImportFinishingRefusals::hold(
                                             fixture, fixture.home.data() / "instance.lock");
                                       },
                                       "LocalStoreError.alreadyRunning"},
                      FinishingRefusal{"IdentityGoneFromTheKeychain",
                                       [](LegacyImportFinishing& fixture) {
                                         fs::remove_all(fixture.home.root() / kKeychainFolderName);
                                       },
                                       "identityMismatch"},
                      FinishingRefusal{"LinkPutIntoThePendingFolder",
                                       [](LegacyImportFinishing& fixture) {
                                         fs::create_symlink("/", fixture.home.pending() / "root");
                                       },
                                       "invalidSource"}),
    [](const auto& tested) { return tested.param.name; });

TEST_F(LegacyImportFinishing, FailedRewritePutsBothFoldersBack) {
  unusedData(home.data(), *keychain);
  const auto before = treeOf(home.data());
  stage(source.path);
  // The document's temporary name is taken by a folder that cannot be removed: the rewrite's
  // write fails after the swap.
  writeFile(home.pending() / "state-v1.json.new" / "x", "");
  EXPECT_EQ(outcomeOf([&] { finish(); }), "errno EISDIR");
  EXPECT_EQ(treeOf(home.data()), before);
  EXPECT_TRUE(home.previousData().empty());
  // The import waits again, its marker with it, and finishes once the obstacle is gone.
  EXPECT_TRUE(fs::exists(home.pending() / std::string(kFinishingMarkerName)));
  fs::remove_all(home.pending() / "state-v1.json.new");
  finish();
  expectImported();
}

TEST_F(LegacyImportFinishing, UnusedImportIsSetAsideWhole) {
  EXPECT_FALSE(setAsideUnusedImport(home.data()));
  stage(source.path);
  const auto pendingBefore = treeOf(home.pending());
  EXPECT_TRUE(setAsideUnusedImport(home.data()));
  EXPECT_FALSE(fs::exists(home.pending()));
  const auto unused = home.unusedImports();
  ASSERT_EQ(unused.size(), 1u);
  const std::string uuid = unused[0].substr(kUnusedImportPrefix.size());
  ASSERT_TRUE(core::Uuid::parse(uuid));
  EXPECT_EQ(uuid, upperCase(core::Uuid::parse(uuid)->to_string()));
  EXPECT_EQ(treeOf(home.root() / unused[0]), pendingBefore);
}

// The sweep of abandoned copies.

TEST(LegacyImportSweep, RemovesOnlyCopiesNoStagingHolds) {
  ImportHome home;
  const auto copy = [&](const char* uuid) {
    const auto path = home.root() / (std::string(kStagingCopyPrefix) + uuid);
    writeFile(path / "Received" / "a.txt", "a");
    fs::permissions(path / "Received", fs::perms(0500));
    return path;
  };
  const auto abandoned = copy("0F8FAD5B-D9CB-469F-A165-70867728950E");
  const auto held = copy("7C9E6679-7425-40DE-944B-E07FC1F90AE7");
  const auto lowerCase = copy("7c9e6679-7425-40de-944b-e07fc1f90ae7");
  const auto otherName = home.root() / ".Velmorine-import-notes";
  fs::create_directories(otherName);
  const auto link =
      home.root() / (std::string(kStagingCopyPrefix) + "A1B2C3D4-0000-4000-8000-000000000000");
  fs::create_directory_symlink(held, link);

  LockHolder staging(held);
  ASSERT_TRUE(staging.locked());
  removeAbandonedStagingCopies(home.data());
  EXPECT_FALSE(fs::exists(abandoned));
  EXPECT_TRUE(fs::exists(held / "Received" / "a.txt"));
  EXPECT_TRUE(fs::exists(lowerCase));
  EXPECT_TRUE(fs::exists(otherName));
  EXPECT_TRUE(fs::is_symlink(link));
}

}  // namespace
}  // namespace velmorine::shell
