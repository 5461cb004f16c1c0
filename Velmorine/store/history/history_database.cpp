#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "Velmorine/store/history/conversation_history.h"
#include "Velmorine/store/history/history_statement.h"
#include "native/protocol/json_text.h"

namespace velmorine::store {

using history::HistoryStatement;

namespace {

constexpr const char* kVersionOneSchema[] = {
    "CREATE TABLE records(seq INTEGER PRIMARY KEY AUTOINCREMENT,kind TEXT NOT NULL,peer TEXT NOT "
    "NULL,id TEXT NOT NULL,payload BLOB NOT NULL,unsettled INTEGER NOT NULL,receipt "
    "BLOB,UNIQUE(kind,peer,id))",
    "CREATE INDEX peer_order ON records(peer,seq)",
    "CREATE INDEX unfinished ON records(unsettled,seq)",
    "CREATE TABLE metadata(name TEXT PRIMARY KEY,payload BLOB NOT NULL)",
    "CREATE TABLE epochs(peer TEXT PRIMARY KEY,generation INTEGER NOT NULL)",
    "PRAGMA user_version=1",
};

constexpr const char* kAddedTables[] = {
    "CREATE TABLE IF NOT EXISTS message_outbox(seq INTEGER PRIMARY KEY,recipient_key BLOB NOT "
    "NULL,epoch INTEGER NOT NULL,state INTEGER NOT NULL DEFAULT 0,attempts INTEGER NOT NULL "
    "DEFAULT 0,retry_after REAL NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS attachment_sources(seq INTEGER PRIMARY KEY,payload BLOB NOT NULL)",
    "CREATE TABLE IF NOT EXISTS message_receipts(peer TEXT NOT NULL,id TEXT NOT NULL,digest BLOB "
    "NOT NULL,sender_key BLOB,seq INTEGER NOT NULL,PRIMARY KEY(peer,id))",
    // Delivered and cancelled rows stay for good; the pending ones are read on every snapshot
    // and pump, so they get an index of their own that the finished rows never enter.
    "CREATE INDEX IF NOT EXISTS outbox_pending ON message_outbox(seq) WHERE state<4",
};

[[noreturn]] void throwFileError(const char* what, const std::filesystem::path& path) {
  throw std::filesystem::filesystem_error(what, path,
                                          std::error_code(errno, std::generic_category()));
}

// Creates the folder and its missing ancestors, private to the user; existing ones stay.
void createFolder(const std::filesystem::path& folder) {
  if (folder.empty()) return;
  std::filesystem::path partial;
  for (const auto& component : folder) {
    partial /= component;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      throwFileError("cannot create the history folder", partial);
    }
  }
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0)
    throwFileError("cannot reach the history folder", folder);
  if (!S_ISDIR(status.st_mode)) {
    errno = ENOTDIR;
    throwFileError("cannot create the history folder", folder);
  }
}

}  // namespace

void ConversationHistory::Closer::operator()(sqlite3* handle) const { sqlite3_close(handle); }

ConversationHistory::ConversationHistory(const std::filesystem::path& file) {
  std::filesystem::path folder = file.parent_path();
  createFolder(folder);
  // Symbolic links are refused for the file itself; the folder may be reached through
  // links, so it is resolved first and SQLite's no-follow check then sees only the file.
  std::error_code error;
  std::filesystem::path resolved = (folder.empty() ? std::filesystem::current_path(error)
                                                   : std::filesystem::canonical(folder, error)) /
                                   file.filename();
  if (error) {
    throw std::filesystem::filesystem_error("cannot resolve the history folder", folder, error);
  }

  sqlite3* handle = nullptr;
  int result = sqlite3_open_v2(
      resolved.c_str(), &handle,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW,
      nullptr);
  if (result != SQLITE_OK) {
    if (handle != nullptr) sqlite3_close(handle);
    throw ConversationHistoryFailure::storage(result);
  }
  database.reset(handle);
  statements = std::make_unique<history::StatementCache>(handle);

  // No descriptor of our own is opened on the file: closing one would drop the POSIX
  // locks that SQLite holds on it for other connections of this process.
  if (::fchmodat(AT_FDCWD, resolved.c_str(), 0600, AT_SYMLINK_NOFOLLOW) != 0) {
    throwFileError("cannot set the history file's permissions", resolved);
  }
  execute("PRAGMA synchronous=FULL");
  execute("PRAGMA busy_timeout=3000");
  createOrCheckSchema();
}

ConversationHistory::~ConversationHistory() = default;

void ConversationHistory::createOrCheckSchema() {
  std::optional<int64_t> version = queryInteger("PRAGMA user_version", {});
  if (!version || *version == 0) {
    std::optional<int64_t> objects =
        queryInteger("SELECT count(*) FROM sqlite_master WHERE name NOT LIKE 'sqlite_%'", {});
    // A file with objects but no version belongs to someone else: leave it untouched.
    if (!objects || *objects != 0) throw ConversationHistoryFailure::incompatibleSchema();
    inImmediateTransaction([&] {
      for (const char* statement : kVersionOneSchema) execute(statement);
    });
  } else if (*version != 1) {
    throw ConversationHistoryFailure::incompatibleSchema();
  }
  inImmediateTransaction([&] {
    for (const char* statement : kAddedTables) execute(statement);
  });
}

void ConversationHistory::execute(std::string_view sql) {
  HistoryStatement statement(*statements, sql);
  statement.step();
}

std::optional<int64_t> ConversationHistory::queryInteger(
    std::string_view sql, const std::vector<std::string>& arguments) {
  HistoryStatement statement(*statements, sql);
  for (size_t index = 0; index < arguments.size(); ++index) {
    statement.bindText(static_cast<int>(index + 1), arguments[index]);
  }
  if (!statement.step()) return std::nullopt;
  return statement.columnInt64(0);
}

void ConversationHistory::rollbackQuietly() {
  // SQLite may already have rolled back by itself (after a busy or full disk); the
  // rollback's own failure never hides the first one.
  sqlite3_exec(database.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

bool ConversationHistory::isCanonicalIdentifier(std::string_view text) {
  return protocol::parse_canonical_uuid(text).has_value();
}

void ConversationHistory::validateRecord(const ConversationHistoryRecord& record) {
  bool knownKind = record.kind == "message" || record.kind == "transfer";
  if (!knownKind || !isCanonicalIdentifier(record.peer) || !isCanonicalIdentifier(record.id) ||
      record.payload.empty() || record.payload.size() > history::kMaximumValueBytes) {
    throw ConversationHistoryFailure::invalidRecord();
  }
}

}  // namespace velmorine::store
