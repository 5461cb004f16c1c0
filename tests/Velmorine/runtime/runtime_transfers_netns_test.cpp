// File transfers between hosts on one LAN of network namespaces, each host a runtime-node with a
// data home of its own, the received folders on a tmpfs. Each case asserts what a user would
// find: a whole `Velmorine-<id>` folder, indexed, identical to what was sent (diff -r,
// sha256sum), or nothing at all (no stage, no journal) once the hosts have restarted; and the
// end state each side shows. Needs root (CAP_NET_ADMIN, CAP_SYS_ADMIN) and iproute2; skips
// without them.

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
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
using testing::RuntimeNodeProcess;
using testing::sh;

using testing::digests;
using testing::eventually;
using testing::PrivateTmpfs;
using testing::transferRow;

// A runtime-node host that offers, accepts and reads its transfers.
struct Host : testing::TransferHost {
  using testing::TransferHost::TransferHost;

  // The result of the next `op`'s completion after `from`.
  std::optional<Json> completion(const std::string& op, size_t from) {
    const auto line = completionLine(op, from);
    if (!line) return std::nullopt;
    return (*line)["result"];
  }
  // Offers files or folders to `peer`; the sender's transfer identifier, or the failure.
  Json offer(const Host& peer, const std::vector<fs::path>& paths) {
    const size_t mark = node->mark();
    Json list = Json::array();
    for (const auto& path : paths) list.push_back(path.string());
    node->send({{"op", "offer"}, {"peer", peer.localID}, {"paths", list}});
    return completion("offer", mark).value_or(Json{{"failure", "none"}});
  }
  Json offerAgain(const Host& peer, const std::string& batch) {
    const size_t mark = node->mark();
    node->send({{"op", "offer"}, {"peer", peer.localID}, {"batch", batch}});
    return completion("offer", mark).value_or(Json{{"failure", "none"}});
  }
  // The store's pending receives and received index, read on the runtime queue.
  std::optional<Json> store() {
    const size_t mark = node->mark();
    node->send({{"op", "store"}});
    return node->waitLine([](const Json& l) { return l.value("event", "") == "store"; }, mark);
  }
};

class TransfersNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (CAP_NET_ADMIN) for network namespaces";
    if (!files.usable()) GTEST_SKIP() << "needs root (CAP_SYS_ADMIN) for a tmpfs of its own";
    tag = "vtr" + std::to_string(::getpid());
    lan = std::make_unique<Lan>(tag);
    if (!lan->create()) GTEST_SKIP() << "cannot make network namespaces and a bridge with iproute2";
    for (auto* host : {&a, &b, &c}) host->ns = lan->ns(host->name);
    fs::create_directories(source);
    fs::create_directories(destination);
  }
  void TearDown() override {
    for (auto* host : {&a, &b, &c}) {
      if (host->node) {
        ::kill(host->node->pid(), SIGCONT);
        EXPECT_TRUE(host->node->stopsCleanly()) << host->name << " ended badly";
      }
      host->node.reset();
    }
    lan.reset();
  }

  void bringUp(Host& host) {
    ASSERT_TRUE(lan->plug(host.name, host.number)) << "cannot plug in " << host.name;
    host.run();
  }
  // `from` dials `to`; both end linked.
  void connect(Host& from, Host& to) {
    ASSERT_TRUE(from.until([&](const Json& s) {
      const Json* row = testing::peerRow(s, to.localID);
      return row != nullptr && (*row)["online"] == true;
    })) << from.name
        << " never heard " << to.name;
    const size_t fromMark = from.node->mark(), toMark = to.node->mark();
    from.node->send({{"op", "connectPeer"}, {"peer", to.localID}});
    ASSERT_TRUE(from.until(
        [&](const Json& s) { return testing::safetyCode(s, to.localID).has_value(); }, fromMark));
    ASSERT_TRUE(to.until(
        [&](const Json& s) { return testing::safetyCode(s, from.localID).has_value(); }, toMark));
  }
  // Brings up a sender and a receiver, linked.
  void pair(Host& sender, Host& receiver) {
    ASSERT_NO_FATAL_FAILURE(bringUp(sender));
    ASSERT_NO_FATAL_FAILURE(bringUp(receiver));
    ASSERT_NO_FATAL_FAILURE(connect(sender, receiver));
  }

  // A file of `size` bytes under the sources.
  fs::path file(const std::string& name, size_t size, uint8_t seed = 1) {
    const fs::path path = source / name;
    velmorine::testing::writeFile(path, velmorine::testing::patternBytes(size, seed));
    return path;
  }

  static std::vector<std::string> names(const fs::path& where) {
    std::vector<std::string> found;
    for (const auto& item : fs::directory_iterator(where)) {
      found.push_back(item.path().filename().string());
    }
    std::sort(found.begin(), found.end());
    return found;
  }
  // Nothing but these received folders in `where` once its stages are gone: no stage left for
  // good, no journal, no stray file. The file queue removes an ended receive's stage, and then
  // its journal, after the receive's state shows.
  static std::vector<std::string> contents(const fs::path& where) {
    eventually([&] {
      return std::ranges::none_of(names(where), [](const std::string& name) {
        return name.starts_with(".velmorine-") && name.ends_with(".partial");
      });
    });
    return names(where);
  }

  // `sent` arrived whole as transfer `id` of `receiver`: identical bytes, indexed, no journal.
  void expectArrived(Host& receiver, const std::string& id, const fs::path& sent) {
    const fs::path folder = destination / ("Velmorine-" + id);
    const fs::path arrived = folder / sent.filename();
    EXPECT_TRUE(sh("diff -r '" + sent.string() + "' '" + arrived.string() + "'"))
        << "the received tree differs";
    if (fs::is_directory(sent)) {
      EXPECT_EQ(digests(sent), digests(arrived));
    }
    const auto store = receiver.store();
    ASSERT_TRUE(store);
    EXPECT_NE(std::find((*store)["received"].begin(), (*store)["received"].end(), id),
              (*store)["received"].end())
        << "not indexed";
    EXPECT_TRUE((*store)["pendingReceives"].empty()) << "a journal is left";
  }
  // Nothing of transfer `id` anywhere: no folder, no stage, no index entry, no journal.
  void expectNothing(Host& receiver, const std::string& id) {
    eventually([&] {
      const auto store = receiver.store();
      return store && (*store)["pendingReceives"].empty();
    });
    EXPECT_FALSE(fs::exists(destination / ("Velmorine-" + id)));
    for (const auto& name : contents(destination)) {
      EXPECT_EQ(name.find(id), std::string::npos) << name << " left behind";
    }
    const auto store = receiver.store();
    ASSERT_TRUE(store);
    EXPECT_TRUE((*store)["pendingReceives"].empty()) << "a journal is left";
    for (const auto& entry : (*store)["received"]) EXPECT_NE(entry, id);
  }

  PrivateTmpfs files;
  fs::path source = files / "source";
  fs::path destination = files / "destination";

  std::string tag;
  std::unique_ptr<Lan> lan;
  Host a{"a", 1}, b{"b", 2}, c{"c", 3};
};

