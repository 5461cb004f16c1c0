#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmorine::store::history {

// Largest text or byte value the history stores or reads (32 MiB).
inline constexpr size_t kMaximumValueBytes = 33554432;

// The prepared statements of one connection, kept by their text for the life of the
// connection. The runtime runs a few small queries for every snapshot and message, and
// preparing them anew each time (parsing, planning) cost more than running them. A text in use
// is prepared once more, so nested uses of one text each get their own statement. Destroy the
// cache before closing its connection.
class StatementCache {
 public:
  explicit StatementCache(sqlite3* database) : database_(database) {}
  ~StatementCache();
  StatementCache(const StatementCache&) = delete;
  StatementCache& operator=(const StatementCache&) = delete;

  // A statement of `sql` that no one uses. Throws as HistoryStatement's constructor does.
  sqlite3_stmt* take(std::string_view sql);
  // Takes back a statement from `take`, reset and without bindings; keeps at most kKept.
  void give(std::string_view sql, sqlite3_stmt* statement);

  static constexpr size_t kKept = 64;

 private:
  sqlite3* database_;
  std::unordered_multimap<std::string, sqlite3_stmt*> idle_;
};

// One prepared statement in use: finalized when it goes out of scope, or reset and handed back
// to the cache it came from. Every failure throws ConversationHistoryFailure.
class HistoryStatement {
 public:
  // Throws storage with the prepare result, or storage(0) when the text holds no statement.
  HistoryStatement(sqlite3* database, std::string_view sql);
  HistoryStatement(StatementCache& cache, std::string_view sql);
  ~HistoryStatement();
  HistoryStatement(const HistoryStatement&) = delete;
  HistoryStatement& operator=(const HistoryStatement&) = delete;

  void bindText(int position, std::string_view text);
  // 1 to kMaximumValueBytes bytes, else invalidRecord before SQLite is called.
  void bindBlob(int position, std::span<const uint8_t> bytes);
  void bindInt(int position, int32_t value);
  void bindInt64(int position, int64_t value);
  void bindDouble(int position, double value);

  // True for a row, false when done; any other step result throws storage.
  bool step();
  // Steps a statement that gives no rows worth reading.
  void run() { step(); }

  bool columnIsNull(int column) const;
  // NULL throws invalidRecord.
  std::string columnText(int column) const;
  // NULL, empty or longer than kMaximumValueBytes throws invalidRecord.
  std::vector<uint8_t> columnBytes(int column) const;
  // For rows that may be skipped: NULL gives nothing rather than invalidRecord. Only running
  // out of memory throws (storage).
  std::optional<std::string> columnTextIfPresent(int column) const;
  // Nothing for NULL, empty or longer than kMaximumValueBytes; nothing is copied then.
  std::optional<std::vector<uint8_t>> columnBytesIfValid(int column) const;
  int64_t columnInt64(int column) const;
  double columnDouble(int column) const;

 private:
  sqlite3_stmt* statement_ = nullptr;
  StatementCache* cache_ = nullptr;
  std::string sql_;  // the text the cache keeps it by
};

}  // namespace velmorine::store::history
