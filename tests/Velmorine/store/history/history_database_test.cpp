#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "tests/Velmorine/store/history/history_fixture.h"

namespace velmorine::store {
namespace {

using namespace testing;
using Failure = ConversationHistoryFailure;

std::set<std::string> schemaObjects(const std::filesystem::path& file) {
  RawDatabase raw(file);
  std::set<std::string> names;
  for (const auto& row :
       raw.rows("SELECT name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%'")) {
    names.insert(row.front());
  }
  return names;
}

mode_t fileMode(const std::filesystem::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0);
  return status.st_mode & 07777;
}

TEST(HistoryDatabase, NewFileGetsVersionOneSchemaAndTheAddedTables) {
  TemporaryFolder folder;
  { ConversationHistory history(folder.historyFile()); }
  EXPECT_EQ(schemaObjects(folder.historyFile()),
            (std::set<std::string>{"records", "peer_order", "unfinished", "metadata", "epochs",
                                   "message_outbox", "attachment_sources", "message_receipts",
                                   "outbox_pending"}));
  RawDatabase raw(folder.historyFile());
  EXPECT_EQ(raw.value("PRAGMA user_version"), "1");
}

TEST(HistoryDatabase, ReopeningAnUpToDateFileChangesNoByte) {
  TemporaryFolder folder;
  {
    ConversationHistory history(folder.historyFile());
    history.execute("BEGIN IMMEDIATE");
    history.saveRecords({message(1, 1)}, {});
    history.execute("COMMIT");
  }
  std::vector<char> before = fileBytes(folder.historyFile());
  { ConversationHistory again(folder.historyFile()); }
  EXPECT_EQ(fileBytes(folder.historyFile()), before);
}

TEST(HistoryDatabase, OlderVersionOneFileGainsTheAddedTablesAndKeepsItsRecords) {
  TemporaryFolder folder;
  {
    RawDatabase raw(folder.historyFile());
    raw.exec(
        "CREATE TABLE records(seq INTEGER PRIMARY KEY AUTOINCREMENT,kind TEXT NOT NULL,peer TEXT "
        "NOT NULL,id TEXT NOT NULL,payload BLOB NOT NULL,unsettled INTEGER NOT NULL,receipt "
        "BLOB,UNIQUE(kind,peer,id));"
        "CREATE INDEX peer_order ON records(peer,seq);"
        "CREATE INDEX unfinished ON records(unsettled,seq);"
        "CREATE TABLE metadata(name TEXT PRIMARY KEY,payload BLOB NOT NULL);"
        "CREATE TABLE epochs(peer TEXT PRIMARY KEY,generation INTEGER NOT NULL);"
        "PRAGMA user_version=1;");
    raw.exec("INSERT INTO records(kind,peer,id,payload,unsettled) VALUES('message','" +
             peerText(1) + "','" + itemText(7) + "',X'6869',0)");
  }
  ConversationHistory history(folder.historyFile());
  EXPECT_TRUE(schemaObjects(folder.historyFile()).contains("message_receipts"));
  ConversationHistoryPage page = history.loadRecords(std::nullopt, std::nullopt, 10, false);
  ASSERT_EQ(page.records.size(), 1u);
  EXPECT_EQ(page.records[0], message(1, 7, "hi"));
}

TEST(HistoryDatabase, FileWithoutThePendingOutboxIndexGainsItAndKeepsItsRows) {
  TemporaryFolder folder;
  {
    ConversationHistory history(folder.historyFile());
    history.enqueue(message(1, 1, "waiting", true), key32(1), 0, std::nullopt);
    history.enqueue(message(1, 2, "delivered", true), key32(1), 0, std::nullopt);
  }
  {
    // As the version before the index left it.
    RawDatabase raw(folder.historyFile());
    raw.exec("DROP INDEX outbox_pending");
    raw.exec("UPDATE message_outbox SET state=4 WHERE seq=2");
  }
  ConversationHistory history(folder.historyFile());
  RawDatabase raw(folder.historyFile());
  EXPECT_EQ(raw.value("SELECT sql FROM sqlite_master WHERE name='outbox_pending'"),
            "CREATE INDEX outbox_pending ON message_outbox(seq) WHERE state<4");
  EXPECT_EQ(raw.value("PRAGMA integrity_check"), "ok");
  std::vector<ConversationOutboxEntry> pending = history.pendingOutboxEntries({.kind = "message"});
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].record.id, itemText(1));
  EXPECT_EQ(history.pendingOutboxEntries({.kind = "message", .allStates = true}).size(), 2u);
}

// Files this version must not touch: the open fails and every byte stays.
struct ForeignFile {
  const char* name;
  std::vector<std::string> setup;  // statements run on a fresh file
  Failure expected;
};