TEST_F(TransfersNetns, FolderOf4096EntriesArrivesIdentical_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(pair(a, b));
  const fs::path tree = source / "Tree";
  fs::create_directories(tree / "sub");
  for (int i = 0; i < 4094; ++i) {
    const fs::path at = (i % 2 ? tree / "sub" : tree) / ("f" + std::to_string(i));
    velmorine::testing::writeFile(at,
                                  velmorine::testing::patternBytes(static_cast<size_t>(i % 97), 9));
  }
  const Json sent = a.offer(b, {tree});
  ASSERT_TRUE(sent.is_string()) << sent;
  const std::string id = b.pendingFrom(a, "Tree");
  ASSERT_FALSE(id.empty());
  b.accept(id, destination);
  // 4,096 entries take a while under the sanitizers on a busy machine.
  ASSERT_TRUE(b.stateOf(id, "committed", 0, std::chrono::seconds(300)));
  ASSERT_TRUE(a.stateOf(sent, "committed", 0, std::chrono::seconds(300)));
  expectArrived(b, id, tree);
  // Received files and folders are the receiver's own: 0600 and 0700.
  const fs::path arrived = destination / ("Velmorine-" + id) / "Tree";
  EXPECT_EQ(velmorine::testing::lstatOf(arrived / "f0").st_mode & 07777, 0600u);
  EXPECT_EQ(velmorine::testing::lstatOf(arrived / "sub").st_mode & 07777, 0700u);
  EXPECT_EQ(contents(destination), std::vector<std::string>{"Velmorine-" + id});

  // One entry more is refused before anything is offered.
  velmorine::testing::writeFile(tree / "one-too-many", "x");
  const Json refused = a.offer(b, {tree});
  EXPECT_EQ(refused, (Json{{"failure", "entryLimit"}}));
}

// The node to kill, and how far the receiver's bytes got first.
struct KillPoint {
  const char* name;
  bool killReceiver;
  double fraction;
};

class TransfersKilled : public TransfersNetns, public ::testing::WithParamInterface<KillPoint> {};

TEST_P(TransfersKilled, EitherTheWholeFolderOrNothingAfterRestart_NeedsRootAndNamespaces) {
  const auto& point = GetParam();
  ASSERT_NO_FATAL_FAILURE(pair(a, b));
  const fs::path sent = file("big.bin", 48 << 20);
  const Json offered = a.offer(b, {sent});
  ASSERT_TRUE(offered.is_string()) << offered;
  const std::string id = b.pendingFrom(a, "big.bin");
  b.accept(id, destination);
  const auto reached = b.transferUntil(id, [&](const Json& row) {
    const double total = row["totalBytes"].get<double>();
    return row["state"] == "committed" ||
           (row["state"] == "transferring" && row["bytes"].get<double>() >= point.fraction * total);
  });
  ASSERT_TRUE(reached);
  Host& killed = point.killReceiver ? b : a;
  Host& survivor = point.killReceiver ? a : b;
  killed.node->kill();
  // The side that lives sees an end the rules allow: its data session lost, or its peer's
  // control session gone first (a peer reset), or the commit that got through before the kill.
  const std::string survivorID = point.killReceiver ? offered.get<std::string>() : id;
  const auto ended = survivor.transferUntil(survivorID, [](const Json& row) {
    const std::string state = row["state"];
    return state == "committed" || state == "failed" || state == "unconfirmed" ||
           state == "cancelled";
  });
  ASSERT_TRUE(ended) << survivor.recent();
  const std::string state = (*ended)["state"];
  if (state == "failed") {
    EXPECT_EQ((*ended)["error"], "transfer.error.disconnected");
  } else if (state == "cancelled") {
    EXPECT_TRUE((*ended)["error"].is_null());
  } else if (state == "unconfirmed") {
    EXPECT_TRUE(point.killReceiver);
  }
  ASSERT_NO_FATAL_FAILURE(killed.run());
  if (killed.name == b.name) {
    // The restart settled what the kill left.
    ASSERT_TRUE(b.until([](const Json& s) { return s["recoveryNeeded"] == false; }));
  }
  if (fs::exists(destination / ("Velmorine-" + id))) {
    expectArrived(b, id, sent);
  } else {
    expectNothing(b, id);
  }
}

