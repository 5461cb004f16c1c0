#include "Velmorine/transfer/incoming_manifest.h"

#include <gtest/gtest.h>

#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/content_limits.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::transfer {
namespace {

using Case = ContentFailure::Case;

constexpr const char* kSender = "11111111-1111-4111-8111-111111111111";
constexpr const char* kOther = "22222222-2222-4222-8222-222222222222";
constexpr const char* kTransfer = "33333333-3333-4333-8333-333333333333";
constexpr const char* kAnotherTransfer = "44444444-4444-4444-8444-444444444444";
const std::string kDigest(64, 'a');

std::optional<Case> failureOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const ContentFailure& failure) {
    return failure.failure();
  }
  return std::nullopt;
}

// An offer with any counts: built with valid ones, then its header edited, as a peer may send.
VEFrame offerFrame(uint64_t entries, uint64_t topLevel, uint64_t total,
                   const char* transferID = kTransfer) {
  const auto built =
      VEProtocol::transferFrameWithKind("TRANSFER_OFFER", kSender,
                                        {{"frameID", "55555555-5555-4555-8555-555555555555"},
                                         {"transferID", transferID},
                                         {"name", "Photos"},
                                         {"entryCount", 1},
                                         {"topLevelCount", 1},
                                         {"totalBytes", total}});
  std::string header = built->frame().header_utf8;
  const std::string counts = R"("entry_count":1,"top_level_count":1)";
  const auto at = header.find(counts);
  EXPECT_NE(at, std::string::npos) << header;
  header.replace(at, counts.size(),
                 R"("entry_count":)" + std::to_string(entries) + R"(,"top_level_count":)" +
                     std::to_string(topLevel));
  protocol::Frame frame;
  frame.type = protocol::FrameKind::transfer_offer;
  frame.header_utf8 = std::move(header);
  return VEFrame(std::move(frame));
}

ContentEntry fileEntry(int64_t index, std::string path, uint64_t size) {
  return {index, std::move(path), false, size, "2026-01-01T00:00:00.000Z", kDigest};
}

VEFrame endFrame(uint64_t count, std::string digest, const char* transferID = kTransfer) {
  return *VEProtocol::transferFrameWithKind(
      "MANIFEST_END", kSender,
      {{"entryCount", count}, {"sha256", std::move(digest)}, {"transferID", transferID}});
}

struct OfferCase {
  const char* name;
  uint64_t entries;
  uint64_t topLevel;
  uint64_t total;
  std::optional<Case> expected;
};

// Counts the frame's own rules refuse (no entries, top-level items outside 1 to 1024 or more
// than entries) do not even parse; the rest are the manifest's to check.
class OfferLimits : public ::testing::TestWithParam<OfferCase> {};

