#pragma once

// One runtime-node process as a test sees it (a JsonLineProcess), with the waits for its
// snapshots, diagnostics and sessions. The program's path comes from the build
// (VELMORINE_RUNTIME_NODE).

#include <cstdio>
#include <memory>

#include "tests/harness/json_line_process.h"

namespace velmorine::testing {

class RuntimeNodeProcess : public JsonLineProcess {
 public:
  // Runs `prefix` (e.g. {"ip", "netns", "exec", "ns"}; may be empty) followed by the node
  // program and its data home.
  RuntimeNodeProcess(std::vector<std::string> prefix, std::string dataHome)
      : JsonLineProcess(withNode(std::move(prefix), std::move(dataHome))) {}

  // The first snapshot from `from` on that meets `condition`.
  std::optional<Json> waitSnapshot(const std::function<bool(const Json&)>& condition,
                                   size_t from = 0, std::chrono::seconds timeout = kNodeWait) {
    return waitLine(
        [&](const Json& line) { return line.value("event", "") == "snapshot" && condition(line); },
        from, timeout);
  }
  std::optional<size_t> waitDiagnostic(const std::string& code, size_t from = 0) {
    return waitIndex(
        [&](const Json& line) {
          return line.value("event", "") == "diagnostic" && line.value("code", "") == code;
        },
        from);
  }
  // Asks for the sessions the runtime holds; their list and the index of the line.
  struct Sessions {
    Json list;
    size_t index = 0;
  };
  std::optional<Sessions> sessions() {
    const size_t from = mark();
    send({{"op", "sessions"}});
    const auto index =
        waitIndex([](const Json& line) { return line.value("event", "") == "sessions"; }, from);
    if (!index) return std::nullopt;
    std::lock_guard lock(mutex_);
    return Sessions{lines_[*index]["sessions"], *index};
  }
  // Asks for the sessions until `condition` holds of them; the index of that answer.
  std::optional<size_t> waitSessions(const std::function<bool(const Json&)>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kNodeWait;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto current = sessions();
      if (current && condition(current->list)) return current->index;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // polling, not ordering
    }
    return std::nullopt;
  }

 private:
  static std::vector<std::string> withNode(std::vector<std::string> prefix, std::string dataHome) {
    prefix.push_back(VELMORINE_RUNTIME_NODE);
    prefix.push_back(std::move(dataHome));
    return prefix;
  }
};

// The row of peer `wireID` in a snapshot, or null.
inline const Json* peerRow(const Json& snapshot, const std::string& wireID) {
  if (!snapshot.contains("peers")) return nullptr;
  for (const auto& peer : snapshot["peers"]) {
    if (peer.value("wireID", "") == wireID) return &peer;
  }
  return nullptr;
}

// The safety code a snapshot shows for peer `wireID`, or none.
inline std::optional<std::string> safetyCode(const Json& snapshot, const std::string& wireID) {
  const Json* row = peerRow(snapshot, wireID);
  if (row == nullptr || !(*row)["safetyCode"].is_string()) return std::nullopt;
  return (*row)["safetyCode"].get<std::string>();
}

// Starts runtime-node in network namespace `ns` on data home `home` with networking on; its
// device identifier once it searches, or nothing when it never does.
inline std::optional<std::string> startSearchingNode(std::unique_ptr<RuntimeNodeProcess>& node,
                                                     const std::string& ns,
                                                     const std::string& home) {
  node = std::make_unique<RuntimeNodeProcess>(std::vector<std::string>{"ip", "netns", "exec", ns},
                                              home);
  if (!node->launch()) return std::nullopt;
  node->send({{"op", "start"}});
  node->send({{"op", "setNetworkEnabled"}, {"enabled", true}});
  const auto searching = node->waitSnapshot([](const Json& snapshot) {
    return snapshot["enabled"] == true && snapshot["localID"].is_string();
  });
  if (!searching) return std::nullopt;
  return (*searching)["localID"].get<std::string>();
}

}  // namespace velmorine::testing
