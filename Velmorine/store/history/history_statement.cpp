#include "Velmorine/store/history/history_statement.h"

#include "Velmorine/store/history/conversation_history_failure.h"

namespace velmorine::store::history {

namespace {

sqlite3_stmt* prepare(sqlite3* database, std::string_view sql, unsigned int flags) {
  sqlite3_stmt* statement = nullptr;
  int result = sqlite3_prepare_v3(database, sql.data(), static_cast<int>(sql.size()), flags,
                                  &statement, nullptr);
  if (result != SQLITE_OK) {
    sqlite3_finalize(statement);
    throw ConversationHistoryFailure::storage(result);
  }
  if (statement == nullptr) throw ConversationHistoryFailure::storage(SQLITE_OK);
  return statement;
}

}  // namespace

StatementCache::~StatementCache() {
  for (const auto& [sql, statement] : idle_) sqlite3_finalize(statement);
}

sqlite3_stmt* StatementCache::take(std::string_view sql) {
  const auto found = idle_.find(std::string(sql));
  if (found == idle_.end()) return prepare(database_, sql, SQLITE_PREPARE_PERSISTENT);
  sqlite3_stmt* statement = found->second;
  idle_.erase(found);
  return statement;
}

void StatementCache::give(std::string_view sql, sqlite3_stmt* statement) {
  // A reset reports the last step's failure again; that failure was thrown already.
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  if (idle_.size() >= kKept) {
    sqlite3_finalize(statement);
    return;
  }
  try {
    idle_.emplace(std::string(sql), statement);
  } catch (...) {
    sqlite3_finalize(statement);
  }
}

HistoryStatement::HistoryStatement(sqlite3* database, std::string_view sql)
    : statement_(prepare(database, sql, 0)) {}

HistoryStatement::HistoryStatement(StatementCache& cache, std::string_view sql)
    : statement_(cache.take(sql)), cache_(&cache), sql_(sql) {}

HistoryStatement::~HistoryStatement() {
  if (cache_) {
    cache_->give(sql_, statement_);
  } else {
    sqlite3_finalize(statement_);
  }
}

static void checkBind(int result) {
  if (result != SQLITE_OK) throw ConversationHistoryFailure::storage(result);
}

void HistoryStatement::bindText(int position, std::string_view text) {
  // An explicit length keeps text with an embedded NUL whole.
  checkBind(sqlite3_bind_text64(statement_, position, text.data(), text.size(), SQLITE_TRANSIENT,
                                SQLITE_UTF8));
}

void HistoryStatement::bindBlob(int position, std::span<const uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > kMaximumValueBytes) {
    throw ConversationHistoryFailure::invalidRecord();
  }
  checkBind(
      sqlite3_bind_blob64(statement_, position, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
}

void HistoryStatement::bindInt(int position, int32_t value) {
  checkBind(sqlite3_bind_int(statement_, position, value));
}

void HistoryStatement::bindInt64(int position, int64_t value) {
  checkBind(sqlite3_bind_int64(statement_, position, value));
}

void HistoryStatement::bindDouble(int position, double value) {
  checkBind(sqlite3_bind_double(statement_, position, value));
}

bool HistoryStatement::step() {
  int result = sqlite3_step(statement_);
  if (result == SQLITE_ROW) return true;
  if (result == SQLITE_DONE) return false;
  throw ConversationHistoryFailure::storage(result);
}

bool HistoryStatement::columnIsNull(int column) const {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::string HistoryStatement::columnText(int column) const {
  if (columnIsNull(column)) throw ConversationHistoryFailure::invalidRecord();
  const unsigned char* text = sqlite3_column_text(statement_, column);
  if (text == nullptr) throw ConversationHistoryFailure::invalidRecord();  // out of memory
  int length = sqlite3_column_bytes(statement_, column);
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
}

std::vector<uint8_t> HistoryStatement::columnBytes(int column) const {
  if (columnIsNull(column)) throw ConversationHistoryFailure::invalidRecord();
  const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement_, column));
  int length = sqlite3_column_bytes(statement_, column);
  if (bytes == nullptr || length <= 0 || static_cast<size_t>(length) > kMaximumValueBytes) {
    throw ConversationHistoryFailure::invalidRecord();
  }
  return std::vector<uint8_t>(bytes, bytes + length);
}

std::optional<std::string> HistoryStatement::columnTextIfPresent(int column) const {
  if (columnIsNull(column)) return std::nullopt;
  const unsigned char* text = sqlite3_column_text(statement_, column);
  if (text == nullptr) throw ConversationHistoryFailure::storage(SQLITE_NOMEM);
  int length = sqlite3_column_bytes(statement_, column);
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
}

std::optional<std::vector<uint8_t>> HistoryStatement::columnBytesIfValid(int column) const {
  if (columnIsNull(column)) return std::nullopt;
  const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement_, column));
  int length = sqlite3_column_bytes(statement_, column);
  if (length <= 0 || static_cast<size_t>(length) > kMaximumValueBytes) return std::nullopt;
  if (bytes == nullptr) throw ConversationHistoryFailure::storage(SQLITE_NOMEM);
  return std::vector<uint8_t>(bytes, bytes + length);
}

int64_t HistoryStatement::columnInt64(int column) const {
  return sqlite3_column_int64(statement_, column);
}

double HistoryStatement::columnDouble(int column) const {
  return sqlite3_column_double(statement_, column);
}

}  // namespace velmorine::store::history
