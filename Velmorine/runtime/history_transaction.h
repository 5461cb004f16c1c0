#pragma once

// The runtime's writes that span several statements run between "BEGIN IMMEDIATE" and
// "COMMIT"; a failure rolls back (its own error ignored) and the first failure is thrown.

#include <type_traits>
#include <utility>

#include "Velmorine/store/history/conversation_history.h"

namespace velmorine::runtime {

template <typename Work>
auto inImmediateTransaction(store::ConversationHistory& history, Work&& work)
    -> std::invoke_result_t<Work&> {
  history.execute("BEGIN IMMEDIATE");
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
      work();
      history.execute("COMMIT");
    } else {
      auto result = work();
      history.execute("COMMIT");
      return result;
    }
  } catch (...) {
    try {
      history.execute("ROLLBACK");
    } catch (...) {
    }
    throw;
  }
}

}  // namespace velmorine::runtime
