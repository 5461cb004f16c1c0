// The chat road between two hosts on one LAN (runtime_hosts.h), each running runtime-node: texts
// typed on one host reach the other once, in order, acknowledged, through stopped peers,
// restarts, a cut link and SIGKILL of either side. What the nodes print is checked against what
// both history databases hold, read with the sqlite3 program as another program would. Needs
// root and iproute2; skips without them.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "tests/Velmorine/runtime/runtime_hosts.h"
#include "tests/harness/history_database.h"

namespace velmorine::runtime {
namespace {

using testing::Host;
using testing::Json;
using testing::Lan;
using testing::sh;
using velmorine::testing::StoredMessage;

// A stream never has more in the outbox than a sender takes.
constexpr size_t kBatch = 100;

// The message records of a host's history, in history order.
std::optional<std::vector<StoredMessage>> storedMessages(const Host& host) {
  return velmorine::testing::storedMessages(host.home.path());
}

// What a host's nodes printed about its messages: the texts it accepted, and the identifiers of
// its messages that any snapshot showed acknowledged.
struct Printed {
  std::set<std::string> accepted;
  std::set<std::string> acknowledged;

  void take(const std::vector<Json>& lines) {
    for (const auto& line : lines) {
      const std::string event = line.value("event", "");
      if (event == "completion" && line.value("op", "") == "sendText" && line["result"].is_null()) {
        accepted.insert(line.value("text", ""));
      } else if (event == "snapshot") {
        for (const auto& message : line["messages"]) {
          if (message["outgoing"] == true && message["delivery"] == "acknowledged") {
            acknowledged.insert(message["id"].get<std::string>());
          }
        }
      }
    }
  }
};

// The texts of a snapshot's outgoing messages to `peer` in one delivery.
std::set<std::string> outgoingIn(const Json& snapshot, const std::string& peer,
                                 const std::string& delivery) {
  std::set<std::string> texts;
  for (const auto& message : snapshot["messages"]) {
    if (message["outgoing"] == true && message["peerID"] == peer &&
        message["delivery"] == delivery) {
      texts.insert(message["text"].get<std::string>());
    }
  }
  return texts;
}

std::vector<std::string> textsNumbered(const std::string& prefix, size_t from, size_t count) {
  std::vector<std::string> texts;
  for (size_t i = from; i < from + count; ++i) {
    std::string number = std::to_string(i);
    texts.push_back(prefix + std::string(number.size() < 5 ? 5 - number.size() : 0, '0') + number);
  }
  return texts;
}

class RuntimeChatNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (CAP_NET_ADMIN) for network namespaces";
    lan = std::make_unique<Lan>("vch" + std::to_string(::getpid()));
    if (!lan->create()) {
      GTEST_SKIP() << "cannot make network namespaces and a bridge with iproute2";
    }
    for (auto* host : {&a, &b}) host->ns = lan->ns(host->name);
  }

  void TearDown() override {
    for (auto* host : {&a, &b}) {
      if (host->node) stop(*host);
    }
    lan.reset();
  }

  void bringUp(Host& host) {
    ASSERT_TRUE(lan->plug(host.name, host.number)) << "cannot plug in " << host.name;
    host.run();
  }

  // Both hosts up and joined by a control session, so that each trusts the other's key.
  void connectBoth() {
    ASSERT_NO_FATAL_FAILURE(bringUp(a));
    ASSERT_NO_FATAL_FAILURE(bringUp(b));
    ASSERT_TRUE(a.hears(b));
    a.node->send({{"op", "connectPeer"}, {"peer", b.localID}});
    ASSERT_TRUE(testing::linked(a, b)) << "no session between a and b";
  }