INSTANTIATE_TEST_SUITE_P(Points, TransfersKilled,
                         ::testing::Values(KillPoint{"receiverAtTheStart", true, 0.0},
                                           KillPoint{"receiverHalfway", true, 0.45},
                                           KillPoint{"receiverNearTheEnd", true, 0.9},
                                           KillPoint{"senderEarly", false, 0.2},
                                           KillPoint{"senderLate", false, 0.7}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(TransfersNetns,
       ReceiverKilledJustAfterItsRenameIndexesTheFolderAtRestart_NeedsRootAndNamespaces) {
  b.environment = {"VELMORINE_NODE_KILL_AT=commit.renamed"};
  ASSERT_NO_FATAL_FAILURE(pair(a, b));
  const fs::path sent = file("doc.bin", 3 << 20);
  const Json offered = a.offer(b, {sent});
  const std::string id = b.pendingFrom(a, "doc.bin");
  b.accept(id, destination);
  // The node dies at the rename; its output ends there.
  ASSERT_TRUE(b.node->waitLine([](const Json&) { return false; }, 0, std::chrono::seconds(30)) ==
              std::nullopt);
  b.node->kill();
  ASSERT_TRUE(fs::is_directory(destination / ("Velmorine-" + id)));
  b.environment.clear();
  ASSERT_NO_FATAL_FAILURE(b.run());
  ASSERT_TRUE(b.until([&](const Json& s) {
    return std::find(s["received"].begin(), s["received"].end(), id) != s["received"].end();
  }));
  expectArrived(b, id, sent);
  EXPECT_EQ(contents(destination), std::vector<std::string>{"Velmorine-" + id});
}

TEST_F(TransfersNetns, LinkCutEndsBothSidesAndTheBatchOfferedAgainCommits_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(pair(a, b));
  const fs::path sent = file("cut.bin", 96 << 20);
  const Json offered = a.offer(b, {sent});
  ASSERT_TRUE(offered.is_string()) << offered;
  const std::string batch = offered;
  const std::string first = b.pendingFrom(a, "cut.bin");
  b.accept(first, destination);
  ASSERT_TRUE(
      b.transferUntil(first, [](const Json& row) { return row["bytes"].get<double>() > 0; }));
  ASSERT_TRUE(lan->cut(b.name));
  // Nothing moves any more. The clocks move on once each side has done all it can: the sender
  // has filled what a transfer may queue, the receiver has read and written all that reached it.
  ASSERT_TRUE(a.node->waitSessions([](const Json& sessions) {
    for (const auto& session : sessions) {
      if (session["purpose"] == 2 && session["queued"].get<size_t>() >= (4u << 20)) return true;
    }
    return false;
  }));
  ASSERT_TRUE(b.node->waitSessions([&](const Json& sessions) {
    // Nothing left unread by the kernel, and the runtime has no file work for what it read.
    const auto unread = testing::commandOutput(
        "ip netns exec " + b.ns + " ss -Htn state established | awk '{s+=$1} END {print s+0}'");
    if (!unread || std::stoul(*unread) != 0) return false;
    for (const auto& session : sessions) {
      if (session["purpose"] == 2 && session["readingPaused"] == true) return false;
    }
    return true;
  }));
  a.advanceClock(31);
  b.advanceClock(31);
  const auto senderEnd = a.stateOf(batch, "failed");
  ASSERT_TRUE(senderEnd) << a.recent();
  EXPECT_EQ((*senderEnd)["error"], "transfer.error.incomplete");
  const auto receiverEnd = b.stateOf(first, "failed");
  ASSERT_TRUE(receiverEnd) << b.recent();
  EXPECT_EQ((*receiverEnd)["error"], "transfer.error.incomplete");
  EXPECT_EQ(contents(destination), std::vector<std::string>{});

  // With the link back and fresh routes, the same batch goes again and commits at the receiver
  // that still shows the failed attempt.
  ASSERT_TRUE(lan->mend(b.name));
  const double aNow = a.advanceClock(0), bNow = b.advanceClock(0);
  ASSERT_TRUE(a.hearsSince(b, aNow)) << aNow << " " << a.node->lines().back().dump();
  ASSERT_TRUE(b.hearsSince(a, bNow));
  // The control session may not have lived through the cut: A dials again when it has to.
  ASSERT_NO_FATAL_FAILURE(connect(a, b));
  const size_t mark = b.node->mark();
  const Json again = a.offerAgain(b, batch);
  ASSERT_EQ(again, offered);
  const std::string second = b.pendingFrom(a, "cut.bin", mark);
  ASSERT_FALSE(second.empty());
  EXPECT_NE(second, first);
  b.accept(second, destination);
  ASSERT_TRUE(b.stateOf(second, "committed"));
  ASSERT_TRUE(a.stateOf(batch, "committed"));
  expectArrived(b, second, sent);
  EXPECT_TRUE(b.stateOf(first, "failed"));
}

TEST_F(TransfersNetns,
       SourceChangedAfterTheOfferFailsTheSendAndCancelsTheReceiver_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(pair(a, b));
  const fs::path sent = file("changing.bin", 1 << 20);
  const Json offered = a.offer(b, {sent});
  const std::string id = b.pendingFrom(a, "changing.bin");
  velmorine::testing::rewriteKeepingModificationTime(sent);
  b.accept(id, destination);
  const auto failed = a.stateOf(offered, "failed");
  ASSERT_TRUE(failed);
  EXPECT_EQ((*failed)["error"], "transfer.error.changed");
  ASSERT_TRUE(b.stateOf(id, "cancelled"));
  expectNothing(b, id);
}

// A tmpfs of `size` mounted at `where` for the test's life; the nodes see it (their mount
// namespaces follow the test's).
class SmallVolume {
 public:
  SmallVolume(fs::path where, const std::string& size) : where_(std::move(where)) {
    fs::create_directories(where_);
    mounted_ =
        ::mount("tmpfs", where_.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0700").c_str()) == 0;
  }
  ~SmallVolume() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  // Fills what is left with one file.
  void fill() const { sh("dd if=/dev/zero of='" + (where_ / "filler").string() + "' bs=64k"); }

 private:
  fs::path where_;
  bool mounted_ = false;
};

TEST_F(TransfersNetns,
       FullVolumeRefusesTheAcceptAndAFillDuringTheSendDropsTheStage_NeedsRootAndNamespaces) {
  // Mounted before the nodes start, whose mount namespaces are copies of the test's.
  const fs::path small = destination / "small";
  SmallVolume volume(small, "2m");
  ASSERT_TRUE(volume.mounted());
  const fs::path roomy = destination / "roomy";
  SmallVolume later(roomy, "6m");
  ASSERT_TRUE(later.mounted());
  ASSERT_NO_FATAL_FAILURE(pair(a, b));

  const fs::path sent = file("three.bin", 3 << 20);
  a.offer(b, {sent});
  const std::string refused = b.pendingFrom(a, "three.bin");
  const size_t mark = b.node->mark();
  b.accept(refused, small);
  const auto pending = b.transferUntil(
      refused, [](const Json& row) { return row["error"] == "transfer.error.diskSpace"; }, mark);
  ASSERT_TRUE(pending) << b.recent();
  EXPECT_EQ((*pending)["state"], "pending");
  EXPECT_TRUE(fs::is_empty(small));

  // Room at the accept, none a moment later: the sender is held still while the volume fills.
  const fs::path second = file("four.bin", 4 << 20, 2);
  const Json offered = a.offer(b, {second});
  const std::string id = b.pendingFrom(a, "four.bin");
  ASSERT_EQ(::kill(a.node->pid(), SIGSTOP), 0);
  b.accept(id, roomy);
  ASSERT_TRUE(b.stateOf(id, "transferring")) << b.recent();
  later.fill();
  ASSERT_EQ(::kill(a.node->pid(), SIGCONT), 0);
  const auto failed = b.stateOf(id, "failed");
  ASSERT_TRUE(failed) << b.recent();
  EXPECT_EQ((*failed)["error"], "transfer.error.diskSpace");
  ASSERT_TRUE(a.transferUntil(offered, [](const Json& row) { return row["state"] == "failed"; }))
      << a.recent();
  // Only the filler is left: the stage went with the failure.
  EXPECT_EQ(contents(roomy), std::vector<std::string>{"filler"});
}

TEST_F(TransfersNetns,
       OfferToABusyReceiverLeavesItsSessionChatAndTransfers_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(pair(a, b));
  ASSERT_NO_FATAL_FAILURE(bringUp(c));
  ASSERT_NO_FATAL_FAILURE(connect(c, b));
  // Four offers wait at B for its decision: four running transfers.
  std::vector<std::string> waiting;
  for (int i = 0; i < 4; ++i) {
    const Json offered = a.offer(b, {file("w" + std::to_string(i), 1000, static_cast<uint8_t>(i))});
    ASSERT_TRUE(offered.is_string());
    waiting.push_back(offered);
    ASSERT_TRUE(a.stateOf(offered, "offered"));
  }
  const size_t bMark = b.node->mark();
  const Json fifth = c.offer(b, {file("fifth", 1000, 9)});
  ASSERT_TRUE(c.stateOf(fifth, "offered"));
  // Chat between C and B still works, on the same session.
  const size_t chatMark = b.node->mark();
  c.node->send({{"op", "sendText"}, {"peer", b.localID}, {"text", "still here"}});
  ASSERT_TRUE(b.until(
      [&](const Json& s) {
        for (const auto& message : s["messages"]) {
          if (message["text"] == "still here") return true;
        }
        return false;
      },
      chatMark));
  const auto lines = b.node->lines();
  for (size_t index = bMark; index < lines.size(); ++index) {
    EXPECT_NE(lines[index].value("code", ""), "control.closed") << "B dropped a session";
    EXPECT_EQ(lines[index].value("code", "").rfind("control.invalid", 0), std::string::npos);
  }
  // B never took the fifth; C's own deadline ends it, and B's four are untouched.
  c.advanceClock(301);
  const auto ended = c.stateOf(fifth, "failed");
  ASSERT_TRUE(ended);
  EXPECT_EQ((*ended)["error"], "transfer.error.incomplete");
  for (const auto& id : waiting) EXPECT_TRUE(a.stateOf(id, "offered"));
}

TEST_F(TransfersNetns,
       StalledPeerHoldingTwoSendsBreaksNeitherAReceiveNorAChat_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(pair(a, b));
  ASSERT_NO_FATAL_FAILURE(bringUp(c));
  ASSERT_NO_FATAL_FAILURE(connect(a, c));
  const fs::path cDestination = destination / "c";
  fs::create_directories(cDestination);
  std::vector<std::string> stalled;
  for (int i = 0; i < 2; ++i) {
    const size_t mark = c.node->mark();
    const Json offered =
        a.offer(c, {file("s" + std::to_string(i), 64 << 20, static_cast<uint8_t>(i))});
    ASSERT_TRUE(offered.is_string());
    stalled.push_back(offered);
    c.accept(c.pendingFrom(a, "s" + std::to_string(i), mark), cDestination);
    ASSERT_TRUE(
        a.transferUntil(offered, [](const Json& row) { return row["bytes"].get<double>() > 0; }));
  }
  ASSERT_EQ(::kill(c.node->pid(), SIGSTOP), 0);
  // A's sends to C pile up; a receive from B and a chat with B still go through.
  const fs::path sent = file("from-b.bin", 8 << 20, 7);
  const Json offered = b.offer(a, {sent});
  ASSERT_TRUE(offered.is_string());
  const std::string id = a.pendingFrom(b, "from-b.bin");
  a.accept(id, destination);
  ASSERT_TRUE(a.stateOf(id, "committed"));
  ASSERT_TRUE(b.stateOf(offered, "committed"));
  expectArrived(a, id, sent);
  const size_t chatMark = b.node->mark();
  a.node->send({{"op", "sendText"}, {"peer", b.localID}, {"text", "hello b"}});
  EXPECT_TRUE(b.until(
      [&](const Json& s) {
        for (const auto& message : s["messages"]) {
          if (message["text"] == "hello b") return true;
        }
        return false;
      },
      chatMark));
  for (const auto& sentToC : stalled) {
    EXPECT_TRUE(
        a.transferUntil(sentToC, [](const Json& row) { return row["state"] == "transferring"; }));
  }
}

}  // namespace
}  // namespace velmorine::runtime
