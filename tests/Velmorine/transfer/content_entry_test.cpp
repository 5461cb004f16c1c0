#include "Velmorine/transfer/content_entry.h"

#include <gtest/gtest.h>

#include <string>

namespace velmorine::transfer {
namespace {

constexpr const char* kFileEntry =
    R"({"index":3,"path":"Photos/a.jpg","directory":false,"size":18446744073709551615,)"
    R"("modifiedUTC":"2024-05-01T10:20:30.123Z",)"
    R"("sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"})";
constexpr const char* kFolderEntry = R"({"index":0,"path":"Photos","directory":true,"size":0,)"
                                     R"("modifiedUTC":"2024-05-01T10:20:30.000Z"})";

TEST(ContentEntry, FileEntryReadsAndIsWrittenBackIdentically) {
  const ContentEntry entry = decodeContentEntry(store::Json::parse(kFileEntry));
  EXPECT_EQ(entry.index, 3);
  EXPECT_EQ(entry.path, "Photos/a.jpg");
  EXPECT_FALSE(entry.directory);
  EXPECT_EQ(entry.size, 18446744073709551615u);
  EXPECT_EQ(entry.sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(encodeJson(entry).dump(), kFileEntry);
}

TEST(ContentEntry, EntryWithoutDigestHasNoneAndWritesNoKey) {
  const ContentEntry entry = decodeContentEntry(store::Json::parse(kFolderEntry));
  EXPECT_EQ(entry.sha256, std::nullopt);
  EXPECT_EQ(encodeJson(entry).dump(), kFolderEntry);
  // A null digest is an absent one.
  store::Json withNull = store::Json::parse(kFolderEntry);
  withNull["sha256"] = nullptr;
  EXPECT_EQ(decodeContentEntry(withNull), entry);
}

TEST(ContentEntry, EqualityTakesEveryField) {
  const ContentEntry entry = decodeContentEntry(store::Json::parse(kFileEntry));
  ContentEntry other = entry;
  other.sha256.reset();
  EXPECT_NE(entry, other);
  other = entry;
  other.modifiedUTC = "2024-05-01T10:20:30.124Z";
  EXPECT_NE(entry, other);
}

// One key of the file entry replaced (or, with a null value, removed).
struct BrokenEntry {
  std::string key;
  store::Json value;
};

class ContentEntryRefusal : public ::testing::TestWithParam<BrokenEntry> {};

TEST_P(ContentEntryRefusal, MissingOrMistypedKeyFailsTheEntry) {
  store::Json json = store::Json::parse(kFileEntry);
  if (GetParam().value.is_null()) {
    json.erase(GetParam().key);
  } else {
    json[GetParam().key] = GetParam().value;
  }
  EXPECT_THROW(decodeContentEntry(json), store::StoreDecodingError) << json.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ContentEntryRefusal,
    ::testing::Values(BrokenEntry{"index", nullptr}, BrokenEntry{"path", nullptr},
                      BrokenEntry{"directory", nullptr}, BrokenEntry{"size", nullptr},
                      BrokenEntry{"modifiedUTC", nullptr}, BrokenEntry{"index", "3"},
                      BrokenEntry{"index", 1.5}, BrokenEntry{"path", 7},
                      BrokenEntry{"directory", 1}, BrokenEntry{"directory", "false"},
                      BrokenEntry{"size", -1}, BrokenEntry{"size", "12"},
                      BrokenEntry{"modifiedUTC", false}, BrokenEntry{"sha256", 5}));

TEST(ContentEntry, NonObjectFails) {
  EXPECT_THROW(decodeContentEntry(store::Json::array()), store::StoreDecodingError);
  EXPECT_THROW(decodeContentEntry(store::Json("entry")), store::StoreDecodingError);
}

}  // namespace
}  // namespace velmorine::transfer
