#pragma once

// Where the reminder client keeps its state document. Every failure is ReminderFailure
// `storage`.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velmorine::reminders {

class ReminderStorage {
 public:
  virtual ~ReminderStorage() = default;
  // The stored document, or none when nothing is stored yet.
  virtual std::optional<std::vector<uint8_t>> load() = 0;
  // Stores the document, replacing any earlier one.
  virtual void save(std::span<const uint8_t> bytes) = 0;
  // Keeps a document that no longer decodes where nothing overwrites it, so the client can
  // start afresh without losing it.
  virtual void setAside(std::span<const uint8_t> bytes) = 0;
};

}  // namespace velmorine::reminders
