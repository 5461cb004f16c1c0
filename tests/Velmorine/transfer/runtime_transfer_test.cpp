#include "Velmorine/transfer/runtime_transfer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace velmorine::transfer {
namespace {

using store::Json;

std::vector<uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

// Every key present, in the form the encoder writes.
constexpr std::string_view kFullRecord =
    R"({"id":"6f1c2f64-0c5b-4b53-9a5e-3f6d2b7c1a90","peerID":"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0",)"
    R"("contactID":"1b4e28ba-2fa1-11d2-883f-0016d3cca427","name":"Photos","outgoing":false,)"
    R"("totalBytes":70368744177664,"bytes":262145,"state":"failed",)"
    R"("error":"transfer.error.diskSpace","location":"file:///home/u/Downloads/Photos%202/",)"
    R"("itemCount":2,"items":[{"entry":{"index":0,"path":"Photos","directory":true,"size":0,)"
    R"("modifiedUTC":"2024-05-01T10:20:30.000Z"}},{"entry":{"index":1,"path":"Photos/a.jpg",)"
    R"("directory":false,"size":262145,"modifiedUTC":"2024-05-01T10:20:30.123Z",)"
    R"("sha256":"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},)"
    R"("sourceBookmark":"Ym9vaw=="}],"createdAt":736339230.125,"canRetryQueued":false})";

// Only the required keys.
constexpr std::string_view kMinimalRecord =
    R"({"id":"6f1c2f64-0c5b-4b53-9a5e-3f6d2b7c1a90","peerID":"p","contactID":"c","name":"Velmorine",)"
    R"("outgoing":true,"totalBytes":0,"bytes":0,"state":"queued","itemCount":0,"items":[],)"
    R"("createdAt":-12.5})";

TEST(RuntimeTransfer, FullRecordReadsAndIsWrittenBackIdentically) {
  const RuntimeTransfer transfer = decodeRuntimeTransferPayload(bytesOf(kFullRecord));
  EXPECT_EQ(transfer.state, TransferState::failed);
  EXPECT_EQ(transfer.totalBytes, 70368744177664u);
  EXPECT_EQ(transfer.error, "transfer.error.diskSpace");
  EXPECT_EQ(transfer.location, "file:///home/u/Downloads/Photos%202/");
  ASSERT_EQ(transfer.items.size(), 2u);
  EXPECT_EQ(transfer.items[0].sourceBookmark, std::nullopt);
  EXPECT_EQ(transfer.items[1].sourceBookmark, bytesOf("book"));
  EXPECT_EQ(transfer.items[1].id(), "Photos/a.jpg");
  EXPECT_EQ(transfer.createdAt, store::Date{736339230.125});
  EXPECT_EQ(transfer.canRetryQueued, false);
  EXPECT_EQ(encodeRuntimeTransferPayload(transfer), bytesOf(kFullRecord));
}

TEST(RuntimeTransfer, RecordWithoutOptionalKeysDecodesThemAbsentAndWritesThemNot) {
  const RuntimeTransfer transfer = decodeRuntimeTransferPayload(bytesOf(kMinimalRecord));
  EXPECT_EQ(transfer.error, std::nullopt);
  EXPECT_EQ(transfer.location, std::nullopt);
  EXPECT_EQ(transfer.canRetryQueued, std::nullopt);
  EXPECT_EQ(encodeRuntimeTransferPayload(transfer), bytesOf(kMinimalRecord));
}

TEST(RuntimeTransfer, NullOptionalsReadAsAbsent) {
  Json json = Json::parse(kMinimalRecord);
  json["error"] = nullptr;
  json["location"] = nullptr;
  json["canRetryQueued"] = nullptr;
  EXPECT_EQ(decodeRuntimeTransfer(json), decodeRuntimeTransfer(Json::parse(kMinimalRecord)));
}

TEST(RuntimeTransfer, WrittenRecordsReadBackEqual) {
  RuntimeTransfer transfer;
  transfer.id = "00000000-0000-4000-8000-000000000001";
  transfer.name = "Ünïcode \"quoted\" / name";
  transfer.totalBytes = std::numeric_limits<uint64_t>::max();
  transfer.bytes = 1;
  transfer.state = TransferState::awaitingCommit;
  transfer.itemCount = -1;
  transfer.createdAt = store::Date{0.1 + 0.2};  // not a short decimal: must survive bit for bit
  transfer.canRetryQueued = true;
  std::vector<uint8_t> bookmark(256);
  for (size_t i = 0; i < bookmark.size(); ++i) bookmark[i] = static_cast<uint8_t>(i);
  transfer.items.push_back(TransferDisplayItem{
      ContentEntry{0, "a", false, 5, "2024-05-01T10:20:30.000Z", std::string(64, 'a')}, bookmark});
  transfer.items.push_back(
      TransferDisplayItem{ContentEntry{1, "b", true, 0, "2024-05-01T10:20:30.000Z", std::nullopt},
                          std::vector<uint8_t>{}});
  EXPECT_EQ(decodeRuntimeTransferPayload(encodeRuntimeTransferPayload(transfer)), transfer);
}

TEST(RuntimeTransfer, OptionalsAbsentAndPresentAreNotEqual) {
  const RuntimeTransfer base = decodeRuntimeTransferPayload(bytesOf(kMinimalRecord));
  RuntimeTransfer other = base;
  other.canRetryQueued = false;
  EXPECT_NE(base, other);
  other = base;
  other.error = "";
  EXPECT_NE(base, other);
  other = base;
  other.createdAt.timeIntervalSinceReferenceDate += 0.001;
  EXPECT_NE(base, other);
}

