// The chat road of one runtime: which texts it takes, and what it makes of the chat frames a
// peer sends, with the peer scripted from the network layer's session and raw frames.

#include <gtest/gtest.h>

#include "tests/Velmorine/runtime/history_seed.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"
#include "tests/Velmorine/runtime/scripted_peer.h"

namespace velmorine::runtime {
namespace {

using store::ConversationOutboxState;
using testing::RuntimeWorld;
using testing::ScriptedPeer;
using testing::TestRuntime;

std::vector<const RuntimeMessage*> messagesWithID(const RuntimeSnapshot& snapshot,
                                                  const std::string& id) {
  std::vector<const RuntimeMessage*> found;
  for (const auto& message : snapshot.messages) {
    if (message.id == id) found.push_back(&message);
  }
  return found;
}

// Sends a text and waits for its completion: none when accepted.
std::optional<SendRejection> sendAndWait(RuntimeWorld& world, TestRuntime& runtime,
                                         const std::string& peer, const std::string& text,
                                         std::optional<std::string> contact = std::nullopt) {
  std::optional<std::optional<SendRejection>> result;
  runtime->sendText(peer, text, std::move(contact),
                    [&](std::optional<SendRejection> rejection) { result = rejection; });
  EXPECT_TRUE(world.main.waitUntil([&] { return result.has_value(); }));
  return result.value_or(SendRejection::unavailable);
}

class RuntimeChat : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(runtime.startNetworking()); }

  std::vector<store::ConversationOutboxEntry> rows(const std::string& id) {
    return runtime.onQueue([&] { return testing::outboxRows(*runtime->history, id); });
  }
  // The message records of a contact in the runtime's history.
  std::vector<store::ConversationHistoryRecord> records(const std::string& contact) {
    return runtime.onQueue(
        [&] { return runtime->history->loadRecords(contact, std::nullopt, 200, false).records; });
  }
  // Sends `text` to `peer`, which must take it; the new message's identifier.
  std::string sendAccepted(const std::string& peer, const std::string& text) {
    const size_t before = runtime.snapshots.size();
    EXPECT_EQ(sendAndWait(world, runtime, peer, text), std::nullopt);
    for (size_t i = before; i < runtime.snapshots.size(); ++i) {
      for (const auto& message : runtime.snapshots[i].messages) {
        if (message.outgoing && message.text == text) return message.id;
      }
    }
    ADD_FAILURE() << "no message for " << text;
    return "";
  }
  // The delivery the latest snapshot shows for the message.
  std::optional<MessageDelivery> deliveryOf(const std::string& id) {
    runtime.settle();
    const auto found = messagesWithID(runtime.latest(), id);
    if (found.size() != 1) return std::nullopt;
    return found[0]->delivery;
  }
  bool waitForDelivery(const std::string& id, MessageDelivery delivery) {
    return runtime.waitForSnapshot([&](const RuntimeSnapshot& snapshot) {
      const auto found = messagesWithID(snapshot, id);
      return found.size() == 1 && found[0]->delivery == delivery;
    });
  }
  // The runtime still reports nothing wrong with its storage.
  void expectStorageFine() {
    runtime.onQueue([&] { runtime->publishSnapshot(); });
    runtime.settle();
    EXPECT_NE(runtime.latest().status, "storage.unavailable");
    EXPECT_FALSE(runtime.onQueue([&] { return runtime->historyUnavailable; }));
  }

  RuntimeWorld world;
  TestRuntime runtime{world};
};

TEST_F(RuntimeChat, ARepeatedChatIsAcknowledgedTwiceAndStoredOnce) {
  ScriptedPeer peer(world, runtime);
  ASSERT_TRUE(peer.connect());
  const std::string id = testing::newID();
  const auto chat = peer.chat(id, "hello");
  ASSERT_TRUE(peer.send(chat));
  ASSERT_TRUE(peer.send(chat));
  ASSERT_TRUE(peer.waitUntil([&] { return peer.acknowledged().size() == 2; }));
  EXPECT_EQ(peer.acknowledged(), (std::vector<std::string>{id, id}));

  const auto shown = messagesWithID(runtime.latest(), id);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0]->delivery, MessageDelivery::received);
  EXPECT_EQ(shown[0]->contactID, peer.id());
  EXPECT_EQ(shown[0]->text, "hello");
  const auto stored = records(peer.id());
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].id, id);
  EXPECT_FALSE(peer.closed());
}

