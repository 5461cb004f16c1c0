#pragma once

// What the transfer tests between runtime-node hosts share: transfer rows of a snapshot, the
// digests of a tree, a tmpfs of the test's own, and a host that waits on its transfers.

#include <sched.h>
#include <sys/mount.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "tests/Velmorine/runtime/runtime_hosts.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::runtime::testing {

// A transfer row of a snapshot, or null.
inline const Json* transferRow(const Json& snapshot,
                               const std::function<bool(const Json&)>& match) {
  if (!snapshot.contains("transfers")) return nullptr;
  for (const auto& row : snapshot["transfers"]) {
    if (match(row)) return &row;
  }
  return nullptr;
}
inline const Json* transferRow(const Json& snapshot, const std::string& id) {
  return transferRow(snapshot, [&](const Json& row) { return row["id"] == id; });
}

// What `sha256sum` says of every file below `root`, with paths relative to it, sorted.
inline std::string digests(const std::filesystem::path& root) {
  return commandOutput("cd '" + root.string() +
                       "' && find . -type f -print0 | sort -z | xargs -0 -r sha256sum")
      .value_or("unreadable");
}

// Whether `condition` holds within the nodes' wait; for effects that show in no output (files
// that a node removes on one of its queues after the state it shows).
inline bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kNodeWait;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // polling, not ordering
  }
  return condition();
}

// A tmpfs of the test's own, in a mount namespace of its own that the nodes it starts inherit:
// what lives there vanishes with the test.
class PrivateTmpfs {
 public:
  PrivateTmpfs() {
    usable_ = ::unshare(CLONE_NEWNS) == 0 &&
              ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
              ::mount("tmpfs", folder_.path().c_str(), "tmpfs", 0, "size=1g,mode=0700") == 0;
  }
  ~PrivateTmpfs() {
    if (usable_) ::umount2(folder_.path().c_str(), MNT_DETACH);
  }
  PrivateTmpfs(const PrivateTmpfs&) = delete;
  PrivateTmpfs& operator=(const PrivateTmpfs&) = delete;
  bool usable() const { return usable_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const {
    return folder_ / name;
  }

 private:
  velmorine::testing::TemporaryFolder folder_;
  bool usable_ = false;
};

// A runtime-node host that accepts and reads its transfers.
struct TransferHost : Host {
  using Host::Host;

  // Waits until a snapshot from `from` on meets `condition`; the snapshot.
  std::optional<Json> until(const std::function<bool(const Json&)>& condition, size_t from = 0,
                            std::chrono::seconds timeout = kNodeWait) {
    return node->waitSnapshot(condition, from, timeout);
  }
  // The latest state of transfer `id`, once it meets `condition`.
  std::optional<Json> transferUntil(const std::string& id,
                                    const std::function<bool(const Json&)>& condition,
                                    size_t from = 0, std::chrono::seconds timeout = kNodeWait) {
    const auto snapshot = until(
        [&](const Json& s) {
          const Json* row = transferRow(s, id);
          return row != nullptr && condition(*row);
        },
        from, timeout);
    if (!snapshot) return std::nullopt;
    return *transferRow(*snapshot, id);
  }
  std::optional<Json> stateOf(const std::string& id, const std::string& state, size_t from = 0,
                              std::chrono::seconds timeout = kNodeWait) {
    return transferUntil(
        id, [&](const Json& row) { return row["state"] == state; }, from, timeout);
  }
  // The completion line of the next `op` after `from`.
  std::optional<Json> completionLine(const std::string& op, size_t from) {
    return node->waitLine(
        [&](const Json& l) {
          return l.value("event", "") == "completion" && l.value("op", "") == op;
        },
        from, std::chrono::seconds(60));
  }
  // The identifier of the incoming transfer of `peer` named `name` (its first item's name) once
  // it waits for a decision.
  std::string pendingFrom(const Host& peer, const std::string& name, size_t from = 0) {
    std::string id;
    until(
        [&](const Json& s) {
          const Json* row = transferRow(s, [&](const Json& r) {
            return r["peerID"] == peer.localID && r["outgoing"] == false &&
                   r["state"] == "pending" && r["name"] == name && r["error"].is_null();
          });
          if (row) id = (*row)["id"];
          return row != nullptr;
        },
        from);
    return id;
  }
  void accept(const std::string& id, const std::filesystem::path& destination) {
    node->send({{"op", "accept"}, {"transfer", id}, {"destination", destination.string()}});
  }
  // Moves the runtime's clock on; its uptime after the move.
  double advanceClock(double seconds) {
    const size_t mark = node->mark();
    node->send({{"op", "advanceClock"}, {"seconds", seconds}});
    const auto line = completionLine("advanceClock", mark);
    return line ? (*line)["result"].get<double>() : 0.0;
  }
  // Waits until this host heard `peer` on a route at or after uptime `since`.
  bool hearsSince(const Host& peer, double since, size_t from = 0) {
    return until(
               [&](const Json& s) {
                 const Json* row = peerRow(s, peer.localID);
                 if (row == nullptr) return false;
                 for (const auto& route : (*row)["routes"]) {
                   if (route.value("lastSeen", 0.0) >= since) return true;
                 }
                 return false;
               },
               from)
        .has_value();
  }
  // The transfers of the latest snapshot, and the last diagnostics, for a failure's message.
  std::string recent() {
    std::string text;
    const auto all = node->lines();
    for (auto line = all.rbegin(); line != all.rend(); ++line) {
      if (line->value("event", "") == "snapshot") {
        text += (*line)["transfers"].dump();
        break;
      }
    }
    size_t shown = 0;
    for (auto line = all.rbegin(); line != all.rend() && shown < 12; ++line) {
      if (line->value("event", "") == "diagnostic") {
        text += " " + line->value("code", "");
        ++shown;
      }
    }
    return text;
  }
};

}  // namespace velmorine::runtime::testing
