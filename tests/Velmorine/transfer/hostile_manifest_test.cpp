// Manifests as a hostile sender could write them, in one table: each row says what the manifest
// check answers and what a receive given that manifest answers.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <set>

#include "Velmorine/transfer/atomic_receive.h"
#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_limits.h"
#include "Velmorine/transfer/manifest_check.h"
#include "tests/Velmorine/transfer/receive_folder.h"

namespace velmorine::transfer {
namespace {

using Case = ContentFailure::Case;

constexpr const char* kDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// A manifest being written: entries get their indexes in order; the total and the top-level
// count follow the entries unless a row overrides them.
struct Manifest {
  std::vector<ContentEntry> entries;
  std::optional<std::int64_t> topLevel;
  std::optional<std::uint64_t> total;

  Manifest& folder(std::string path) {
    entries.push_back({static_cast<std::int64_t>(entries.size()), std::move(path), true, 0,
                       "2024-05-01T10:20:30.000Z", std::nullopt});
    return *this;
  }
  Manifest& file(std::string path, std::uint64_t size = 0, std::string digest = kDigest) {
    entries.push_back({static_cast<std::int64_t>(entries.size()), std::move(path), false, size,
                       "2024-05-01T10:20:30.000Z", std::move(digest)});
    return *this;
  }
  Manifest& with(const std::function<void(Manifest&)>& change) {
    change(*this);
    return *this;
  }
  std::uint64_t totalBytes() const {
    if (total) return *total;
    std::uint64_t sum = 0;
    for (const auto& entry : entries) sum += entry.size;
    return sum;
  }
  std::int64_t topLevelCount() const {
    if (topLevel) return *topLevel;
    std::set<std::string> firsts;
    for (const auto& entry : entries) firsts.insert(entry.path.substr(0, entry.path.find('/')));
    return static_cast<std::int64_t>(std::max<std::size_t>(firsts.size(), 1));
  }
};

struct HostileManifest {
  HostileManifest(std::string rowName, Manifest rowManifest, std::optional<Case> verdict)
      : name(std::move(rowName)),
        manifest(std::move(rowManifest)),
        manifestVerdict(verdict),
        receiveVerdict(verdict) {}
  HostileManifest(std::string rowName, Manifest rowManifest, std::optional<Case> verdict,
                  std::optional<Case> receive)
      : name(std::move(rowName)),
        manifest(std::move(rowManifest)),
        manifestVerdict(verdict),
        receiveVerdict(receive) {}

