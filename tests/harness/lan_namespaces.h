#pragma once

// Hosts on one LAN for the end-to-end tests: a switch namespace with a bridge, and host
// namespaces plugged into it by veth pairs (10.215.0.N/24, a fixed MAC per host). Needs root
// (CAP_NET_ADMIN, CAP_SYS_ADMIN) and iproute2. Nothing leaves the namespaces it makes.

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>

namespace velmorine::testing {

inline bool sh(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs `body` on a thread inside namespace `ns`: sockets it makes belong to that namespace.
inline bool inNamespace(const std::string& ns, const std::function<void()>& body) {
  bool entered = false;
  std::thread([&] {
    const int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    entered = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    if (entered) body();
  }).join();
  return entered;
}

// The calling thread moves into namespace `ns` (and the threads it starts from now on) for the
// object's life, and back to the one it was in at its end.
class InNamespace {
 public:
  explicit InNamespace(const std::string& ns) {
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    entered_ = original_ >= 0 && fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) ::close(fd);
  }
  ~InNamespace() {
    if (entered_) ::setns(original_, CLONE_NEWNET);
    if (original_ >= 0) ::close(original_);
  }
  InNamespace(const InNamespace&) = delete;
  InNamespace& operator=(const InNamespace&) = delete;

  bool entered() const { return entered_; }

 private:
  int original_ = -1;
  bool entered_ = false;
};

// A switch namespace with a bridge, and host namespaces plugged into it. Everything it made is
// removed at its end.
class Lan {
 public:
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

  // The host's cable is pulled, or plugged back in: its switch port goes down or up, and the
  // host itself notices nothing.
  bool cut(const std::string& host) {
    return sh("ip -n " + switchNS() + " link set p" + host + " down");
  }
  bool mend(const std::string& host) {
    return sh("ip -n " + switchNS() + " link set p" + host + " up");
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
