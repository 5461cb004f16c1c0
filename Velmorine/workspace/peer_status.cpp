#include "Velmorine/workspace/peer_status.h"

namespace velmorine::workspace {

std::string_view peerStatusKey(const runtime::RuntimePeer& peer) {
  if (peer.blocked) return "security.blocked";
  if (peer.historical && peer.keyChanged) return "peers.history";
  if (peer.online) return "peers.online";
  return "peers.offline";
}

}  // namespace velmorine::workspace
