#include "Velmorine/store/history/conversation_outbox.h"

namespace velmorine::store {

std::optional<ConversationOutboxState> conversationOutboxStateFromRaw(int64_t raw) {
  if (raw < 0 || raw > 5) return std::nullopt;
  return static_cast<ConversationOutboxState>(raw);
}

bool isOutboxMoveAllowed(ConversationOutboxState from, ConversationOutboxState to,
                         int64_t attempts) {
  using enum ConversationOutboxState;
  if (!isPending(from)) return false;
  switch (to) {
    case waiting:
      return from == attention;
    case sending:
      return from == waiting || from == uncertain;
    case uncertain:
    case attention:
    case cancelled:
      return true;
    case delivered:
      // Delivered without ever being sent would be an acknowledgement of nothing.
      return attempts > 0;
  }
  return false;
}

}  // namespace velmorine::store
