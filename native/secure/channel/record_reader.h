// Gathering incoming bytes into whole records and opening them, one at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "native/secure/channel/record.h"

struct VelSecureRecordReader_s {
  VelSecureTransport_s* receive;  // not owned; must outlive the reader
  uint8_t length_field[kVelSecureRecordHeaderLength];
  size_t length_filled;
  uint8_t body[kVelSecureRecordBodyMax];
  size_t body_filled;
  size_t expected;  // L, once the length field is complete
  uint32_t record_waiting;
  uint32_t finished;
  uint32_t failed;
  StatusRecord failure;
};

// A reader over receive; invalid_argument (operation 13) for a missing transport
// or a handle that already holds a reader.
uint32_t velsecure_record_reader_create(VelSecureTransport_s* receive,
                                        VelSecureRecordReader_s** reader, StatusRecord* status);

// Takes bytes up to the end of one record and no further; consumed says how
// many. A reader with a record waiting takes nothing until it is opened.
uint32_t velsecure_record_reader_input(VelSecureRecordReader_s* reader, const uint8_t* data,
                                       size_t length, size_t* consumed, StatusRecord* status);

// True when a whole record waits and the reader has not failed.
bool velsecure_record_reader_ready(const VelSecureRecordReader_s* reader);

// Opens the waiting record into output; out_length = L - 16. A capacity that is
// too small leaves the record waiting.
uint32_t velsecure_record_reader_decrypt(VelSecureRecordReader_s* reader, uint8_t* output,
                                         size_t capacity, size_t* out_length, StatusRecord* status);

// The end of the incoming stream: truncated when it ends inside a record.
uint32_t velsecure_record_reader_finish(VelSecureRecordReader_s* reader, StatusRecord* status);

// Wipes the reader through its transport's context and frees it.
void velsecure_record_reader_destroy(VelSecureRecordReader_s* reader);
