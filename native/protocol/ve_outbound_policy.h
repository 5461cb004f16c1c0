#pragma once

// The one place that says whether something may be sent: chat text, and the entry counts of
// a file or folder transfer. Static methods only; no state.

#include <cstdint>
#include <string_view>

namespace velmorine {

class VEOutboundPolicy {
 public:
  VEOutboundPolicy() = delete;

  // Verdicts of `validateText`.
  static constexpr int64_t kTextAcceptable = 0;
  static constexpr int64_t kTextInvalid = 1;  // malformed UTF-8, empty, or only whitespace
  static constexpr int64_t kTextTooLong = 2;  // over 32768 UTF-8 bytes or 4095 UTF-16 units

  static constexpr size_t kMaxTextUtf16Units = 4095;
  static constexpr uint64_t kMaxEntries = 4096;
  static constexpr uint64_t kMaxTopLevelItems = 1024;

  static int64_t validateText(std::string_view text);

  // 1 to 4096 entries, 1 to 1024 of them top-level items.
  static bool allowsEntryCount(uint64_t entries, uint64_t topLevel);
};

}  // namespace velmorine
