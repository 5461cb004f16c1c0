#include "native/protocol/ve_outbound_policy.h"

#include "native/protocol/chat_frames.h"
#include "native/protocol/json_text.h"

namespace velmorine {

int64_t VEOutboundPolicy::validateText(std::string_view text) {
  if (text.size() > protocol::kMaxChatTextBytes) return kTextTooLong;
  const auto units = protocol::utf16_length(text);
  if (!units) return kTextInvalid;
  // The UTF-16 limit is the binding one for most scripts: 4095 units fit in far fewer bytes.
  if (*units > kMaxTextUtf16Units) return kTextTooLong;
  return protocol::valid_chat_text(text) ? kTextAcceptable : kTextInvalid;
}

bool VEOutboundPolicy::allowsEntryCount(uint64_t entries, uint64_t topLevel) {
  return entries >= 1 && entries <= kMaxEntries && topLevel >= 1 && topLevel <= kMaxTopLevelItems &&
         topLevel <= entries;
}

}  // namespace velmorine
