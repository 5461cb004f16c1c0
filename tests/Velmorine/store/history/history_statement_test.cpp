#include "Velmorine/store/history/history_statement.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "Velmorine/store/history/conversation_history_failure.h"

namespace velmorine::store::history {
namespace {

// A cache over an in-memory connection; the connection must close cleanly after the cache.
class StatementCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open(":memory:", &database), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(database, "CREATE TABLE t(x INTEGER PRIMARY KEY,y TEXT NOT NULL)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    cache = std::make_unique<StatementCache>(database);
  }
  void TearDown() override {
    cache.reset();
    // Every statement of the cache was finalized: the connection has none left.
    EXPECT_EQ(sqlite3_next_stmt(database, nullptr), nullptr);
    EXPECT_EQ(sqlite3_close(database), SQLITE_OK);
  }

  void insert(int64_t x, const std::string& y) {
    HistoryStatement statement(*cache, "INSERT INTO t(x,y) VALUES(?,?)");
    statement.bindInt64(1, x);
    statement.bindText(2, y);
    statement.run();
  }

  sqlite3* database = nullptr;
  std::unique_ptr<StatementCache> cache;
};

TEST_F(StatementCacheTest, NestedUsesOfOneTextEachHaveTheirOwnStatement) {
  insert(1, "a");
  insert(2, "b");
  const char* sql = "SELECT y FROM t WHERE x>=? ORDER BY x";
  HistoryStatement outer(*cache, sql);
  outer.bindInt64(1, 1);
  ASSERT_TRUE(outer.step());
  EXPECT_EQ(outer.columnText(0), "a");
  {
    HistoryStatement inner(*cache, sql);
    inner.bindInt64(1, 2);
    ASSERT_TRUE(inner.step());
    EXPECT_EQ(inner.columnText(0), "b");
  }
  // The outer walk goes on where it was.
  ASSERT_TRUE(outer.step());
  EXPECT_EQ(outer.columnText(0), "b");
  EXPECT_FALSE(outer.step());
}

TEST_F(StatementCacheTest, AStatementComesBackResetAndUnboundAlsoAfterAFailure) {
  insert(1, "a");
  // The same row again breaks the key: the step throws, and the statement goes back.
  EXPECT_THROW(insert(1, "again"), ConversationHistoryFailure);
  insert(2, "b");
  {
    HistoryStatement first(*cache, "SELECT ?1 IS NULL,count(*) FROM t");
    first.bindInt64(1, 5);
    ASSERT_TRUE(first.step());
    EXPECT_EQ(first.columnInt64(0), 0);
  }
  // Stepped once and left: the next use starts over, without the last binding.
  HistoryStatement second(*cache, "SELECT ?1 IS NULL,count(*) FROM t");
  ASSERT_TRUE(second.step());
  EXPECT_EQ(second.columnInt64(0), 1);
  EXPECT_EQ(second.columnInt64(1), 2);
}

TEST_F(StatementCacheTest, TextsBeyondWhatIsKeptStillRun) {
  for (size_t index = 0; index < 2 * StatementCache::kKept; ++index) {
    HistoryStatement statement(*cache, "SELECT " + std::to_string(index));
    ASSERT_TRUE(statement.step());
    EXPECT_EQ(statement.columnInt64(0), static_cast<int64_t>(index));
  }
}

}  // namespace
}  // namespace velmorine::store::history
