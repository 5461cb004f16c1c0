#include "native/secure/channel/record.h"

#include <gtest/gtest.h>

#include "native/secure/channel/record_reader.h"
#include "tests/native/secure/channel/channel_fixtures.h"

namespace {

using namespace velsecure_test;

Bytes pattern(size_t length, uint8_t seed = 0) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + seed);
  return bytes;
}

class Records : public testing::Test {
 protected:
  Records() {
    VelSecureRecordReader_s* reader = nullptr;
    EXPECT_EQ(velsecure_record_reader_create(pair().responder_receive.get(), &reader, nullptr),
              VELSECURE_OK);
    reader_.reset(reader);
    reader = nullptr;
    EXPECT_EQ(velsecure_record_reader_create(pair().initiator_receive.get(), &reader, nullptr),
              VELSECURE_OK);
    back_reader_.reset(reader);
  }

  EstablishedPair& pair() { return channel_.pair(); }

  Bytes seal(const Bytes& plaintext, VelSecureTransport_s* send = nullptr) {
    Bytes record(plaintext.size() + 18);
    size_t length = 0;
    StatusRecord status{};
    EXPECT_EQ(
        velsecure_record_encrypt(send ? send : pair().initiator_send.get(), plaintext.data(),
                                 plaintext.size(), record.data(), record.size(), &length, &status),
        VELSECURE_OK)
        << status.detail;
    EXPECT_EQ(length, record.size());
    return record;
  }

  // Feeds a whole record and opens it; the code of the first failing step.
  uint32_t open(const Bytes& record, Bytes* plaintext, VelSecureRecordReader_s* reader = nullptr,
                StatusRecord* status = nullptr) {
    reader = reader ? reader : reader_.get();
    size_t consumed = 0;
    uint32_t code =
        velsecure_record_reader_input(reader, record.data(), record.size(), &consumed, status);
    if (code != VELSECURE_OK) return code;
    EXPECT_EQ(consumed, record.size());
    plaintext->assign(kVelSecureRecordPlaintextMax, 0xEE);
    size_t length = 0;
    code = velsecure_record_reader_decrypt(reader, plaintext->data(), plaintext->size(), &length,
                                           status);
    plaintext->resize(code == VELSECURE_OK ? length : plaintext->size());
    return code;
  }

  Established channel_;
  Reader reader_;
  Reader back_reader_;
};

TEST_F(Records, CarryEverySizeBothWays) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{1000},
                      size_t{61439}, size_t{61440}}) {
    SCOPED_TRACE(size);
    const Bytes plaintext = pattern(size, static_cast<uint8_t>(size));
    const Bytes record = seal(plaintext);
    EXPECT_EQ((size_t{record[0]} << 8) | record[1], size + 16);
    Bytes opened;
    ASSERT_EQ(open(record, &opened), VELSECURE_OK);
    EXPECT_EQ(opened, plaintext);

    const Bytes back = seal(plaintext, pair().responder_send.get());
    ASSERT_EQ(open(back, &opened, back_reader_.get()), VELSECURE_OK);
    EXPECT_EQ(opened, plaintext);
  }
}

TEST_F(Records, SizeLimitsOfSealing) {
  Bytes plaintext = pattern(61441);
  Bytes record(70000);
  size_t length = 0;
  StatusRecord status{};
  EXPECT_EQ(velsecure_record_encrypt(pair().initiator_send.get(), plaintext.data(), 61441,
                                     record.data(), record.size(), &length, &status),
            VELSECURE_MESSAGE_TOO_LARGE);
  EXPECT_EQ(status.operation, VELSECURE_OP_RECORD_ENCRYPT);
  EXPECT_EQ(status.detail, 61441u);
  EXPECT_EQ(velsecure_record_encrypt(pair().initiator_send.get(), plaintext.data(), 100,
                                     record.data(), 117, &length, &status),
            VELSECURE_BUFFER_TOO_SMALL);
  EXPECT_EQ(status.detail, 118u);
  // The refusals used no nonce: the next record still opens.
  Bytes opened;
  ASSERT_EQ(open(seal(pattern(61440)), &opened), VELSECURE_OK);
  const Bytes empty = seal(Bytes{});
  EXPECT_EQ(empty.size(), 18u);
  EXPECT_EQ(empty[1], 0x10);
}

