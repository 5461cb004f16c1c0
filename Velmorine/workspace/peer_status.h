#pragma once

// The status of a peer as its row and the conversation header show it: one rule for both.

#include <string_view>

#include "Velmorine/runtime/runtime_snapshot.h"

namespace velmorine::workspace {

// "security.blocked" when blocked; "peers.history" when only history knows it and its key
// changed; else "peers.online" or "peers.offline".
std::string_view peerStatusKey(const runtime::RuntimePeer& peer);

}  // namespace velmorine::workspace
