#pragma once

// A host's conversation history read with the sqlite3 program, as another program would: the
// end-to-end tests hold what the runtimes showed against what their databases keep.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/harness/json_line_process.h"

namespace velmorine::testing {

// One row of a history database: a message record with its outbox row, when it has one.
struct StoredMessage {
  int64_t sequence = 0;
  std::string peer;
  std::string id;
  std::string text;
  bool received = false;  // stored with a receipt
  int state = -1;         // outbox state, -1 without a row
};

// The message records of the history under data home `dataHome`, in history order. Not
// read-only: a node killed inside a transaction leaves a journal that the next opener rolls
// back, as the node's next start would.
inline std::optional<std::vector<StoredMessage>> storedMessages(
    const std::filesystem::path& dataHome) {
  const std::string file = (dataHome / "Velmorine" / "conversation-history-v2.sqlite").string();
  const std::string query =
      "SELECT r.seq, r.peer, r.id, json_extract(CAST(r.payload AS TEXT), '$.text'), "
      "r.receipt IS NOT NULL, coalesce(o.state, -1) FROM records r LEFT JOIN message_outbox o "
      "ON o.seq = r.seq WHERE r.kind = 'message' ORDER BY r.seq";
  const auto output = commandOutput("sqlite3 -cmd '.timeout 10000' -separator '\x1f' '" + file +
                                    "' \"" + query + "\"");
  if (!output) return std::nullopt;
  std::vector<StoredMessage> rows;
  std::istringstream lines(*output);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
      const size_t end = line.find('\x1f', start);
      fields.push_back(line.substr(start, end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    if (fields.size() != 6) return std::nullopt;
    rows.push_back(StoredMessage{std::stoll(fields[0]), fields[1], fields[2], fields[3],
                                 fields[4] == "1", std::stoi(fields[5])});
  }
  return rows;
}

}  // namespace velmorine::testing