TEST_F(Records, LengthFieldOutOfRangeFailsTheReader) {
  struct Case {
    uint8_t high, low;
    uint32_t code, detail;
  };
  for (const Case& c : {Case{0x00, 0x0F, VELSECURE_PROTOCOL_ERROR, 15},
                        Case{0x00, 0x00, VELSECURE_PROTOCOL_ERROR, 0},
                        Case{0xF0, 0x11, VELSECURE_MESSAGE_TOO_LARGE, 61457},
                        Case{0xFF, 0xFF, VELSECURE_MESSAGE_TOO_LARGE, 65535}}) {
    Reader reader;
    VelSecureRecordReader_s* created = nullptr;
    ASSERT_EQ(velsecure_record_reader_create(pair().responder_receive.get(), &created, nullptr),
              VELSECURE_OK);
    reader.reset(created);
    const uint8_t field[] = {c.high, c.low, 0, 0};
    size_t consumed = 0;
    StatusRecord status{};
    EXPECT_EQ(velsecure_record_reader_input(created, field, sizeof field, &consumed, &status),
              c.code);
    EXPECT_EQ(status.operation, VELSECURE_OP_RECORD_READER);
    EXPECT_EQ(status.detail, c.detail);
    EXPECT_EQ(velsecure_record_reader_finish(created, nullptr), c.code);  // latched
  }
}

TEST_F(Records, ReaderTakesOneRecordAtATime) {
  const Bytes first = seal(pattern(10, 1));
  const Bytes second = seal(pattern(20, 2));
  Bytes both = first;
  both.insert(both.end(), second.begin(), second.end());
  size_t consumed = 0;
  ASSERT_EQ(
      velsecure_record_reader_input(reader_.get(), both.data(), both.size(), &consumed, nullptr),
      VELSECURE_OK);
  EXPECT_EQ(consumed, first.size());
  EXPECT_TRUE(velsecure_record_reader_ready(reader_.get()));
  // While a record waits nothing more is taken.
  ASSERT_EQ(velsecure_record_reader_input(reader_.get(), second.data(), second.size(), &consumed,
                                          nullptr),
            VELSECURE_OK);
  EXPECT_EQ(consumed, 0u);

  // One byte too little room keeps the record waiting.
  Bytes out(9);
  size_t length = 0;
  StatusRecord status{};
  EXPECT_EQ(
      velsecure_record_reader_decrypt(reader_.get(), out.data(), out.size(), &length, &status),
      VELSECURE_BUFFER_TOO_SMALL);
  EXPECT_EQ(status.detail, 10u);
  EXPECT_TRUE(velsecure_record_reader_ready(reader_.get()));
  out.resize(10);
  ASSERT_EQ(
      velsecure_record_reader_decrypt(reader_.get(), out.data(), out.size(), &length, nullptr),
      VELSECURE_OK);
  EXPECT_EQ(out, pattern(10, 1));
  EXPECT_EQ(
      velsecure_record_reader_decrypt(reader_.get(), out.data(), out.size(), &length, nullptr),
      VELSECURE_INVALID_STATE);
  Bytes opened;
  ASSERT_EQ(open(second, &opened), VELSECURE_OK);
  EXPECT_EQ(opened, pattern(20, 2));
}

TEST_F(Records, ByteByByteInputMakesTheSameRecords) {
  const Bytes record = seal(pattern(300));
  for (size_t i = 0; i < record.size(); ++i) {
    EXPECT_FALSE(velsecure_record_reader_ready(reader_.get()));
    size_t consumed = 0;
    ASSERT_EQ(velsecure_record_reader_input(reader_.get(), &record[i], 1, &consumed, nullptr),
              VELSECURE_OK);
    ASSERT_EQ(consumed, 1u);
  }
  Bytes out(300);
  size_t length = 0;
  ASSERT_EQ(
      velsecure_record_reader_decrypt(reader_.get(), out.data(), out.size(), &length, nullptr),
      VELSECURE_OK);
  EXPECT_EQ(out, pattern(300));
}