  // Sends the texts from `from` to `to` and waits for their completions; the texts refused.
  std::set<std::string> send(Host& from, const Host& to, const std::vector<std::string>& texts) {
    const size_t mark = from.node->mark();
    for (const auto& text : texts) {
      from.node->send({{"op", "sendText"}, {"peer", to.localID}, {"text", text}});
    }
    std::set<std::string> waiting(texts.begin(), texts.end());
    std::set<std::string> refused;
    from.node->waitLine(
        [&](const Json& line) {
          if (line.value("event", "") == "completion" && line.value("op", "") == "sendText") {
            const std::string text = line.value("text", "");
            if (waiting.erase(text) && !line["result"].is_null()) refused.insert(text);
          }
          return waiting.empty();
        },
        mark);
    EXPECT_TRUE(waiting.empty()) << waiting.size() << " texts never completed";
    return refused;
  }

  // Waits until `from` shows every one of `texts` to `to` acknowledged.
  bool allAcknowledged(Host& from, const Host& to, const std::vector<std::string>& texts,
                       size_t mark = 0, std::chrono::seconds patience = testing::kNodeWait) {
    return from.node
        ->waitSnapshot(
            [&](const Json& snapshot) {
              const auto done = outgoingIn(snapshot, to.localID, "acknowledged");
              return std::ranges::all_of(texts,
                                         [&](const std::string& t) { return done.contains(t); });
            },
            mark, patience)
        .has_value();
  }

  // Streams the texts in batches the outbox takes, each batch acknowledged before the next.
  void stream(Host& from, const Host& to, const std::vector<std::string>& texts) {
    for (size_t start = 0; start < texts.size(); start += kBatch) {
      const std::vector<std::string> batch(
          texts.begin() + static_cast<std::ptrdiff_t>(start),
          texts.begin() + static_cast<std::ptrdiff_t>(std::min(texts.size(), start + kBatch)));
      ASSERT_TRUE(send(from, to, batch).empty());
      // Snapshots after the last acceptance were built after every text of the batch went in.
      const size_t mark = from.node->mark();
      ASSERT_TRUE(from.node->waitSnapshot(
          [](const Json& snapshot) { return snapshot["queuedMessageIDs"].empty(); }, mark))
          << "the batch from " << start << " was never delivered";
    }
  }

  // Everything the host's nodes printed, also the nodes that are gone.
  Printed said(Host& host) {
    Printed all = retired[host.name];
    if (host.node) all.take(host.node->lines());
    return all;
  }
  // The host's node ends: killed as a crash would, or shut down through its input.
  void kill(Host& host) {
    host.node->kill();
    retired[host.name].take(host.node->lines());
    host.node.reset();
  }
  void stop(Host& host) {
    EXPECT_TRUE(host.node->stopsCleanly()) << host.name << " ended badly";
    retired[host.name].take(host.node->lines());
    host.node.reset();
  }

  // What both histories hold of the messages the test asked the sender to send: every text the
  // sender accepted is delivered or still pending there, and never twice; every message the
  // sender showed acknowledged is delivered and in the receiver's history exactly once; the
  // receiver holds no text twice and none the test did not send.
  void checkDelivery(Host& sender, Host& receiver, const std::vector<std::string>& asked) {
    const Printed printed = said(sender);
    const std::set<std::string> askedTexts(asked.begin(), asked.end());
    const auto sent = storedMessages(sender);
    const auto got = storedMessages(receiver);
    ASSERT_TRUE(sent && got) << "a history could not be read";
    std::map<std::string, const StoredMessage*> sentByText;
    std::map<std::string, const StoredMessage*> sentByID;
    for (const auto& row : *sent) {
      if (row.received || row.peer != receiver.localID || !askedTexts.contains(row.text)) continue;
      EXPECT_TRUE(sentByText.emplace(row.text, &row).second) << "sent twice: " << row.text;
      sentByID[row.id] = &row;
    }
    std::map<std::string, int> receivedByID;
    std::set<std::string> receivedTexts;
    for (const auto& row : *got) {
      if (!row.received || row.peer != sender.localID) continue;
      ++receivedByID[row.id];
      if (!askedTexts.contains(row.text)) continue;
      EXPECT_TRUE(receivedTexts.insert(row.text).second) << "received twice: " << row.text;
      EXPECT_TRUE(sentByText.contains(row.text)) << "received, never sent: " << row.text;
    }
    for (const auto& text : asked) {
      if (!printed.accepted.contains(text)) continue;
      const auto row = sentByText.find(text);
      ASSERT_NE(row, sentByText.end()) << "accepted but not stored: " << text;
      EXPECT_TRUE(row->second->state >= 0 && row->second->state <= 4)
          << text << " is in outbox state " << row->second->state;
    }
    for (const auto& id : printed.acknowledged) {
      const auto row = sentByID.find(id);
      if (row == sentByID.end()) continue;  // another stream's
      EXPECT_EQ(row->second->state, 4) << "shown acknowledged, not delivered: " << id;
      EXPECT_EQ(receivedByID[id], 1) << "acknowledged but not received once: " << id;
    }
  }

