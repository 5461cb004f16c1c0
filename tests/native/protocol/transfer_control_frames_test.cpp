#include "native/protocol/transfer_control_frames.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "native/protocol/frame_codec.h"
#include "tests/native/protocol/transfer_frame_fixtures.h"

namespace velmorine::protocol {
namespace {

using namespace testing;

TransferOfferHeader offer() {
  TransferOfferHeader h;
  h.id = uuid(kFrameIdText);
  h.sender = uuid(kSenderText);
  h.transfer_id = uuid(kTransferText);
  h.display_name = "Holiday photos";
  h.entry_count = 3;
  h.top_level_count = 1;
  h.total_bytes = 42;
  return h;
}

ManifestEntryHeader file_entry() {
  ManifestEntryHeader h;
  h.id = uuid(kFrameIdText);
  h.sender = uuid(kSenderText);
  h.transfer_id = uuid(kTransferText);
  h.index = 0;
  h.kind = ManifestEntryKind::file;
  h.path = "photos/a.jpg";
  h.size = 1024;
  h.modified_utc = "2026-12-10T12:00:00.000Z";
  h.sha256 = std::string(kDigest);
  return h;
}

ManifestEntryHeader directory_entry() {
  auto h = file_entry();
  h.kind = ManifestEntryKind::directory;
  h.path = "photos";
  h.size = 0;
  h.sha256.reset();
  return h;
}

ManifestEndHeader manifest_end() {
  ManifestEndHeader h;
  h.id = uuid(kFrameIdText);
  h.sender = uuid(kSenderText);
  h.transfer_id = uuid(kTransferText);
  h.entry_count = 3;
  h.manifest_sha256 = std::string(kDigest);
  return h;
}

TransferResponseHeader accepting() {
  TransferResponseHeader h;
  h.id = uuid(kFrameIdText);
  h.sender = uuid(kSenderText);
  h.correlation_id = uuid(kCorrelationText);
  h.transfer_id = uuid(kTransferText);
  h.decision = TransferDecision::accept;
  h.transfer_token = std::string(kOtherDigest);
  return h;
}

TransferResponseHeader rejecting() {
  auto h = accepting();
  h.decision = TransferDecision::reject;
  h.transfer_token.reset();
  return h;
}

TransferCancelHeader cancel() {
  TransferCancelHeader h;
  h.id = uuid(kFrameIdText);
  h.sender = uuid(kSenderText);
  h.transfer_id = uuid(kTransferText);
  h.reason = "user";
  return h;
}

// The members of valid headers, as a peer would write them.
std::string offer_text() {
  return header_text("TRANSFER_OFFER", std::string(R"("transfer_id":")") +
                                           std::string(kTransferText) +
                                           R"(","display_name":"Holiday photos","entry_count":3,)"
                                           R"("top_level_count":1,"total_bytes":"42")");
}

std::string entry_text() {
  return header_text("MANIFEST_ENTRY",
                     std::string(R"("transfer_id":")") + std::string(kTransferText) +
                         R"(","index":0,"kind":"file","path":"photos/a.jpg",)"
                         R"("size":"1024","modified_utc":"2026-12-10T12:00:00.000Z",)"
                         R"("sha256":")" +
                         std::string(kDigest) + "\"");
}

std::string directory_text() {
  return header_text("MANIFEST_ENTRY",
                     std::string(R"("transfer_id":")") + std::string(kTransferText) +
                         R"(","index":1,"kind":"directory","path":"photos",)"
                         R"("size":"0","modified_utc":"2026-12-10T12:00:00.000Z")");
}

std::string end_text() {
  return header_text("MANIFEST_END",
                     std::string(R"("transfer_id":")") + std::string(kTransferText) +
                         R"(","entry_count":3,"manifest_sha256":")" + std::string(kDigest) + "\"");
}

std::string accept_text() {
  return header_text("TRANSFER_RESPONSE", std::string(R"("correlation_id":")") +
                                              std::string(kCorrelationText) +
                                              R"(","transfer_id":")" + std::string(kTransferText) +
                                              R"(","decision":"accept","transfer_token":")" +
                                              std::string(kOtherDigest) + "\"");
}

