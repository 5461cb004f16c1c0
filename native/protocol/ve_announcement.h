#pragma once

// `VEAnnouncement`: a discovery announcement as the application reads it. Immutable; made only
// from an accepted native record (by `VEProtocol::parseDiscovery`).

#include <cstdint>
#include <string>

#include "native/protocol/discovery_announcement.h"

namespace velmorine {

class VEAnnouncement {
 public:
  explicit VEAnnouncement(const protocol::DiscoveryAnnouncement& announcement);

  const std::string& deviceID() const { return device_id_; }  // lower case
  const std::string& displayName() const { return display_name_; }
  // The wire name of the platform; "unknown" for 0 and for any number without a name.
  const std::string& platform() const { return platform_; }
  const std::string& fingerprint() const { return fingerprint_; }
  const std::string& nonce() const { return nonce_; }
  uint64_t port() const { return port_; }
  uint64_t capabilities() const { return capabilities_; }
  uint64_t sequence() const { return sequence_; }

  friend bool operator==(const VEAnnouncement&, const VEAnnouncement&) = default;

 private:
  std::string device_id_;
  std::string display_name_;
  std::string platform_;
  std::string fingerprint_;
  std::string nonce_;
  uint64_t port_ = 0;
  uint64_t capabilities_ = 0;
  uint64_t sequence_ = 0;
};

}  // namespace velmorine