TEST_F(Records, FinishInsideARecordIsTruncated) {
  const Bytes record = seal(pattern(40));
  struct Case {
    size_t fed;
    uint32_t code, detail;
  };
  for (const Case& c :
       {Case{0, VELSECURE_OK, 0}, Case{1, VELSECURE_TRUNCATED, 1}, Case{2, VELSECURE_TRUNCATED, 2},
        Case{30, VELSECURE_TRUNCATED, 30}, Case{record.size() - 1, VELSECURE_TRUNCATED, 57},
        Case{record.size(), VELSECURE_OK, 0}}) {
    SCOPED_TRACE(c.fed);
    VelSecureRecordReader_s* created = nullptr;
    ASSERT_EQ(velsecure_record_reader_create(pair().responder_receive.get(), &created, nullptr),
              VELSECURE_OK);
    Reader reader(created);
    size_t consumed = 0;
    ASSERT_EQ(velsecure_record_reader_input(created, record.data(), c.fed, &consumed, nullptr),
              VELSECURE_OK);
    StatusRecord status{};
    EXPECT_EQ(velsecure_record_reader_finish(created, &status), c.code);
    EXPECT_EQ(status.detail, c.detail);
    if (c.code == VELSECURE_OK) {
      EXPECT_EQ(velsecure_record_reader_input(created, record.data(), 1, &consumed, &status),
                VELSECURE_INVALID_STATE);
    }
  }
}

