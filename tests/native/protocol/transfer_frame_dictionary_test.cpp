#include "native/protocol/transfer_frame_dictionary.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "native/protocol/ve_frame.h"
#include "native/protocol/ve_protocol.h"
#include "tests/native/protocol/transfer_frame_fixtures.h"

namespace velmorine::protocol {
namespace {

using namespace testing;
using nlohmann::json;

constexpr std::string_view kMadeIdText = "99999999-8888-4777-8666-555544443333";

core::Uuid made_id() { return uuid(kMadeIdText); }

std::optional<Frame> build(std::string_view kind, const json& fields,
                           const std::vector<std::uint8_t>& payload = {},
                           std::string_view sender = kSenderText) {
  return build_transfer_frame(kind, sender, fields, payload, made_id);
}

// Every number handed back is an unsigned 64-bit value, never a signed or floating one.
bool numbers_are_unsigned(const json& fields) {
  for (const auto& [key, value] : fields.items()) {
    if (value.is_number() && !value.is_number_unsigned()) return false;
  }
  return true;
}

const std::string kF(kFrameIdText), kT(kTransferText), kC(kCorrelationText), kO(kOtherText),
    kD(kDigest), kD2(kOtherDigest), kMade(kMadeIdText);

struct RoundTrip {
  const char* name;
  std::string kind;
  json in;
  json out;  // besides "transferID", always kT
  std::vector<std::uint8_t> payload = {};
};

void PrintTo(const RoundTrip& c, std::ostream* os) { *os << c.name; }

class TransferDictionaryRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(TransferDictionaryRoundTrip, ReadsBackWhatWasBuilt) {
  const auto& c = GetParam();
  json in = c.in;
  in["transferID"] = upper(kT);  // either case goes in, lower case comes out
  // The sender is read in either case too.
  const auto frame = build(c.kind, in, c.payload, upper(kSenderText));
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->type, frame_type_from_name(c.kind));
  json expected = c.out;
  expected["transferID"] = kT;
  const auto fields = read_transfer_fields(*frame, kSenderText);
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(*fields, expected);
  EXPECT_TRUE(numbers_are_unsigned(*fields)) << fields->dump();
}

INSTANTIATE_TEST_SUITE_P(
    Control, TransferDictionaryRoundTrip,
    ::testing::Values(
        RoundTrip{"offer",
                  "TRANSFER_OFFER",
                  {{"frameID", upper(kF)},
                   {"name", "Holiday \"photos\""},
                   {"entryCount", 3},
                   {"topLevelCount", 1},
                   {"totalBytes", UINT64_MAX}},
                  {{"frameID", kF},
                   {"name", "Holiday \"photos\""},
                   {"entryCount", 3u},
                   {"topLevelCount", 1u},
                   {"totalBytes", UINT64_MAX}}},
        RoundTrip{"offer without frame id, integral float, unknown key ignored",
                  "TRANSFER_OFFER",
                  {{"name", "n"},
                   {"entryCount", 100000.0},
                   {"topLevelCount", 1024},
                   {"totalBytes", 0},
                   {"path", "ignored"}},
                  {{"frameID", kMade},
                   {"name", "n"},
                   {"entryCount", 100000u},
                   {"topLevelCount", 1024u},
                   {"totalBytes", 0u}}},
        RoundTrip{"offer with a frame id that is no identifier",
                  "TRANSFER_OFFER",
                  {{"frameID", "frame-1"},
                   {"name", "n"},
                   {"entryCount", 1},
                   {"topLevelCount", 1},
                   {"totalBytes", 5}},
                  {{"frameID", kMade},
                   {"name", "n"},
                   {"entryCount", 1u},
                   {"topLevelCount", 1u},
                   {"totalBytes", 5u}}},
        RoundTrip{"file entry",
                  "MANIFEST_ENTRY",
                  {{"frameID", kF},
                   {"index", 99999},
                   {"directory", 0},
                   {"path", "a/b.txt"},
                   {"size", 12},
                   {"modifiedUTC", "2026-12-10T12:00:00.000Z"},
                   {"sha256", kD}},
                  {{"frameID", kF},
                   {"index", 99999u},
                   {"directory", false},
                   {"path", "a/b.txt"},
                   {"size", 12u},
                   {"modifiedUTC", "2026-12-10T12:00:00.000Z"},
                   {"sha256", kD}}},
        RoundTrip{"folder entry with a null digest",
                  "MANIFEST_ENTRY",
                  {{"frameID", kF},
                   {"index", 1},
                   {"directory", true},
                   {"path", "a"},
                   {"size", 0},
                   {"modifiedUTC", "m"},
                   {"sha256", nullptr}},
                  {{"frameID", kF},
                   {"index", 1u},
                   {"directory", true},
                   {"path", "a"},
                   {"size", 0u},
                   {"modifiedUTC", "m"}}},
        RoundTrip{
            "folder entry without a digest",
            "MANIFEST_ENTRY",
            {{"frameID", kF}, {"index", 1}, {"directory", 7}, {"path", "a"}, {"modifiedUTC", "m"}},
            {{"frameID", kF},
             {"index", 1u},
             {"directory", true},
             {"path", "a"},
             {"size", 0u},
             {"modifiedUTC", "m"}}},
        RoundTrip{"manifest end",
                  "MANIFEST_END",
                  {{"frameID", kF}, {"entryCount", 2}, {"sha256", kD}},
                  {{"frameID", kF}, {"entryCount", 2u}, {"sha256", kD}}},
        RoundTrip{"accept",
                  "TRANSFER_RESPONSE",
                  {{"frameID", kF}, {"correlationID", upper(kC)}, {"accept", true}, {"token", kD2}},
                  {{"frameID", kF}, {"correlationID", kC}, {"accept", true}, {"token", kD2}}},
        RoundTrip{"accept given as the number 2",
                  "TRANSFER_RESPONSE",
                  {{"frameID", kF}, {"correlationID", kC}, {"accept", 2}, {"token", kD2}},
                  {{"frameID", kF}, {"correlationID", kC}, {"accept", true}, {"token", kD2}}},
        RoundTrip{"reject",
                  "TRANSFER_RESPONSE",
                  {{"frameID", kF}, {"correlationID", kC}},
                  {{"frameID", kF}, {"correlationID", kC}, {"accept", false}}},
        RoundTrip{"reject with a null reason is an empty reason",
                  "TRANSFER_RESPONSE",
                  {{"frameID", kF}, {"correlationID", kC}, {"accept", 0}, {"reason", nullptr}},
                  {{"frameID", kF}, {"correlationID", kC}, {"accept", false}, {"reason", ""}}},
        RoundTrip{"reject with a reason",
                  "TRANSFER_RESPONSE",
                  {{"frameID", kF}, {"correlationID", kC}, {"accept", false}, {"reason", "full"}},
                  {{"frameID", kF}, {"correlationID", kC}, {"accept", false}, {"reason", "full"}}},
        RoundTrip{"cancel without a reason",
                  "CANCEL",
                  {{"frameID", kF}},
                  {{"frameID", kF}, {"reason", ""}}},
        RoundTrip{"cancel",
                  "CANCEL",
                  {{"frameID", kF}, {"reason", "stopped \\ by user"}},
                  {{"frameID", kF}, {"reason", "stopped \\ by user"}}}));

INSTANTIATE_TEST_SUITE_P(
    Data, TransferDictionaryRoundTrip,
    ::testing::Values(
        RoundTrip{"data hello",
                  "DATA_HELLO",
                  {{"frameID", kF}, {"recipient", upper(kO)}, {"sessionID", kD}, {"token", kD2}},
                  {{"frameID", kF}, {"recipient", kO}, {"sessionID", kD}, {"token", kD2}}},
        RoundTrip{
            "file begin",
            "FILE_BEGIN",
            {{"frameID", kF}, {"index", 2}, {"path", "a/b.txt"}, {"size", 5}, {"sha256", kD}},
            {{"frameID", kF}, {"index", 2u}, {"path", "a/b.txt"}, {"size", 5u}, {"sha256", kD}}},
        RoundTrip{
            "file end",
            "FILE_END",
            {{"frameID", kF}, {"index", 2}, {"path", "a/b.txt"}, {"size", 5}, {"sha256", kD}},
            {{"frameID", kF}, {"index", 2u}, {"path", "a/b.txt"}, {"size", 5u}, {"sha256", kD}}},
        RoundTrip{"file chunk takes its length from the payload",
                  "FILE_CHUNK",
                  {{"frameID", kF}, {"index", 2}, {"offset", 1048576}, {"length", 99}},
                  {{"frameID", kF}, {"index", 2u}, {"offset", 1048576u}, {"length", 3u}},
                  {1, 2, 3}},
        RoundTrip{"progress",
                  "TRANSFER_PROGRESS",
                  {{"frameID", kF}, {"bytes", 0}},
                  {{"frameID", kF}, {"bytes", 0u}}},
        RoundTrip{"sender done",
                  "TRANSFER_COMPLETE",
                  {{"frameID", kF}, {"status", "sender_done"}, {"bytes", 7}},
                  {{"frameID", kF}, {"status", "sender_done"}, {"bytes", 7u}}},
        RoundTrip{"receiver committed",
                  "TRANSFER_COMPLETE",
                  {{"frameID", kF}, {"status", "receiver_committed"}, {"bytes", 7}},
                  {{"frameID", kF}, {"status", "receiver_committed"}, {"bytes", 7u}}}));

struct Refusal {
  const char* name;
  std::string kind;
  json fields;
  std::vector<std::uint8_t> payload = {};
  std::string sender = std::string(kSenderText);
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

class TransferDictionaryRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(TransferDictionaryRefusal, BuildsNothing) {
  const auto& c = GetParam();
  EXPECT_FALSE(build(c.kind, c.fields, c.payload, c.sender).has_value());
}

json offer_fields() {
  return {{"transferID", kT},
          {"name", "n"},
          {"entryCount", 3},
          {"topLevelCount", 1},
          {"totalBytes", 9}};
}

json patched(json fields, const json& patch) {
  fields.merge_patch(patch);
  return fields;
}

json without(json fields, const char* key) {
  fields.erase(key);
  return fields;
}

json with_key(json fields, const char* key, json value) {
  fields[key] = std::move(value);
  return fields;
}

const json kFolder = {
    {"transferID", kT}, {"index", 1}, {"directory", 1}, {"path", "a"}, {"modifiedUTC", "m"}};
const json kAccept = {{"transferID", kT}, {"correlationID", kC}, {"accept", true}, {"token", kD2}};
const json kReject = {{"transferID", kT}, {"correlationID", kC}, {"accept", false}};
const json kHello = {{"transferID", kT}, {"recipient", kO}, {"sessionID", kD}, {"token", kD2}};
const json kChunk = {{"transferID", kT}, {"index", 0}, {"offset", 0}};

INSTANTIATE_TEST_SUITE_P(
    Identities, TransferDictionaryRefusal,
    ::testing::Values(
        Refusal{"no transfer id", "TRANSFER_OFFER", without(offer_fields(), "transferID")},
        Refusal{"transfer id no identifier", "TRANSFER_OFFER",
                patched(offer_fields(), {{"transferID", "transfer-1"}})},
        Refusal{"transfer id as a number", "TRANSFER_OFFER",
                patched(offer_fields(), {{"transferID", 7}})},
        Refusal{"nil transfer id", "TRANSFER_OFFER",
                patched(offer_fields(), {{"transferID", std::string(kNilText)}})},
        Refusal{"sender no identifier", "TRANSFER_OFFER", offer_fields(), {}, "me"},
        Refusal{"fields not an object", "TRANSFER_OFFER", json::array({offer_fields()})},
        Refusal{"kind in lower case", "transfer_offer", offer_fields()},
        Refusal{"kind PING", "PING", offer_fields()},
        Refusal{"kind ERROR", "ERROR", offer_fields()},
        Refusal{"kind CHAT", "CHAT", offer_fields()}));

INSTANTIATE_TEST_SUITE_P(
    Values, TransferDictionaryRefusal,
    ::testing::Values(
        Refusal{"empty name", "TRANSFER_OFFER", patched(offer_fields(), {{"name", ""}})},
        Refusal{"name missing", "TRANSFER_OFFER", without(offer_fields(), "name")},
        Refusal{"no entries", "TRANSFER_OFFER", patched(offer_fields(), {{"entryCount", 0}})},
        Refusal{"100001 entries", "TRANSFER_OFFER",
                patched(offer_fields(), {{"entryCount", 100001}})},
        Refusal{"entry count as text", "TRANSFER_OFFER",
                patched(offer_fields(), {{"entryCount", "3"}})},
        Refusal{"negative total is not wrapped", "TRANSFER_OFFER",
                patched(offer_fields(), {{"totalBytes", -1}})},
        Refusal{"fractional total is not truncated", "TRANSFER_OFFER",
                patched(offer_fields(), {{"totalBytes", 2.5}})},
        Refusal{"total past 64 bits", "TRANSFER_OFFER",
                patched(offer_fields(), {{"totalBytes", 1.0e20}})},
        Refusal{"folder with an empty digest", "MANIFEST_ENTRY", with_key(kFolder, "sha256", "")},
        Refusal{"folder with a size", "MANIFEST_ENTRY", with_key(kFolder, "size", 1)},
        Refusal{"file without a digest", "MANIFEST_ENTRY", with_key(kFolder, "directory", false)},
        Refusal{"file with a null digest", "MANIFEST_ENTRY",
                with_key(with_key(kFolder, "directory", 0), "sha256", nullptr)},
        Refusal{"file digest in upper case", "MANIFEST_ENTRY",
                with_key(with_key(kFolder, "directory", 0), "sha256", upper(kD))},
        Refusal{"index 100000", "MANIFEST_ENTRY", with_key(kFolder, "index", 100000)},
        Refusal{"negative index", "MANIFEST_ENTRY", with_key(kFolder, "index", -3)},
        Refusal{"end digest in upper case",
                "MANIFEST_END",
                {{"transferID", kT}, {"entryCount", 1}, {"sha256", upper(kD)}}},
        Refusal{"accept with a reason", "TRANSFER_RESPONSE", with_key(kAccept, "reason", "x")},
        Refusal{"accept with a null reason", "TRANSFER_RESPONSE",
                with_key(kAccept, "reason", nullptr)},
        Refusal{"accept without a token", "TRANSFER_RESPONSE", without(kAccept, "token")},
        Refusal{"reject with a null token", "TRANSFER_RESPONSE",
                with_key(kReject, "token", nullptr)},
        Refusal{"reject with a token", "TRANSFER_RESPONSE", with_key(kReject, "token", kD2)},
        Refusal{"response without correlation", "TRANSFER_RESPONSE",
                without(kAccept, "correlationID")},
        Refusal{"response with a bad correlation", "TRANSFER_RESPONSE",
                with_key(kAccept, "correlationID", "c")},
        Refusal{"hello without recipient", "DATA_HELLO", without(kHello, "recipient")},
        Refusal{"hello to itself", "DATA_HELLO",
                with_key(kHello, "recipient", std::string(kSenderText))},
        Refusal{"hello without token", "DATA_HELLO", without(kHello, "token")},
        Refusal{"file begin path with a quotation mark",
                "FILE_BEGIN",
                {{"transferID", kT}, {"path", "a\"b"}, {"sha256", kD}}},
        Refusal{"file end without digest", "FILE_END", {{"transferID", kT}, {"path", "a"}}},
        Refusal{"chunk without payload", "FILE_CHUNK", kChunk},
        Refusal{"chunk past the largest payload", "FILE_CHUNK", kChunk,
                std::vector<std::uint8_t>(1048577, 1)},
        Refusal{"completion status unknown",
                "TRANSFER_COMPLETE",
                {{"transferID", kT}, {"status", "done"}}},
        Refusal{"completion status missing", "TRANSFER_COMPLETE", {{"transferID", kT}}},
        Refusal{"completion status as a number",
                "TRANSFER_COMPLETE",
                {{"transferID", kT}, {"status", 0}}}));

TEST(TransferDictionary, ReadsNothingFromAnotherSenderOrAnotherFrame) {
  const auto offer = build("TRANSFER_OFFER", offer_fields());
  ASSERT_TRUE(offer);
  EXPECT_FALSE(read_transfer_fields(*offer, kOtherText));
  EXPECT_FALSE(read_transfer_fields(*offer, "not an identifier"));
  EXPECT_TRUE(read_transfer_fields(*offer, upper(kSenderText)));

  // Kinds outside the transfer frames, whatever their header says.
  for (const int32_t kind :
       {FrameKind::hello, FrameKind::chat, FrameKind::chat_ack, FrameKind::error, FrameKind::ping,
        FrameKind::pong, FrameKind::other}) {
    SCOPED_TRACE(kind);
    Frame other = *offer;
    other.type = kind;
    EXPECT_FALSE(read_transfer_fields(other, kSenderText));
  }
  // A transfer kind whose header names another frame.
  Frame mislabelled = *offer;
  mislabelled.type = FrameKind::cancel;
  EXPECT_FALSE(read_transfer_fields(mislabelled, kSenderText));
  // A header that breaks a rule of its frame.
  Frame tampered = *offer;
  tampered.header_utf8 = with(tampered.header_utf8, R"("entry_count":3)", R"("entry_count":0)");
  EXPECT_FALSE(read_transfer_fields(tampered, kSenderText));
}

TEST(VEProtocolTransfer, FramesWithoutFrameIdGetFreshRandomIds) {
  const auto first =
      VEProtocol::transferFrameWithKind("TRANSFER_OFFER", kSenderText, offer_fields());
  const auto second =
      VEProtocol::transferFrameWithKind("TRANSFER_OFFER", kSenderText, offer_fields());
  ASSERT_TRUE(first && second);
  const auto first_id = VEProtocol::transferFields(*first, kSenderText)->at("frameID");
  const auto second_id = VEProtocol::transferFields(*second, kSenderText)->at("frameID");
  EXPECT_NE(first_id, second_id);
  EXPECT_TRUE(core::Uuid::parse(first_id.get<std::string>()));
}

TEST(VEProtocolTransfer, AChunkCrossesTheCodecWithItsContent) {
  const std::vector<std::uint8_t> content{9, 8, 7, 6, 5};
  const auto built = VEProtocol::transferFrameWithKind(
      "FILE_CHUNK", kSenderText, {{"transferID", kT}, {"index", 4}, {"offset", 10}}, content);
  ASSERT_TRUE(built);
  EXPECT_EQ(built->kind(), "FILE_CHUNK");
  const auto bytes = built->encoded();
  ASSERT_TRUE(bytes);

  VEFrameDecoder decoder;
  const auto frames = decoder.feed(*bytes);
  ASSERT_TRUE(frames);
  ASSERT_EQ(frames->size(), 1u);
  const auto& received = frames->front();
  EXPECT_EQ(received.payload(), content);
  const auto fields = VEProtocol::transferFields(received, kSenderText);
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->at("index"), 4u);
  EXPECT_EQ(fields->at("offset"), 10u);
  EXPECT_EQ(fields->at("length"), content.size());
  EXPECT_FALSE(VEProtocol::transferFields(received, kOtherText));
}

}  // namespace
}  // namespace velmorine::protocol
