#include "Velmorine/store/history/conversation_history_record.h"

namespace velmorine::store {

std::string ConversationHistoryRecord::key() const { return kind + ":" + peer + ":" + id; }

}  // namespace velmorine::store