// A CHAT that the history refuses to store as the peer sent it (under an identifier that
// already names other content, or one no record may carry): the peer's fault, so its session
// goes unacknowledged and the user's storage is not blamed.
struct ConflictCase {
  const char* name;
  enum class Identifier { usedBefore, ofOurMessage, nil } identifier;
};

class RuntimeChatConflict : public RuntimeChat,
                            public ::testing::WithParamInterface<ConflictCase> {};

TEST_P(RuntimeChatConflict, ClosesTheSessionWithoutAcknowledgingAndLeavesTheStatus) {
  using Identifier = ConflictCase::Identifier;
  ScriptedPeer peer(world, runtime);
  ASSERT_TRUE(peer.connect());
  std::string id = testing::newID();
  size_t acknowledgements = 0;
  std::optional<std::string> kept;  // the text the history keeps under the identifier
  VEFrame refused = peer.chat(id, "two");
  switch (GetParam().identifier) {
    case Identifier::usedBefore:
      ASSERT_TRUE(peer.send(peer.chat(id, "one")));
      ASSERT_TRUE(peer.waitUntil([&] { return peer.acknowledged().size() == 1; }));
      acknowledgements = 1;
      kept = "one";
      break;
    case Identifier::ofOurMessage:
      id = sendAccepted(peer.id(), "ours");
      ASSERT_TRUE(peer.waitForChats(1));
      ASSERT_TRUE(waitForDelivery(id, MessageDelivery::acknowledged));
      refused = peer.chat(id, "two");
      kept = "ours";
      break;
    case Identifier::nil: {
      // The wire allows it; no record may carry it.
      auto frame = refused.frame();
      const std::string nil = "00000000-0000-0000-0000-000000000000";
      frame.header_utf8.replace(frame.header_utf8.find(id), id.size(), nil);
      refused = VEFrame(std::move(frame));
      id = nil;
      break;
    }
  }

  ASSERT_TRUE(peer.send(refused));
  ASSERT_TRUE(peer.waitForClose());
  EXPECT_EQ(peer.acknowledged().size(), acknowledgements);
  expectStorageFine();
  const auto stored = records(peer.id());
  ASSERT_EQ(stored.size(), kept ? 1u : 0u);
  if (kept) {
    const auto message = decodeRuntimeMessage(stored[0].payload);
    EXPECT_EQ(message.text, *kept);
    EXPECT_EQ(message.outgoing, GetParam().identifier == Identifier::ofOurMessage);
  }
  EXPECT_TRUE(messagesWithID(runtime.latest(), id).size() <= 1);
}

INSTANTIATE_TEST_SUITE_P(
    Identifiers, RuntimeChatConflict,
    ::testing::Values(ConflictCase{"OldIdentifierNewText", ConflictCase::Identifier::usedBefore},
                      ConflictCase{"IdentifierOfOurMessage",
                                   ConflictCase::Identifier::ofOurMessage},
                      ConflictCase{"NilIdentifier", ConflictCase::Identifier::nil}),
    [](const ::testing::TestParamInfo<ConflictCase>& row) { return std::string(row.param.name); });

TEST_F(RuntimeChat, AChatArrivingWithTheHistoryClosedIsNotAcknowledgedAndShowsTheStorage) {
  ScriptedPeer peer(world, runtime);
  ASSERT_TRUE(peer.connect());
  std::shared_ptr<store::ConversationHistory> kept;
  runtime.onQueue([&] { kept = std::move(runtime->history); });
  ASSERT_TRUE(peer.send(peer.chat(testing::newID(), "into the void")));
  ASSERT_TRUE(peer.waitForClose());
  EXPECT_TRUE(peer.acknowledged().empty());
  runtime.settle();
  EXPECT_EQ(runtime.latest().status, "storage.unavailable");
  runtime.onQueue([&] { runtime->history = std::move(kept); });
}

// A CHAT_ACK that matches nothing of this peer's is dropped, and the session carries on.
struct StrayAckCase {
  const char* name;
  bool anotherPeers;  // names a CHAT in flight to another peer, else nothing at all
};

class RuntimeChatStrayAck : public RuntimeChat,
                            public ::testing::WithParamInterface<StrayAckCase> {};

