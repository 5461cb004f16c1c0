#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/store/history/conversation_history.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::store::testing {

// A private folder for one test's history files, removed afterwards.
class TemporaryFolder : public velmorine::testing::TemporaryFolder {
 public:
  std::filesystem::path historyFile() const { return path() / "conversation-history-v2.sqlite"; }
};

// A canonical identifier that differs for every (group, number).
inline std::string identifier(uint32_t group, uint64_t number) {
  char text[48];
  std::snprintf(text, sizeof text, "%08x-0000-4000-8000-%012llx", group,
                static_cast<unsigned long long>(number & 0xffffffffffffULL));
  return text;
}

inline std::string peerText(uint64_t number) { return identifier(0x9eee0000, number); }
inline std::string itemText(uint64_t number) { return identifier(0x17e40000, number); }

inline std::vector<uint8_t> bytesOf(std::string_view text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

inline ConversationHistoryRecord record(std::string kind, std::string peer, std::string id,
                                        std::string payload = "payload", bool unsettled = false) {
  return ConversationHistoryRecord{.kind = std::move(kind),
                                   .peer = std::move(peer),
                                   .id = std::move(id),
                                   .payload = bytesOf(payload),
                                   .unsettled = unsettled,
                                   .receiptText = std::nullopt};
}

inline ConversationHistoryRecord message(uint64_t peer, uint64_t id, std::string payload = "text",
                                         bool unsettled = false) {
  return record("message", peerText(peer), itemText(id), std::move(payload), unsettled);
}

inline ConversationHistoryRecord transfer(uint64_t peer, uint64_t id, std::string payload = "batch",
                                          bool unsettled = false) {
  return record("transfer", peerText(peer), itemText(id), std::move(payload), unsettled);
}

inline std::vector<uint8_t> key32(uint8_t fill) { return std::vector<uint8_t>(32, fill); }

inline std::vector<char> fileBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::filesystem::path& file, const std::vector<char>& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A plain SQLite connection of the test's own, to look at or prepare a file from outside.
class RawDatabase {
 public:
  explicit RawDatabase(const std::filesystem::path& file) {
    if (sqlite3_open(file.c_str(), &handle_) != SQLITE_OK) throw std::runtime_error("open failed");
  }
  ~RawDatabase() { sqlite3_close(handle_); }
  RawDatabase(const RawDatabase&) = delete;
  RawDatabase& operator=(const RawDatabase&) = delete;

  void exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(handle_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string text = error ? error : "?";
      sqlite3_free(error);
      throw std::runtime_error(sql + ": " + text);
    }
  }
  // Every row's columns as text ("NULL" for NULL).
  std::vector<std::vector<std::string>> rows(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      throw std::runtime_error("prepare failed: " + sql);
    }
    std::vector<std::vector<std::string>> result;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int column = 0; column < sqlite3_column_count(statement); ++column) {
        const unsigned char* text = sqlite3_column_text(statement, column);
        row.push_back(
            text ? std::string(reinterpret_cast<const char*>(text),
                               static_cast<size_t>(sqlite3_column_bytes(statement, column)))
                 : "NULL");
      }
      result.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    return result;
  }
  std::string value(const std::string& sql) {
    auto result = rows(sql);
    return result.empty() ? "" : result.front().front();
  }

 private:
  sqlite3* handle_ = nullptr;
};

// Expects `work` to throw ConversationHistoryFailure equal to `expected`.
template <typename Work>
::testing::AssertionResult failsWith(Work&& work, const ConversationHistoryFailure& expected) {
  try {
    work();
  } catch (const ConversationHistoryFailure& failure) {
    if (failure == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "threw " << failure.what() << " (" << failure.storageCode() << "), expected "
           << expected.what() << " (" << expected.storageCode() << ")";
  }
  return ::testing::AssertionFailure() << "did not throw, expected " << expected.what();
}

}  // namespace velmorine::store::testing
