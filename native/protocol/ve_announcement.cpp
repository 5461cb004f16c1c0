#include "native/protocol/ve_announcement.h"

namespace velmorine {

VEAnnouncement::VEAnnouncement(const protocol::DiscoveryAnnouncement& announcement)
    : device_id_(announcement.device_id.to_string()),
      display_name_(announcement.display_name_utf8),
      platform_(announcement.platform >= 1 && announcement.platform <= 5
                    ? std::string(*protocol::discovery_platform_name(announcement.platform))
                    : std::string("unknown")),
      fingerprint_(announcement.public_key_fingerprint),
      nonce_(announcement.process_nonce),
      port_(announcement.tcp_port),
      capabilities_(announcement.capabilities),
      sequence_(announcement.sequence) {}

}  // namespace velmorine