TEST(TransferDisplayItem, DigestAndBookmarkCompareAbsentOnlyToAbsent) {
  const ContentEntry folder{0, "Photos", true, 0, "2024-05-01T10:20:30.000Z", std::nullopt};
  ContentEntry withDigest = folder;
  withDigest.sha256 = "";
  EXPECT_EQ((TransferDisplayItem{folder, std::nullopt}),
            (TransferDisplayItem{folder, std::nullopt}));
  EXPECT_NE((TransferDisplayItem{folder, std::nullopt}),
            (TransferDisplayItem{withDigest, std::nullopt}));
  EXPECT_NE((TransferDisplayItem{folder, std::nullopt}),
            (TransferDisplayItem{folder, std::vector<uint8_t>{}}));
  const TransferDisplayItem decoded = decodeTransferDisplayItem(
      Json::parse(R"({"entry":{"index":0,"path":"Photos","directory":true,)"
                  R"("size":0,"modifiedUTC":"2024-05-01T10:20:30.000Z"}})"));
  EXPECT_EQ(decoded, (TransferDisplayItem{folder, std::nullopt}));
}

// A change to the full record that must make it fail: a key removed (value null) or replaced.
struct BrokenRecord {
  std::string name;
  std::string pointer;  // JSON pointer of the key to change
  Json value;
};

class RuntimeTransferRefusal : public ::testing::TestWithParam<BrokenRecord> {};

TEST_P(RuntimeTransferRefusal, WholeRecordFails) {
  Json json = Json::parse(kFullRecord);
  const Json::json_pointer pointer(GetParam().pointer);
  if (GetParam().value.is_null()) {
    json[pointer.parent_pointer()].erase(pointer.back());
  } else {
    json[pointer] = GetParam().value;
  }
  EXPECT_THROW(decodeRuntimeTransfer(json), store::StoreDecodingError) << json.dump();
  const std::string text = json.dump();
  EXPECT_THROW(decodeRuntimeTransferPayload(bytesOf(text)), store::StoreDecodingError);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, RuntimeTransferRefusal,
    ::testing::Values(
        BrokenRecord{"NoId", "/id", nullptr}, BrokenRecord{"NoPeer", "/peerID", nullptr},
        BrokenRecord{"NoContact", "/contactID", nullptr}, BrokenRecord{"NoName", "/name", nullptr},
        BrokenRecord{"NoOutgoing", "/outgoing", nullptr},
        BrokenRecord{"NoTotal", "/totalBytes", nullptr}, BrokenRecord{"NoBytes", "/bytes", nullptr},
        BrokenRecord{"NoState", "/state", nullptr},
        BrokenRecord{"NoItemCount", "/itemCount", nullptr},
        BrokenRecord{"NoItems", "/items", nullptr},
        BrokenRecord{"NoCreatedAt", "/createdAt", nullptr},
        BrokenRecord{"NoEntry", "/items/1/entry", nullptr},
        BrokenRecord{"NoEntryPath", "/items/1/entry/path", nullptr},
        BrokenRecord{"StateDone", "/state", "done"},
        BrokenRecord{"StateCapital", "/state", "Failed"}, BrokenRecord{"StateNumber", "/state", 11},
        BrokenRecord{"IdNumber", "/id", 1}, BrokenRecord{"OutgoingNumber", "/outgoing", 0},
        BrokenRecord{"NegativeBytes", "/bytes", -1}, BrokenRecord{"FractionBytes", "/bytes", 0.5},
        BrokenRecord{"ItemCountText", "/itemCount", "2"},
        BrokenRecord{"ItemsObject", "/items", Json::object()},
        BrokenRecord{"ItemNotObject", "/items/0", "Photos"},
        BrokenRecord{"CreatedAtText", "/createdAt", "2024-05-01"},
        BrokenRecord{"ErrorNumber", "/error", 3}, BrokenRecord{"LocationEmpty", "/location", ""},
        BrokenRecord{"LocationNumber", "/location", 1},
        BrokenRecord{"RetryNumber", "/canRetryQueued", 1},
        BrokenRecord{"BookmarkUnpadded", "/items/1/sourceBookmark", "Ym9vaw"},
        BrokenRecord{"BookmarkNumber", "/items/1/sourceBookmark", 5}),
    [](const ::testing::TestParamInfo<BrokenRecord>& param) { return param.param.name; });

TEST(RuntimeTransfer, PayloadThatIsNotARecordFails) {
  for (std::string_view text : {"", "{", "[]", "null", "\"transfer\"", "{\"id\":\"x\"}"}) {
    EXPECT_THROW(decodeRuntimeTransferPayload(bytesOf(text)), store::StoreDecodingError) << text;
  }
}

TEST(RuntimeTransfer, UnwritableRecordThrowsEncodingError) {
  RuntimeTransfer transfer;
  transfer.createdAt = store::Date{std::nan("")};
  EXPECT_THROW(encodeRuntimeTransferPayload(transfer), store::StoreEncodingError);
  transfer.createdAt = store::Date{};
  transfer.name = "\xff\xfe";
  EXPECT_THROW(encodeRuntimeTransferPayload(transfer), store::StoreEncodingError);
}

}  // namespace
}  // namespace velmorine::transfer
