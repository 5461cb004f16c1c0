#pragma once

// Small status-holding records of the native core, each guarding its allowed status changes.

#include <cstdint>

namespace velmorine::core {

enum class MessageStatus : int32_t {
  received = 0,
  sending = 1,
  acknowledged = 2,
  failed = 3,
  cancelled = 4,
  expired = 5,
};

class Message {
 public:
  explicit Message(MessageStatus status) : status_(status) {}

  MessageStatus status() const { return status_; }
  // The same status, or from sending to any later one; false (unchanged) otherwise.
  bool transition_to(MessageStatus next);

 private:
  MessageStatus status_;
};

enum class TransferStatus : int32_t {
  offered = 0,
  accepted = 1,
  connecting = 2,
  transferring = 3,
  completed = 4,
  declined = 5,
  failed = 6,
  cancelled = 7,
  queued = 8,
  waiting = 9,
};

class Transfer {
 public:
  Transfer(TransferStatus status, uint64_t total_bytes)
      : status_(status), total_bytes_(total_bytes) {}

  TransferStatus status() const { return status_; }
  uint64_t total_bytes() const { return total_bytes_; }
  uint64_t progress_bytes() const { return progress_bytes_; }

  bool transition_to(TransferStatus next);
  // Only while transferring, never backwards and never past the total.
  bool record_progress(uint64_t bytes);

 private:
  TransferStatus status_;
  uint64_t total_bytes_;
  uint64_t progress_bytes_ = 0;
};

}  // namespace velmorine::core
