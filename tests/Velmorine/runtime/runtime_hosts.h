#pragma once

// Hosts on one LAN for end-to-end tests: each a network namespace joined to a bridge in a switch
// namespace by a veth pair (10.215.0.N/24, a fixed MAC per host), each running runtime-node on a
// data home of its own. Needs root (CAP_NET_ADMIN, CAP_SYS_ADMIN) and iproute2; whatever a Lan
// made goes at its end. Nothing leaves the namespaces it makes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness/lan_namespaces.h"
#include "tests/harness/runtime_node_process.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::runtime::testing {

using velmorine::testing::commandOutput;
using velmorine::testing::Json;
using velmorine::testing::kNodeWait;
using velmorine::testing::peerRow;
using velmorine::testing::RuntimeNodeProcess;
using velmorine::testing::safetyCode;

using velmorine::testing::inNamespace;
using velmorine::testing::Lan;
using velmorine::testing::sh;

struct Host {
  // The data home goes under `parent`, else under the system's temporary folder.
  Host(std::string hostName, int hostNumber,
       const std::optional<std::filesystem::path>& parent = std::nullopt)
      : name(std::move(hostName)),
        number(hostNumber),
        home(parent ? velmorine::testing::TemporaryFolder(*parent)
                    : velmorine::testing::TemporaryFolder()) {}

  std::string name;  // "a", "b", ...
  std::string ns;
  int number = 0;
  velmorine::testing::TemporaryFolder home;
  std::unique_ptr<RuntimeNodeProcess> node;
  std::string localID;
  // Variables ("NAME=value") set for the node at its next start.
  std::vector<std::string> environment;

  std::string address() const { return Lan::address(number); }
  std::string displayName() const { return "Host " + name; }

  // Starts the node on the host's data home, networking on, and waits until it searches.
  void run() {
    std::vector<std::string> prefix{"ip", "netns", "exec", ns};
    if (!environment.empty()) {
      prefix.push_back("env");
      prefix.insert(prefix.end(), environment.begin(), environment.end());
    }
    node = std::make_unique<RuntimeNodeProcess>(prefix, home.path().string());
    ASSERT_TRUE(node->launch());
    node->send({{"op", "start"}});
    node->send({{"op", "setNetworkEnabled"}, {"enabled", true}});
    node->send({{"op", "updatePreferences"}, {"displayName", displayName()}});
    const auto searching = node->waitSnapshot([&](const Json& snapshot) {
      return snapshot["status"] == "network.searching" && snapshot["enabled"] == true &&
             snapshot["localID"].is_string() &&
             snapshot["preferences"]["displayName"] == displayName();
    });
    ASSERT_TRUE(searching) << name << " never searched";
    localID = (*searching)["localID"];
  }

  // Waits until this host's snapshot lists `peer` online under its name.
  bool hears(const Host& peer, size_t from = 0) {
    return node
        ->waitSnapshot(
            [&](const Json& snapshot) {
              const Json* row = peerRow(snapshot, peer.localID);
              return row != nullptr && (*row)["online"] == true &&
                     (*row)["name"] == peer.displayName();
            },
            from)
        .has_value();
  }

  // The sessions this host's runtime holds with `peer`.
  std::vector<Json> sessionsWith(const Host& peer) {
    std::vector<Json> found;
    if (const auto all = node->sessions()) {
      for (const auto& session : all->list) {
        if (session["peer"] == peer.localID) found.push_back(session);
      }
    }
    return found;
  }
};

// The one session of `peer` in a list of sessions: open and active, and no other with it.
inline std::optional<Json> soleSession(const Json& sessions, const Host& peer) {
  std::optional<Json> sole;
  for (const auto& session : sessions) {
    if (session["peer"] != peer.localID) continue;
    if (sole || session["closed"] == true || session["active"] != true) return std::nullopt;
    sole = session;
  }
  return sole;
}

// The same connection seen from its two ends.
inline bool mirrored(const Json& one, const Json& other) {
  return one["local"] == other["remote"] && one["remote"] == other["local"];
}

// Two hosts joined by one control session: how each holds it, and the safety code both show.
struct Link {
  Json x, y;
  std::string code;
};

// Waits until `x` and `y` hold one session with each other, the same connection, and show the
// same safety code for it in their next snapshots.
inline std::optional<Link> linked(Host& x, Host& y) {
  const auto deadline = std::chrono::steady_clock::now() + kNodeWait;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto ofX = x.node->sessions();
    const auto ofY = y.node->sessions();
    if (ofX && ofY) {
      const auto one = soleSession(ofX->list, y);
      const auto other = soleSession(ofY->list, x);
      if (one && other && mirrored(*one, *other)) {
        // Snapshots after the answers were built after them.
        const auto any = [](const Json&) { return true; };
        const auto seenByX = x.node->waitSnapshot(any, ofX->index);
        const auto seenByY = y.node->waitSnapshot(any, ofY->index);
        if (seenByX && seenByY) {
          const auto codeX = safetyCode(*seenByX, y.localID);
          const auto codeY = safetyCode(*seenByY, x.localID);
          if (codeX && codeY && *codeX == *codeY) return Link{*one, *other, *codeX};
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // polling, not ordering
  }
  return std::nullopt;
}

}  // namespace velmorine::runtime::testing
