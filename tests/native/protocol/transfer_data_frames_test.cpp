#include "native/protocol/transfer_data_frames.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "native/protocol/frame_codec.h"
#include "tests/native/protocol/transfer_frame_fixtures.h"

namespace velmorine::protocol {
namespace {

using namespace testing;

template <typename Header>
Header with_ids() {
  Header h;
  h.id = uuid(kFrameIdText);
  h.sender = uuid(kSenderText);
  h.transfer_id = uuid(kTransferText);
  return h;
}

DataHelloHeader data_hello() {
  auto h = with_ids<DataHelloHeader>();
  h.recipient = uuid(kOtherText);
  h.control_session_id = std::string(kDigest);
  h.transfer_token = std::string(kOtherDigest);
  return h;
}

FileBoundaryHeader boundary() {
  auto h = with_ids<FileBoundaryHeader>();
  h.index = 7;
  h.path = "photos/a b.jpg";
  h.size = 1024;
  h.sha256 = std::string(kDigest);
  return h;
}

FileChunkHeader chunk(std::uint64_t length) {
  auto h = with_ids<FileChunkHeader>();
  h.index = 7;
  h.offset = 65536;
  h.length = length;
  return h;
}

TransferProgressHeader progress() {
  auto h = with_ids<TransferProgressHeader>();
  h.acknowledged_bytes = 4096;
  return h;
}

TransferCompleteHeader complete(TransferCompleteStatus status) {
  auto h = with_ids<TransferCompleteHeader>();
  h.status = status;
  h.acknowledged_bytes = 10;
  return h;
}

std::string members(std::string_view rest) {
  return std::string(R"("transfer_id":")") + std::string(kTransferText) + "\"," + std::string(rest);
}

std::string hello_text() {
  return header_text("DATA_HELLO",
                     members(std::string(R"("recipient":")") + std::string(kOtherText) +
                             R"(","control_session_id":")" + std::string(kDigest) +
                             R"(","transfer_token":")" + std::string(kOtherDigest) + "\""));
}

std::string boundary_text(std::string_view type = "FILE_BEGIN") {
  return header_text(type, members(std::string(R"("index":7,"path":"photos/a b.jpg",)") +
                                   R"("size":"1024","sha256":")" + std::string(kDigest) + "\""));
}

std::string chunk_text() {
  return header_text("FILE_CHUNK", members(R"("index":7,"offset":"65536","length":4)"));
}

std::string progress_text() {
  return header_text("TRANSFER_PROGRESS", members(R"("acknowledged_bytes":"4096")"));
}

std::string complete_text() {
  return header_text("TRANSFER_COMPLETE",
                     members(R"("status":"sender_done","acknowledged_bytes":"10")"));
}

TEST(TransferDataFrames, SerializersWriteTheExactHeaderText) {
  const std::vector<std::uint8_t> content{1, 2, 3, 4};
  struct Case {
    const char* name;
    std::optional<Frame> frame;
    int32_t kind;
    std::string header;
    std::size_t payload;
  };
  const Case cases[] = {
      {"data hello", serialize_data_hello(data_hello()), FrameKind::data_hello, hello_text(), 0},
      {"file begin", serialize_file_begin(boundary()), FrameKind::file_begin, boundary_text(), 0},
      {"file end differs only in type and kind", serialize_file_end(boundary()),
       FrameKind::file_end, boundary_text("FILE_END"), 0},
      {"file chunk", serialize_file_chunk(chunk(4), content), FrameKind::file_chunk, chunk_text(),
       4},
      {"progress", serialize_transfer_progress(progress()), FrameKind::transfer_progress,
       progress_text(), 0},
      {"sender done", serialize_transfer_complete(complete(TransferCompleteStatus::sender_done)),
       FrameKind::transfer_complete, complete_text(), 0},
      {"receiver committed",
       serialize_transfer_complete(complete(TransferCompleteStatus::receiver_committed)),
       FrameKind::transfer_complete, with(complete_text(), "sender_done", "receiver_committed"), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.frame.has_value());
    EXPECT_EQ(c.frame->type, c.kind);
    EXPECT_EQ(c.frame->header_utf8, c.header);
    EXPECT_EQ(c.frame->payload.size(), c.payload);
    EXPECT_TRUE(encode_frame(*c.frame).has_value());
    EXPECT_EQ(frame_type_of_header(c.frame->header_utf8).kind, c.kind);
  }
  EXPECT_EQ(serialize_file_chunk(chunk(4), content)->payload, content);
}

TEST(TransferDataFrames, BuiltFramesParseBackUnchanged) {
  const auto sender = uuid(kSenderText);
  auto far = boundary();
  far.index = UINT64_MAX;  // no manifest limit on data frame indexes
  far.size = UINT64_MAX;
  far.path = std::string(kMaxDataPathBytes - 2, 'p') + "\xC3\xA9";
  far.minor = 9;
  EXPECT_EQ(parse_data_hello(*serialize_data_hello(data_hello()), sender), data_hello());
  for (const auto& h : {boundary(), far}) {
    EXPECT_EQ(parse_file_begin(*serialize_file_begin(h), sender), h);
    EXPECT_EQ(parse_file_end(*serialize_file_end(h), sender), h);
  }
  const std::vector<std::uint8_t> full(kMaxChunkLength, 0xab);
  const auto largest = serialize_file_chunk(chunk(kMaxChunkLength), full);
  ASSERT_TRUE(largest);
  EXPECT_TRUE(encode_frame(*largest).has_value());
  EXPECT_EQ(parse_file_chunk(*largest, sender), chunk(kMaxChunkLength));
  EXPECT_EQ(parse_transfer_progress(*serialize_transfer_progress(progress()), sender), progress());
  for (const auto status :
       {TransferCompleteStatus::sender_done, TransferCompleteStatus::receiver_committed}) {
    EXPECT_EQ(parse_transfer_complete(*serialize_transfer_complete(complete(status)), sender),
              complete(status));
  }
}

TEST(TransferDataFrames, SerializersRefuseValuesTheWireDoesNotAdmit) {
  const std::vector<std::uint8_t> four(4, 0), over(kMaxChunkLength + 1, 0);
  struct Case {
    const char* name;
    std::function<std::optional<Frame>()> build;
  };
  const auto hello_with = [](auto change) {
    return [change] {
      auto h = data_hello();
      change(h);
      return serialize_data_hello(h);
    };
  };
  const auto begin_with = [](auto change) {
    return [change] {
      auto h = boundary();
      change(h);
      return serialize_file_begin(h);
    };
  };
  const Case cases[] = {
      {"major 3", hello_with([](auto& h) { h.major = 3; })},
      {"nil id", hello_with([](auto& h) { h.id = {}; })},
      {"nil sender", hello_with([](auto& h) { h.sender = {}; })},
      {"nil transfer", hello_with([](auto& h) { h.transfer_id = {}; })},
      {"nil recipient", hello_with([](auto& h) { h.recipient = {}; })},
      {"recipient is the sender", hello_with([](auto& h) { h.recipient = h.sender; })},
      {"token of 63 characters", hello_with([](auto& h) { h.transfer_token.pop_back(); })},
      {"session id upper case", hello_with([](auto& h) { h.control_session_id = upper(kDigest); })},
      {"path with a quotation mark", begin_with([](auto& h) { h.path = "a\"b"; })},
      {"path with a backslash", begin_with([](auto& h) { h.path = "a\\b"; })},
      {"path with a NUL", begin_with([](auto& h) { h.path = std::string("a\0b", 3); })},
      {"empty path", begin_with([](auto& h) { h.path = ""; })},
      {"path of 1025 bytes", begin_with([](auto& h) { h.path = std::string(1025, 'p'); })},
      {"path not UTF-8", begin_with([](auto& h) { h.path = "a\xed\xa0\x80"; })},
      {"digest upper case", begin_with([](auto& h) { h.sha256 = upper(kDigest); })},
      {"file end with a bad digest",
       [] {
         auto h = boundary();
         h.sha256 = "";
         return serialize_file_end(h);
       }},
      {"empty chunk", [] { return serialize_file_chunk(chunk(0), {}); }},
      {"chunk past the largest payload",
       [&over] { return serialize_file_chunk(chunk(over.size()), over); }},
      {"chunk length differs from its payload",
       [&four] { return serialize_file_chunk(chunk(3), four); }},
      {"progress without transfer",
       [] {
         auto h = progress();
         h.transfer_id = {};
         return serialize_transfer_progress(h);
       }},
      {"unknown completion status",
       [] {
         auto h = complete(TransferCompleteStatus::sender_done);
         h.status = static_cast<TransferCompleteStatus>(2);
         return serialize_transfer_complete(h);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.build().has_value());
  }
}

DataParseError parse_data(const Frame& frame, const core::Uuid& sender) {
  const auto code = [](const auto& result) {
    return result ? DataParseError::accepted : result.error();
  };
  switch (frame.type) {
    case FrameKind::data_hello:
      return code(parse_data_hello(frame, sender));
    case FrameKind::file_begin:
      return code(parse_file_begin(frame, sender));
    case FrameKind::file_chunk:
      return code(parse_file_chunk(frame, sender));
    case FrameKind::file_end:
      return code(parse_file_end(frame, sender));
    case FrameKind::transfer_progress:
      return code(parse_transfer_progress(frame, sender));
    default:
      return code(parse_transfer_complete(frame, sender));
  }
}

struct ParseCase {
  const char* name;
  int32_t kind;
  std::string header;
  DataParseError expected;
  std::size_t payload = 0;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class TransferDataParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(TransferDataParse, GivesTheExpectedCode) {
  const auto& c = GetParam();
  EXPECT_EQ(parse_data(frame_of(c.kind, c.header, c.payload), uuid(kSenderText)), c.expected);
}

using enum DataParseError;
constexpr auto kHello = FrameKind::data_hello;
constexpr auto kBegin = FrameKind::file_begin;
constexpr auto kChunk = FrameKind::file_chunk;
constexpr auto kEnd = FrameKind::file_end;
constexpr auto kProgress = FrameKind::transfer_progress;
constexpr auto kComplete = FrameKind::transfer_complete;

const std::string kLongText(65537 - 2, 'x');

INSTANTIATE_TEST_SUITE_P(
    Common, TransferDataParse,
    ::testing::Values(
        ParseCase{"major 3", kProgress, with(progress_text(), R"("major":2)", R"("major":3)"),
                  unsupported_major},
        ParseCase{"another sender", kProgress, with(progress_text(), kSenderText, kOtherText),
                  wrong_sender},
        ParseCase{"transfer id missing", kProgress,
                  with(progress_text(), R"("transfer_id")", R"("transfer")"), missing_field},
        ParseCase{"transfer id upper case", kProgress,
                  with(progress_text(), kTransferText, upper(kTransferText)), invalid_value},
        ParseCase{"nil transfer id", kProgress, with(progress_text(), kTransferText, kNilText),
                  invalid_value},
        ParseCase{"minor as a string", kProgress,
                  with(progress_text(), R"("minor":0)", R"("minor":"0")"), missing_field},
        ParseCase{"another type", kProgress,
                  with(progress_text(), R"("TRANSFER_PROGRESS")", R"("TRANSFER_COMPLETE")"),
                  invalid_value},
        ParseCase{"frame of another kind", kComplete, progress_text(), invalid_value},
        ParseCase{"repeated key", kProgress,
                  with(progress_text(), R"("minor":0)", R"("minor":0,"minor":1)"), duplicate_key},
        ParseCase{"blank before the object", kProgress, " " + progress_text(), malformed},
        ParseCase{"empty header", kProgress, "", malformed},
        ParseCase{"header of 65537 bytes, not UTF-8", kProgress, "\"\xff" + kLongText, malformed},
        ParseCase{"header not UTF-8", kProgress,
                  with(progress_text(), R"("minor":0)", "\"minor\":0,\"x\":\"\xff\""),
                  invalid_utf8},
        ParseCase{"unknown keys ignored", kProgress,
                  with(progress_text(), R"("minor":0)", R"("minor":0,"path":["a\"b"])"),
                  accepted}));

INSTANTIATE_TEST_SUITE_P(
    DataHello, TransferDataParse,
    ::testing::Values(
        ParseCase{"valid", kHello, hello_text(), accepted},
        ParseCase{"recipient is the sender", kHello, with(hello_text(), kOtherText, kSenderText),
                  invalid_value},
        ParseCase{"token of 63 characters", kHello,
                  with(hello_text(), kOtherDigest, kOtherDigest.substr(1)), invalid_value},
        ParseCase{"token upper case", kHello, with(hello_text(), kOtherDigest, upper(kOtherDigest)),
                  invalid_value},
        ParseCase{"session id upper case", kHello, with(hello_text(), kDigest, upper(kDigest)),
                  invalid_value},
        ParseCase{"recipient upper case", kHello, with(hello_text(), kOtherText, upper(kOtherText)),
                  invalid_value},
        ParseCase{"token missing", kHello, with(hello_text(), R"("transfer_token")", R"("token")"),
                  missing_field},
        ParseCase{"with a payload", kHello, hello_text(), payload_present, 1}));

INSTANTIATE_TEST_SUITE_P(
    FileBoundary, TransferDataParse,
    ::testing::Values(
        ParseCase{"begin", kBegin, boundary_text(), accepted},
        ParseCase{"end", kEnd, boundary_text("FILE_END"), accepted},
        ParseCase{"end read as begin", kBegin, boundary_text("FILE_END"), invalid_value},
        ParseCase{"largest index", kBegin,
                  with(boundary_text(), R"("index":7)", R"("index":18446744073709551615)"),
                  accepted},
        ParseCase{"path of 1024 bytes", kBegin,
                  with(boundary_text(), "photos/a b.jpg", std::string(1024, 'p')), accepted},
        ParseCase{"path of 1025 bytes", kBegin,
                  with(boundary_text(), "photos/a b.jpg", std::string(1025, 'p')), invalid_value},
        ParseCase{"empty path", kBegin, with(boundary_text(), "photos/a b.jpg", ""), invalid_value},
        ParseCase{"path with an escaped quotation mark", kBegin,
                  with(boundary_text(), "photos/a b.jpg", R"(a\"b)"), invalid_value},
        ParseCase{"path with an escaped backslash", kBegin,
                  with(boundary_text(), "photos/a b.jpg", R"(a\\b)"), invalid_value},
        ParseCase{"accented letter as an escape", kBegin,
                  with(boundary_text(), "photos/a b.jpg", R"(caf\u00e9)"), invalid_value},
        ParseCase{"accented letter as UTF-8", kBegin,
                  with(boundary_text(), "photos/a b.jpg", "caf\xC3\xA9"), accepted},
        ParseCase{"size as a number", kEnd,
                  with(boundary_text("FILE_END"), R"("size":"1024")", R"("size":1024)"),
                  missing_field},
        ParseCase{"size with a sign", kEnd,
                  with(boundary_text("FILE_END"), R"("size":"1024")", R"("size":"+1024")"),
                  invalid_value},
        ParseCase{"digest upper case", kEnd,
                  with(boundary_text("FILE_END"), kDigest, upper(kDigest)), invalid_value},
        ParseCase{"digest missing", kEnd,
                  with(boundary_text("FILE_END"), R"("sha256")", R"("digest")"), missing_field}));

INSTANTIATE_TEST_SUITE_P(
    FileChunk, TransferDataParse,
    ::testing::Values(
        ParseCase{"valid", kChunk, chunk_text(), accepted, 4},
        ParseCase{"largest chunk", kChunk,
                  with(chunk_text(), R"("length":4)", R"("length":1048576)"), accepted, 1048576},
        ParseCase{"length 0", kChunk, with(chunk_text(), R"("length":4)", R"("length":0)"),
                  invalid_value, 0},
        ParseCase{"length past the largest payload", kChunk,
                  with(chunk_text(), R"("length":4)", R"("length":1048577)"), invalid_value,
                  1048577},
        ParseCase{"payload one byte longer", kChunk, chunk_text(), length_mismatch, 5},
        ParseCase{"payload one byte shorter", kChunk, chunk_text(), length_mismatch, 3},
        ParseCase{"offset as a number", kChunk,
                  with(chunk_text(), R"("offset":"65536")", R"("offset":65536)"), missing_field, 4},
        ParseCase{"length as a string", kChunk,
                  with(chunk_text(), R"("length":4)", R"("length":"4")"), missing_field, 4},
        ParseCase{"index with a fraction", kChunk,
                  with(chunk_text(), R"("index":7)", R"("index":7.0)"), invalid_value, 4}));

INSTANTIATE_TEST_SUITE_P(
    ProgressAndCompletion, TransferDataParse,
    ::testing::Values(
        ParseCase{"progress", kProgress, progress_text(), accepted},
        ParseCase{"nothing acknowledged", kProgress, with(progress_text(), R"("4096")", R"("0")"),
                  accepted},
        ParseCase{"acknowledged as a number", kProgress, with(progress_text(), R"("4096")", "0"),
                  missing_field},
        ParseCase{"acknowledged with a leading zero", kProgress,
                  with(progress_text(), R"("4096")", R"("04096")"), invalid_value},
        ParseCase{"progress with a payload", kProgress, progress_text(), payload_present, 1},
        ParseCase{"sender done", kComplete, complete_text(), accepted},
        ParseCase{"receiver committed", kComplete,
                  with(complete_text(), "sender_done", "receiver_committed"), accepted},
        ParseCase{"unknown status", kComplete, with(complete_text(), "sender_done", "done"),
                  invalid_value},
        ParseCase{"status missing", kComplete, with(complete_text(), R"("status")", R"("state")"),
                  missing_field}));

}  // namespace
}  // namespace velmorine::protocol