class HistoryForeignFile : public ::testing::TestWithParam<ForeignFile> {};

TEST_P(HistoryForeignFile, IsRefusedUnchanged) {
  TemporaryFolder folder;
  {
    RawDatabase raw(folder.historyFile());
    for (const std::string& statement : GetParam().setup) raw.exec(statement);
  }
  std::vector<char> before = fileBytes(folder.historyFile());
  EXPECT_TRUE(
      failsWith([&] { ConversationHistory history(folder.historyFile()); }, GetParam().expected));
  EXPECT_EQ(fileBytes(folder.historyFile()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Files, HistoryForeignFile,
    ::testing::Values(
        ForeignFile{
            "UnversionedTable", {"CREATE TABLE notes(body TEXT)"}, Failure::incompatibleSchema()},
        ForeignFile{
            "UnversionedView", {"CREATE VIEW numbers AS SELECT 1"}, Failure::incompatibleSchema()},
        ForeignFile{"NewerVersion",
                    {"CREATE TABLE records(seq INTEGER PRIMARY KEY)", "PRAGMA user_version=2"},
                    Failure::incompatibleSchema()},
        ForeignFile{
            "NewerVersionWithoutTables", {"PRAGMA user_version=2"}, Failure::incompatibleSchema()},
        ForeignFile{"NegativeVersion", {"PRAGMA user_version=-1"}, Failure::incompatibleSchema()}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A history with enough rows to span many pages of the file.
void fillHistory(const std::filesystem::path& file, int count) {
  ConversationHistory history(file);
  std::vector<ConversationHistoryRecord> records;
  for (int index = 0; index < count; ++index) {
    records.push_back(message(1 + index % 3, static_cast<uint64_t>(index), std::string(300, 'm')));
  }
  history.execute("BEGIN IMMEDIATE");
  history.saveRecords(records, {});
  history.execute("COMMIT");
}

// Damage done to a good history file, and what opening it must give.
struct DamagedFile {
  const char* name;
  void (*damage)(std::vector<char>& bytes);
  Failure expected;
};

class HistoryDamagedFile : public ::testing::TestWithParam<DamagedFile> {};

TEST_P(HistoryDamagedFile, FailsWithoutOverwritingWhatIsLeft) {
  TemporaryFolder folder;
  fillHistory(folder.historyFile(), 400);
  std::vector<char> bytes = fileBytes(folder.historyFile());
  GetParam().damage(bytes);
  writeFile(folder.historyFile(), bytes);

  EXPECT_TRUE(
      failsWith([&] { ConversationHistory history(folder.historyFile()); }, GetParam().expected));
  EXPECT_EQ(fileBytes(folder.historyFile()), bytes);
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "conversation-history-v2.sqlite-journal"));
}

INSTANTIATE_TEST_SUITE_P(
    Damage, HistoryDamagedFile,
    ::testing::Values(
        DamagedFile{"NotADatabase",
                    [](std::vector<char>& bytes) { std::fill(bytes.begin(), bytes.end(), 'x'); },
                    Failure::storage(SQLITE_NOTADB)},
        DamagedFile{"HeaderOverwritten",
                    [](std::vector<char>& bytes) { std::fill_n(bytes.begin(), 16, '\0'); },
                    Failure::storage(SQLITE_NOTADB)},
        DamagedFile{"TruncatedToHalf",
                    [](std::vector<char>& bytes) { bytes.resize(bytes.size() / 2); },
                    Failure::storage(SQLITE_CORRUPT)},
        DamagedFile{"TruncatedInsideTheHeader", [](std::vector<char>& bytes) { bytes.resize(60); },
                    Failure::storage(SQLITE_CORRUPT)},
        DamagedFile{"SchemaPageScrambled",
                    [](std::vector<char>& bytes) {
                      std::fill(bytes.begin() + 100, bytes.begin() + 4096, '\x5a');
                    },
                    Failure::storage(SQLITE_CORRUPT)}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(HistoryDatabase, DamagedTablePagesFailReadsAndWritesWithoutChangingTheFile) {
  TemporaryFolder folder;
  fillHistory(folder.historyFile(), 400);
  std::vector<char> bytes = fileBytes(folder.historyFile());
  // Every page but the first (header and schema) scrambled, the file's length kept.
  std::fill(bytes.begin() + 4096, bytes.end(), '\x5a');
  writeFile(folder.historyFile(), bytes);

  ConversationHistory history(folder.historyFile());
  EXPECT_TRUE(failsWith([&] { history.loadRecords(std::nullopt, std::nullopt, 200, false); },
                        Failure::storage(SQLITE_CORRUPT)));
  EXPECT_TRUE(
      failsWith([&] { history.enqueue(message(1, 99999, "new", true), key32(1), 0, std::nullopt); },
                Failure::storage(SQLITE_CORRUPT)));
  EXPECT_EQ(fileBytes(folder.historyFile()), bytes);
}

TEST(HistoryDatabase, SymbolicLinkAsTheFileIsRefusedAndItsTargetLeftAlone) {
  TemporaryFolder folder;
  std::filesystem::path target = folder.path() / "elsewhere.sqlite";
  fillHistory(target, 3);
  ::chmod(target.c_str(), 0644);
  std::vector<char> before = fileBytes(target);
  std::filesystem::create_symlink(target, folder.historyFile());

  EXPECT_TRUE(failsWith([&] { ConversationHistory history(folder.historyFile()); },
                        Failure::storage(SQLITE_CANTOPEN)));
  EXPECT_EQ(fileBytes(target), before);
  EXPECT_EQ(fileMode(target), 0644u);
}

TEST(HistoryDatabase, DanglingSymbolicLinkCreatesNothing) {
  TemporaryFolder folder;
  std::filesystem::path target = folder.path() / "missing.sqlite";
  std::filesystem::create_symlink(target, folder.historyFile());
  EXPECT_TRUE(failsWith([&] { ConversationHistory history(folder.historyFile()); },
                        Failure::storage(SQLITE_CANTOPEN)));
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST(HistoryDatabase, FolderReachedThroughALinkIsFine) {
  TemporaryFolder folder;
  std::filesystem::create_directory(folder.path() / "real");
  std::filesystem::create_directory_symlink(folder.path() / "real", folder.path() / "link");
  { ConversationHistory history(folder.path() / "link" / "conversation-history-v2.sqlite"); }
  EXPECT_TRUE(
      std::filesystem::is_regular_file(folder.path() / "real" / "conversation-history-v2.sqlite"));
}

TEST(HistoryDatabase, CreatesMissingFoldersPrivateAndTheFileWithMode0600) {
  TemporaryFolder folder;
  std::filesystem::path file = folder.path() / "a" / "b" / "conversation-history-v2.sqlite";
  { ConversationHistory history(file); }
  EXPECT_EQ(fileMode(folder.path() / "a"), 0700u);
  EXPECT_EQ(fileMode(folder.path() / "a" / "b"), 0700u);
  EXPECT_EQ(fileMode(file), 0600u);
}

TEST(HistoryDatabase, ExistingFileGetsMode0600) {
  TemporaryFolder folder;
  fillHistory(folder.historyFile(), 1);
  ASSERT_EQ(::chmod(folder.historyFile().c_str(), 0644), 0);
  { ConversationHistory history(folder.historyFile()); }
  EXPECT_EQ(fileMode(folder.historyFile()), 0600u);
}

TEST(HistoryDatabase, FolderThatIsAFileFailsWithItsErrno) {
  TemporaryFolder folder;
  writeFile(folder.path() / "plain", {'x'});
  for (const std::filesystem::path& file :
       {folder.path() / "plain" / "conversation-history-v2.sqlite",
        folder.path() / "plain" / "deeper" / "conversation-history-v2.sqlite"}) {
    try {
      ConversationHistory history(file);
      ADD_FAILURE() << "opened " << file;
    } catch (const std::filesystem::filesystem_error& error) {
      EXPECT_EQ(error.code(), std::error_code(ENOTDIR, std::generic_category())) << file;
    }
  }
}

TEST(HistoryDatabase, StatementFailuresCarrySQLiteResults) {
  TemporaryFolder folder;
  ConversationHistory history(folder.historyFile());
  EXPECT_TRUE(failsWith([&] { history.execute(""); }, Failure::storage(SQLITE_OK)));
  EXPECT_TRUE(failsWith([&] { history.execute("-- nothing"); }, Failure::storage(SQLITE_OK)));
  EXPECT_TRUE(failsWith([&] { history.execute("SELEKT 1"); }, Failure::storage(SQLITE_ERROR)));
  EXPECT_TRUE(
      failsWith([&] { history.execute("INSERT INTO metadata(name,payload) VALUES('a',NULL)"); },
                Failure::storage(SQLITE_CONSTRAINT)));
  EXPECT_TRUE(failsWith(
      [&] {
        history.queryInteger("SELECT ?", {"a", "b"});
      },
      Failure::storage(SQLITE_RANGE)));
  EXPECT_EQ(history.queryInteger("SELECT ?+1", {"41"}), 42);
  EXPECT_EQ(history.queryInteger("SELECT 1 WHERE 0", {}), std::nullopt);
}

TEST(HistoryDatabase, CanonicalIdentifiers) {
  struct Case {
    const char* text;
    bool canonical;
  };
  for (const Case& c : {
           Case{"6f1c2a9e-3b4d-4e5f-8a6b-7c8d9e0f1a2b", true},
           Case{"6F1C2A9E-3B4D-4E5F-8A6B-7C8D9E0F1A2B", false},
           Case{"6f1c2a9e3b4d4e5f8a6b7c8d9e0f1a2b", false},
           Case{"{6f1c2a9e-3b4d-4e5f-8a6b-7c8d9e0f1a2b}", false},
           Case{"00000000-0000-0000-0000-000000000000", false},
           Case{"6f1c2a9e-3b4d-4e5f-8a6b-7c8d9e0f1a2", false},
           Case{"6f1c2a9e-3b4d-4e5f-8a6b-7c8d9e0f1a2b ", false},
           Case{"", false},
       }) {
    EXPECT_EQ(ConversationHistory::isCanonicalIdentifier(c.text), c.canonical) << c.text;
  }
}

TEST(HistoryDatabase, RecordValidation) {
  struct Case {
    const char* name;
    ConversationHistoryRecord record;
    bool valid;
  };
  ConversationHistoryRecord longest = message(1, 1);
  longest.payload.assign(33554432, 'p');
  ConversationHistoryRecord tooLong = message(1, 1);
  tooLong.payload.assign(33554433, 'p');
  for (const Case& c : {
           Case{"message", message(1, 1), true},
           Case{"transfer", transfer(1, 1), true},
           Case{"kind in other case", record("Message", peerText(1), itemText(1)), false},
           Case{"unknown kind", record("note", peerText(1), itemText(1)), false},
           Case{"upper-case peer",
                record("message", "6F1C2A9E-3B4D-4E5F-8A6B-7C8D9E0F1A2B", itemText(1)), false},
           Case{"nil id", record("message", peerText(1), "00000000-0000-0000-0000-000000000000"),
                false},
           Case{"empty payload", record("message", peerText(1), itemText(1), ""), false},
           Case{"one-byte payload", record("message", peerText(1), itemText(1), "x"), true},
           Case{"32 MiB payload", longest, true},
           Case{"32 MiB + 1 payload", tooLong, false},
       }) {
    if (c.valid) {
      EXPECT_NO_THROW(ConversationHistory::validateRecord(c.record)) << c.name;
    } else {
      EXPECT_TRUE(failsWith([&] { ConversationHistory::validateRecord(c.record); },
                            Failure::invalidRecord()))
          << c.name;
    }
  }
}

TEST(HistoryDatabase, StoredValuesAreOneByteTo32MiB) {
  TemporaryFolder folder;
  ConversationHistory history(folder.historyFile());
  for (size_t size : {size_t{0}, size_t{33554433}}) {
    std::vector<uint8_t> value(size, 0x42);
    EXPECT_TRUE(failsWith([&] { history.setMetadata("value", value); }, Failure::invalidRecord()))
        << size;
  }
  for (size_t size : {size_t{1}, size_t{33554432}}) {
    std::vector<uint8_t> value(size, 0x42);
    history.setMetadata("value", value);
    EXPECT_EQ(history.metadataPayload("value"), value) << size;
  }
}

TEST(HistoryDatabase, OwnTransactionInsideTheCallersFailsAndLeavesTheCallersOpen) {
  TemporaryFolder folder;
  ConversationHistory history(folder.historyFile());
  history.execute("BEGIN IMMEDIATE");
  history.saveRecords({message(1, 1)}, {});
  EXPECT_TRUE(
      failsWith([&] { history.enqueue(message(1, 2, "q", true), key32(1), 0, std::nullopt); },
                Failure::storage(SQLITE_ERROR)));
  history.execute("COMMIT");
  ConversationHistoryPage page = history.loadRecords(std::nullopt, std::nullopt, 10, false);
  ASSERT_EQ(page.records.size(), 1u);
  EXPECT_EQ(page.records[0].id, itemText(1));
}

TEST(HistoryDatabase, FailureInsideAnOwnTransactionLeavesTheFileAsItWas) {
  TemporaryFolder folder;
  ConversationHistory history(folder.historyFile());
  history.enqueue(message(1, 1, "first", true), key32(1), 0, std::nullopt);
  // The record insert succeeds inside the transaction, the outbox row then collides with a
  // row planted under the next sequence, and the whole enqueue must go.
  history.execute("INSERT INTO message_outbox(seq,recipient_key,epoch) VALUES(2,X'00',0)");
  std::vector<char> before = fileBytes(folder.historyFile());
  EXPECT_TRUE(
      failsWith([&] { history.enqueue(message(1, 2, "second", true), key32(1), 0, std::nullopt); },
                Failure::storage(SQLITE_CONSTRAINT)));
  EXPECT_EQ(fileBytes(folder.historyFile()), before);
  EXPECT_EQ(history.loadRecords(std::nullopt, std::nullopt, 10, false).records.size(), 1u);
}

}  // namespace
}  // namespace velmorine::store
