#include "Velmorine/store/history/conversation_history_failure.h"

namespace velmorine::store {

const char* ConversationHistoryFailure::what() const noexcept {
  switch (kind_) {
    case Kind::storage:
      return "conversation history: storage";
    case Kind::invalidRecord:
      return "conversation history: invalidRecord";
    case Kind::incompatibleSchema:
      return "conversation history: incompatibleSchema";
    case Kind::conflictingReceipt:
      return "conversation history: conflictingReceipt";
    case Kind::staleCallback:
      return "conversation history: staleCallback";
  }
  return "conversation history";
}

}  // namespace velmorine::store