TEST_P(RuntimeChatStrayAck, ChangesNothing) {
  ScriptedPeer peer(world, runtime);
  ScriptedPeer other(world, runtime, {.acknowledges = false});
  ASSERT_TRUE(peer.connect());
  ASSERT_TRUE(other.connect());
  std::string pending;
  VEFrame stray = *VEProtocol::ackWithSender(peer.id(), testing::newID(), testing::newID());
  if (GetParam().anotherPeers) {
    pending = sendAccepted(other.id(), "for the other");
    ASSERT_TRUE(other.waitForChats(1));
    stray = peer.acknowledgement(other.chats()[0]);
  }
  ASSERT_TRUE(peer.send(stray));
  // A CHAT after it shows the stray acknowledgement was taken and the session lives on.
  const std::string probe = testing::newID();
  ASSERT_TRUE(peer.send(peer.chat(probe, "still here")));
  ASSERT_TRUE(peer.waitUntil([&] { return !peer.acknowledged().empty(); }));
  EXPECT_EQ(peer.acknowledged(), std::vector<std::string>{probe});
  EXPECT_FALSE(peer.closed());
  if (GetParam().anotherPeers) {
    EXPECT_EQ(deliveryOf(pending), MessageDelivery::sending);
    EXPECT_EQ(rows(pending).at(0).state, ConversationOutboxState::sending);
  }
  expectStorageFine();
}

INSTANTIATE_TEST_SUITE_P(Acknowledgements, RuntimeChatStrayAck,
                         ::testing::Values(StrayAckCase{"UnknownMessage", false},
                                           StrayAckCase{"AnotherPeersMessage", true}),
                         [](const ::testing::TestParamInfo<StrayAckCase>& row) {
                           return std::string(row.param.name);
                         });

TEST_F(RuntimeChat, AnAcknowledgementNamingAnotherMessageClosesTheSession) {
  ScriptedPeer peer(world, runtime, {.acknowledges = false});
  ASSERT_TRUE(peer.connect());
  const std::string id = sendAccepted(peer.id(), "x");
  ASSERT_TRUE(peer.waitForChats(1));
  const auto chat = peer.chats()[0];
  ASSERT_TRUE(peer.send(*VEProtocol::ackWithSender(peer.id(), testing::newID(), chat.frame_id)));
  ASSERT_TRUE(peer.waitForClose());
  // Not acknowledged: the row waits, uncertain, for the next session.
  ASSERT_TRUE(runtime.waitOnQueue([&] { return !runtime->active.contains(peer.id()); }));
  EXPECT_NE(deliveryOf(id), MessageDelivery::acknowledged);
  EXPECT_EQ(rows(id).at(0).state, ConversationOutboxState::uncertain);
}

TEST_F(RuntimeChat, AChatClaimingAnotherSenderClosesTheSessionAndStoresNothing) {
  ScriptedPeer peer(world, runtime);
  ASSERT_TRUE(peer.connect());
  const std::string id = testing::newID();
  ASSERT_TRUE(peer.send(
      *VEProtocol::chatWithSender(testing::newID(), id, testing::newID(), "not mine to send")));
  ASSERT_TRUE(peer.waitForClose());
  EXPECT_TRUE(peer.acknowledged().empty());
  EXPECT_TRUE(records(peer.id()).empty());
  EXPECT_TRUE(messagesWithID(runtime.latest(), id).empty());
  expectStorageFine();
}

TEST_F(RuntimeChat, ATransferFrameTheEngineRefusesClosesTheSession) {
  ScriptedPeer peer(world, runtime);
  ASSERT_TRUE(peer.connect());
  // A cancel of a transfer this device never heard of.
  const nlohmann::json cancel{{"transferID", testing::newID()}, {"reason", "sender_failed"}};
  ASSERT_TRUE(peer.send(*VEProtocol::transferFrameWithKind("CANCEL", peer.id(), cancel)));
  EXPECT_TRUE(runtime.waitForDiagnostic("control.invalid.CANCEL"));
  EXPECT_TRUE(peer.waitForClose());
}

TEST_F(RuntimeChat, The129thPendingMessageIsRefusedAsBusy) {
  ScriptedPeer peer(world, runtime, {.acknowledges = false});
  ASSERT_TRUE(peer.connect());
  std::string first;
  for (size_t i = 0; i < kMaximumPendingChats; ++i) {
    const std::string id = sendAccepted(peer.id(), "text " + std::to_string(i));
    if (i == 0) first = id;
  }
  EXPECT_EQ(sendAndWait(world, runtime, peer.id(), "one too many"), SendRejection::busy);
  EXPECT_EQ(peer.chats().size(), 1u) << "one message of a contact at a time";

  // The first acknowledgement makes room for one more, and the next message goes.
  ASSERT_TRUE(peer.send(peer.acknowledgement(peer.chats()[0])));
  ASSERT_TRUE(peer.waitForChats(2));
  EXPECT_TRUE(waitForDelivery(first, MessageDelivery::acknowledged));
  EXPECT_EQ(sendAndWait(world, runtime, peer.id(), "room again"), std::nullopt);
}

