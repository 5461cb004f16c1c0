#include "Velmorine/reminders/reminder_client.h"

namespace velmorine::reminders {

bool isReminderKind(std::string_view kind) {
  return kind == kReminderKindMessage || kind == kReminderKindFile;
}

}  // namespace velmorine::reminders
