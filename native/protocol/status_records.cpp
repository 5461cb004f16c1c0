#include "native/protocol/status_records.h"

#include <initializer_list>

namespace velmorine::core {
namespace {

bool one_of(TransferStatus status, std::initializer_list<TransferStatus> allowed) {
  for (TransferStatus candidate : allowed) {
    if (candidate == status) return true;
  }
  return false;
}

bool transfer_change_allowed(TransferStatus from, TransferStatus to) {
  using enum TransferStatus;
  switch (from) {
    case offered:
      return one_of(to, {accepted, failed, cancelled});
    case accepted:
      return one_of(to, {connecting, declined, failed, cancelled});
    case connecting:
      return one_of(to, {transferring, failed, cancelled});
    case transferring:
      return one_of(to, {completed, failed, cancelled});
    case queued:
      return one_of(to, {offered, failed, waiting});
    case waiting:
      return one_of(to, {failed, queued});
    case completed:
    case declined:
    case failed:
    case cancelled:
      return false;
  }
  return false;
}

}  // namespace

bool Message::transition_to(MessageStatus next) {
  if (next != status_ && status_ != MessageStatus::sending) return false;
  if (next == MessageStatus::received) return next == status_;
  status_ = next;
  return true;
}

bool Transfer::transition_to(TransferStatus next) {
  if (next != status_ && !transfer_change_allowed(status_, next)) return false;
  status_ = next;
  return true;
}

bool Transfer::record_progress(uint64_t bytes) {
  if (status_ != TransferStatus::transferring || bytes < progress_bytes_ || bytes > total_bytes_) {
    return false;
  }
  progress_bytes_ = bytes;
  return true;
}

}  // namespace velmorine::core
