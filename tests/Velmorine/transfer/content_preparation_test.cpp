#include "Velmorine/transfer/content_preparation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_limits.h"
#include "tests/Velmorine/transfer/content_files.h"
#include "tests/support/private_mounts.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::transfer {
namespace {

using Case = ContentFailure::Case;
using Stage = SourceVerificationFailure::Stage;
using testing::patternBytes;
using testing::writeFile;

class Preparation : public ::testing::Test {
 protected:
  testing::TemporaryFolder folder;
  ContentCancellation cancellation;
  PreparationServices services;
  std::vector<SourceVerificationFailure> reports;
  bool allowPackages = false;

  ContentUrl url(const std::string& name, bool directory = false) const {
    return ContentUrl::file(folder / name, directory);
  }

  std::shared_ptr<PreparedBatch> prepare(const std::vector<ContentUrl>& urls) {
    return prepareBatch(
        urls, allowPackages, cancellation, services,
        [this](const SourceVerificationFailure& failure) { reports.push_back(failure); });
  }

  std::optional<Case> failureOf(const std::vector<ContentUrl>& urls) {
    try {
      prepare(urls);
      return std::nullopt;
    } catch (const ContentFailure& failure) {
      return failure.failure();
    }
  }
};

TEST_F(Preparation, FolderComesBeforeItsContentsWithDigestsSizesAndSources) {
  std::filesystem::create_directories(folder / "Photos/Trip");
  const auto big = patternBytes(kReadChunkBytes * 2 + 17);
  writeFile(folder / "Photos/Trip/big.bin", big);
  writeFile(folder / "Photos/note.txt", "hello");
  writeFile(folder / "Photos/Trip/empty", "");
  writeFile(folder / "single.txt", "abc");

  const auto batch = prepare({url("Photos", true), url("single.txt")});
  ASSERT_EQ(batch->entries().size(), 6u);
  EXPECT_EQ(batch->topLevelCount(), 2);
  EXPECT_EQ(batch->totalBytes(), big.size() + 5 + 3);
  std::map<std::string, const ContentEntry*> byPath;
  for (std::size_t i = 0; i < batch->entries().size(); ++i) {
    const ContentEntry& entry = batch->entries()[i];
    EXPECT_EQ(entry.index, static_cast<std::int64_t>(i));
    byPath[entry.path] = &entry;
    // Every ancestor was listed earlier.
    const auto slash = entry.path.rfind('/');
    if (slash != std::string::npos) {
      ASSERT_TRUE(byPath.contains(entry.path.substr(0, slash))) << entry.path;
    }
  }
  EXPECT_EQ(batch->entries()[0].path, "Photos");
  EXPECT_TRUE(batch->entries()[0].directory);
  EXPECT_EQ(batch->entries()[0].sha256, std::nullopt);
  EXPECT_EQ(byPath.at("Photos/Trip/big.bin")->sha256, testing::sha256Of(big));
  EXPECT_EQ(byPath.at("Photos/Trip/big.bin")->size, big.size());
  EXPECT_EQ(byPath.at("Photos/Trip/empty")->sha256,
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(byPath.at("single.txt")->sha256,
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  const auto& last = batch->entries().back();
  EXPECT_EQ(last.path, "single.txt");
  EXPECT_EQ(batch->sources().back().root, 1);
  EXPECT_TRUE(batch->sources().back().relative.empty());
  const auto bigIndex = static_cast<std::size_t>(byPath.at("Photos/Trip/big.bin")->index);
  EXPECT_EQ(batch->sources()[bigIndex].relative, (std::vector<std::string>{"Trip", "big.bin"}));
  EXPECT_EQ(batch->sources()[bigIndex].stamp.size, static_cast<std::int64_t>(big.size()));
  EXPECT_EQ(batch->roots().size(), 2u);
  EXPECT_TRUE(reports.empty());
}

TEST_F(Preparation, ModificationTimeIsWrittenInUtcWithMilliseconds) {
  writeFile(folder / "a", "x");
  const timespec times[2] = {{0, UTIME_OMIT}, {1714558830, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (folder / "a").c_str(), times, 0), 0);
  EXPECT_EQ(prepare({url("a")})->entries()[0].modifiedUTC, "2024-05-01T10:20:30.123Z");
  EXPECT_EQ(iso8601Milliseconds(0, 999'999'999), "1970-01-01T00:00:00.999Z");
  EXPECT_EQ(iso8601Milliseconds(-1, 500'000'000), "1969-12-31T23:59:59.500Z");
}

TEST_F(Preparation, TopLevelItemsFrom1To1024) {
  EXPECT_EQ(failureOf({}), Case::topLevelLimit);
  std::vector<ContentUrl> urls;
  for (int i = 0; i < 1025; ++i) {
    writeFile(folder / ("f" + std::to_string(i)), "");
    urls.push_back(url("f" + std::to_string(i)));
  }
  EXPECT_EQ(failureOf(urls), Case::topLevelLimit);
  urls.pop_back();
  EXPECT_EQ(prepare(urls)->entries().size(), 1024u);
}

TEST_F(Preparation, AFolderOf4095FilesFillsTheEntryLimit) {
  std::filesystem::create_directories(folder / "many");
  for (int i = 0; i < 4095; ++i) writeFile(folder / "many" / std::to_string(i), "");
  EXPECT_EQ(prepare({url("many", true)})->entries().size(), 4096u);
  writeFile(folder / "many/one-more", "");
  EXPECT_EQ(failureOf({url("many", true)}), Case::entryLimit);
}

TEST_F(Preparation, DuplicateNamesByKeyAreRefused) {
  std::filesystem::create_directories(folder / "x");
  std::filesystem::create_directories(folder / "y");
  writeFile(folder / "x/a.txt", "1");
  writeFile(folder / "y/a.txt", "2");
  EXPECT_EQ(failureOf({url("x/a.txt"), url("y/a.txt")}), Case::duplicatePath);
  std::filesystem::create_directories(folder / "z");
  writeFile(folder / "z/A.TXT", "1");
  writeFile(folder / "z/a.txt", "2");
  EXPECT_EQ(failureOf({url("z", true)}), Case::duplicatePath);
}

TEST_F(Preparation, NamesThatBreakThePathRules) {
  for (const char* name : {"aux.c", "lpt1", "ends.", "ends ", "a:b", "bad\xFF"}) {
    const auto dir = folder / ("d" + std::to_string(std::hash<std::string>{}(name)));
    std::filesystem::create_directories(dir);
    writeFile(dir / name, "");
    EXPECT_EQ(failureOf({ContentUrl::file(dir, true)}), Case::invalidPath) << name;
  }
  std::filesystem::create_directories(folder / "fine");
  writeFile(folder / "fine/auxiliary.c", "");
  EXPECT_EQ(failureOf({url("fine", true)}), std::nullopt);
}

TEST_F(Preparation, LinksAreRefusedAtTheTopAndLeftOutBelow) {
  std::filesystem::create_directories(folder / "dir");
  writeFile(folder / "dir/real", "r");
  std::filesystem::create_symlink(folder / "dir/real", folder / "dir/link");
  std::filesystem::create_symlink(folder / "outside", folder / "dir/dangling");
  const auto batch = prepare({url("dir", true)});
  ASSERT_EQ(batch->entries().size(), 2u);
  EXPECT_EQ(batch->entries()[1].path, "dir/real");

  std::filesystem::create_symlink(folder / "dir", folder / "toplink");
  EXPECT_EQ(failureOf({url("toplink", true)}), Case::unsupportedNode);
  std::filesystem::create_symlink(folder / "dir/real", folder / "filelink");
  EXPECT_EQ(failureOf({url("filelink")}), Case::unsupportedNode);
}

// Special nodes are refused from their no-follow status, and never opened.
struct SpecialNode {
  const char* name;
  bool topLevel;
};

void PrintTo(const SpecialNode& node, std::ostream* out) { *out << node.name; }

class SpecialNodes : public Preparation, public ::testing::WithParamInterface<SpecialNode> {};

TEST_P(SpecialNodes, AreRefusedUnopened) {
  std::filesystem::create_directories(folder / "dir");
  writeFile(folder / "dir/ordinary", "o");
  const auto node = folder / "dir" / GetParam().name;
  std::optional<testing::BoundSocket> socket;
  const std::string kind = GetParam().name;
  if (kind == "fifo") {
    ASSERT_EQ(::mkfifo(node.c_str(), 0600), 0);
  } else if (kind == "socket") {
    socket.emplace(node);
  } else if (::mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "needs root (CAP_MKNOD) to make a device node: " << std::strerror(errno);
  }
  const testing::OpenWatch watch(node);
  const ContentUrl selected =
      GetParam().topLevel ? ContentUrl::file(node) : ContentUrl::file(folder / "dir", true);
  EXPECT_EQ(failureOf({selected}), Case::unsupportedNode);
  EXPECT_FALSE(watch.opened());
}

INSTANTIATE_TEST_SUITE_P(Kinds, SpecialNodes,
                         ::testing::Values(SpecialNode{"fifo", false}, SpecialNode{"fifo", true},
                                           SpecialNode{"socket", false},
                                           SpecialNode{"socket", true},
                                           SpecialNode{"device", false},
                                           SpecialNode{"device", true}),
                         [](const auto& param_info) {
                           return std::string(param_info.param.name) +
                                  (param_info.param.topLevel ? "Selected" : "InFolder");
                         });

// A source that changes while it is hashed: the hook runs before each read of big.bin.
struct ChangeWhileHashed {
  const char* name;
  std::function<void(const std::filesystem::path& root)> change;
  Stage stage;
  std::vector<std::string> fieldsIncluded;
};

void PrintTo(const ChangeWhileHashed& change, std::ostream* out) { *out << change.name; }

class ChangesWhileHashed : public Preparation,
                           public ::testing::WithParamInterface<ChangeWhileHashed> {};

TEST_P(ChangesWhileHashed, AreReportedAndRefusedAsChanged) {
  const auto root = folder / "root";
  std::filesystem::create_directories(root / "sub");
  std::filesystem::create_directories(root / "other");
  writeFile(root / "sub/big.bin", patternBytes(kReadChunkBytes * 3));
  writeFile(root / "other/x", "x");
  bool changed = false;
  services.beforeRead = [&](const std::string& path, std::uint64_t offset) {
    if (path == "root/sub/big.bin" && offset > 0 && !changed) {
      changed = true;
      GetParam().change(root);
    }
  };
  EXPECT_EQ(failureOf({ContentUrl::file(root, true)}), Case::changed);
  ASSERT_TRUE(changed);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].stage, GetParam().stage);
  for (const auto& field : GetParam().fieldsIncluded) {
    EXPECT_NE(std::find(reports[0].fields.begin(), reports[0].fields.end(), field),
              reports[0].fields.end())
        << field;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ChangesWhileHashed,
    ::testing::Values(
        ChangeWhileHashed{"Truncated",
                          [](const auto& root) {
                            std::filesystem::resize_file(root / "sub/big.bin", kReadChunkBytes);
                          },
                          Stage::preparationEOF,
                          {}},
        ChangeWhileHashed{
            "Appended",
            [](const auto& root) { std::ofstream(root / "sub/big.bin", std::ios::app) << "more"; },
            Stage::preparationFile,
            {"size"}},
        ChangeWhileHashed{
            "RewrittenWithRestoredTime",
            [](const auto& root) { testing::rewriteKeepingModificationTime(root / "sub/big.bin"); },
            Stage::preparationFile,
            {"ctime"}},
        ChangeWhileHashed{"SwappedForALink",
                          [](const auto& root) {
                            testing::waitForClockPast(root / "sub");
                            std::filesystem::rename(root / "sub/big.bin", root / "sub/moved");
                            std::filesystem::create_symlink(root / "sub/moved",
                                                            root / "sub/big.bin");
                          },
                          // A rename changes the renamed file's own change time first.
                          Stage::preparationFile,
                          {"ctime"}},
        ChangeWhileHashed{"SiblingFolderRenamed",
                          [](const auto& root) {
                            testing::waitForClockPast(root);
                            std::filesystem::rename(root / "other", root / "renamed");
                          },
                          Stage::preparationDirectory,
                          {"mtime", "ctime"}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(Preparation, CancellingWhileHashingStopsWithinOneRead) {
  writeFile(folder / "big", patternBytes(kReadChunkBytes * 8));
  int readsAfterCancel = 0;
  services.beforeRead = [&](const std::string&, std::uint64_t offset) {
    if (cancellation.isCancelled()) ++readsAfterCancel;
    if (offset == kReadChunkBytes * 2) cancellation.cancel();
  };
  EXPECT_EQ(failureOf({url("big")}), Case::cancelled);
  EXPECT_EQ(readsAfterCancel, 0);
}

TEST_F(Preparation, PackagesNeedConsent) {
  std::filesystem::create_directories(folder / "Tool.app/Contents");
  writeFile(folder / "Tool.app/Contents/run", "r");
  services.isPackage = [](const ContentUrl& node) {
    return node.lastPathComponent().ends_with(".app");
  };
  EXPECT_EQ(failureOf({url("Tool.app", true)}), Case::packageReview);
  allowPackages = true;
  EXPECT_EQ(prepare({url("Tool.app", true)})->entries().size(), 3u);
}

// Coordinators of file providers that relocate, fail or never run their accessor.
class ScriptedCoordinator : public FileCoordinator {
 public:
  enum class Behaviour { relocate, fail, skip };
  explicit ScriptedCoordinator(Behaviour behaviour, ContentUrl elsewhere)
      : behaviour_(behaviour), elsewhere_(std::move(elsewhere)) {}
  bool coordinateReading(const ContentUrl&,
                         const std::function<void(const ContentUrl&)>& accessor) override {
    if (behaviour_ == Behaviour::relocate) accessor(elsewhere_);
    return behaviour_ != Behaviour::fail;
  }
  void cancel() override {}

 private:
  Behaviour behaviour_;
  ContentUrl elsewhere_;
};

TEST_F(Preparation, CoordinatorOutcomes) {
  writeFile(folder / "a", "a");
  writeFile(folder / "b", "b");
  const auto with = [&](ScriptedCoordinator::Behaviour behaviour) {
    services.coordinator = [this, behaviour] {
      return std::make_shared<ScriptedCoordinator>(behaviour, url("b"));
    };
    return failureOf({url("a")});
  };
  EXPECT_EQ(with(ScriptedCoordinator::Behaviour::relocate), Case::changed);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], (SourceVerificationFailure{Stage::providerRelocation, {}}));
  EXPECT_EQ(with(ScriptedCoordinator::Behaviour::fail), Case::cloudUnavailable);
  EXPECT_EQ(with(ScriptedCoordinator::Behaviour::skip), Case::cancelled);
}

TEST_F(Preparation, ANonFileUrlOrAMissingItemIsAnAccessFailure) {
  EXPECT_EQ(failureOf({*ContentUrl::parse("https://example.org/a")}), Case::access);
  EXPECT_EQ(failureOf({url("missing")}), Case::access);
}

TEST(PreparationLimits, AFileOneByteOverTheLimitIsRefused_NeedsRootAndNamespaces) {
  testing::TemporaryFolder folder;
  std::string why;
  const bool ran = testing::in_private_mounts(
      [&] {
        // tmpfs takes sparse files of any size; the disk's file system may not.
        if (!testing::mount_here("tmpfs", folder / "t", "size=16m", 0, why)) return;
        const auto path = folder / "t/huge";
        writeFile(path, "");
        std::filesystem::resize_file(path, kMaxFileBytes + 1);
        ContentCancellation cancellation;
        try {
          prepareBatch({ContentUrl::file(path)}, false, cancellation, {}, nullptr);
          ADD_FAILURE() << "a file above 2^44 bytes passed";
        } catch (const ContentFailure& failure) {
          EXPECT_EQ(failure.failure(), Case::sizeLimit);
        }
      },
      why);
  if (!ran || !why.empty()) GTEST_SKIP() << why;
}

}  // namespace
}  // namespace velmorine::transfer
