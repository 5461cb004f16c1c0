#include "native/secure/channel/record_reader.h"

#include <algorithm>
#include <cstring>

namespace {

uint32_t succeed(StatusRecord* status) {
  velsecure_error_reset(status);
  return VELSECURE_OK;
}

uint32_t repeat_failure(const VelSecureRecordReader_s* reader, StatusRecord* status) {
  if (status != nullptr) *status = reader->failure;
  return reader->failure.code;
}

// The length field and the body only ever hold what the peer sent openly (records are opened
// out of place), so starting a new record needs no wipe.
void clear_record(VelSecureRecordReader_s* reader) {
  reader->length_filled = 0;
  reader->body_filled = 0;
  reader->expected = 0;
  reader->record_waiting = 0;
}

uint32_t fail_reader(VelSecureRecordReader_s* reader, const StatusRecord& failure,
                     StatusRecord* status) {
  clear_record(reader);
  reader->failed = 1;
  reader->failure = failure;
  reader->failure.operation = VELSECURE_OP_RECORD_READER;
  return repeat_failure(reader, status);
}

uint32_t fail_reader(VelSecureRecordReader_s* reader, uint32_t code, size_t detail,
                     StatusRecord* status) {
  StatusRecord failure;
  velsecure_fail(&failure, code, VELSECURE_OP_RECORD_READER, static_cast<uint32_t>(detail));
  return fail_reader(reader, failure, status);
}

size_t partial_bytes(const VelSecureRecordReader_s* reader) {
  return reader->length_filled + reader->body_filled;
}

}  // namespace

uint32_t velsecure_record_reader_create(VelSecureTransport_s* receive,
                                        VelSecureRecordReader_s** reader, StatusRecord* status) {
  if (receive == nullptr || reader == nullptr || *reader != nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_RECORD_READER);
  }
  auto* created = static_cast<VelSecureRecordReader_s*>(
      velsecure_object_alloc(sizeof(VelSecureRecordReader_s)));
  if (created == nullptr) {
    return velsecure_fail(status, VELSECURE_OUT_OF_MEMORY, VELSECURE_OP_RECORD_READER);
  }
  created->receive = receive;
  *reader = created;
  return succeed(status);
}

uint32_t velsecure_record_reader_input(VelSecureRecordReader_s* reader, const uint8_t* data,
                                       size_t length, size_t* consumed, StatusRecord* status) {
  if (reader == nullptr || consumed == nullptr || (data == nullptr && length != 0)) {
    if (consumed != nullptr) *consumed = 0;
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_RECORD_READER);
  }
  *consumed = 0;
  if (reader->failed) return repeat_failure(reader, status);
  if (reader->finished) {
    return velsecure_fail(status, VELSECURE_INVALID_STATE, VELSECURE_OP_RECORD_READER);
  }
  size_t taken = 0;
  while (taken < length && !reader->record_waiting) {
    if (reader->length_filled < sizeof reader->length_field) {
      const size_t count =
          std::min(sizeof reader->length_field - reader->length_filled, length - taken);
      std::memcpy(reader->length_field + reader->length_filled, data + taken, count);
      reader->length_filled += count;
      taken += count;
      if (reader->length_filled < sizeof reader->length_field) break;
      const size_t body_length = (size_t{reader->length_field[0]} << 8) | reader->length_field[1];
      if (body_length < kVelSecureTagLength) {
        *consumed = taken;
        return fail_reader(reader, VELSECURE_PROTOCOL_ERROR, body_length, status);
      }
      if (body_length > kVelSecureRecordBodyMax) {
        *consumed = taken;
        return fail_reader(reader, VELSECURE_MESSAGE_TOO_LARGE, body_length, status);
      }
      reader->expected = body_length;
      continue;
    }
    const size_t count = std::min(reader->expected - reader->body_filled, length - taken);
    std::memcpy(reader->body + reader->body_filled, data + taken, count);
    reader->body_filled += count;
    taken += count;
    if (reader->body_filled == reader->expected) reader->record_waiting = 1;
  }
  *consumed = taken;
  return succeed(status);
}

bool velsecure_record_reader_ready(const VelSecureRecordReader_s* reader) {
  return reader != nullptr && reader->record_waiting && !reader->failed;
}

uint32_t velsecure_record_reader_decrypt(VelSecureRecordReader_s* reader, uint8_t* output,
                                         size_t capacity, size_t* out_length,
                                         StatusRecord* status) {
  if (out_length == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_RECORD_READER);
  }
  *out_length = 0;
  if (reader == nullptr || output == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_RECORD_READER);
  }
  if (reader->failed) return repeat_failure(reader, status);
  if (!reader->record_waiting) {
    return velsecure_fail(status, VELSECURE_INVALID_STATE, VELSECURE_OP_RECORD_READER);
  }
  const size_t plaintext_length = reader->expected - kVelSecureTagLength;
  if (capacity < plaintext_length) {
    return velsecure_fail(status, VELSECURE_BUFFER_TOO_SMALL, VELSECURE_OP_RECORD_READER,
                          static_cast<uint32_t>(plaintext_length));
  }
  StatusRecord failure;
  if (velsecure_transport_prepare_record(reader->receive, plaintext_length,
                                         VELSECURE_OP_RECORD_READER, &failure) != VELSECURE_OK) {
    return fail_reader(reader, failure, status);
  }
  // The body is the reader's own copy of the record, which the peer cannot change while it is
  // checked; it is opened straight into output, so no plaintext stays behind in the reader.
  size_t opened = 0;
  if (velsecure_transport_open_into(reader->receive, reader->length_field,
                                    sizeof reader->length_field, reader->body, reader->expected,
                                    output, &opened, &failure) != VELSECURE_OK) {
    explicit_bzero(output, capacity);
    return fail_reader(reader, failure, status);
  }
  velsecure_transport_count_record(reader->receive, plaintext_length);
  clear_record(reader);
  *out_length = opened;
  return succeed(status);
}

uint32_t velsecure_record_reader_finish(VelSecureRecordReader_s* reader, StatusRecord* status) {
  if (reader == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_RECORD_READER);
  }
  if (reader->failed) return repeat_failure(reader, status);
  if (partial_bytes(reader) != 0 && !reader->record_waiting) {
    return fail_reader(reader, VELSECURE_TRUNCATED, partial_bytes(reader), status);
  }
  reader->finished = 1;
  return succeed(status);
}

void velsecure_record_reader_destroy(VelSecureRecordReader_s* reader) {
  if (reader == nullptr) return;
  const VelSecureContext_s* context =
      reader->receive != nullptr ? reader->receive->context : nullptr;
  velsecure_object_free(context, reader, sizeof(VelSecureRecordReader_s));
}
