// Batches sent through the attachment outbox between runtime-node hosts on a LAN of network
// namespaces: a batch for a peer that is away waits, across restarts and crashes of the sender,
// and arrives whole once the peer is back; a batch that failed goes again on retry with the same
// bytes; a staged copy that changed is never offered. Sources, received folders and the data
// homes live on a tmpfs of the test's own. Needs root (CAP_NET_ADMIN, CAP_SYS_ADMIN) and
// iproute2; skips without them.

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "tests/Velmorine/runtime/runtime_hosts.h"
#include "tests/Velmorine/runtime/transfer_hosts.h"
#include "tests/Velmorine/transfer/content_files.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::runtime {
namespace {

namespace fs = std::filesystem;
using testing::Json;
using testing::Lan;
using testing::sh;

using testing::digests;
using testing::eventually;
using testing::PrivateTmpfs;
using testing::transferRow;

struct Host : testing::TransferHost {
  using testing::TransferHost::TransferHost;

  // Hands files to the outbox for `peer`; the completion line (transfer, result).
  Json send(const Host& peer, const std::vector<fs::path>& paths) {
    const size_t mark = node->mark();
    Json list = Json::array();
    for (const auto& path : paths) list.push_back(path.string());
    node->send({{"op", "send"}, {"peer", peer.localID}, {"paths", list}});
    return completionLine("send", mark).value_or(Json{{"result", "none"}});
  }
  // Moves the runtime's clock on, so the five-second pass comes at once.
  void nextPass() { advanceClock(5.0); }
  fs::path staging() const { return home.path() / "Velmorine" / "attachment-outbox"; }
  std::vector<std::string> stagedBatches() const {
    std::vector<std::string> names;
    if (!fs::exists(staging())) return names;
    for (const auto& item : fs::directory_iterator(staging())) {
      names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

class OutboxNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (CAP_NET_ADMIN) for network namespaces";
    if (!files.usable()) GTEST_SKIP() << "needs root (CAP_SYS_ADMIN) for a tmpfs of its own";
    tag = "vob" + std::to_string(::getpid());
    lan = std::make_unique<Lan>(tag);
    if (!lan->create()) GTEST_SKIP() << "cannot make network namespaces and a bridge with iproute2";
    for (auto* host : {&a, &b}) host->ns = lan->ns(host->name);
    fs::create_directories(source);
    fs::create_directories(destination);
  }
  void TearDown() override {
    for (auto* host : {&a, &b}) {
      if (host->node) {
        EXPECT_TRUE(host->node->stopsCleanly()) << host->name << " ended badly";
      }
      host->node.reset();
    }
    lan.reset();
  }

  void start(Host& host) {
    if (!plugged.contains(host.name)) {
      ASSERT_TRUE(lan->plug(host.name, host.number)) << "cannot plug in " << host.name;
      plugged.insert(host.name);
    }
    host.run();
  }
  void restart(Host& host) {
    if (host.node) host.node->stop();
    host.node.reset();
    ASSERT_NO_FATAL_FAILURE(host.run());
  }
  // Both up and linked, so each trusts the other.
  void pair() {
    ASSERT_NO_FATAL_FAILURE(start(a));
    ASSERT_NO_FATAL_FAILURE(start(b));
    ASSERT_TRUE(a.until([&](const Json& s) {
      const Json* row = testing::peerRow(s, b.localID);
      return row != nullptr && (*row)["online"] == true;
    }));
    const size_t aMark = a.node->mark(), bMark = b.node->mark();
    a.node->send({{"op", "connectPeer"}, {"peer", b.localID}});
    ASSERT_TRUE(a.until(
        [&](const Json& s) { return testing::safetyCode(s, b.localID).has_value(); }, aMark));
    ASSERT_TRUE(b.until(
        [&](const Json& s) { return testing::safetyCode(s, a.localID).has_value(); }, bMark));
  }
  // B goes away; A no longer sees it online.
  void takeAway(Host& host) {
    host.node->stop();
    host.node.reset();
  }

  fs::path tree(const std::string& name, int files, size_t size, uint8_t seed = 1) {
    const fs::path root = source / name;
    fs::create_directories(root / "inner");
    for (int i = 0; i < files; ++i) {
      velmorine::testing::writeFile(root / (i % 2 ? "inner" : "") / ("f" + std::to_string(i)),
                                    velmorine::testing::patternBytes(size + i, seed));
    }
    return root;
  }

  // `sent` arrived whole as transfer `id`.
  void expectArrived(const std::string& id, const fs::path& sent) {
    const fs::path arrived = destination / ("Velmorine-" + id) / sent.filename();
    EXPECT_EQ(digests(sent), digests(arrived));
    EXPECT_TRUE(sh("diff -r '" + sent.string() + "' '" + arrived.string() + "'"));
  }

  // Delivers A's batch `id`, named `name`, to B: accepted there and committed on both sides.
  // B's identifier of it, which names its received folder.
  std::string deliver(const std::string& id, const std::string& name, size_t aFrom = 0,
                      size_t bFrom = 0) {
    const std::string incoming = b.pendingFrom(a, name, bFrom);
    EXPECT_FALSE(incoming.empty()) << a.recent();
    if (incoming.empty()) return "";
    b.accept(incoming, destination);
    EXPECT_TRUE(b.stateOf(incoming, "committed", bFrom)) << b.recent();
    EXPECT_TRUE(a.stateOf(id, "committed", aFrom)) << a.recent();
    return incoming;
  }

  PrivateTmpfs files;
  fs::path source = files / "source";
  fs::path destination = files / "destination";
  std::string tag;
  std::unique_ptr<Lan> lan;
  std::set<std::string> plugged;
  Host a{"a", 1, files / ""}, b{"b", 2, files / ""};
};

TEST_F(OutboxNetns,
       BatchesForAnAbsentPeerWaitAcrossARestartAndArriveInOrder_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(pair());
  takeAway(b);
  const fs::path first = tree("First", 6, 70000, 3);
  const fs::path second = tree("Second", 3, 5000, 4);
  const Json one = a.send(b, {first});
  const Json two = a.send(b, {second});
  ASSERT_TRUE(one["result"].is_null()) << one;
  ASSERT_TRUE(two["result"].is_null()) << two;
  const std::string firstID = one["transfer"], secondID = two["transfer"];
  ASSERT_TRUE(a.stateOf(firstID, "queued"));
  EXPECT_EQ(a.stagedBatches(),
            (std::vector<std::string>{std::min(firstID, secondID), std::max(firstID, secondID)}));
  // The user's files change after staging: the staged bytes are what arrives.
  const std::string firstDigests = digests(first);
  const fs::path kept = source / "kept-first";
  ASSERT_TRUE(sh("cp -a '" + first.string() + "' '" + kept.string() + "'"));
  velmorine::testing::writeFile(first / "f0", "changed later");

  ASSERT_NO_FATAL_FAILURE(restart(a));
  ASSERT_TRUE(a.stateOf(firstID, "queued"));
  ASSERT_TRUE(a.stateOf(secondID, "queued"));
  const size_t aMark = a.node->mark();
  ASSERT_NO_FATAL_FAILURE(start(b));
  const std::string firstIn = deliver(firstID, "First", aMark);
  ASSERT_FALSE(firstIn.empty());
  EXPECT_EQ(digests(destination / ("Velmorine-" + firstIn) / "First"), firstDigests);
  // The second was held back until the first was delivered.
  for (const auto& line : b.node->lines()) {
    if (line.value("event", "") != "snapshot") continue;
    bool firstOpen = false, secondSeen = false;
    for (const auto& row : line["transfers"]) {
      if (row["name"] == "First" && row["state"] != "committed") firstOpen = true;
      if (row["name"] == "Second") secondSeen = true;
    }
    EXPECT_FALSE(firstOpen && secondSeen) << "the second batch was offered before the first ended";
  }
  const std::string secondIn = deliver(secondID, "Second", aMark);
  ASSERT_FALSE(secondIn.empty());
  expectArrived(secondIn, second);
  EXPECT_TRUE(eventually([&] { return a.stagedBatches().empty(); }));
}

// Where the sender dies, and what it shows after its restart.
struct SenderKill {
  const char* name;
  const char* point;
  bool recorded;  // the batch is in the history and goes after the restart
};

class OutboxSenderKilled : public OutboxNetns, public ::testing::WithParamInterface<SenderKill> {};

TEST_P(OutboxSenderKilled, RestartSweepsOrOffers_NeedsRootAndNamespaces) {
  const auto& kill = GetParam();
  ASSERT_NO_FATAL_FAILURE(pair());
  const fs::path sent = tree("Killed", 4, 300000, 5);
  a.environment = {std::string("VELMORINE_NODE_KILL_AT=") + kill.point};
  ASSERT_NO_FATAL_FAILURE(restart(a));
  Json list = Json::array({sent.string()});
  a.node->send({{"op", "send"}, {"peer", b.localID}, {"paths", list}});
  ASSERT_TRUE(a.node->waitExit()) << "the node did not die at " << kill.point << ": "
                                  << a.node->lines().back().dump();
  for (const auto& line : a.node->lines()) {
    EXPECT_NE(line.value("op", ""), "send") << "completed before the kill";
  }
  a.node.reset();
  a.environment.clear();
  ASSERT_FALSE(a.stagedBatches().empty());  // a copy, whole or partial, is left
  const size_t bMark = b.node ? b.node->mark() : 0;
  ASSERT_NO_FATAL_FAILURE(a.run());
  if (kill.recorded) {
    ASSERT_EQ(a.stagedBatches().size(), 1u);
    const std::string id = a.stagedBatches().front();
    const std::string incoming = deliver(id, "Killed", 0, bMark);
    ASSERT_FALSE(incoming.empty());
    expectArrived(incoming, sent);
  } else {
    ASSERT_TRUE(a.until([](const Json& s) { return s["transfers"].empty(); }));
    EXPECT_TRUE(eventually([&] { return a.stagedBatches().empty(); }));
  }
}

INSTANTIATE_TEST_SUITE_P(Points, OutboxSenderKilled,
                         ::testing::Values(SenderKill{"whileStaging", "staging.copied", false},
                                           SenderKill{"afterTheEnqueue", "outbox.enqueued", true}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(OutboxNetns,
       ASenderKilledWhileSendingShowsDisconnectedAndARetryDelivers_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(pair());
  const fs::path sent = tree("Sending", 2, 48 << 20, 7);
  const Json queued = a.send(b, {sent});
  ASSERT_TRUE(queued["result"].is_null()) << queued;
  const std::string id = queued["transfer"];
  const std::string incoming = b.pendingFrom(a, "Sending");
  ASSERT_FALSE(incoming.empty());
  b.accept(incoming, destination);
  ASSERT_TRUE(
      b.transferUntil(incoming, [](const Json& row) { return row["bytes"].get<double>() > 0; }));
  a.node->kill();
  a.node.reset();
  // The receiver ends its attempt once its deadlines pass on its moved clock.
  std::optional<Json> endedThere;
  for (int i = 0; i < 40 && !endedThere; ++i) {
    b.node->send({{"op", "advanceClock"}, {"seconds", 30.0}});
    endedThere = b.transferUntil(
        incoming,
        [](const Json& r) {
          const std::string state = r["state"];
          return state == "failed" || state == "unconfirmed" || state == "cancelled";
        },
        0, std::chrono::seconds(2));
  }
  ASSERT_TRUE(endedThere) << b.recent();

  // After its restart the sender shows the batch for a retry, with the lost peer as its cause.
  const size_t bMark = b.node->mark();
  ASSERT_NO_FATAL_FAILURE(a.run());
  const auto attention = a.stateOf(id, "unconfirmed");
  ASSERT_TRUE(attention) << a.recent();
  EXPECT_EQ((*attention)["canRetryQueued"], true);
  EXPECT_NE((*attention)["error"].dump().find("disconnected"), std::string::npos) << *attention;
  EXPECT_EQ(a.stagedBatches(), std::vector<std::string>{id});

  // Fresh routes both ways (B's clock moved far on), then linked again.
  const double aNow = a.advanceClock(0), bNow = b.advanceClock(0);
  ASSERT_TRUE(a.hearsSince(b, aNow));
  ASSERT_TRUE(b.hearsSince(a, bNow));
  a.node->send({{"op", "connectPeer"}, {"peer", b.localID}});
  ASSERT_TRUE(testing::linked(a, b));
  const size_t aMark = a.node->mark();
  a.node->send({{"op", "retry"}, {"transfer", id}});
  const std::string again = deliver(id, "Sending", aMark, bMark);
  ASSERT_FALSE(again.empty());
  expectArrived(again, sent);
  EXPECT_TRUE(eventually([&] { return a.stagedBatches().empty(); }));
}

TEST_F(OutboxNetns, AStagedCopyAlteredIsNeverOfferedAndStaysChanged_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(pair());
  takeAway(b);
  const fs::path sent = tree("Altered", 2, 4000);
  const Json queued = a.send(b, {sent});
  ASSERT_TRUE(queued["result"].is_null()) << queued;
  const std::string id = queued["transfer"];
  a.nextPass();
  for (const auto& item : fs::directory_iterator(a.staging() / id)) {
    velmorine::testing::writeFile(item.path(), "altered");
    break;
  }
  ASSERT_NO_FATAL_FAILURE(start(b));
  const auto attention = a.transferUntil(
      id, [](const Json& row) { return row["state"] == "unconfirmed"; }, 0,
      std::chrono::seconds(60));
  ASSERT_TRUE(attention) << a.recent();
  EXPECT_EQ((*attention)["error"], "transfer.error.changed");
  EXPECT_EQ((*attention)["canRetryQueued"], true);
  a.nextPass();
  a.nextPass();
  ASSERT_NO_FATAL_FAILURE(restart(a));
  const auto restored = a.stateOf(id, "unconfirmed");
  ASSERT_TRUE(restored);
  EXPECT_EQ((*restored)["error"], "transfer.error.changed");
  for (const auto& row : b.node->lines()) {
    if (row.value("event", "") != "snapshot") continue;
    EXPECT_EQ(transferRow(row, id), nullptr) << "offered to the peer";
  }
}

TEST_F(OutboxNetns,
       ACutLinkLeavesTheBatchForRetryWhichDeliversTheSameBytes_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(pair());
  const fs::path sent = tree("Cut", 2, 48 << 20, 6);
  const Json queued = a.send(b, {sent});
  ASSERT_TRUE(queued["result"].is_null()) << queued;
  const std::string id = queued["transfer"];
  const std::string incoming = b.pendingFrom(a, "Cut");
  ASSERT_FALSE(incoming.empty());
  b.accept(incoming, destination);
  ASSERT_TRUE(
      b.transferUntil(incoming, [](const Json& row) { return row["bytes"].get<double>() > 0; }));
  ASSERT_TRUE(lan->cut(b.name));
  // The engine's deadlines pass on the moved clocks, until both sides have ended the attempt
  // (a receiver still holding a running attempt leaves a new offer of it unanswered).
  const auto isEnded = [](const Json& r) {
    const std::string state = r["state"];
    return state == "failed" || state == "unconfirmed" || state == "cancelled";
  };
  std::optional<Json> ended, endedThere;
  for (int i = 0; i < 40 && !(ended && endedThere); ++i) {
    a.node->send({{"op", "advanceClock"}, {"seconds", 30.0}});
    b.node->send({{"op", "advanceClock"}, {"seconds", 30.0}});
    if (!ended) {
      ended = a.transferUntil(
          id, [](const Json& r) { return r["state"] == "unconfirmed"; }, 0,
          std::chrono::seconds(2));
    }
    if (!endedThere) endedThere = b.transferUntil(incoming, isEnded, 0, std::chrono::seconds(2));
  }
  ASSERT_TRUE(ended) << a.recent();
  ASSERT_TRUE(endedThere) << b.recent();
  EXPECT_EQ((*ended)["canRetryQueued"], true);
  EXPECT_EQ(a.stagedBatches(), std::vector<std::string>{id});
  // With the link back and fresh routes, the two link up again (the control session may not
  // have lived through the cut).
  ASSERT_TRUE(lan->mend(b.name));
  const double aNow = a.advanceClock(0), bNow = b.advanceClock(0);
  ASSERT_TRUE(a.hearsSince(b, aNow));
  ASSERT_TRUE(b.hearsSince(a, bNow));
  a.node->send({{"op", "connectPeer"}, {"peer", b.localID}});
  ASSERT_TRUE(testing::linked(a, b));
  const size_t aMark = a.node->mark(), bMark = b.node->mark();
  a.node->send({{"op", "retry"}, {"transfer", id}});
  // Back in the queue, and offered again at once while the peer is online.
  ASSERT_TRUE(a.transferUntil(
      id, [](const Json& row) { return row["state"] != "unconfirmed"; }, aMark))
      << a.recent() << [&] {
           std::string text;
           const auto all = a.node->lines();
           for (size_t i = aMark; i < all.size(); ++i) {
             text += "\n" + all[i].value("event", "") + " " + all[i].value("op", "") + " " +
                     all[i].value("code", "");
             if (all[i].value("event", "") == "snapshot") text += all[i]["transfers"].dump();
           }
           return text;
         }();
  // The receiver that saw the first attempt takes the second.
  const std::string again = deliver(id, "Cut", aMark, bMark);
  ASSERT_FALSE(again.empty());
  expectArrived(again, sent);
  EXPECT_TRUE(eventually([&] { return a.stagedBatches().empty(); }));
}

TEST_F(OutboxNetns, ASmallDataFolderFailsStagingWithDiskSpace_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(pair());
  // Mounted before the node starts: `ip netns exec` gives it a copy of the mounts.
  a.node->stop();
  a.node.reset();
  fs::create_directories(a.staging());
  ASSERT_EQ(::mount("tmpfs", a.staging().c_str(), "tmpfs", 0, "size=512k,mode=0700"), 0);
  ASSERT_NO_FATAL_FAILURE(a.run());
  const fs::path sent = tree("Large", 2, 2 << 20);
  const Json refused = a.send(b, {sent});
  EXPECT_EQ(refused["result"], (Json{{"failure", "diskSpace"}}));
  EXPECT_TRUE(a.stagedBatches().empty());
  const auto all = a.node->lines();
  for (auto line = all.rbegin(); line != all.rend(); ++line) {
    if (line->value("event", "") != "snapshot") continue;
    EXPECT_TRUE((*line)["transfers"].empty()) << "recorded: " << (*line)["transfers"].dump();
    break;
  }
  a.node->stop();
  a.node.reset();
  ::umount2(a.staging().c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace velmorine::runtime
