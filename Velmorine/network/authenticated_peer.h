#pragma once

// What a peer session hands to its owner once the peer's HELLO is accepted.

#include <cstdint>
#include <string>
#include <vector>

namespace velmorine::network {

struct AuthenticatedPeer {
  std::string wireID;              // the device identifier of the peer's HELLO
  std::string contactID;           // the trust service's contact identifier
  std::string nonce;               // the process nonce of the peer's announcement
  std::vector<uint8_t> publicKey;  // the peer's static key, from the handshake
  std::string safetyCode;

  friend bool operator==(const AuthenticatedPeer&, const AuthenticatedPeer&) = default;
};

}  // namespace velmorine::network
