#include "Velmorine/transfer/durable_batch_source.h"

#include <gtest/gtest.h>

namespace velmorine::transfer {
namespace {

constexpr const char* kSource =
    R"({"id":"0A1B2C3D-4E5F-4A6B-9C7D-8E9FA0B1C2D3","entries":[)"
    R"({"index":0,"path":"Photos","directory":true,"size":0,"modifiedUTC":"2024-05-01T10:20:30.000Z"},)"
    R"({"index":1,"path":"Photos/a.jpg","directory":false,"size":3,)"
    R"("modifiedUTC":"2024-05-01T10:20:30.123Z",)"
    R"("sha256":"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}],)"
    R"("totalBytes":3,"topLevelCount":1})";

TEST(DurableBatchSource, ReadsAndIsWrittenBackIdentically) {
  const DurableBatchSource source = decodeDurableBatchSource(store::Json::parse(kSource));
  EXPECT_EQ(source.id.to_string(), "0a1b2c3d-4e5f-4a6b-9c7d-8e9fa0b1c2d3");
  ASSERT_EQ(source.entries.size(), 2u);
  EXPECT_EQ(source.entries[1].path, "Photos/a.jpg");
  EXPECT_EQ(source.totalBytes, 3u);
  EXPECT_EQ(source.topLevelCount, 1);
  EXPECT_EQ(encodeJson(source).dump(), kSource);
}

class DurableBatchSourceMissing : public ::testing::TestWithParam<const char*> {};

TEST_P(DurableBatchSourceMissing, EveryKeyIsRequired) {
  store::Json json = store::Json::parse(kSource);
  json.erase(GetParam());
  EXPECT_THROW(decodeDurableBatchSource(json), store::StoreDecodingError);
}

INSTANTIATE_TEST_SUITE_P(Keys, DurableBatchSourceMissing,
                         ::testing::Values("id", "entries", "totalBytes", "topLevelCount"));

TEST(DurableBatchSource, AnEntryWithoutItsKeysOrAWrongKindFails) {
  store::Json json = store::Json::parse(kSource);
  json["entries"][1].erase("path");
  EXPECT_THROW(decodeDurableBatchSource(json), store::StoreDecodingError);
  json = store::Json::parse(kSource);
  json["entries"] = store::Json::object();
  EXPECT_THROW(decodeDurableBatchSource(json), store::StoreDecodingError);
  json = store::Json::parse(kSource);
  json["totalBytes"] = -1;
  EXPECT_THROW(decodeDurableBatchSource(json), store::StoreDecodingError);
}

}  // namespace
}  // namespace velmorine::transfer