TEST_P(OfferLimits, FirstBrokenLimitIsReported) {
  const auto& test = GetParam();
  EXPECT_EQ(failureOf([&] {
              IncomingManifest(offerFrame(test.entries, test.topLevel, test.total), kSender);
            }),
            test.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OfferLimits,
    ::testing::Values(OfferCase{"largest", 4096, 1024, kMaxBatchBytes, std::nullopt},
                      OfferCase{"tooManyEntries", 4097, 1, 0, Case::entryLimit},
                      OfferCase{"noEntries", 0, 1, 0, Case::invalidManifest},
                      OfferCase{"tooManyTopLevel", 4096, 1025, 0, Case::invalidManifest},
                      OfferCase{"noTopLevel", 2, 0, 0, Case::invalidManifest},
                      OfferCase{"moreTopLevelThanEntries", 2, 3, 0, Case::invalidManifest},
                      OfferCase{"tooLarge", 1, 1, kMaxBatchBytes + 1, Case::sizeLimit}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(IncomingManifest, OfferFromAnotherSenderOrOfAnotherKindIsInvalid) {
  EXPECT_EQ(failureOf([] { IncomingManifest(offerFrame(1, 1, 0), kOther); }),
            Case::invalidManifest);
  EXPECT_EQ(failureOf([] { IncomingManifest(endFrame(1, kDigest), kSender); }),
            Case::invalidManifest);
}

// A manifest of a folder and two files, built as a sender would.
struct ManifestFixture : ::testing::Test {
  ManifestFixture() : manifest(offerFrame(3, 1, 30), kSender) {}

  std::vector<ContentEntry> entries{
      {0, "Photos", true, 0, "2026-01-01T00:00:00.000Z", std::nullopt},
      fileEntry(1, "Photos/a.jpg", 10),
      fileEntry(2, "Photos/b.jpg", 20),
  };
  IncomingManifest manifest;

  std::string digestOf(const std::vector<VEFrame>& frames) {
    ContentDigest digest;
    for (const auto& frame : frames) {
      const auto& header = frame.frame().header_utf8;
      digest.update({reinterpret_cast<const uint8_t*>(header.data()), header.size()});
    }
    return digest.hexOfCopy();
  }
  std::vector<VEFrame> entryFrames() {
    std::vector<VEFrame> frames;
    for (const auto& entry : entries)
      frames.push_back(manifestEntryFrame(entry, kSender, kTransfer));
    return frames;
  }
};

TEST_F(ManifestFixture, EntriesAndMatchingDigestCompleteTheManifest) {
  const auto frames = entryFrames();
  for (const auto& frame : frames) manifest.accept(frame, kSender);
  manifest.accept(endFrame(3, digestOf(frames)), kSender);
  EXPECT_TRUE(manifest.complete);
  EXPECT_EQ(manifest.entries, entries);
  // Only the entries' headers are hashed: the offer and the end are not.
  EXPECT_EQ(manifest.hash.hexOfCopy(), digestOf(frames));
  // A manifest, once complete, takes nothing more.
  EXPECT_EQ(failureOf([&] { manifest.accept(endFrame(3, digestOf(frames)), kSender); }),
            Case::invalidManifest);
}

TEST_F(ManifestFixture, EntryOutOfOrderIsRefusedAndLeavesTheManifestAsItWas) {
  const auto frames = entryFrames();
  manifest.accept(frames[0], kSender);
  const std::string before = manifest.hash.hexOfCopy();
  EXPECT_EQ(failureOf([&] { manifest.accept(frames[2], kSender); }), Case::invalidManifest);
  EXPECT_EQ(manifest.entries.size(), 1u);
  EXPECT_EQ(manifest.hash.hexOfCopy(), before);
  const auto foreign = manifestEntryFrame(entries[1], kSender, kAnotherTransfer);
  EXPECT_EQ(failureOf([&] { manifest.accept(foreign, kSender); }), Case::invalidManifest);
  EXPECT_EQ(manifest.entries.size(), 1u);
  EXPECT_EQ(failureOf([&] { manifest.accept(frames[1], kOther); }), Case::invalidManifest);
}

TEST_F(ManifestFixture, OneEntryMoreThanAnnouncedIsAnEntryLimit) {
  for (const auto& frame : entryFrames()) manifest.accept(frame, kSender);
  EXPECT_EQ(failureOf([&] {
              manifest.accept(
                  manifestEntryFrame(fileEntry(3, "Photos/c.jpg", 1), kSender, kTransfer), kSender);
            }),
            Case::entryLimit);
}

struct EndCase {
  const char* name;
  std::function<VEFrame(const std::string& digest)> end;
  Case expected;
};

// A MANIFEST_END whose header text is edited after it was built: `from` becomes `to`.
VEFrame editedEnd(const std::string& digest, const std::string& from, const std::string& to) {
  std::string header = endFrame(3, digest).frame().header_utf8;
  const auto at = header.find(from);
  EXPECT_NE(at, std::string::npos) << header;
  header.replace(at, from.size(), to);
  protocol::Frame frame;
  frame.type = protocol::FrameKind::manifest_end;
  frame.header_utf8 = std::move(header);
  return VEFrame(std::move(frame));
}

class ManifestEnd : public ManifestFixture, public ::testing::WithParamInterface<EndCase> {};

TEST_P(ManifestEnd, MismatchIsRefused) {
  const auto frames = entryFrames();
  for (const auto& frame : frames) manifest.accept(frame, kSender);
  EXPECT_EQ(failureOf([&] { manifest.accept(GetParam().end(digestOf(frames)), kSender); }),
            GetParam().expected);
  EXPECT_FALSE(manifest.complete);
}

std::string upper(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A digest in upper case or none at all is no MANIFEST_END by the frame's own rules.
INSTANTIATE_TEST_SUITE_P(
    Cases, ManifestEnd,
    ::testing::Values(
        EndCase{"oneShort", [](const std::string& digest) { return endFrame(2, digest); },
                Case::corrupt},
        EndCase{"otherDigest", [](const std::string&) { return endFrame(3, kDigest); },
                Case::corrupt},
        EndCase{"upperCaseDigest",
                [](const std::string& digest) { return editedEnd(digest, digest, upper(digest)); },
                Case::invalidManifest},
        EndCase{"noDigest",
                [](const std::string& digest) {
                  return editedEnd(digest, R"(,"manifest_sha256":")" + digest + "\"", "");
                },
                Case::invalidManifest}),
    [](const auto& test) { return std::string(test.param.name); });

// A MANIFEST_ENTRY whose header carries a member no reader knows, padding it to `length` bytes:
// what a sender may send to spend the receiver's header budget.
VEFrame paddedEntry(const ContentEntry& entry, size_t length) {
  std::string header = manifestEntryFrame(entry, kSender, kTransfer).frame().header_utf8;
  header.pop_back();
  const std::string open = R"(,"pad":")";
  header += open + std::string(length - header.size() - open.size() - 2, 'x') + "\"}";
  protocol::Frame frame;
  frame.type = protocol::FrameKind::manifest_entry;
  frame.header_utf8 = std::move(header);
  return VEFrame(std::move(frame));
}

ContentEntry folderEntry(int64_t index) {
  return {index, "d" + std::to_string(index), true, 0, "2026-01-01T00:00:00.000Z", std::nullopt};
}

TEST(IncomingManifest, HeaderBudgetTakesExactlyEightMebibytes) {
  IncomingManifest manifest(offerFrame(4096, 1024, 0), kSender);
  int64_t index = 0;
  // Headers of at most 60,000 bytes (a frame header takes at most 65,536) until 30,000 are left.
  while (kMaxManifestHeaderBytes - manifest.headerBytes > 30000) {
    const size_t length =
        std::min<size_t>(60000, kMaxManifestHeaderBytes - manifest.headerBytes - 30000);
    manifest.accept(paddedEntry(folderEntry(index), std::max<size_t>(length, 400)), kSender);
    ++index;
  }
  const size_t left = kMaxManifestHeaderBytes - manifest.headerBytes;
  EXPECT_EQ(failureOf([&] { manifest.accept(paddedEntry(folderEntry(index), left + 1), kSender); }),
            Case::entryLimit);
  EXPECT_EQ(manifest.entries.size(), static_cast<size_t>(index));
  EXPECT_EQ(failureOf([&] { manifest.accept(paddedEntry(folderEntry(index), left), kSender); }),
            std::nullopt);
  EXPECT_EQ(manifest.headerBytes, kMaxManifestHeaderBytes);
}

TEST(FileFields, FolderCarriesEmptyDigestAndMatchesOnlyWithoutOne) {
  const ContentEntry folder{0, "Photos", true, 0, "2026-01-01T00:00:00.000Z", std::nullopt};
  EXPECT_EQ(fileFields(folder)["sha256"], "");
  EXPECT_FALSE(entryMatches(fileFields(folder), folder));
  nlohmann::json bare = fileFields(folder);
  bare.erase("sha256");
  EXPECT_TRUE(entryMatches(bare, folder));

  const auto file = fileEntry(1, "Photos/a.jpg", 10);
  EXPECT_TRUE(entryMatches(fileFields(file), file));
  nlohmann::json missing = fileFields(file);
  missing.erase("sha256");
  EXPECT_FALSE(entryMatches(missing, file));
  nlohmann::json otherSize = fileFields(file);
  otherSize["size"] = 11;
  EXPECT_FALSE(entryMatches(otherSize, file));
}

TEST(ContentEntryFromFields, MissingOrMistypedFieldIsInvalid) {
  const nlohmann::json good = {{"index", 0},
                               {"path", "a"},
                               {"size", 1},
                               {"directory", false},
                               {"modifiedUTC", "2026-01-01T00:00:00.000Z"}};
  EXPECT_FALSE(contentEntryFromFields(good).sha256);
  for (const char* key : {"index", "path", "size", "directory", "modifiedUTC"}) {
    nlohmann::json broken = good;
    broken.erase(key);
    EXPECT_EQ(failureOf([&] { contentEntryFromFields(broken); }), Case::invalidManifest) << key;
    broken[key] = nlohmann::json::array();
    EXPECT_EQ(failureOf([&] { contentEntryFromFields(broken); }), Case::invalidManifest) << key;
  }
  nlohmann::json numericDigest = good;
  numericDigest["sha256"] = 5;
  EXPECT_FALSE(contentEntryFromFields(numericDigest).sha256);
}

struct PermitFixture : ::testing::Test {
  TransferPermit permit{std::string(64, 'f'),        kTransfer, "c0ffee", kOther, kSender,
                        std::vector<uint8_t>(32, 7), 1060.0,    false};
  network::AuthenticatedPeer peer{kSender, "contact", "nonce", std::vector<uint8_t>(32, 7), ""};
  nlohmann::json hello{{"sessionID", "c0ffee"},
                       {"transferID", kTransfer},
                       {"recipient", kOther},
                       {"token", std::string(64, 'f')}};
};

TEST_F(PermitFixture, AdmitsOnceBeforeItExpires) {
  EXPECT_TRUE(permit.admit(hello, peer, "c0ffee", 1059.9));
  EXPECT_TRUE(permit.consumed);
  EXPECT_FALSE(permit.admit(hello, peer, "c0ffee", 1059.9));
}

struct PermitCase {
  const char* name;
  std::function<void(TransferPermit&, network::AuthenticatedPeer&, nlohmann::json&, std::string&,
                     double&)>
      change;
};

class PermitRefusal : public PermitFixture, public ::testing::WithParamInterface<PermitCase> {};

TEST_P(PermitRefusal, LeavesThePermitAsItWas) {
  std::string control = "c0ffee";
  double now = 1000;
  GetParam().change(permit, peer, hello, control, now);
  const bool consumed = permit.consumed;
  EXPECT_FALSE(permit.admit(hello, peer, control, now));
  EXPECT_EQ(permit.consumed, consumed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PermitRefusal,
    ::testing::Values(
        PermitCase{"expired", [](auto&, auto&, auto&, auto&, double& now) { now = 1060; }},
        PermitCase{"otherPeer",
                   [](auto&, auto& peer, auto&, auto&, auto&) { peer.wireID = kOther; }},
        PermitCase{"otherKey",
                   [](auto&, auto& peer, auto&, auto&, auto&) { peer.publicKey[0] = 8; }},
        PermitCase{"otherControlSession",
                   [](auto&, auto&, auto&, std::string& control, auto&) { control = "beef"; }},
        PermitCase{"otherSessionField",
                   [](auto&, auto&, auto& hello, auto&, auto&) { hello["sessionID"] = "beef"; }},
        PermitCase{"otherTransfer", [](auto&, auto&, auto& hello, auto&,
                                       auto&) { hello["transferID"] = kAnotherTransfer; }},
        PermitCase{"otherRecipient",
                   [](auto&, auto&, auto& hello, auto&, auto&) { hello["recipient"] = kSender; }},
        PermitCase{"otherToken", [](auto&, auto&, auto& hello, auto&,
                                    auto&) { hello["token"] = std::string(64, 'e'); }},
        PermitCase{"consumed",
                   [](auto& permit, auto&, auto&, auto&, auto&) { permit.consumed = true; }}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace velmorine::transfer
