// The runtime through its headless driver, one or two processes on a data home of their own:
// start, networking, the instance lock and the operations that answer with a completion. Where
// networking runs, the node runs in a network namespace of its own (unshare), so that its
// announcements never reach the machine's network.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>

#include "tests/harness/runtime_node_process.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::runtime {
namespace {

using testing::Json;
using testing::RuntimeNodeProcess;

const std::vector<std::string> kPrivateNetwork = {"unshare", "--net", "--map-root-user"};

bool privateNetworkAvailable() {
  return std::system("unshare --net --map-root-user true >/dev/null 2>&1") == 0;
}

bool isStatus(const Json& line, const std::string& status) {
  return line.value("event", "") == "snapshot" && line.value("status", "") == status;
}

std::optional<Json> completion(RuntimeNodeProcess& node, const std::string& op, size_t from) {
  const auto line = node.waitLine(
      [&](const Json& candidate) {
        return candidate.value("event", "") == "completion" && candidate.value("op", "") == op;
      },
      from);
  if (!line) return std::nullopt;
  return (*line)["result"];
}

TEST(RuntimeNode, FreshFolderStartsPausedSearchesWhenEnabledAndKeepsItsIdentity) {
  if (!privateNetworkAvailable()) {
    GTEST_SKIP() << "needs a private network namespace (unshare --net --map-root-user) so that "
                    "discovery stays off the machine's network";
  }
  velmorine::testing::TemporaryFolder home;
  std::string localID;
  {
    RuntimeNodeProcess node(kPrivateNetwork, home.path().string());
    ASSERT_TRUE(node.launch());
    node.send({{"op", "start"}});
    const auto paused = node.waitSnapshot([](const Json&) { return true; });
    ASSERT_TRUE(paused);
    EXPECT_EQ((*paused)["status"], "network.paused");
    EXPECT_FALSE((*paused)["enabled"].get<bool>());
    EXPECT_TRUE((*paused)["localID"].is_null()) << "no identity before networking first ran";
    EXPECT_FALSE((*paused)["preferences"]["networkEnabled"].get<bool>());

    node.send({{"op", "setNetworkEnabled"}, {"enabled", true}});
    // Discovery's own verdict on a namespace with only a loopback that is down.
    const std::set<std::string> discoveryStatuses = {"network.searching", "network.noInterfaces",
                                                     "network.restricted", "network.accessUnknown",
                                                     "network.partialFailure"};
    const auto running = node.waitSnapshot([&](const Json& snapshot) {
      return snapshot["enabled"] == true && discoveryStatuses.contains(snapshot["status"]);
    });
    ASSERT_TRUE(running) << "networking never reached discovery";
    ASSERT_TRUE((*running)["localID"].is_string());
    localID = (*running)["localID"];
    EXPECT_TRUE(std::regex_match(
        localID, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));
    // End of input shuts the node down and ends it normally.
    EXPECT_TRUE(node.stopsCleanly());
    EXPECT_TRUE(node.waitLine([](const Json& line) { return line.value("event", "") == "quit"; }));
  }
  // The program's places under the data home: the store folder and the keychain beside it.
  EXPECT_TRUE(std::filesystem::exists(home / "Velmorine" / "state-v1.json"));
  EXPECT_TRUE(std::filesystem::exists(home / "Velmorine" / "conversation-history-v2.sqlite"));
  EXPECT_TRUE(std::filesystem::exists(home / "velmorine-keychain" / "items-v1.json"));

  // The next run networks at once, as the preferences say, under the same device identifier.
  RuntimeNodeProcess again(kPrivateNetwork, home.path().string());
  ASSERT_TRUE(again.launch());
  again.send({{"op", "start"}});
  const auto restarted = again.waitSnapshot([](const Json& snapshot) {
    return snapshot["enabled"] == true && snapshot["localID"].is_string();
  });
  ASSERT_TRUE(restarted);
  EXPECT_EQ((*restarted)["localID"], localID);

  const size_t mark = again.mark();
  again.send({{"op", "setNetworkEnabled"}, {"enabled", false}});
  const auto stopped =
      again.waitSnapshot([](const Json& snapshot) { return snapshot["enabled"] == false; }, mark);
  ASSERT_TRUE(stopped);
  EXPECT_EQ((*stopped)["status"], "network.paused");
  EXPECT_EQ((*stopped)["localID"], localID);
  EXPECT_TRUE(again.stopsCleanly());
}

TEST(RuntimeNode, SuspendStopsNetworkingAndResumeStartsItAgain) {
  if (!privateNetworkAvailable()) {
    GTEST_SKIP() << "needs a private network namespace (unshare --net --map-root-user) so that "
                    "discovery stays off the machine's network";
  }
  velmorine::testing::TemporaryFolder home;
  RuntimeNodeProcess node(kPrivateNetwork, home.path().string());
  ASSERT_TRUE(node.launch());
  node.send({{"op", "start"}});
  node.send({{"op", "setNetworkEnabled"}, {"enabled", true}});
  const auto enabled = [](const Json& snapshot) { return snapshot["enabled"] == true; };
  ASSERT_TRUE(node.waitSnapshot(enabled));

  size_t mark = node.mark();
  node.send({{"op", "suspend"}});
  const auto suspended =
      node.waitSnapshot([](const Json& snapshot) { return snapshot["enabled"] == false; }, mark);
  ASSERT_TRUE(suspended);
  EXPECT_EQ((*suspended)["status"], "network.paused");
  // Sleep does not touch the preference: waking brings networking back.
  EXPECT_TRUE((*suspended)["preferences"]["networkEnabled"].get<bool>());

  mark = node.mark();
  node.send({{"op", "resume"}});
  EXPECT_TRUE(node.waitSnapshot(enabled, mark));
  EXPECT_TRUE(node.stopsCleanly());
}

TEST(RuntimeNode, SecondInstanceOnOneFolderIsAlreadyRunningUntilTheFirstShutsDown) {
  // Networking stays off (the default of a fresh folder): no namespace needed.
  velmorine::testing::TemporaryFolder home;
  RuntimeNodeProcess first({}, home.path().string());
  ASSERT_TRUE(first.launch());
  first.send({{"op", "start"}});
  ASSERT_TRUE(first.waitLine([](const Json& line) { return isStatus(line, "network.paused"); }));

  RuntimeNodeProcess second({}, home.path().string());
  ASSERT_TRUE(second.launch());
  second.send({{"op", "start"}});
  const auto refused = second.waitSnapshot([](const Json&) { return true; });
  ASSERT_TRUE(refused);
  EXPECT_EQ((*refused)["status"], "storage.alreadyRunning");
  EXPECT_FALSE((*refused)["enabled"].get<bool>());

  // Once the first has shut down (its process still running), a new start of the second opens.
  const size_t firstMark = first.mark();
  first.send({{"op", "shutdown"}});
  ASSERT_TRUE(completion(first, "shutdown", firstMark));
  const size_t secondMark = second.mark();
  second.send({{"op", "start"}});
  EXPECT_TRUE(second.waitLine([](const Json& line) { return isStatus(line, "network.paused"); },
                              secondMark));
  EXPECT_TRUE(first.stopsCleanly());
  EXPECT_TRUE(second.stopsCleanly());
}

TEST(RuntimeNode, OperationsAnswerWithTheirCompletions) {
  velmorine::testing::TemporaryFolder home;
  RuntimeNodeProcess node({}, home.path().string());
  ASSERT_TRUE(node.launch());
  node.send({{"op", "start"}});
  ASSERT_TRUE(node.waitLine([](const Json& line) { return isStatus(line, "network.paused"); }));

  size_t mark = node.mark();
  node.send({{"op", "renameDevice"}, {"name", "  Desk   Machine "}});
  EXPECT_EQ(completion(node, "renameDevice", mark), true);
  EXPECT_TRUE(node.waitSnapshot(
      [](const Json& snapshot) {
        return snapshot["preferences"]["displayName"] == "Desk   Machine";
      },
      mark));

  // A name of nothing but blanks is refused and changes nothing.
  mark = node.mark();
  node.send({{"op", "renameDevice"}, {"name", "   "}});
  EXPECT_EQ(completion(node, "renameDevice", mark), false);

  mark = node.mark();
  node.send({{"op", "resetDevices"}});
  EXPECT_EQ(completion(node, "resetDevices", mark), true);
  mark = node.mark();
  node.send({{"op", "hideEndedTransfers"}});
  EXPECT_EQ(completion(node, "hideEndedTransfers", mark), true);

  // Two shutdowns: both answered, in order.
  mark = node.mark();
  node.send({{"op", "shutdown"}});
  node.send({{"op", "shutdown"}});
  const auto first =
      node.waitIndex([](const Json& line) { return line.value("op", "") == "shutdown"; }, mark);
  ASSERT_TRUE(first);
  EXPECT_TRUE(node.waitIndex([](const Json& line) { return line.value("op", "") == "shutdown"; },
                             *first + 1));
  EXPECT_TRUE(node.stopsCleanly());
}

}  // namespace
}  // namespace velmorine::runtime
