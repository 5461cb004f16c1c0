#include "Velmorine/network/network_status.h"

#include <errno.h>

#include <algorithm>

namespace velmorine::network {

std::string networkStatusKey(const std::vector<DiscoveryIssue>& issues, size_t interfaces,
                             size_t channels) {
  if (interfaces == 0) return "network.noInterfaces";
  // A refused permission means the system keeps this program off the network, whatever else
  // worked.
  if (std::any_of(issues.begin(), issues.end(), [](const DiscoveryIssue& issue) {
        return issue.code == EPERM || issue.code == EACCES;
      })) {
    return "network.restricted";
  }
  if (channels == 0) return "network.accessUnknown";
  if (!issues.empty()) return "network.partialFailure";
  return "network.searching";
}

}  // namespace velmorine::network
