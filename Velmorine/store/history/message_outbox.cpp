#include <cmath>
#include <string>

#include "Velmorine/store/history/conversation_history.h"
#include "Velmorine/store/history/history_statement.h"

namespace velmorine::store {

using history::HistoryStatement;

namespace {

constexpr size_t kPublicKeyBytes = 32;

bool isKnownKind(const std::string& kind) { return kind == "message" || kind == "transfer"; }

// The entry of a row read by pendingOutboxEntries (r.seq, r.peer, r.id, r.payload, r.unsettled,
// o.recipient_key, o.epoch, o.state, o.attempts, o.retry_after), or nothing when a stored value
// breaks the value rules.
std::optional<ConversationOutboxEntry> readOutboxRow(const history::HistoryStatement& row,
                                                     const std::string& kind, bool withPayload) {
  std::optional<ConversationOutboxState> state = conversationOutboxStateFromRaw(row.columnInt64(7));
  std::optional<std::string> peer = row.columnTextIfPresent(1);
  std::optional<std::string> id = row.columnTextIfPresent(2);
  if (!state || !peer || !id || !ConversationHistory::isCanonicalIdentifier(*peer) ||
      !ConversationHistory::isCanonicalIdentifier(*id)) {
    return std::nullopt;
  }
  std::optional<std::vector<uint8_t>> payload =
      withPayload ? row.columnBytesIfValid(3) : std::optional(std::vector<uint8_t>{});
  std::optional<std::vector<uint8_t>> recipientKey = row.columnBytesIfValid(5);
  if (!payload || !recipientKey) return std::nullopt;
  ConversationOutboxEntry entry;
  entry.record = ConversationHistoryRecord{
      .kind = kind,
      .peer = std::move(*peer),
      .id = std::move(*id),
      .payload = std::move(*payload),
      .unsettled = row.columnInt64(4) != 0,
      .receiptText = std::nullopt,
  };
  entry.recipientKey = std::move(*recipientKey);
  entry.sequence = row.columnInt64(0);
  entry.epoch = row.columnInt64(6);
  entry.state = *state;
  entry.attempts = row.columnInt64(8);
  entry.retryAfter = row.columnDouble(9);
  return entry;
}

}  // namespace

int64_t ConversationHistory::enqueue(const ConversationHistoryRecord& record,
                                     std::span<const uint8_t> recipientKey, int64_t expectedEpoch,
                                     const std::optional<std::vector<uint8_t>>& attachmentSource) {
  validateRecord(record);
  bool sourceMatchesKind = record.kind == "message"
                               ? !attachmentSource.has_value()
                               : attachmentSource.has_value() && !attachmentSource->empty();
  if (!record.unsettled || recipientKey.size() != kPublicKeyBytes || !sourceMatchesKind) {
    throw ConversationHistoryFailure::invalidRecord();
  }
  return inImmediateTransaction([&] {
    if (epoch(record.peer) != expectedEpoch) throw ConversationHistoryFailure::staleCallback();
    {
      HistoryStatement lookup(*statements,
                              "SELECT seq FROM records WHERE kind=? AND peer=? AND id=?");
      lookup.bindText(1, record.kind);
      lookup.bindText(2, record.peer);
      lookup.bindText(3, record.id);
      // An identifier is queued once; a second item under it would take over the first.
      if (lookup.step()) throw ConversationHistoryFailure::conflictingReceipt();
    }
    int64_t sequence = upsertRecord(record);
    HistoryStatement row(*statements,
                         "INSERT INTO message_outbox(seq,recipient_key,epoch) VALUES(?,?,?)");
    row.bindInt64(1, sequence);
    row.bindBlob(2, recipientKey);
    row.bindInt64(3, expectedEpoch);
    row.run();
    if (attachmentSource) {
      HistoryStatement source(*statements,
                              "INSERT INTO attachment_sources(seq,payload) VALUES(?,?)");
      source.bindInt64(1, sequence);
      source.bindBlob(2, *attachmentSource);
      source.run();
    }
    return sequence;
  });
}

std::vector<ConversationOutboxEntry> ConversationHistory::pendingOutboxEntries(
    const ConversationOutboxQuery& query, std::vector<ConversationHistorySkippedRow>* skipped) {
  if (query.limit < 1 || query.limit > 200 || query.after < 0 ||
      (query.peer && !isCanonicalIdentifier(*query.peer)) ||
      (query.id && !isCanonicalIdentifier(*query.id)) || !isKnownKind(query.kind)) {
    throw ConversationHistoryFailure::invalidRecord();
  }
  // Delivered and cancelled rows stay in the outbox for good, so these queries must not
  // cost more per row than a step through the outbox. Each peer's oldest pending row is
  // therefore found in one pass over the outbox, not by a search through every earlier
  // record of the peer for each candidate (which grows with the square of the history).
  std::string sql;
  if (query.oldestOnly) {
    sql =
        "WITH oldest(kind,peer,seq) AS MATERIALIZED (SELECT earlier.kind,earlier.peer,min(p.seq) "
        "FROM message_outbox p CROSS JOIN records earlier ON earlier.seq=p.seq WHERE p.state<4 "
        "GROUP BY earlier.kind,earlier.peer) ";
  }
  // Without an identifier to look up, the index of pending rows drives the query in its own
  // order, which lets the limit end the walk early. A peer's records must not drive it: a long
  // conversation holds hundreds of thousands of delivered messages before its pending one
  // (0.4 s a query at 500,000), and the pending rows are few.
  bool wholeOutbox = !query.id;
  sql += "SELECT r.seq,r.peer,r.id,";
  sql += query.withPayload ? "r.payload" : "NULL";
  sql +=
      ",r.unsettled,o.recipient_key,o.epoch,o.state,o.attempts,o.retry_after FROM message_outbox "
      "o ";
  sql += wholeOutbox ? "CROSS JOIN" : "JOIN";
  // The kind is one of two fixed words, so it can stand in the text itself.
  // The statement is kept for reuse, so only the two fixed kinds vary its text.
  sql += " records r ON r.seq=o.seq WHERE r.seq>? AND r.kind='" + query.kind +
         "' AND o.epoch=COALESCE((SELECT generation FROM epochs WHERE peer=r.peer),0)";
  if (!query.allStates) sql += " AND o.state<4";
  if (query.peer) sql += " AND r.peer=?";
  if (query.id) sql += " AND r.id=?";
  if (query.oldestOnly) {
    sql +=
        " AND NOT EXISTS(SELECT 1 FROM oldest WHERE oldest.kind=r.kind AND oldest.peer=r.peer AND "
        "oldest.seq<r.seq)";
  }
  // No LIMIT: rows breaking the value rules are stepped over until `limit` entries are found;
  // the rows come in order, so nothing beyond is read.
  sql += wholeOutbox ? " ORDER BY o.seq" : " ORDER BY r.seq";

  HistoryStatement statement(*statements, sql);
  int position = 1;
  statement.bindInt64(position++, query.after);
  if (query.peer) statement.bindText(position++, *query.peer);
  if (query.id) statement.bindText(position++, *query.id);

  std::vector<ConversationOutboxEntry> entries;
  while (entries.size() < static_cast<size_t>(query.limit) && statement.step()) {
    std::optional<ConversationOutboxEntry> entry =
        readOutboxRow(statement, query.kind, query.withPayload);
    if (!entry) {
      if (skipped) {
        skipped->push_back(ConversationHistorySkippedRow{
            .sequence = statement.columnInt64(0),
            .kind = query.kind,
            .peer = statement.columnTextIfPresent(1).value_or(""),
            .id = statement.columnTextIfPresent(2).value_or(""),
        });
      }
      continue;
    }
    entries.push_back(std::move(*entry));
  }
  return entries;
}

void ConversationHistory::transitionOutboxEntry(const ConversationOutboxEntry& entry,
                                                ConversationOutboxState newState,
                                                const ConversationHistoryRecord& record,
                                                double retryAfter) {
  if (record.key() != entry.record.key() || !std::isfinite(retryAfter) ||
      !isOutboxMoveAllowed(entry.state, newState, entry.attempts)) {
    throw ConversationHistoryFailure::staleCallback();
  }
  inImmediateTransaction([&] {
    if (epoch(entry.record.peer) != entry.epoch) throw ConversationHistoryFailure::staleCallback();
    // Compare-and-set: of two racing movers of one row, the later finds it moved.
    HistoryStatement update(*statements,
                            "UPDATE message_outbox SET state=?,attempts=attempts+?,retry_after=? "
                            "WHERE seq=? AND state=? AND recipient_key=? AND epoch=?");
    update.bindInt(1, static_cast<int32_t>(newState));
    update.bindInt(2, newState == ConversationOutboxState::sending ? 1 : 0);
    update.bindDouble(3, retryAfter);
    update.bindInt64(4, entry.sequence);
    update.bindInt(5, static_cast<int32_t>(entry.state));
    update.bindBlob(6, entry.recipientKey);
    update.bindInt64(7, entry.epoch);
    update.run();
    if (sqlite3_changes(database.get()) != 1) throw ConversationHistoryFailure::staleCallback();
    upsertRecord(record);
  });
}

std::vector<uint8_t> ConversationHistory::attachmentSource(const ConversationOutboxEntry& entry) {
  if (entry.record.kind != "transfer") throw ConversationHistoryFailure::invalidRecord();
  HistoryStatement query(*statements, "SELECT payload FROM attachment_sources WHERE seq=?");
  query.bindInt64(1, entry.sequence);
  if (!query.step()) throw ConversationHistoryFailure::invalidRecord();
  return query.columnBytes(0);
}

}  // namespace velmorine::store