  // Asks `host` for `command`, which publishes a snapshot, and gives the newest snapshot built
  // after it ran: the runtime answers a sessions request after the work asked before it, so the
  // last snapshot printed before that answer was built after the command.
  std::optional<Json> snapshotAfter(Host& host, const Json& command) {
    const size_t mark = host.node->mark();
    host.node->send(command);
    const auto answer = host.node->sessions();
    if (!answer) return std::nullopt;
    const auto lines = host.node->lines();
    for (size_t index = answer->index; index > mark; --index) {
      if (lines[index - 1].value("event", "") == "snapshot") return lines[index - 1];
    }
    return std::nullopt;
  }

  // The texts the receiver holds from the sender, in history order.
  std::vector<std::string> receivedTexts(const Host& receiver, const Host& sender) {
    std::vector<std::string> texts;
    if (const auto rows = storedMessages(receiver)) {
      for (const auto& row : *rows) {
        if (row.received && row.peer == sender.localID) texts.push_back(row.text);
      }
    }
    return texts;
  }

  // The data homes live in memory where the machine has a memory file system: these tests are
  // about order and duplicates, a SIGKILL loses nothing a disk sync would have kept, and a
  // thousand messages' syncs on a slow disk take minutes.
  static std::optional<std::filesystem::path> memoryFolder() {
    std::error_code error;
    if (std::filesystem::is_directory("/dev/shm", error)) return "/dev/shm";
    return std::nullopt;
  }

  std::unique_ptr<Lan> lan;
  Host a{"a", 1, memoryFolder()}, b{"b", 2, memoryFolder()};
  std::map<std::string, Printed> retired;
};

