#include "Velmorine/store/receive_journal.h"

namespace velmorine::store {

OrderedJson encodeReceiveJournal(const ReceiveJournal& journal) {
  OrderedJson object = OrderedJson::object();
  object["schema"] = journal.schema;
  object["transferID"] = identifierText(journal.transferID);
  object["stageName"] = journal.stageName;
  object["finalName"] = journal.finalName;
  object["rootDevice"] = journal.rootDevice;
  if (journal.rootVolumeUUID) object["rootVolumeUUID"] = *journal.rootVolumeUUID;
  object["rootInode"] = journal.rootInode;
  object["stageInode"] = journal.stageInode;
  object["payloadInode"] = journal.payloadInode;
  return object;
}

ReceiveJournal decodeReceiveJournal(const FieldReader& object) {
  ReceiveJournal journal;
  journal.schema = object.integer("schema");
  journal.transferID = object.identifier("transferID");
  journal.stageName = object.text("stageName");
  journal.finalName = object.text("finalName");
  journal.rootDevice = object.integer("rootDevice");
  journal.rootVolumeUUID = object.optionalText("rootVolumeUUID");
  journal.rootInode = object.unsignedInteger("rootInode");
  journal.stageInode = object.unsignedInteger("stageInode");
  journal.payloadInode = object.unsignedInteger("payloadInode");
  return journal;
}

}  // namespace velmorine::store