// Nothing that fails to authenticate reaches the caller's buffer.
void expect_nothing_released(const Bytes& output) {
  EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(Records, FlippedBitAnywhereFailsAuthenticationAndReleasesNothing) {
  const Bytes plaintext = pattern(64);
  const Bytes record = seal(plaintext);
  // The low bit of the length field (which still gives a length that the
  // reader accepts), bytes across the body, and every byte of the tag.
  std::vector<size_t> offsets = {1};
  for (size_t offset = 2; offset < record.size() - 16; offset += 5) offsets.push_back(offset);
  for (size_t offset = record.size() - 16; offset < record.size(); ++offset)
    offsets.push_back(offset);
  for (size_t offset : offsets) {
    SCOPED_TRACE(offset);
    Established fresh;
    VelSecureRecordReader_s* created = nullptr;
    ASSERT_EQ(
        velsecure_record_reader_create(fresh.pair().responder_receive.get(), &created, nullptr),
        VELSECURE_OK);
    Reader reader(created);
    Bytes tampered = seal(plaintext, fresh.pair().initiator_send.get());
    ASSERT_EQ(tampered, record);  // seeded contexts give the same keys
    tampered[offset] ^= offset == 1 ? 0x01 : static_cast<uint8_t>(1 << (offset % 8));
    if (offset == 1) tampered.push_back(0);  // the longer length needs one more byte
    Bytes opened;
    StatusRecord status{};
    EXPECT_EQ(open(tampered, &opened, created, &status), VELSECURE_AUTHENTICATION_FAILED);
    EXPECT_EQ(status.operation, VELSECURE_OP_RECORD_READER);
    expect_nothing_released(opened);
    // The reader and the transport stay failed.
    EXPECT_EQ(open(seal(plaintext, fresh.pair().initiator_send.get()), &opened, created),
              VELSECURE_AUTHENTICATION_FAILED);
    EXPECT_EQ(fresh.pair().responder_receive->failed, 1u);
  }
}

TEST_F(Records, ReplayedReorderedAndCutRecordsFail) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, size_t>> stream;  // record index and bytes of it
    int opened_before_failure;
  };
  const Case cases[] = {
      {"replayed", {{0, 99}, {0, 99}}, 1},
      {"reordered", {{1, 99}, {0, 99}}, 0},
      {"skipped", {{0, 99}, {2, 99}}, 1},
      {"cut then continued", {{0, 10}, {1, 99}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Established fresh;
    VelSecureRecordReader_s* created = nullptr;
    ASSERT_EQ(
        velsecure_record_reader_create(fresh.pair().responder_receive.get(), &created, nullptr),
        VELSECURE_OK);
    Reader reader(created);
    std::vector<Bytes> records;
    for (uint8_t i = 0; i < 3; ++i) {
      records.push_back(seal(pattern(30 + i, i), fresh.pair().initiator_send.get()));
    }
    Bytes stream;
    for (const auto& [index, count] : c.stream) {
      const Bytes& r = records[index];
      stream.insert(stream.end(), r.begin(), r.begin() + std::min(count, r.size()));
    }
    stream.insert(stream.end(), 64, 0);  // enough bytes to complete any cut record
    uint32_t code = VELSECURE_OK;
    size_t offset = 0;
    int opened_records = 0;
    while (code == VELSECURE_OK && offset < stream.size()) {
      size_t consumed = 0;
      code = velsecure_record_reader_input(created, stream.data() + offset, stream.size() - offset,
                                           &consumed, nullptr);
      offset += consumed;
      if (code == VELSECURE_OK && velsecure_record_reader_ready(created)) {
        Bytes out(100, 0xEE);
        size_t length = 0;
        code = velsecure_record_reader_decrypt(created, out.data(), out.size(), &length, nullptr);
        if (code == VELSECURE_OK) {
          ++opened_records;
        } else {
          expect_nothing_released(out);
        }
      }
    }
    EXPECT_EQ(code, VELSECURE_AUTHENTICATION_FAILED);
    EXPECT_EQ(opened_records, c.opened_before_failure);
  }
}

TEST_F(Records, BothEndsRekeyBeforeThe4097thRecord) {
  for (int i = 1; i <= 4100; ++i) {
    const Bytes plaintext = pattern(5, static_cast<uint8_t>(i));
    Bytes opened;
    ASSERT_EQ(open(seal(plaintext), &opened), VELSECURE_OK) << i;
    ASSERT_EQ(opened, plaintext);
    if (i == 4096) {
      EXPECT_EQ(pair().initiator_send->records_since_rekey, 4096u);
    }
    if (i == 4097) {
      EXPECT_EQ(pair().initiator_send->records_since_rekey, 1u);
      EXPECT_EQ(pair().responder_receive->records_since_rekey, 1u);
    }
  }
  EXPECT_EQ(pair().initiator_send->records_total, 4100u);
  EXPECT_EQ(pair().responder_receive->bytes_total, 4100u * 5);
}

// The byte threshold, with both ends' counters moved to just below it.
TEST_F(Records, ByteScheduleRekeysBeforeARecordThatWouldPassIt) {
  struct Case {
    uint64_t before;
    size_t length;
    bool rekeys;
  };
  const uint64_t limit = kVelSecureBytesPerKey;
  for (const Case& c : {Case{limit - 100, 100, false}, Case{limit - 100, 101, true},
                        Case{limit, 0, true}, Case{limit - 1, 0, false}}) {
    SCOPED_TRACE(c.length);
    Established fresh;
    VelSecureRecordReader_s* created = nullptr;
    ASSERT_EQ(
        velsecure_record_reader_create(fresh.pair().responder_receive.get(), &created, nullptr),
        VELSECURE_OK);
    Reader reader(created);
    fresh.pair().initiator_send->bytes_since_rekey = c.before;
    fresh.pair().responder_receive->bytes_since_rekey = c.before;
    Bytes opened;
    ASSERT_EQ(open(seal(pattern(c.length), fresh.pair().initiator_send.get()), &opened, created),
              VELSECURE_OK);
    EXPECT_EQ(fresh.pair().initiator_send->bytes_since_rekey,
              c.rekeys ? c.length : c.before + c.length);
    EXPECT_EQ(fresh.pair().responder_receive->bytes_since_rekey,
              fresh.pair().initiator_send->bytes_since_rekey);
  }
}

// A rekey on one side only: the other can no longer open its records.
TEST_F(Records, RekeyChangesTheKeyButNotTheNonce) {
  ASSERT_EQ(velsecure_transport_rekey(pair().initiator_send.get(), nullptr), VELSECURE_OK);
  Bytes opened;
  EXPECT_EQ(open(seal(pattern(8)), &opened), VELSECURE_AUTHENTICATION_FAILED);

  Established other;
  ASSERT_EQ(velsecure_transport_rekey(other.pair().initiator_send.get(), nullptr), VELSECURE_OK);
  ASSERT_EQ(velsecure_transport_rekey(other.pair().responder_receive.get(), nullptr), VELSECURE_OK);
  VelSecureRecordReader_s* created = nullptr;
  ASSERT_EQ(velsecure_record_reader_create(other.pair().responder_receive.get(), &created, nullptr),
            VELSECURE_OK);
  Reader reader(created);
  ASSERT_EQ(open(seal(pattern(8), other.pair().initiator_send.get()), &opened, created),
            VELSECURE_OK);
  EXPECT_EQ(opened, pattern(8));
}

TEST_F(Records, SequenceLimitsExhaustTheDirection) {
  struct Case {
    const char* name;
    uint64_t records_total, bytes_total;
    size_t length;
  };
  for (const Case& c : {Case{"records", kVelSecureRecordsTotalMax - 1, 0, 10},
                        Case{"bytes", 100, kVelSecureBytesTotalMax - 10, 10}}) {
    SCOPED_TRACE(c.name);
    Established fresh;
    VelSecureRecordReader_s* created = nullptr;
    ASSERT_EQ(
        velsecure_record_reader_create(fresh.pair().responder_receive.get(), &created, nullptr),
        VELSECURE_OK);
    Reader reader(created);
    for (VelSecureTransport_s* t :
         {fresh.pair().initiator_send.get(), fresh.pair().responder_receive.get()}) {
      t->records_total = c.records_total;
      t->bytes_total = c.bytes_total;
    }
    Bytes opened;
    ASSERT_EQ(open(seal(pattern(c.length), fresh.pair().initiator_send.get()), &opened, created),
              VELSECURE_OK);
    Bytes record(100);
    size_t length = 0;
    StatusRecord status{};
    EXPECT_EQ(velsecure_record_encrypt(fresh.pair().initiator_send.get(), record.data(), 1,
                                       record.data() + 10, 50, &length, &status),
              VELSECURE_SEQUENCE_EXHAUSTED);
    EXPECT_EQ(status.operation, VELSECURE_OP_RECORD_ENCRYPT);
    EXPECT_EQ(fresh.pair().initiator_send->failed, 1u);
    EXPECT_EQ(velsecure_record_encrypt(fresh.pair().initiator_send.get(), record.data(), 1,
                                       record.data() + 10, 50, &length, &status),
              VELSECURE_INVALID_STATE);
    // The receiving end refuses the same way before opening anything.
    fresh.pair().responder_receive->records_total = kVelSecureRecordsTotalMax;
    const uint8_t fake[] = {0x00, 0x11, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    EXPECT_EQ(open(Bytes(std::begin(fake), std::end(fake)), &opened, created, &status),
              VELSECURE_SEQUENCE_EXHAUSTED);
    EXPECT_EQ(status.operation, VELSECURE_OP_RECORD_READER);
  }
}

TEST_F(Records, TransportDecryptReleasesNothingThatFailsItsTag) {
  Bytes record = seal(pattern(32));
  record[10] ^= 0x04;
  Bytes output(48, 0xEE);
  size_t length = 99;
  StatusRecord status{};
  EXPECT_EQ(velsecure_transport_decrypt(pair().responder_receive.get(), record.data(), 2,
                                        record.data() + 2, record.size() - 2, output.data(),
                                        output.size(), &length, &status),
            VELSECURE_AUTHENTICATION_FAILED);
  EXPECT_EQ(status.operation, VELSECURE_OP_TRANSPORT_DECRYPT);
  EXPECT_EQ(length, 0u);
  expect_nothing_released(output);
  EXPECT_EQ(pair().responder_receive->failed, 1u);
  // A failed transport refuses further use.
  EXPECT_EQ(velsecure_transport_decrypt(pair().responder_receive.get(), record.data(), 2,
                                        record.data() + 2, record.size() - 2, output.data(),
                                        output.size(), &length, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(velsecure_transport_rekey(pair().responder_receive.get(), nullptr),
            VELSECURE_INVALID_ARGUMENT);
}

TEST_F(Records, TransportArgumentChecks) {
  VelSecureTransport_s* send = pair().initiator_send.get();
  Bytes out(100);
  size_t length = 0;
  StatusRecord status{};
  const uint8_t text[4] = {};
  EXPECT_EQ(
      velsecure_transport_encrypt(send, nullptr, 2, text, 4, out.data(), 100, &length, &status),
      VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(status.operation, VELSECURE_OP_TRANSPORT_ENCRYPT);
  EXPECT_EQ(
      velsecure_transport_encrypt(send, nullptr, 0, text, 4, out.data(), 19, &length, &status),
      VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(velsecure_transport_decrypt(pair().responder_receive.get(), nullptr, 0, out.data(), 15,
                                        out.data(), 100, &length, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(status.operation, VELSECURE_OP_TRANSPORT_DECRYPT);
  EXPECT_EQ(velsecure_transport_decrypt(pair().responder_receive.get(), nullptr, 0, out.data(), 40,
                                        out.data(), 23, &length, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(velsecure_transport_rekey(nullptr, &status), VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(status.operation, VELSECURE_OP_TRANSPORT_REKEY);
  VelSecureRecordReader_s* held = reader_.get();
  EXPECT_EQ(velsecure_record_reader_create(pair().responder_receive.get(), &held, &status),
            VELSECURE_INVALID_ARGUMENT);
  EXPECT_EQ(status.operation, VELSECURE_OP_RECORD_READER);
}

}  // namespace