TEST_F(RuntimeChatNetns,
       MessagesBothWaysAreAcknowledgedStoredOnceAndPagedBack_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(connectBoth());
  const auto fromA = textsNumbered("a-", 0, 3);
  const auto fromB = textsNumbered("b-", 0, 3);
  const size_t aMark = a.node->mark(), bMark = b.node->mark();
  ASSERT_TRUE(send(a, b, fromA).empty());
  ASSERT_TRUE(send(b, a, fromB).empty());
  ASSERT_TRUE(allAcknowledged(a, b, fromA, aMark));
  ASSERT_TRUE(allAcknowledged(b, a, fromB, bMark));
  // Each side shows what the other sent, received.
  for (auto [host, peer, texts] : {std::tuple{&a, &b, &fromB}, std::tuple{&b, &a, &fromA}}) {
    ASSERT_TRUE(host->node->waitSnapshot([&](const Json& snapshot) {
      std::multiset<std::string> shown;
      for (const auto& message : snapshot["messages"]) {
        if (message["outgoing"] == false && message["peerID"] == peer->localID &&
            message["delivery"] == "received") {
          shown.insert(message["text"].get<std::string>());
        }
      }
      return shown == std::multiset<std::string>(texts->begin(), texts->end());
    })) << host->name
        << " does not show what " << peer->name << " sent";
  }
  checkDelivery(a, b, fromA);
  checkDelivery(b, a, fromB);
  EXPECT_EQ(receivedTexts(b, a), fromA);
  EXPECT_EQ(receivedTexts(a, b), fromB);

  // A thousand more from A, without printing every message of every snapshot.
  a.node->send({{"op", "snapshotMessages"}, {"messages", false}});
  b.node->send({{"op", "snapshotMessages"}, {"messages", false}});
  const auto more = textsNumbered("a-", 3, 1000);
  ASSERT_NO_FATAL_FAILURE(stream(a, b, more));
  b.node->send({{"op", "snapshotMessages"}, {"messages", true}});
  std::vector<std::string> all = fromA;
  all.insert(all.end(), more.begin(), more.end());
  EXPECT_EQ(receivedTexts(b, a), all);

  // B pages back through the conversation to its first message.
  auto page = snapshotAfter(b, {{"op", "selectConversation"}, {"contact", a.localID}});
  ASSERT_TRUE(page);
  int pages = 1;
  while (!(*page)["earlierHistory"].empty() && pages < 20) {
    page =
        snapshotAfter(b, {{"op", "selectConversation"}, {"contact", a.localID}, {"earlier", true}});
    ASSERT_TRUE(page);
    ++pages;
  }
  EXPECT_EQ(pages, 11) << "1006 records of the conversation, a page holds 100";
  // While browsing, the snapshot holds the conversation's oldest thousand, A's in the order sent.
  std::vector<std::pair<int64_t, const Json*>> shown;
  for (const auto& message : (*page)["messages"]) {
    if (message["contactID"] != a.localID) continue;
    const std::string key = "message:" + a.localID + ":" + message["id"].get<std::string>();
    ASSERT_TRUE((*page)["historyOrder"].contains(key));
    shown.emplace_back((*page)["historyOrder"][key].get<int64_t>(), &message);
  }
  ASSERT_EQ(shown.size(), 1000u);
  std::ranges::sort(shown, {}, [](const auto& entry) { return entry.first; });
  std::vector<std::string> received;
  for (const auto& [order, message] : shown) {
    if ((*message)["outgoing"] == false) received.push_back((*message)["text"]);
  }
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.front(), all.front());
  EXPECT_TRUE(std::ranges::is_sorted(received));
  EXPECT_EQ(received.back(), all[received.size() - 1]);
}

