#include <algorithm>
#include <limits>
#include <string>

#include "Velmorine/store/history/conversation_history.h"
#include "Velmorine/store/history/history_statement.h"

namespace velmorine::store {

using history::HistoryStatement;

namespace {

std::span<const uint8_t> textBytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::optional<int64_t> findRecord(history::StatementCache& statements,
                                  const ConversationHistoryRecord& record) {
  HistoryStatement lookup(statements, "SELECT seq FROM records WHERE kind=? AND peer=? AND id=?");
  lookup.bindText(1, record.kind);
  lookup.bindText(2, record.peer);
  lookup.bindText(3, record.id);
  if (!lookup.step()) return std::nullopt;
  return lookup.columnInt64(0);
}

// The record of a row read by loadRecords (seq, kind, peer, id, payload, unsettled), or
// nothing when a stored value breaks the value rules.
std::optional<ConversationHistoryRecord> readRecordRow(const HistoryStatement& row) {
  std::optional<std::string> kind = row.columnTextIfPresent(1);
  std::optional<std::string> peer = row.columnTextIfPresent(2);
  std::optional<std::string> id = row.columnTextIfPresent(3);
  if (!kind || !peer || !id) return std::nullopt;
  std::optional<std::vector<uint8_t>> payload = row.columnBytesIfValid(4);
  if (!payload) return std::nullopt;
  ConversationHistoryRecord record{
      .kind = std::move(*kind),
      .peer = std::move(*peer),
      .id = std::move(*id),
      .payload = std::move(*payload),
      .unsettled = row.columnInt64(5) != 0,
      .receiptText = std::nullopt,
  };
  try {
    ConversationHistory::validateRecord(record);
  } catch (const ConversationHistoryFailure&) {
    return std::nullopt;
  }
  return record;
}

}  // namespace

int64_t ConversationHistory::upsertRecord(const ConversationHistoryRecord& record,
                                          std::optional<std::span<const uint8_t>> receipt) {
  validateRecord(record);
  if (std::optional<int64_t> existing = findRecord(*statements, record)) {
    // Only payload and flag change: the key, the receipt and the order stay.
    HistoryStatement update(*statements, "UPDATE records SET payload=?,unsettled=? WHERE seq=?");
    update.bindBlob(1, record.payload);
    update.bindInt(2, record.unsettled ? 1 : 0);
    update.bindInt64(3, *existing);
    update.run();
    return *existing;
  }
  HistoryStatement insert(*statements,
                          "INSERT INTO records(kind,peer,id,payload,unsettled,receipt) "
                          "VALUES(?,?,?,?,?,?)");
  insert.bindText(1, record.kind);
  insert.bindText(2, record.peer);
  insert.bindText(3, record.id);
  insert.bindBlob(4, record.payload);
  insert.bindInt(5, record.unsettled ? 1 : 0);
  if (receipt) {
    insert.bindBlob(6, *receipt);
  } else if (record.receiptText) {
    insert.bindBlob(6, textBytes(*record.receiptText));
  }
  insert.run();
  return sqlite3_last_insert_rowid(database.get());
}

ConversationSequences ConversationHistory::saveRecords(
    const std::vector<ConversationHistoryRecord>& records,
    const std::unordered_map<std::string, int64_t>& epochs) {
  ConversationSequences sequences;
  for (const ConversationHistoryRecord& record : records) {
    if (auto expected = epochs.find(record.peer); expected != epochs.end()) {
      // A write begun before the conversation was cleared must not bring its items back.
      if (epoch(record.peer) != expected->second) throw ConversationHistoryFailure::staleCallback();
    }
    sequences.insert_or_assign(record.key(), upsertRecord(record));
  }
  return sequences;
}

ConversationHistoryPage ConversationHistory::loadRecords(const std::optional<std::string>& peer,
                                                         std::optional<int64_t> before, int limit,
                                                         bool unsettledOnly) {
  if (limit < 1 || limit > 200 || (before && *before < 1) ||
      (peer && !isCanonicalIdentifier(*peer))) {
    throw ConversationHistoryFailure::invalidRecord();
  }
  std::string conditions;
  auto addCondition = [&](const char* condition) {
    conditions += conditions.empty() ? " WHERE " : " AND ";
    conditions += condition;
  };
  if (peer) addCondition("peer=?");
  if (before) addCondition("seq<?");
  if (unsettledOnly) addCondition("unsettled=1");
  // No LIMIT: rows breaking the value rules are stepped over until the page holds `limit`
  // records, and every step walks the index in order, so nothing beyond is read.
  std::string sql =
      "SELECT seq,kind,peer,id,payload,unsettled FROM records" + conditions + " ORDER BY seq DESC";

  HistoryStatement query(*statements, sql);
  int position = 1;
  if (peer) query.bindText(position++, *peer);
  if (before) query.bindInt64(position++, *before);

  ConversationHistoryPage page;
  while (query.step()) {
    if (page.records.size() == static_cast<size_t>(limit)) {
      page.hasMore = true;
      break;
    }
    int64_t sequence = query.columnInt64(0);
    page.oldestSequence = sequence;
    std::optional<ConversationHistoryRecord> record = readRecordRow(query);
    if (!record) {
      page.skipped.push_back(ConversationHistorySkippedRow{
          .sequence = sequence,
          .kind = query.columnTextIfPresent(1).value_or(""),
          .peer = query.columnTextIfPresent(2).value_or(""),
          .id = query.columnTextIfPresent(3).value_or(""),
      });
      continue;
    }
    page.sequences.insert_or_assign(record->key(), sequence);
    page.records.push_back(std::move(*record));
  }
  std::reverse(page.records.begin(), page.records.end());
  return page;
}

std::vector<std::string> ConversationHistory::peers() {
  // One seek per peer in the peer index, from each peer to the next, rather than a walk over
  // every record: the runtime asks at each start, and a history holds millions of records. The
  // first seek starts above the empty text, so a NULL planted in the column (which sorts first)
  // cannot end the walk before it begins.
  HistoryStatement query(
      database.get(),
      "WITH RECURSIVE distinct_peers(peer) AS (SELECT min(peer) FROM records WHERE peer>'' "
      "UNION ALL SELECT (SELECT min(peer) FROM records WHERE "
      "peer>distinct_peers.peer) FROM distinct_peers WHERE peer IS NOT NULL) "
      "SELECT peer FROM distinct_peers WHERE peer IS NOT NULL");
  std::vector<std::string> result;
  while (query.step()) {
    // As in pages, a peer that breaks the value rules is not one.
    if (query.columnIsNull(0)) continue;
    std::string peer = query.columnText(0);
    if (isCanonicalIdentifier(peer)) result.push_back(std::move(peer));
  }
  return result;
}

int64_t ConversationHistory::epoch(const std::string& peer) {
  if (!isCanonicalIdentifier(peer)) throw ConversationHistoryFailure::invalidRecord();
  HistoryStatement query(*statements, "SELECT generation FROM epochs WHERE peer=?");
  query.bindText(1, peer);
  return query.step() ? query.columnInt64(0) : 0;
}

int64_t ConversationHistory::clearConversation(
    const std::string& peer, const std::optional<std::vector<uint8_t>>& settings) {
  int64_t current = epoch(peer);
  if (current == std::numeric_limits<int64_t>::max()) {
    throw ConversationHistoryFailure::invalidRecord();
  }
  for (const char* sql : {
           "DELETE FROM attachment_sources WHERE seq IN (SELECT seq FROM records WHERE peer=?)",
           "DELETE FROM message_outbox WHERE seq IN (SELECT seq FROM records WHERE peer=?)",
           "DELETE FROM records WHERE peer=?",
       }) {
    HistoryStatement statement(*statements, sql);
    statement.bindText(1, peer);
    statement.run();
  }
  HistoryStatement raise(*statements, "INSERT OR REPLACE INTO epochs(peer,generation) VALUES(?,?)");
  raise.bindText(1, peer);
  raise.bindInt64(2, current + 1);
  raise.run();
  if (settings) setMetadata("settings", *settings);
  return current + 1;
}

}  // namespace velmorine::store
