#pragma once

// One desktop-bus-peer process (a scripted notification server, login manager or dock) on a
// private bus. The program's path comes from the build (VELMORINE_DESKTOP_BUS_PEER).

#include <QTest>
#include <string>

#include "tests/harness/json_line_process.h"

namespace velmorine::testing {

class BusPeer : public JsonLineProcess {
 public:
  BusPeer(const std::string& role, const std::string& address,
          const std::vector<std::string>& more = {})
      : JsonLineProcess(arguments(role, address, more)) {}

  // Starts it and waits until it serves.
  bool start() {
    return launch() && waitLine([](const Json& line) {
                         return line.value("event", "") == "ready";
                       }).has_value();
  }

  // The lines with this event, from `from` on.
  std::vector<Json> events(const std::string& event, size_t from = 0) {
    std::vector<Json> found;
    const auto all = lines();
    for (size_t i = from; i < all.size(); ++i) {
      if (all[i].value("event", "") == event) found.push_back(all[i]);
    }
    return found;
  }

  // Runs the Qt event loop of this process until `count` lines with this event were printed
  // from `from` on; all of them.
  std::vector<Json> awaitEvents(const std::string& event, size_t count, size_t from = 0) {
    [[maybe_unused]] const bool enough =
        QTest::qWaitFor([&] { return events(event, from).size() >= count; }, 20000);
    return events(event, from);
  }

  // Sends a command and waits for its acknowledgement (the event `answer`).
  std::optional<Json> ask(const Json& command, const std::string& answer) {
    const size_t from = mark();
    send(command);
    const auto found = awaitEvents(answer, 1, from);
    if (found.empty()) return std::nullopt;
    return found.front();
  }

 private:
  static std::vector<std::string> arguments(const std::string& role, const std::string& address,
                                            const std::vector<std::string>& more) {
    std::vector<std::string> all{VELMORINE_DESKTOP_BUS_PEER, role, address};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }
};

}  // namespace velmorine::testing