std::string reject_text() {
  return header_text("TRANSFER_RESPONSE", std::string(R"("correlation_id":")") +
                                              std::string(kCorrelationText) +
                                              R"(","transfer_id":")" + std::string(kTransferText) +
                                              R"(","decision":"reject")");
}

std::string cancel_text() {
  return header_text("CANCEL", std::string(R"("transfer_id":")") + std::string(kTransferText) +
                                   R"(","reason":"user")");
}

TEST(TransferControlFrames, SerializersWriteTheExactHeaderText) {
  struct Case {
    const char* name;
    std::optional<Frame> frame;
    int32_t kind;
    std::string header;
  };
  auto quoted = offer();
  quoted.display_name = R"(say "hi" \ bye)";
  auto empty_reason = cancel();
  empty_reason.reason = "";
  auto reason = rejecting();
  reason.reason = "no room";
  const Case cases[] = {
      {"offer", serialize_transfer_offer(offer()), FrameKind::transfer_offer, offer_text()},
      {"quote and backslash escaped", serialize_transfer_offer(quoted), FrameKind::transfer_offer,
       with(offer_text(), "Holiday photos", R"(say \"hi\" \\ bye)")},
      {"file entry", serialize_manifest_entry(file_entry()), FrameKind::manifest_entry,
       entry_text()},
      {"directory entry has no sha256", serialize_manifest_entry([] {
         auto h = directory_entry();
         h.index = 1;
         return h;
       }()),
       FrameKind::manifest_entry, directory_text()},
      {"manifest end", serialize_manifest_end(manifest_end()), FrameKind::manifest_end, end_text()},
      {"accept", serialize_transfer_response(accepting()), FrameKind::transfer_response,
       accept_text()},
      {"reject", serialize_transfer_response(rejecting()), FrameKind::transfer_response,
       reject_text()},
      {"reject with reason", serialize_transfer_response(reason), FrameKind::transfer_response,
       reject_text().insert(reject_text().size() - 1, R"(,"reason":"no room")")},
      {"cancel", serialize_transfer_cancel(cancel()), FrameKind::cancel, cancel_text()},
      {"cancel with empty reason", serialize_transfer_cancel(empty_reason), FrameKind::cancel,
       with(cancel_text(), R"("reason":"user")", R"("reason":"")")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.frame.has_value());
    EXPECT_EQ(c.frame->type, c.kind);
    EXPECT_EQ(c.frame->header_utf8, c.header);
    EXPECT_TRUE(c.frame->payload.empty());
    // What we build must pass the frame codec and come back as the same kind.
    EXPECT_TRUE(encode_frame(*c.frame).has_value());
    EXPECT_EQ(frame_type_of_header(c.frame->header_utf8).kind, c.kind);
  }
}

TEST(TransferControlFrames, BuiltFramesParseBackUnchanged) {
  const auto sender = uuid(kSenderText);
  auto limits = offer();
  limits.entry_count = kMaxTransferEntries;
  limits.top_level_count = kMaxTopLevelItems;
  limits.total_bytes = UINT64_MAX;
  limits.display_name = std::string(kMaxDisplayNameBytes - 2, 'n') + "\xC3\xA9";
  limits.minor = 7;
  auto last_entry = file_entry();
  last_entry.index = kMaxManifestIndex;
  last_entry.path = std::string(kMaxManifestPathBytes, 'p');
  last_entry.modified_utc = std::string(kMaxModifiedUtcBytes, 'm');
  auto reason = rejecting();
  reason.reason = std::string(kMaxReasonBytes, 'r');
  auto empty_reason = rejecting();
  empty_reason.reason = "";

  for (const auto& h : {offer(), limits}) {
    EXPECT_EQ(parse_transfer_offer(*serialize_transfer_offer(h), sender), h);
  }
  for (const auto& h : {file_entry(), directory_entry(), last_entry}) {
    EXPECT_EQ(parse_manifest_entry(*serialize_manifest_entry(h), sender), h);
  }
  EXPECT_EQ(parse_manifest_end(*serialize_manifest_end(manifest_end()), sender), manifest_end());
  for (const auto& h : {accepting(), rejecting(), reason, empty_reason}) {
    EXPECT_EQ(parse_transfer_response(*serialize_transfer_response(h), sender), h);
  }
  EXPECT_EQ(parse_transfer_cancel(*serialize_transfer_cancel(cancel()), sender), cancel());
}

