#pragma once

// Why an operation of the reminder client failed. Errors of the HTTP transport and of JSON
// reach callers unchanged, not as one of these.

#include <cstdint>
#include <exception>
#include <string_view>

namespace velmorine::reminders {

class ReminderFailure : public std::exception {
 public:
  enum class Case {
    rejected,     // the service answered outside 200 to 299; status() holds the answer
    unavailable,  // no service configured, or not possible now (busy, off, stale, no grant)
    invalid,      // an answer, a grant or a key of the wrong form
    storage,      // the client's state could not be read or written
  };

  static ReminderFailure rejected(int32_t status) {
    return ReminderFailure(Case::rejected, status);
  }
  static ReminderFailure unavailable() { return ReminderFailure(Case::unavailable, 0); }
  static ReminderFailure invalid() { return ReminderFailure(Case::invalid, 0); }
  static ReminderFailure storage() { return ReminderFailure(Case::storage, 0); }

  Case failure() const { return case_; }
  // The HTTP status of a rejected request, 0 for every other case.
  int32_t status() const { return status_; }
  const char* what() const noexcept override;

  friend bool operator==(const ReminderFailure& a, const ReminderFailure& b) {
    return a.case_ == b.case_ && a.status_ == b.status_;
  }

 private:
  ReminderFailure(Case failure, int32_t status) : case_(failure), status_(status) {}

  Case case_;
  int32_t status_;
};

std::string_view caseName(ReminderFailure::Case failure);

}  // namespace velmorine::reminders