// A peer that keeps no durable acknowledgements drops its connection while a CHAT waits for
// one: whether that CHAT arrived is unknown, so it waits for the user, and so do the contact's
// later messages.
class RuntimeChatUnconfirmed : public RuntimeChat, public ::testing::WithParamInterface<bool> {};

TEST_P(RuntimeChatUnconfirmed, HoldsTheContactUntilResendOrCancel) {
  const bool resend = GetParam();
  ScriptedPeer peer(world, runtime, {.durableAcknowledgments = false, .acknowledges = false});
  ASSERT_TRUE(peer.connect());
  const std::string first = sendAccepted(peer.id(), "first");
  const std::string second = sendAccepted(peer.id(), "second");
  ASSERT_TRUE(peer.waitForChats(1));
  peer.drop();
  ASSERT_TRUE(runtime.waitOnQueue([&] { return !runtime->active.contains(peer.id()); }));
  EXPECT_EQ(rows(first).at(0).state, ConversationOutboxState::uncertain);

  // The peer is back: the uncertain row goes to the user, nothing is sent, not even by the pump.
  ASSERT_TRUE(peer.connect());
  EXPECT_EQ(deliveryOf(first), MessageDelivery::unconfirmed);
  EXPECT_EQ(rows(first).at(0).state, ConversationOutboxState::attention);
  EXPECT_EQ(deliveryOf(second), MessageDelivery::queued);
  world.advance(kFiveSecondWork);
  runtime.settle();
  EXPECT_EQ(peer.chats().size(), 1u);
  EXPECT_EQ(rows(second).at(0).state, ConversationOutboxState::waiting);

  peer.setAcknowledges(true);
  if (resend) {
    runtime->resendMessage(peer.id(), first);
    ASSERT_TRUE(peer.waitForChats(3));
    EXPECT_EQ(peer.chats()[1].message_id, first);
    EXPECT_EQ(peer.chats()[2].message_id, second);
    ASSERT_TRUE(waitForDelivery(second, MessageDelivery::acknowledged));
    EXPECT_EQ(deliveryOf(first), MessageDelivery::acknowledged);
  } else {
    runtime->cancelMessage(peer.id(), first);
    ASSERT_TRUE(peer.waitForChats(2));
    EXPECT_EQ(peer.chats()[1].message_id, second);
    EXPECT_EQ(deliveryOf(first), MessageDelivery::cancelled);
    EXPECT_EQ(rows(first).at(0).state, ConversationOutboxState::cancelled);
  }
}

INSTANTIATE_TEST_SUITE_P(UserDecides, RuntimeChatUnconfirmed, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& row) {
                           return row.param ? "Resend" : "Cancel";
                         });

// Every way `sendText` refuses a text, and the two ways it takes one for a peer it cannot
// reach right now.
struct SendCase {
  const char* name;
  std::optional<SendRejection> expected;
  std::string text = "typed";
  bool started = true;
  bool networking = true;
  bool trusted = true;   // a trust record with the peer's key
  bool blocked = false;  // that record is blocked
  bool heard = false;    // the peer was announced
  double routeAge = 0;   // seconds since then
  enum class Contact { peer, unknown, anotherDevice } contact = Contact::peer;
  bool keyConflict = false;   // a changed key waits for the user
  size_t pending = 0;         // message rows already in the outbox
  bool historyFails = false;  // history writes fail
};

class RuntimeSendText : public ::testing::TestWithParam<SendCase> {
 protected:
  RuntimeWorld world;
  velmorine::testing::TemporaryFolder folder;
  const std::string peer = testing::newID();
  const std::vector<uint8_t> key = testing::peerKey(5);
};