  std::string name;
  Manifest manifest;
  std::optional<Case> manifestVerdict;  // none: the manifest check accepts it
  std::optional<Case> receiveVerdict;   // none: a receive lays out its stage
};

void PrintTo(const HostileManifest& row, std::ostream* out) { *out << row.name; }

std::string repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

Manifest manyFiles(int count) {
  Manifest manifest;
  manifest.folder("many");
  for (int i = 0; i < count; ++i) manifest.file("many/" + std::to_string(i));
  return manifest;
}

Manifest manyTopLevel(int count) {
  Manifest manifest;
  for (int i = 0; i < count; ++i) manifest.file("t" + std::to_string(i));
  return manifest;
}

const std::vector<HostileManifest>& hostileManifests() {
  static const std::vector<HostileManifest> rows = {
      {"DotDot", Manifest().folder("a").file("a/../b"), Case::invalidPath},
      {"Absolute", Manifest().file("/etc/passwd"), Case::invalidPath},
      {"Backslash", Manifest().file("a\\..\\b"), Case::invalidPath},
      {"ForbiddenCharacter", Manifest().file("a:b"), Case::invalidPath},
      {"ControlCharacter", Manifest().file("a\nb"), Case::invalidPath},
      {"DeviceName", Manifest().file("con.txt"), Case::invalidPath},
      {"TrailingDot", Manifest().file("name."), Case::invalidPath},
      {"NotUtf8", Manifest().file("a\xFF"), Case::invalidPath},
      {"CaseDuplicate", Manifest().file("Report.txt").file("REPORT.TXT"), Case::duplicatePath},
      {"CompositionDuplicate", Manifest().file("caf\xC3\xA9").file("cafe\xCC\x81"),
       Case::duplicatePath},
      {"FolderAndFileDuplicate", Manifest().folder("a").file("A"), Case::duplicatePath},
      {"ComponentOver240Units", Manifest().file(std::string(241, 'a')), Case::pathLimit},
      {"PathOver1024Bytes",
       Manifest().folder("a").file("a/" + std::string(200, 'b') + "/" + std::string(822, 'c')),
       Case::pathLimit},
      {"MissingAncestor", Manifest().file("photos/a.jpg"), Case::invalidManifest},
      {"MissingMiddleAncestor", Manifest().folder("a").file("a/b/c"), Case::invalidManifest},
      {"AncestorIsAFile", Manifest().file("photos").file("photos/a.jpg"), Case::invalidManifest},
      {"UpperCaseDigest",
       Manifest().file("a", 0, "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"),
       Case::invalidManifest},
      {"ShortDigest", Manifest().file("a", 0, std::string(63, 'a')), Case::invalidManifest},
      {"FileWithoutDigest",
       Manifest().file("a").with([](Manifest& m) { m.entries[0].sha256.reset(); }),
       Case::invalidManifest},
      {"FolderWithSize", Manifest().folder("a").with([](Manifest& m) { m.entries[0].size = 1; }),
       Case::invalidManifest},
      {"FolderWithDigest",
       Manifest().folder("a").with([](Manifest& m) { m.entries[0].sha256 = kDigest; }),
       Case::invalidManifest},
      {"IndexOutOfPlace",
       Manifest().file("a").file("b").with([](Manifest& m) { m.entries[1].index = 0; }),
       Case::invalidManifest},
      {"TotalOneMore", Manifest().file("a", 5).with([](Manifest& m) { m.total = 6; }),
       Case::invalidManifest},
      {"TotalOneLess", Manifest().file("a", 5).with([](Manifest& m) { m.total = 4; }),
       Case::invalidManifest},
      {"TopLevelCountWrong", Manifest().file("a").with([](Manifest& m) { m.topLevel = 2; }),
       Case::invalidManifest},
      {"NoEntries", Manifest().with([](Manifest& m) { m.topLevel = 1; }), Case::entryLimit},
      {"Entries4097", manyFiles(4096), Case::entryLimit},
      {"TopLevel0", Manifest().file("a").with([](Manifest& m) { m.topLevel = 0; }),
       Case::topLevelLimit},
      {"TopLevel1025", manyTopLevel(1025), Case::topLevelLimit},
      {"FileOneOverLimit", Manifest().file("a", kMaxFileBytes + 1), Case::sizeLimit},
      {"BatchOverLimit",
       Manifest()
           .file("a", kMaxFileBytes)
           .file("b", kMaxFileBytes)
           .file("c", kMaxFileBytes)
           .file("d", kMaxFileBytes)
           .file("e", 1),
       Case::sizeLimit},
      // At the limits: the manifest check lets these through.
      {"Entries4096", manyFiles(4095), std::nullopt},
      {"TopLevel1024", manyTopLevel(1024), std::nullopt},
      // No volume of the test machine has 16 TiB to spare.
      {"FileAtLimit", Manifest().file("a", kMaxFileBytes), std::nullopt, Case::diskSpace},
      {"BatchAtLimit",
       Manifest()
           .file("a", kMaxFileBytes)
           .file("b", kMaxFileBytes)
           .file("c", kMaxFileBytes)
           .file("d", kMaxFileBytes),
       std::nullopt, Case::diskSpace},
      {"Component240Units", Manifest().file(std::string(240, 'a')), std::nullopt},
      {"AncestorsInAnyOrder", Manifest().file("a/b/c").folder("a/b").folder("a"), std::nullopt},
      // Names the manifest check allows but this system's volumes cannot hold as sent.
      {"Component256Bytes", Manifest().file(repeat("\xC3\xA9", 128)), std::nullopt,
       Case::pathLimit},
      {"AncestorOnlyByKey",
       Manifest().folder("Docs").file("docs/a").with([](Manifest& m) { m.topLevel = 1; }),
       std::nullopt, Case::invalidManifest},
  };
  return rows;
}

std::optional<Case> manifestVerdict(const Manifest& manifest) {
  try {
    validateManifest(manifest.entries, manifest.topLevelCount(), manifest.totalBytes());
    return std::nullopt;
  } catch (const ContentFailure& failure) {
    return failure.failure();
  }
}

class HostileManifestTable : public ::testing::TestWithParam<HostileManifest> {};

TEST_P(HostileManifestTable, ManifestCheckGivesItsVerdict) {
  EXPECT_EQ(manifestVerdict(GetParam().manifest), GetParam().manifestVerdict);
}

// A receive refuses the manifest before anything exists in D, or lays out its stage, which
// cancelling removes again.
TEST_P(HostileManifestTable, ReceiveRefusesBeforeMakingAnything) {
  testing::ReceiveFolder folder;
  if (!folder.usable()) GTEST_SKIP() << folder.why();
  const auto D = folder / "D";
  std::filesystem::create_directories(D);
  const Manifest& manifest = GetParam().manifest;
  std::optional<Case> verdict;
  try {
    AtomicReceive receive(ContentUrl::file(D, true), core::Uuid::random(), manifest.entries,
                          manifest.topLevelCount(), manifest.totalBytes());
    EXPECT_FALSE(std::filesystem::is_empty(D));
    receive.cancel();
  } catch (const ContentFailure& failure) {
    verdict = failure.failure();
  }
  EXPECT_EQ(verdict, GetParam().receiveVerdict);
  EXPECT_TRUE(std::filesystem::is_empty(D));
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileManifestTable, ::testing::ValuesIn(hostileManifests()),
                         [](const auto& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace velmorine::transfer
