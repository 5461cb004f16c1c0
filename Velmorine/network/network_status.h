#pragma once

// The runtime's network status key, derived from what the discovery transport reported.

#include <cstddef>
#include <string>
#include <vector>

#include "Velmorine/network/discovery_service.h"

namespace velmorine::network {

// "network.noInterfaces", "network.restricted", "network.accessUnknown",
// "network.partialFailure" or "network.searching": the first that applies.
std::string networkStatusKey(const std::vector<DiscoveryIssue>& issues, size_t interfaces,
                             size_t channels);

}  // namespace velmorine::network