TEST_P(RuntimeSendText, RefusesOrTakesAsTheRulesSay) {
  const auto& c = GetParam();
  std::string contact = c.contact == SendCase::Contact::peer ? peer : testing::newID();
  testing::seedStore(folder.path(), [&](store::StoreDocument& document) {
    if (c.trusted) document.trust[peer] = {*core::Uuid::parse(peer), key, false, c.blocked};
    if (c.contact == SendCase::Contact::anotherDevice) {
      document.trust[contact] = {core::Uuid::random(), testing::peerKey(6), false, false};
    }
  });
  if (c.pending > 0) {
    std::vector<RuntimeMessage> waiting;
    const std::string elsewhere = testing::newID();
    for (size_t i = 0; i < c.pending; ++i) {
      waiting.push_back(testing::outgoingMessage(elsewhere, MessageDelivery::queued));
    }
    testing::enqueueSeeds(*testing::openSeedHistory(folder.path()), waiting);
  }
  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  if (c.started) {
    ASSERT_TRUE(c.networking ? runtime.startNetworking() : runtime.start());
  }
  if (c.heard) {
    const auto identity = *VEIdentity::generate();
    runtime.discovery()->hear(*VEProtocol::discoveryWithID(peer, "Peer", identity->fingerprint(),
                                                           std::string(64, 'a'), 4100, 15, 1));
    ASSERT_TRUE(runtime.waitOnQueue([&] { return runtime->directory.peers.contains(peer); }));
    world.advance(c.routeAge);
  }
  if (c.keyConflict) runtime.onQueue([&] { runtime->conflicts[peer] = testing::peerKey(8); });
  if (c.historyFails) runtime.onQueue([&] { runtime->history->execute("PRAGMA query_only=1"); });

  const auto result = sendAndWait(
      world, runtime, peer, c.text,
      c.contact == SendCase::Contact::peer ? std::nullopt : std::optional<std::string>(contact));
  EXPECT_EQ(result, c.expected);
  if (!c.started) return;
  runtime.settle();
  const auto rows = runtime.onQueue([&] {
    store::ConversationOutboxQuery query;
    query.kind = "message";
    query.peer = contact;
    return runtime->history->pendingOutboxEntries(query);
  });
  std::vector<const RuntimeMessage*> shown;
  for (const auto& message : runtime.latest().messages) {
    if (message.text == c.text && message.outgoing) shown.push_back(&message);
  }
  if (c.expected) {
    EXPECT_TRUE(shown.empty());
    EXPECT_TRUE(rows.empty());
  } else {
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0]->contactID, contact);
    // Bound to the peer's key in the outbox, or, without a key, stored alone.
    EXPECT_EQ(rows.size(), c.trusted ? 1u : 0u);
    if (c.trusted) {
      EXPECT_EQ(rows.at(0).recipientKey, key);
    }
  }
  EXPECT_EQ(runtime.latest().status == "storage.unavailable", c.historyFails);
  if (c.historyFails) runtime.onQueue([&] { runtime->history->execute("PRAGMA query_only=0"); });
}

using Contact = SendCase::Contact;

INSTANTIATE_TEST_SUITE_P(
    Rules, RuntimeSendText,
    ::testing::Values(
        SendCase{.name = "NoStoreYet", .expected = SendRejection::unavailable, .started = false},
        SendCase{.name = "EmptyText", .expected = SendRejection::invalidText, .text = ""},
        SendCase{.name = "BrokenUTF8", .expected = SendRejection::invalidText, .text = "a\xff"},
        SendCase{.name = "TooManyBytes",
                 .expected = SendRejection::tooLarge,
                 .text = std::string(32769, 'a')},
        SendCase{.name = "TooManyUTF16Units",
                 .expected = SendRejection::tooLarge,
                 .text = std::string(4096, 'a')},
        SendCase{.name = "UnknownContact",
                 .expected = SendRejection::blocked,
                 .contact = Contact::unknown},
        SendCase{.name = "ContactOfAnotherDevice",
                 .expected = SendRejection::blocked,
                 .contact = Contact::anotherDevice},
        SendCase{.name = "NetworkingOff", .expected = SendRejection::offline, .networking = false},
        SendCase{.name = "NoKeyNoRoute", .expected = SendRejection::offline, .trusted = false},
        SendCase{.name = "NoKeyStaleRoute",
                 .expected = SendRejection::offline,
                 .trusted = false,
                 .heard = true,
                 .routeAge = network::kRouteFreshness},
        SendCase{.name = "BlockedPeer", .expected = SendRejection::blocked, .blocked = true},
        SendCase{.name = "KeyChangeWaits", .expected = SendRejection::blocked, .keyConflict = true},
        SendCase{
            .name = "OutboxFull", .expected = SendRejection::busy, .pending = kMaximumPendingChats},
        SendCase{.name = "HistoryWriteFails",
                 .expected = SendRejection::unavailable,
                 .historyFails = true},
        // Taken: a known key needs no route; a fresh route needs no key.
        SendCase{.name = "KnownKeyNoRoute", .expected = std::nullopt},
        SendCase{.name = "OutboxOneShortOfFull",
                 .expected = std::nullopt,
                 .pending = kMaximumPendingChats - 1},
        SendCase{.name = "FreshRouteNoKey",
                 .expected = std::nullopt,
                 .trusted = false,
                 .heard = true,
                 .routeAge = network::kRouteFreshness - 0.5}),
    [](const ::testing::TestParamInfo<SendCase>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace velmorine::runtime
