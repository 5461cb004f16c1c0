// Hostile records of the content layer as the outbox and the store read them back: a durable
// batch source (whose manifest is then checked as a reopened batch checks it) and a receive
// journal. Nothing may crash, every failure must be the decoder's or the check's own, and
// whatever decodes must be written and read back to the same record.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Velmorine/store/receive_journal.h"
#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/durable_batch_source.h"
#include "Velmorine/transfer/manifest_check.h"

using namespace velmorine;

namespace {

void batchSource(const store::Json& json) {
  transfer::DurableBatchSource source;
  try {
    source = transfer::decodeDurableBatchSource(json);
  } catch (const store::StoreDecodingError&) {
    return;
  }
  const auto again =
      transfer::decodeDurableBatchSource(store::Json::parse(transfer::encodeJson(source).dump()));
  if (again != source) std::abort();
  try {
    transfer::validateManifest(source.entries, source.topLevelCount, source.totalBytes);
  } catch (const transfer::ContentFailure&) {
  }
}

void journal(const store::Json& json) {
  if (!json.is_object()) return;
  store::ReceiveJournal journal;
  try {
    journal = store::decodeReceiveJournal(store::FieldReader(json, "journal"));
  } catch (const store::StoreDecodingError&) {
    return;
  }
  const auto text = store::encodeReceiveJournal(journal).dump();
  const auto again = store::decodeReceiveJournal(store::FieldReader(store::Json::parse(text), "j"));
  if (!(again == journal)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const store::Json json = store::Json::parse(data, data + size, nullptr, false);
  if (json.is_discarded()) return 0;
  batchSource(json);
  journal(json);
  return 0;
}
