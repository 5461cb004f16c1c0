#pragma once

// Hosts on one private LAN: a switch namespace with a bridge, and a network namespace per host
// joined to it by a veth pair (10.215.0.N/24, a fixed MAC per host). Made with iproute2; needs
// root (CAP_NET_ADMIN). Everything made is removed at the end, and nothing leaves it.

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace velmorine::testing {

// Runs a shell command quietly; true when it succeeded.
inline bool sh(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A switch namespace with a bridge, and host namespaces plugged into it. Everything it made is
// removed at its end.
class Lan {
 public:
  // `tag` names the namespaces: <tag>-sw, <tag>-<host>.
  explicit Lan(std::string tag) : tag_(std::move(tag)) {}
  ~Lan() {
    for (const auto& [name, number] : hosts_) sh("ip netns del " + ns(name));
    if (created_) sh("ip netns del " + switchNS());
  }

  bool create() {
    sh("ip netns del " + switchNS());  // a leftover of an earlier run with the same process id
    if (!sh("ip netns add " + switchNS())) return false;
    created_ = true;
    // Without snooping the bridge floods the discovery group to every port.
    return sh("ip -n " + switchNS() + " link add br0 type bridge mcast_snooping 0") &&
           sh("ip -n " + switchNS() + " link set br0 up");
  }

  std::string ns(const std::string& host) const { return tag_ + "-" + host; }
  static std::string address(int number) { return "10.215.0." + std::to_string(number); }

  // A host namespace on the bridge: interface "lan0" with address 10.215.0.`number`.
  bool plug(const std::string& host, int number) {
    const std::string name = ns(host);
    const std::string port = "p" + host;
    sh("ip netns del " + name);
    if (!sh("ip netns add " + name)) return false;
    hosts_[host] = number;
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:00:0a:d7:00:%02x", number);
    const std::string sw = "ip -n " + switchNS() + " ";
    const std::string in = "ip -n " + name + " ";
    return sh(in + "link set lo up") &&
           sh(sw + "link add " + port + " type veth peer name lan0 netns " + name) &&
           sh(in + "link set lan0 address " + mac) &&
           sh(in + "addr add " + address(number) + "/24 brd + dev lan0") &&
           sh(sw + "link set " + port + " master br0") && sh(sw + "link set " + port + " up") &&
           sh(in + "link set lan0 up");
  }

  // The host's machine goes away with its sockets: the cable first, so that nothing it still
  // holds reaches the LAN, then the namespace.
  bool unplug(const std::string& host) {
    const bool cable = sh("ip -n " + switchNS() + " link del p" + host);
    hosts_.erase(host);
    return sh("ip netns del " + ns(host)) && cable;
  }

 private:
  std::string switchNS() const { return tag_ + "-sw"; }

  std::string tag_;
  bool created_ = false;
  std::map<std::string, int> hosts_;
};

}  // namespace velmorine::testing