TEST_F(RuntimeChatNetns, DecisionsAboutAPeerThroughTheDriver_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(connectBoth());
  auto peerOf = [&](const Json& snapshot) { return testing::peerRow(snapshot, b.localID); };

  // Verified after comparing codes.
  auto page = snapshotAfter(a, {{"op", "verifyPeer"}, {"peer", b.localID}});
  ASSERT_TRUE(page && peerOf(*page));
  EXPECT_TRUE((*peerOf(*page))["verified"].get<bool>());

  // A cleared conversation leaves nothing of B's in A's history.
  const auto texts = textsNumbered("d-", 0, 2);
  ASSERT_TRUE(send(a, b, texts).empty());
  ASSERT_TRUE(allAcknowledged(a, b, texts));
  const size_t mark = a.node->mark();
  a.node->send({{"op", "clearConversation"}, {"peer", b.localID}});
  const auto cleared = a.node->waitLine(
      [](const Json& line) {
        return line.value("event", "") == "completion" && line["op"] == "clearConversation";
      },
      mark);
  ASSERT_TRUE(cleared);
  EXPECT_EQ((*cleared)["result"], true);
  const auto left = storedMessages(a);
  ASSERT_TRUE(left);
  EXPECT_TRUE(std::ranges::none_of(*left, [&](const auto& row) { return row.peer == b.localID; }));

  // Blocked: shown so and texts to it refused; then unblocked.
  page = snapshotAfter(a, {{"op", "setPeerBlocked"}, {"peer", b.localID}, {"blocked", true}});
  ASSERT_TRUE(page && peerOf(*page));
  EXPECT_TRUE((*peerOf(*page))["blocked"].get<bool>());
  EXPECT_EQ(send(a, b, {"refused"}), std::set<std::string>{"refused"});
  page = snapshotAfter(a, {{"op", "setPeerBlocked"}, {"peer", b.localID}, {"blocked", false}});
  ASSERT_TRUE(page && peerOf(*page));
  EXPECT_FALSE((*peerOf(*page))["blocked"].get<bool>());

  // With B away, a waiting text is cancelled; resending it then does nothing.
  stop(b);
  ASSERT_TRUE(send(a, b, {"never mind"}).empty());
  std::string id;
  ASSERT_TRUE(a.node->waitSnapshot([&](const Json& snapshot) {
    for (const auto& message : snapshot["messages"]) {
      if (message["text"] == "never mind") id = message["id"];
    }
    return !id.empty();
  }));
  page = snapshotAfter(a, {{"op", "cancelMessage"}, {"contact", b.localID}, {"message", id}});
  ASSERT_TRUE(page);
  EXPECT_EQ(outgoingIn(*page, b.localID, "cancelled"), std::set<std::string>{"never mind"});
  EXPECT_TRUE((*page)["queuedMessageIDs"].empty());
  // Resend takes only a message the outbox gave up on; the sessions answer comes after it ran.
  a.node->send({{"op", "resendMessage"}, {"contact", b.localID}, {"message", id}});
  ASSERT_TRUE(a.node->sessions());
  const auto stored = storedMessages(a);
  ASSERT_TRUE(stored);
  EXPECT_TRUE(std::ranges::any_of(*stored, [&](const auto& row) {
    return row.id == id && row.state == 5;
  })) << "the row is not cancelled";

  // The reminder and key operations take their commands; without a service or a changed key
  // nothing shows of them.
  const size_t quiet = a.node->mark();
  a.node->send({{"op", "configureReminders"}});
  a.node->send({{"op", "cancelReminder"}, {"peer", b.localID}});
  a.node->send({{"op", "resolveChangedKey"}, {"peer", b.localID}, {"keepSeparate", false}});
  // None of them need publish anything: the state shown once they have run is the latest.
  ASSERT_TRUE(a.node->sessions());
  const auto lines = a.node->lines();
  const auto latest = std::find_if(lines.rbegin(), lines.rend(), [](const Json& line) {
    return line.value("event", "") == "snapshot";
  });
  ASSERT_NE(latest, lines.rend());
  page = *latest;
  EXPECT_TRUE(std::none_of(lines.begin() + static_cast<std::ptrdiff_t>(quiet), lines.end(),
                           [](const Json& line) { return line.value("event", "") == "error"; }));
  EXPECT_NE((*page)["status"], "storage.unavailable");
}

TEST_F(RuntimeChatNetns,
       MessagesToAStoppedPeerWaitThroughARestartAndArriveOnceInOrder_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(connectBoth());
  stop(b);

  // A knows B's key: its texts are accepted and wait in the outbox.
  const auto texts = textsNumbered("w-", 0, 20);
  ASSERT_TRUE(send(a, b, texts).empty());
  const auto waiting = storedMessages(a);
  ASSERT_TRUE(waiting);
  size_t queued = 0;
  for (const auto& row : *waiting) {
    if (row.peer == b.localID && !row.received) {
      EXPECT_EQ(row.state, 0) << row.text << " left the outbox with B away";
      ++queued;
    }
  }
  EXPECT_EQ(queued, texts.size());

  // A restarts and still holds them; then B comes back.
  stop(a);
  ASSERT_NO_FATAL_FAILURE(a.run());
  ASSERT_TRUE(a.node->waitSnapshot(
      [&](const Json& snapshot) { return snapshot["queuedMessageIDs"].size() == texts.size(); }));
  ASSERT_NO_FATAL_FAILURE(b.run());
  ASSERT_TRUE(allAcknowledged(a, b, texts)) << "A's waiting texts never all reached B";
  checkDelivery(a, b, texts);
  EXPECT_EQ(receivedTexts(b, a), texts);
}

