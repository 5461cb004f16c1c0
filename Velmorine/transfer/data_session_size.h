#pragma once

// How many bytes a batch takes on its data session. A secure channel carries at most 2^40 bytes
// of plaintext in one direction, while a batch may hold 2^46: a batch whose frames would not fit
// is refused before it is offered, and an offer of one is never accepted.

#include <cstdint>
#include <vector>

#include "Velmorine/transfer/content_entry.h"

namespace velmorine::transfer {

// The plaintext one direction of a channel carries at most.
inline constexpr std::uint64_t kMaxDataSessionBytes = std::uint64_t{1} << 40;

// An upper bound of the sender's plaintext on the data session for these entries: every file's
// FILE_BEGIN, chunks and FILE_END at their largest headers, with the session's HELLO, DATA_HELLO
// and TRANSFER_COMPLETE. Saturates rather than wraps.
std::uint64_t dataSessionBytes(const std::vector<ContentEntry>& entries);

// Throws ContentFailure sizeLimit when the entries would not fit on one data session.
void checkDataSessionSize(const std::vector<ContentEntry>& entries);

}  // namespace velmorine::transfer
