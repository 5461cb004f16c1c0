#pragma once

#include <cstdint>
#include <exception>

namespace velmorine::store {

// What went wrong in the conversation history. File-system failures while opening are
// not among them: they reach the caller as std::filesystem::filesystem_error with errno.
class ConversationHistoryFailure : public std::exception {
 public:
  enum class Kind {
    storage,             // a SQLite call failed; storageCode() holds its result code
    invalidRecord,       // an argument or a stored value breaks the value rules
    incompatibleSchema,  // the file is not a history database this version can use
    conflictingReceipt,  // a receipt or queued record contradicts what is stored
    staleCallback,       // the caller acted on an outdated epoch or outbox state
  };

  static ConversationHistoryFailure storage(int32_t code) { return {Kind::storage, code}; }
  static ConversationHistoryFailure invalidRecord() { return {Kind::invalidRecord, 0}; }
  static ConversationHistoryFailure incompatibleSchema() { return {Kind::incompatibleSchema, 0}; }
  static ConversationHistoryFailure conflictingReceipt() { return {Kind::conflictingReceipt, 0}; }
  static ConversationHistoryFailure staleCallback() { return {Kind::staleCallback, 0}; }

  Kind kind() const noexcept { return kind_; }
  // The SQLite result code of a storage failure, 0 for every other kind.
  int32_t storageCode() const noexcept { return storageCode_; }
  const char* what() const noexcept override;

  friend bool operator==(const ConversationHistoryFailure& a, const ConversationHistoryFailure& b) {
    return a.kind_ == b.kind_ && a.storageCode_ == b.storageCode_;
  }

 private:
  ConversationHistoryFailure(Kind kind, int32_t code) : kind_(kind), storageCode_(code) {}

  Kind kind_;
  int32_t storageCode_;
};

}  // namespace velmorine::store