TEST(TransferControlFrames, SerializersRefuseValuesTheWireDoesNotAdmit) {
  struct Case {
    const char* name;
    std::function<std::optional<Frame>()> build;
  };
  const auto offer_with = [](auto change) {
    return [change] {
      auto h = offer();
      change(h);
      return serialize_transfer_offer(h);
    };
  };
  const auto entry_with = [](auto base, auto change) {
    return [base, change] {
      auto h = base();
      change(h);
      return serialize_manifest_entry(h);
    };
  };
  const auto response_with = [](auto base, auto change) {
    return [base, change] {
      auto h = base();
      change(h);
      return serialize_transfer_response(h);
    };
  };
  const Case cases[] = {
      {"major 3", offer_with([](auto& h) { h.major = 3; })},
      {"nil id", offer_with([](auto& h) { h.id = core::Uuid{}; })},
      {"nil sender", offer_with([](auto& h) { h.sender = core::Uuid{}; })},
      {"nil transfer", offer_with([](auto& h) { h.transfer_id = core::Uuid{}; })},
      {"empty name", offer_with([](auto& h) { h.display_name = ""; })},
      {"name of 513 bytes", offer_with([](auto& h) { h.display_name = std::string(513, 'n'); })},
      {"name with a tab", offer_with([](auto& h) { h.display_name = "a\tb"; })},
      {"name with DEL", offer_with([](auto& h) { h.display_name = "a\x7f"; })},
      {"name with U+0085", offer_with([](auto& h) { h.display_name = "a\xC2\x85"; })},
      {"name not UTF-8", offer_with([](auto& h) { h.display_name = "a\xff"; })},
      {"no entries", offer_with([](auto& h) { h.entry_count = 0; })},
      {"100001 entries", offer_with([](auto& h) { h.entry_count = 100001; })},
      {"no top-level item", offer_with([](auto& h) { h.top_level_count = 0; })},
      {"1025 top-level items", offer_with([](auto& h) {
         h.entry_count = 2000;
         h.top_level_count = 1025;
       })},
      {"more top-level items than entries", offer_with([](auto& h) { h.top_level_count = 4; })},
      {"index 100000", entry_with(file_entry, [](auto& h) { h.index = 100000; })},
      {"file without digest", entry_with(file_entry, [](auto& h) { h.sha256.reset(); })},
      {"file digest upper case",
       entry_with(file_entry, [](auto& h) { h.sha256 = upper(kDigest); })},
      {"directory with digest",
       entry_with(directory_entry, [](auto& h) { h.sha256 = std::string(kDigest); })},
      {"directory with size", entry_with(directory_entry, [](auto& h) { h.size = 1; })},
      {"empty path", entry_with(file_entry, [](auto& h) { h.path = ""; })},
      {"path of 1025 bytes",
       entry_with(file_entry, [](auto& h) { h.path = std::string(1025, 'p'); })},
      {"empty modified_utc", entry_with(file_entry, [](auto& h) { h.modified_utc = ""; })},
      {"modified_utc of 65 bytes",
       entry_with(file_entry, [](auto& h) { h.modified_utc = std::string(65, 'm'); })},
      {"unknown entry kind",
       entry_with(file_entry, [](auto& h) { h.kind = static_cast<ManifestEntryKind>(2); })},
      {"end without entries", [] {
         auto h = manifest_end();
         h.entry_count = 0;
         return serialize_manifest_end(h);
       }},
      {"end digest of 63 characters", [] {
         auto h = manifest_end();
         h.manifest_sha256.pop_back();
         return serialize_manifest_end(h);
       }},
      {"accept without token", response_with(accepting, [](auto& h) { h.transfer_token.reset(); })},
      {"accept with reason", response_with(accepting, [](auto& h) { h.reason = "why"; })},
      {"reject with token",
       response_with(rejecting, [](auto& h) { h.transfer_token = std::string(kDigest); })},
      {"token upper case",
       response_with(accepting, [](auto& h) { h.transfer_token = upper(kDigest); })},
      {"nil correlation", response_with(accepting, [](auto& h) { h.correlation_id = {}; })},
      {"reason of 1025 bytes",
       response_with(rejecting, [](auto& h) { h.reason = std::string(1025, 'r'); })},
      {"unknown decision",
       response_with(rejecting, [](auto& h) { h.decision = static_cast<TransferDecision>(2); })},
      {"cancel reason with a line feed", [] {
         auto h = cancel();
         h.reason = "a\nb";
         return serialize_transfer_cancel(h);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.build().has_value());
  }
}

ControlParseError parse_control(const Frame& frame, const core::Uuid& sender) {
  const auto code = [](const auto& result) {
    return result ? ControlParseError::accepted : result.error();
  };
  switch (frame.type) {
    case FrameKind::transfer_offer:
      return code(parse_transfer_offer(frame, sender));
    case FrameKind::manifest_entry:
      return code(parse_manifest_entry(frame, sender));
    case FrameKind::manifest_end:
      return code(parse_manifest_end(frame, sender));
    case FrameKind::transfer_response:
      return code(parse_transfer_response(frame, sender));
    default:
      return code(parse_transfer_cancel(frame, sender));
  }
}

struct ParseCase {
  const char* name;
  int32_t kind;
  std::string header;
  ControlParseError expected;
  std::size_t payload = 0;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class TransferControlParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(TransferControlParse, GivesTheExpectedCode) {
  const auto& c = GetParam();
  EXPECT_EQ(parse_control(frame_of(c.kind, c.header, c.payload), uuid(kSenderText)), c.expected);
}

using enum ControlParseError;
constexpr auto kOffer = FrameKind::transfer_offer;
constexpr auto kEntry = FrameKind::manifest_entry;
constexpr auto kEnd = FrameKind::manifest_end;
constexpr auto kResponse = FrameKind::transfer_response;
constexpr auto kCancel = FrameKind::cancel;

const std::string kLongText(65537 - 2, 'x');

INSTANTIATE_TEST_SUITE_P(
    Offer, TransferControlParse,
    ::testing::Values(
        ParseCase{"valid", kOffer, offer_text(), accepted},
        ParseCase{"100000 entries", kOffer,
                  with(offer_text(), R"("entry_count":3)", R"("entry_count":100000)"), accepted},
        ParseCase{"no entries", kOffer,
                  with(offer_text(), R"("entry_count":3)", R"("entry_count":0)"), invalid_value},
        ParseCase{"100001 entries", kOffer,
                  with(offer_text(), R"("entry_count":3)", R"("entry_count":100001)"),
                  invalid_value},
        ParseCase{"1024 top-level items", kOffer,
                  with(with(offer_text(), R"("entry_count":3)", R"("entry_count":1024)"),
                       R"("top_level_count":1)", R"("top_level_count":1024)"),
                  accepted},
        ParseCase{"1025 top-level items", kOffer,
                  with(with(offer_text(), R"("entry_count":3)", R"("entry_count":2000)"),
                       R"("top_level_count":1)", R"("top_level_count":1025)"),
                  invalid_value},
        ParseCase{"more top-level items than entries", kOffer,
                  with(offer_text(), R"("top_level_count":1)", R"("top_level_count":4)"),
                  invalid_value},
        ParseCase{
            "total_bytes as a number", kOffer,
            with(offer_text(), R"("total_bytes":"42")", R"("total_bytes":18446744073709551615)"),
            missing_field},
        ParseCase{"total_bytes with a leading zero", kOffer,
                  with(offer_text(), R"("total_bytes":"42")", R"("total_bytes":"007")"),
                  invalid_value},
        ParseCase{
            "largest total_bytes", kOffer,
            with(offer_text(), R"("total_bytes":"42")", R"("total_bytes":"18446744073709551615")"),
            accepted},
        ParseCase{
            "total_bytes past 64 bits", kOffer,
            with(offer_text(), R"("total_bytes":"42")", R"("total_bytes":"18446744073709551616")"),
            invalid_value},
        ParseCase{"name with an escaped tab", kOffer,
                  with(offer_text(), "Holiday photos", R"(Holiday\tphotos)"), invalid_value},
        ParseCase{"name with a raw line feed", kOffer,
                  with(offer_text(), "Holiday photos", "Holiday\nphotos"), invalid_value},
        ParseCase{"name escaping U+0000", kOffer,
                  with(offer_text(), "Holiday photos", R"(a\u0000b)"), invalid_value},
        ParseCase{"name escaping U+009F", kOffer,
                  with(offer_text(), "Holiday photos", R"(a\u009fb)"), invalid_value},
        ParseCase{"empty name", kOffer, with(offer_text(), "Holiday photos", ""), invalid_value},
        ParseCase{"name of 513 bytes", kOffer,
                  with(offer_text(), "Holiday photos", std::string(513, 'n')), invalid_value},
        ParseCase{"name with a bad escape", kOffer,
                  with(offer_text(), "Holiday photos", R"(a\udc00b)"), missing_field},
        ParseCase{"null name", kOffer, with(offer_text(), R"("Holiday photos")", "null"),
                  missing_field},
        ParseCase{"keys reordered, unknown keys ignored", kOffer,
                  with(with(offer_text(), R"({"major":2,"minor":0,)",
                            R"({"extra":{"major":[1,{"x":null}]},"minor":0,)"),
                       R"("total_bytes":"42")", R"("total_bytes":"42","major":2,"z":true)"),
                  accepted},
        ParseCase{"any minor", kOffer, with(offer_text(), R"("minor":0)", R"("minor":65535)"),
                  accepted},
        ParseCase{"minor past 16 bits", kOffer,
                  with(offer_text(), R"("minor":0)", R"("minor":65536)"), invalid_value},
        ParseCase{"major with a leading zero", kOffer,
                  with(offer_text(), R"("major":2)", R"("major":02)"), invalid_value},
        ParseCase{"major as a string", kOffer, with(offer_text(), R"("major":2)", R"("major":"2")"),
                  missing_field},
        ParseCase{"major 3", kOffer, with(offer_text(), R"("major":2)", R"("major":3)"),
                  unsupported_major},
        ParseCase{"another sender", kOffer, with(offer_text(), kSenderText, kOtherText),
                  wrong_sender},
        ParseCase{"nil sender", kOffer, with(offer_text(), kSenderText, kNilText), invalid_value},
        ParseCase{"frame id upper case", kOffer,
                  with(offer_text(), kFrameIdText, upper(kFrameIdText)), invalid_value},
        ParseCase{"transfer id upper case", kOffer,
                  with(offer_text(), kTransferText, upper(kTransferText)), invalid_value},
        ParseCase{"transfer id missing", kOffer,
                  with(offer_text(), R"("transfer_id")", R"("transfer_ix")"), missing_field},
        ParseCase{"another type", kOffer,
                  with(offer_text(), R"("TRANSFER_OFFER")", R"("MANIFEST_END")"), invalid_value},
        ParseCase{"type written with an escape", kOffer,
                  with(offer_text(), R"("TRANSFER_OFFER")", R"("TRANSFER\u005fOFFER")"),
                  invalid_value},
        ParseCase{"frame of another kind", kEnd, offer_text(), invalid_value},
        ParseCase{"repeated key", kOffer,
                  with(offer_text(), R"("entry_count":3)", R"("entry_count":3,"entry_count":3)"),
                  duplicate_key},
        ParseCase{"blank before the object", kOffer, " " + offer_text(), malformed},
        ParseCase{"blank after the object", kOffer, offer_text() + " ", malformed},
        ParseCase{"empty header", kOffer, "", malformed},
        ParseCase{"header of 65537 bytes", kOffer, "\"" + kLongText + "\"", malformed},
        ParseCase{"header of 65537 bytes, not UTF-8", kOffer, "\"\xff" + kLongText, invalid_utf8},
        ParseCase{"key with a backslash", kOffer,
                  with(offer_text(), R"("display_name")", R"("display\u005fname")"), malformed},
        ParseCase{"header not UTF-8", kOffer,
                  with(offer_text(), "Holiday",
                       "Holi\xc0\x80"
                       "day"),
                  invalid_utf8},
        ParseCase{"not an object", kOffer, "[" + offer_text() + "]", malformed},
        ParseCase{"cut short", kOffer, offer_text().substr(0, 40), malformed},
        ParseCase{"with a payload", kOffer, offer_text(), payload_present, 1}));

INSTANTIATE_TEST_SUITE_P(
    ManifestEntry, TransferControlParse,
    ::testing::Values(
        ParseCase{"file", kEntry, entry_text(), accepted},
        ParseCase{"directory without sha256", kEntry, directory_text(), accepted},
        ParseCase{"index 99999", kEntry, with(entry_text(), R"("index":0)", R"("index":99999)"),
                  accepted},
        ParseCase{"index 100000", kEntry, with(entry_text(), R"("index":0)", R"("index":100000)"),
                  invalid_value},
        ParseCase{"index as a string", kEntry, with(entry_text(), R"("index":0)", R"("index":"0")"),
                  missing_field},
        ParseCase{"directory with sha256", kEntry,
                  with(directory_text(), R"("size":"0")",
                       std::string(R"("size":"0","sha256":")") + std::string(kDigest) + "\""),
                  invalid_value},
        ParseCase{"directory with size 1", kEntry,
                  with(directory_text(), R"("size":"0")", R"("size":"1")"), invalid_value},
        ParseCase{"file without sha256", kEntry, with(entry_text(), R"("sha256")", R"("sha257")"),
                  invalid_value},
        ParseCase{"file digest upper case", kEntry, with(entry_text(), kDigest, upper(kDigest)),
                  invalid_value},
        ParseCase{"file digest of 63 characters", kEntry,
                  with(entry_text(), kDigest, kDigest.substr(1)), invalid_value},
        ParseCase{"null sha256 is present, not absent", kEntry,
                  with(directory_text(), R"("size":"0")", R"("size":"0","sha256":null)"),
                  invalid_value},
        ParseCase{"sha256 with a bad escape", kEntry, with(entry_text(), kDigest, R"(\udc00)"),
                  invalid_value},
        ParseCase{"unknown kind", kEntry,
                  with(entry_text(), R"("kind":"file")", R"("kind":"folder")"), invalid_value},
        ParseCase{"path of 1024 bytes", kEntry,
                  with(entry_text(), "photos/a.jpg", std::string(1024, 'p')), accepted},
        ParseCase{"path of 1025 bytes", kEntry,
                  with(entry_text(), "photos/a.jpg", std::string(1025, 'p')), invalid_value},
        ParseCase{"escaped quotation mark in the path", kEntry,
                  with(entry_text(), "photos/a.jpg", R"(say \"hi\".jpg)"), accepted},
        ParseCase{"path missing", kEntry, with(entry_text(), R"("path")", R"("pat")"),
                  missing_field},
        ParseCase{"size as a number", kEntry,
                  with(entry_text(), R"("size":"1024")", R"("size":1024)"), missing_field},
        ParseCase{"modified_utc empty", kEntry, with(entry_text(), "2026-12-10T12:00:00.000Z", ""),
                  invalid_value},
        ParseCase{"modified_utc of 65 bytes", kEntry,
                  with(entry_text(), "2026-12-10T12:00:00.000Z", std::string(65, 'm')),
                  invalid_value}));

INSTANTIATE_TEST_SUITE_P(
    ManifestEnd, TransferControlParse,
    ::testing::Values(
        ParseCase{"valid", kEnd, end_text(), accepted},
        ParseCase{"no entries", kEnd, with(end_text(), R"("entry_count":3)", R"("entry_count":0)"),
                  invalid_value},
        ParseCase{"100001 entries", kEnd,
                  with(end_text(), R"("entry_count":3)", R"("entry_count":100001)"), invalid_value},
        ParseCase{"digest upper case", kEnd, with(end_text(), kDigest, upper(kDigest)),
                  invalid_value},
        ParseCase{"digest missing", kEnd, with(end_text(), R"("manifest_sha256")", R"("sha256")"),
                  missing_field}));

INSTANTIATE_TEST_SUITE_P(
    Response, TransferControlParse,
    ::testing::Values(
        ParseCase{"accept with token", kResponse, accept_text(), accepted},
        ParseCase{"reject with neither", kResponse, reject_text(), accepted},
        ParseCase{"reject with a reason", kResponse,
                  with(reject_text(), R"("reject")", R"("reject","reason":"busy")"), accepted},
        ParseCase{"reject with an empty reason", kResponse,
                  with(reject_text(), R"("reject")", R"("reject","reason":"")"), accepted},
        ParseCase{"accept with a reason", kResponse,
                  with(accept_text(), R"("accept")", R"("accept","reason":"ok")"), invalid_value},
        ParseCase{"accept without token", kResponse,
                  with(reject_text(), R"("reject")", R"("accept")"), invalid_value},
        ParseCase{"reject with a token", kResponse,
                  with(accept_text(), R"("accept")", R"("reject")"), invalid_value},
        ParseCase{"null token is present, not absent", kResponse,
                  with(reject_text(), R"("reject")", R"("reject","transfer_token":null)"),
                  invalid_value},
        ParseCase{"token upper case", kResponse,
                  with(accept_text(), kOtherDigest, upper(kOtherDigest)), invalid_value},
        ParseCase{"decision in another case", kResponse,
                  with(accept_text(), R"("accept")", R"("Accept")"), invalid_value},
        ParseCase{"decision written with an escape", kResponse,
                  with(accept_text(), R"("accept")", R"("\u0061ccept")"), invalid_value},
        ParseCase{"reason of 1025 bytes", kResponse,
                  with(reject_text(), R"("reject")",
                       R"("reject","reason":")" + std::string(1025, 'r') + "\""),
                  invalid_value},
        ParseCase{"nil correlation", kResponse, with(accept_text(), kCorrelationText, kNilText),
                  invalid_value},
        ParseCase{"correlation missing", kResponse,
                  with(accept_text(), R"("correlation_id")", R"("correlation")"), missing_field},
        ParseCase{"decision missing", kResponse,
                  with(accept_text(), R"("decision")", R"("verdict")"), missing_field}));

INSTANTIATE_TEST_SUITE_P(
    Cancel, TransferControlParse,
    ::testing::Values(ParseCase{"valid", kCancel, cancel_text(), accepted},
                      ParseCase{"empty reason", kCancel,
                                with(cancel_text(), R"("reason":"user")", R"("reason":"")"),
                                accepted},
                      ParseCase{"reason with a raw line feed", kCancel,
                                with(cancel_text(), R"("reason":"user")", "\"reason\":\"a\nb\""),
                                invalid_value},
                      ParseCase{"reason missing", kCancel,
                                with(cancel_text(), R"(,"reason":"user")", ""), missing_field},
                      ParseCase{"another sender", kCancel,
                                with(cancel_text(), kSenderText, kOtherText), wrong_sender}));

TEST(TransferControlFrames, ParsedTextsAreDecoded) {
  const auto sender = uuid(kSenderText);
  const auto accented = parse_transfer_offer(
      frame_of(kOffer, with(offer_text(), "Holiday photos", R"(caf\u00e9)")), sender);
  ASSERT_TRUE(accented);
  EXPECT_EQ(accented->display_name, "caf\xC3\xA9");
  const auto quoted = parse_transfer_offer(
      frame_of(kOffer, with(offer_text(), "Holiday photos", R"(say \"hi\" \/ \\)")), sender);
  ASSERT_TRUE(quoted);
  EXPECT_EQ(quoted->display_name, R"(say "hi" / \)");
}

}  // namespace
}  // namespace velmorine::protocol
