#include "Velmorine/transfer/durable_attachment_outbox.h"

namespace velmorine::transfer {

bool DurableAttachmentOutbox::knows(const std::string&) const { return false; }

void DurableAttachmentOutbox::forget(const std::string&) {}

}  // namespace velmorine::transfer