TEST_F(RuntimeChatNetns, ALinkCutMidStreamLosesAndDuplicatesNothing_NeedsRootAndNamespaces) {
  ASSERT_NO_FATAL_FAILURE(connectBoth());
  auto texts = textsNumbered("c-", 0, 40);
  const size_t mark = a.node->mark();
  ASSERT_TRUE(send(a, b, texts).empty());
  ASSERT_TRUE(a.node->waitSnapshot(
      [&](const Json& snapshot) {
        return outgoingIn(snapshot, b.localID, "acknowledged").size() >= 10;
      },
      mark));

  // B's cable is out until the CHAT in flight has waited out its acknowledgement: A puts its row
  // back as uncertain, on a session that still looks alive.
  ASSERT_TRUE(lan->cut(b.name));
  const size_t cutMark = a.node->mark();
  // Texts sent with the cable out are surely in flight, however far the first ones got.
  const auto more = textsNumbered("c-", texts.size(), 20);
  ASSERT_TRUE(send(a, b, more).empty());
  texts.insert(texts.end(), more.begin(), more.end());
  bool expired = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!expired && std::chrono::steady_clock::now() < deadline) {
    if (const auto rows = storedMessages(a)) {
      expired = std::ranges::any_of(
          *rows, [&](const StoredMessage& row) { return row.peer == b.localID && row.state == 2; });
    }
    if (!expired) std::this_thread::sleep_for(std::chrono::milliseconds(100));  // polling
  }
  ASSERT_TRUE(lan->mend(b.name));
  ASSERT_TRUE(expired) << "the acknowledgement in flight never expired";
  checkDelivery(a, b, texts);

  ASSERT_TRUE(allAcknowledged(a, b, texts, cutMark, std::chrono::seconds(60)))
      << "the stream did not finish after the link came back";
  checkDelivery(a, b, texts);
  EXPECT_EQ(receivedTexts(b, a), texts);
}

// Where a stream is cut by SIGKILL: the side killed first (the other goes next), and the seed
// of the points.
struct KillCase {
  const char* name;
  bool senderFirst;
  uint32_t seed;
};

class RuntimeChatNetnsKill : public RuntimeChatNetns,
                             public ::testing::WithParamInterface<KillCase> {};

TEST_P(RuntimeChatNetnsKill,
       WhatWasAcknowledgedArrivedOnceAndNothingIsLost_NeedsRootAndNamespaces) {
  constexpr size_t kStream = 40;
  ASSERT_NO_FATAL_FAILURE(connectBoth());
  const auto texts = textsNumbered("k-", 0, kStream);
  ASSERT_TRUE(send(a, b, texts).empty());

  std::mt19937 random(GetParam().seed);
  // Two kills, after a number of acknowledgements and a moment into the next exchange.
  std::vector<size_t> points{
      std::uniform_int_distribution<size_t>(1, kStream / 2)(random),
      std::uniform_int_distribution<size_t>(kStream / 2 + 1, kStream - 1)(random)};
  std::uniform_int_distribution<int> moment(0, 3000);
  bool senderNext = GetParam().senderFirst;
  for (const size_t point : points) {
    const auto reached = a.node->waitSnapshot([&](const Json& snapshot) {
      return outgoingIn(snapshot, b.localID, "acknowledged").size() >= point;
    });
    ASSERT_TRUE(reached) << "the stream stalled before " << point << " acknowledgements";
    // Not an order: where inside the next message's exchange the kill lands.
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    Host& victim = senderNext ? a : b;
    kill(victim);
    checkDelivery(a, b, texts);
    ASSERT_NO_FATAL_FAILURE(victim.run());
    senderNext = !senderNext;
  }

  // With both back, the rest of the stream goes through, each once and in order.
  ASSERT_TRUE(allAcknowledged(a, b, texts, 0, std::chrono::seconds(60)))
      << "the stream did not finish after the kills";
  checkDelivery(a, b, texts);
  EXPECT_EQ(receivedTexts(b, a), texts);
}

INSTANTIATE_TEST_SUITE_P(Seeded, RuntimeChatNetnsKill,
                         ::testing::Values(KillCase{"SenderThenReceiver", true, 1},
                                           KillCase{"ReceiverThenSender", false, 2}),
                         [](const ::testing::TestParamInfo<KillCase>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
}  // namespace velmorine::runtime
