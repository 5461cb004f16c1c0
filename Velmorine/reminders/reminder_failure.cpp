#include "Velmorine/reminders/reminder_failure.h"

namespace velmorine::reminders {

std::string_view caseName(ReminderFailure::Case failure) {
  switch (failure) {
    case ReminderFailure::Case::rejected:
      return "rejected";
    case ReminderFailure::Case::unavailable:
      return "unavailable";
    case ReminderFailure::Case::invalid:
      return "invalid";
    case ReminderFailure::Case::storage:
      return "storage";
  }
  return "unknown";
}

const char* ReminderFailure::what() const noexcept { return caseName(case_).data(); }

}  // namespace velmorine::reminders
