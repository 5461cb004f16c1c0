#include <string>

#include "Velmorine/store/history/conversation_history.h"
#include "Velmorine/store/history/history_statement.h"

namespace velmorine::store {

using history::HistoryStatement;

namespace {

constexpr std::string_view kHiddenPrefix = "transfer-overview.hidden:";
constexpr uint8_t kMarkByte[] = {0x01};

}  // namespace

std::optional<std::vector<uint8_t>> ConversationHistory::metadataPayload(const std::string& name) {
  HistoryStatement query(*statements, "SELECT payload FROM metadata WHERE name=?");
  query.bindText(1, name);
  if (!query.step()) return std::nullopt;
  return query.columnBytes(0);
}

void ConversationHistory::setMetadata(const std::string& name, std::span<const uint8_t> payload) {
  HistoryStatement statement(*statements,
                             "INSERT OR REPLACE INTO metadata(name,payload) VALUES(?,?)");
  statement.bindText(1, name);
  statement.bindBlob(2, payload);
  statement.run();
}

std::set<std::string> ConversationHistory::hideEndedTransfers(
    const std::optional<std::string>& peer, const std::optional<std::string>& transferId,
    const std::set<std::string>& legacyTransferIds, bool includeRecords) {
  bool oneTransfer = peer.has_value();
  if (peer.has_value() != transferId.has_value() ||
      (oneTransfer && (!isCanonicalIdentifier(*peer) || !isCanonicalIdentifier(*transferId)))) {
    throw ConversationHistoryFailure::invalidRecord();
  }
  for (const std::string& legacyId : legacyTransferIds) {
    if (!isCanonicalIdentifier(legacyId)) throw ConversationHistoryFailure::invalidRecord();
  }
  return inImmediateTransaction([&] {
    if (includeRecords) {
      std::string sql =
          "INSERT OR IGNORE INTO metadata(name,payload) SELECT "
          "'transfer-overview.hidden:'||peer||':'||id,X'01' FROM records WHERE kind='transfer' "
          "AND unsettled=0";
      if (oneTransfer) sql += " AND peer=? AND id=?";
      HistoryStatement mark(*statements, sql);
      if (oneTransfer) {
        mark.bindText(1, *peer);
        mark.bindText(2, *transferId);
      }
      mark.run();
    }
    for (const std::string& legacyId : legacyTransferIds) {
      setMetadata(std::string(kHiddenPrefix) + "legacy:" + legacyId, kMarkByte);
    }
    return hiddenTransferNames();
  });
}

std::set<std::string> ConversationHistory::hiddenTransferNames() {
  HistoryStatement query(*statements,
                         "SELECT name FROM metadata WHERE name LIKE 'transfer-overview.hidden:%'");
  std::set<std::string> hidden;
  while (query.step()) {
    std::string name = query.columnText(0);
    // LIKE ignores letter case; only marks written with the exact prefix are marks.
    if (name.starts_with(kHiddenPrefix)) hidden.insert(name.substr(kHiddenPrefix.size()));
  }
  return hidden;
}

void ConversationHistory::importRecords(const std::string& marker,
                                        const std::vector<ConversationHistoryRecord>& records,
                                        const std::optional<std::vector<uint8_t>>& settings) {
  if (metadataPayload(marker)) return;
  for (const ConversationHistoryRecord& record : records) {
    validateRecord(record);
    HistoryStatement lookup(*statements,
                            "SELECT seq FROM records WHERE kind=? AND peer=? AND id=?");
    lookup.bindText(1, record.kind);
    lookup.bindText(2, record.peer);
    lookup.bindText(3, record.id);
    if (!lookup.step()) upsertRecord(record);
  }
  if (settings) setMetadata("settings", *settings);
  // Written last, so that an import that failed halfway runs again after the rollback.
  setMetadata(marker, kMarkByte);
}

}  // namespace velmorine::store
