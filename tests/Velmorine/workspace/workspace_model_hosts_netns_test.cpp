// The workspace model on its real runtime as host A of a LAN of network namespaces, runtime-node
// as host B: what the main window's state does with a real peer. Texts go both ways and are
// acknowledged, a sent draft empties unless it was edited meanwhile; B's messages raise unread
// and reach the notification hook once while its conversation is not viewed; a new language
// reaches its hook once; B's offer is announced once through every state it passes while A
// accepts it; selecting B dials it and loads its first page; clearing resets the
// composer; after B is killed and restarted mid-conversation the conversation keeps the order
// that A's history database holds. Needs root (CAP_NET_ADMIN, CAP_SYS_ADMIN) and iproute2;
// skips without them.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QTest>
#include <algorithm>
#include <cctype>
#include <fstream>

#include "Velmorine/workspace/content_attachments.h"
#include "Velmorine/workspace/workspace_model.h"
#include "tests/Velmorine/runtime/history_seed.h"
#include "tests/Velmorine/runtime/runtime_hosts.h"
#include "tests/harness/history_database.h"
#include "tests/harness/workspace_host.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::workspace {
namespace {

using runtime::MessageDelivery;
using runtime::testing::Host;
using runtime::testing::Json;
using runtime::testing::Lan;
using velmorine::testing::WorkspaceHost;

constexpr int kWait = WorkspaceHost::kWait;

class WorkspaceModelHostsNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (CAP_NET_ADMIN) for network namespaces";
    lan = std::make_unique<Lan>("vwm" + std::to_string(::getpid()));
    if (!lan->create() || !lan->plug("a", 1) || !lan->plug("b", 2)) {
      GTEST_SKIP() << "cannot make network namespaces and a bridge with iproute2";
    }
    b.ns = lan->ns("b");
    ASSERT_NO_FATAL_FAILURE(b.run());
    ASSERT_NO_FATAL_FAILURE(seedHistory());

    a = std::make_unique<WorkspaceHost>(lan->ns("a"), homeA.path(), contentAttachmentFactory());
    ASSERT_TRUE(a->entered());
    model().incomingNotification = [this](const runtime::RuntimePeer* peer,
                                          const runtime::RuntimeSnapshot&) {
      notified.push_back(peer == nullptr ? "(none)" : peer->id);
    };
    model().incomingFileNotification = [this](const runtime::RuntimePeer* peer,
                                              const runtime::RuntimeSnapshot&) {
      offered.push_back(peer == nullptr ? "(none)" : peer->id);
    };
    model().languageChanged = [this](const std::string& language) {
      languages.push_back(language);
    };
    ASSERT_TRUE(a->start(
        [](store::AppPreferences& preferences) {
          preferences.displayName = "Host a";
          preferences.notificationsEnabled = true;
          preferences.language = "en";
        },
        [](const runtime::RuntimeSnapshot& snapshot) {
          return snapshot.preferences.displayName == "Host a";
        }));
    ASSERT_TRUE(QTest::qWaitFor([&] { return peerB() != nullptr && peerB()->online; }, kWait))
        << "A never saw B";
    contactB = peerB()->id;
    ASSERT_TRUE(b.node->waitSnapshot([&](const Json& snapshot) {
      const Json* row = velmorine::testing::peerRow(snapshot, a->localID());
      return row != nullptr && (*row)["online"] == true;
    })) << "B never saw A";
    // What starting did is not under test.
    languages.clear();
    notified.clear();
  }

  void TearDown() override {
    if (b.node) {
      EXPECT_TRUE(b.node->stopsCleanly()) << "B ended badly";
    }
    b.node.reset();
    if (a) {
      EXPECT_TRUE(a->shutdown());
    }
    a.reset();
    lan.reset();
  }

  // What A's history holds before its runtime first starts, B already known by its identifier.
  virtual void seedHistory() {}

  WorkspaceModel& model() { return a->model(); }
  const runtime::RuntimePeer* peerB() const { return a->peer(b.localID); }

  // The first message of A's current snapshot with `text`, or nullptr.
  const runtime::RuntimeMessage* messageOfA(const std::string& text) {
    for (const auto& message : model().snapshot().messages) {
      if (message.text == text) return &message;
    }
    return nullptr;
  }
  bool aShows(const std::string& text, MessageDelivery delivery) {
    return QTest::qWaitFor(
        [&] {
          const auto* message = messageOfA(text);
          return message != nullptr && message->delivery == delivery;
        },
        kWait);
  }
  // Whether a snapshot of B from `from` on shows `text` with `delivery`.
  bool bShows(const std::string& text, const std::string& delivery, size_t from = 0) {
    return b.node
        ->waitSnapshot(
            [&](const Json& snapshot) {
              for (const auto& message : snapshot["messages"]) {
                if (message["text"] == text && message["delivery"] == delivery) return true;
              }
              return false;
            },
            from)
        .has_value();
  }

  // B sends A `text`; true once A's model holds it.
  bool fromB(const std::string& text) {
    b.node->send({{"op", "sendText"}, {"peer", a->localID()}, {"text", text}});
    return aShows(text, MessageDelivery::received);
  }
  // A's composer sends `text` to the selected peer; the edit, if any, comes while it is under way.
  void sendFromA(const std::string& text, const std::optional<std::string>& edit = std::nullopt) {
    model().setDraft(text, contactB);
    ASSERT_TRUE(model().canSend()) << text;
    model().send();
    ASSERT_TRUE(model().pendingSends().contains(contactB));
    // The runtime's answer arrives through the event loop, which has not run since the send.
    if (edit) model().setDraft(*edit, contactB);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model().pendingSends().contains(contactB); }, kWait));
    EXPECT_EQ(model().errorKey(), std::nullopt) << text;
  }

  // A publishes one more snapshot, and it has been applied.
  void anotherSnapshot() {
    const std::string name = "Host a " + std::to_string(++renames);
    model().runtime().updatePreferences(
        [name](store::AppPreferences& preferences) { preferences.displayName = name; });
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return model().snapshot().preferences.displayName == name; }, kWait));
  }

  // Whether B holds an open session with A, and whether A dialled it.
  struct SessionWithA {
    bool open = false;
    bool dialledByB = false;
  };
  SessionWithA bSessionWithA() {
    SessionWithA found;
    if (const auto sessions = b.node->sessions()) {
      for (const auto& session : sessions->list) {
        if (session["peer"] == a->localID() && session["closed"] == false) {
          found.open = true;
          found.dialledByB = found.dialledByB || session["dialled"] == true;
        }
      }
    }
    return found;
  }

  // The identifiers of the messages of the selected conversation, in the order the model gives.
  std::vector<std::string> conversationMessageIDs() {
    std::vector<std::string> ids;
    for (const auto& item : model().conversationItems()) {
      if (const auto* message = item.message()) ids.push_back(message->id);
    }
    return ids;
  }
  // The identifiers of A's stored messages with B, in history order.
  std::vector<std::string> storedIDsWithB() {
    std::vector<std::string> ids;
    const auto rows = velmorine::testing::storedMessages(homeA.path());
    EXPECT_TRUE(rows) << "A's history could not be read";
    if (!rows) return ids;
    for (const auto& row : *rows) {
      if (row.peer == lowered(b.localID)) ids.push_back(row.id);
    }
    return ids;
  }
  static std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  }

  std::unique_ptr<Lan> lan;
  velmorine::testing::TemporaryFolder homeA;
  Host b{"b", 2};
  std::unique_ptr<WorkspaceHost> a;
  std::string contactB;
  std::vector<std::string> notified;
  std::vector<std::string> offered;
  std::vector<std::string> languages;
  int renames = 0;
};

TEST_F(WorkspaceModelHostsNetns,
       TextsGoBothWaysAcknowledgedAndTheDraftEmptiesUnlessEdited_NeedsRootAndNamespaces) {
  model().setSelectedPeerID(contactB);
  ASSERT_NO_FATAL_FAILURE(sendFromA("hello b"));
  EXPECT_EQ(model().draft(contactB), "");
  EXPECT_TRUE(aShows("hello b", MessageDelivery::acknowledged));
  EXPECT_TRUE(bShows("hello b", "received"));

  // Typing goes on while the text is under way: what was typed stays.
  ASSERT_NO_FATAL_FAILURE(sendFromA("second", "second, edited"));
  EXPECT_EQ(model().draft(contactB), "second, edited");
  EXPECT_TRUE(aShows("second", MessageDelivery::acknowledged));
  EXPECT_TRUE(bShows("second", "received"));
  EXPECT_EQ(messageOfA("second, edited"), nullptr);

  const size_t mark = b.node->mark();
  ASSERT_TRUE(fromB("hello a"));
  EXPECT_FALSE(messageOfA("hello a")->outgoing);
  EXPECT_TRUE(bShows("hello a", "acknowledged", mark));
}

TEST_F(WorkspaceModelHostsNetns,
       EachMessageRaisesUnreadAndNotifiesOnceOnlyWhileNotViewed_NeedsRootAndNamespaces) {
  // Nothing selected: B's conversation is not viewed.
  ASSERT_TRUE(fromB("one"));
  EXPECT_EQ(model().unread(), (std::map<std::string, std::int64_t>{{contactB, 1}}));
  EXPECT_EQ(notified, std::vector<std::string>{contactB});
  ASSERT_TRUE(fromB("two"));
  EXPECT_EQ(model().unread().at(contactB), 2);
  EXPECT_EQ(notified, (std::vector<std::string>{contactB, contactB}));
  // Later snapshots still list them: nothing more.
  ASSERT_NO_FATAL_FAILURE(anotherSnapshot());
  EXPECT_EQ(model().unread().at(contactB), 2);
  EXPECT_EQ(notified.size(), 2u);

  // Viewed: selecting reads them, and what comes while viewed raises nothing.
  model().setSelectedPeerID(contactB);
  EXPECT_FALSE(model().unread().contains(contactB));
  ASSERT_TRUE(fromB("three"));
  ASSERT_NO_FATAL_FAILURE(anotherSnapshot());
  EXPECT_FALSE(model().unread().contains(contactB));
  EXPECT_EQ(notified.size(), 2u);

  // The window hidden: the selected conversation is not viewed any more.
  model().setWorkspaceVisible(false);
  ASSERT_TRUE(fromB("four"));
  ASSERT_NO_FATAL_FAILURE(anotherSnapshot());
  EXPECT_EQ(model().unread().at(contactB), 1);
  EXPECT_EQ(notified, (std::vector<std::string>{contactB, contactB, contactB}));
}

TEST_F(WorkspaceModelHostsNetns, ANewLanguageCallsItsHookOnce_NeedsRootAndNamespaces) {
  model().runtime().updatePreferences(
      [](store::AppPreferences& preferences) { preferences.language = "ko"; });
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return model().snapshot().preferences.language == "ko"; }, kWait));
  ASSERT_NO_FATAL_FAILURE(anotherSnapshot());
  // The same language again changes nothing.
  model().runtime().updatePreferences(
      [](store::AppPreferences& preferences) { preferences.language = "ko"; });
  ASSERT_NO_FATAL_FAILURE(anotherSnapshot());
  EXPECT_EQ(languages, std::vector<std::string>{"ko"});
}

TEST_F(WorkspaceModelHostsNetns,
       AnOfferIsAnnouncedOnceThroughEveryStateItPasses_NeedsRootAndNamespaces) {
  velmorine::testing::TemporaryFolder sources;
  const auto file = sources / "offered.bin";
  std::ofstream(file, std::ios::binary) << std::string(3 << 20, 'x');
  // The state of B's offer in each snapshot A applied, in order, repeats folded.
  std::vector<transfer::TransferState> states;
  std::string offerID;
  const auto watch = QObject::connect(&model(), &WorkspaceModel::snapshotPublished, [&] {
    for (const auto& transfer : model().snapshot().transfers) {
      if (transfer.outgoing || transfer.contactID != contactB) continue;
      offerID = transfer.id;
      if (states.empty() || states.back() != transfer.state) states.push_back(transfer.state);
    }
  });
  // B offers over a session of its own.
  size_t mark = b.node->mark();
  b.node->send({{"op", "connectPeer"}, {"peer", a->localID()}});
  ASSERT_TRUE(b.node->waitSnapshot(
      [&](const Json& snapshot) {
        return velmorine::testing::safetyCode(snapshot, a->localID()).has_value();
      },
      mark))
      << "B never linked with A";
  mark = b.node->mark();
  b.node->send({{"op", "offer"}, {"peer", a->localID()}, {"paths", Json::array({file.string()})}});
  const auto offeredByB = b.node->waitLine(
      [](const Json& line) {
        return line.value("event", "") == "completion" && line.value("op", "") == "offer";
      },
      mark, std::chrono::seconds(60));
  ASSERT_TRUE(offeredByB && (*offeredByB)["result"].is_string())
      << (offeredByB ? offeredByB->dump() : "B never completed its offer");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return !states.empty() && states.back() == transfer::TransferState::pending; }, kWait))
      << "A never saw B's offer";
  EXPECT_EQ(offered, std::vector<std::string>{contactB});
  EXPECT_EQ(model().unread().at(contactB), 1);

  const auto destination = homeA / "Accepted";
  std::filesystem::create_directories(destination);
  model().runtime().acceptTransfer(offerID, destination);
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return states.back() == transfer::TransferState::committed; }, kWait))
      << "the offer never committed";
  ASSERT_NO_FATAL_FAILURE(anotherSnapshot());
  QObject::disconnect(watch);
  EXPECT_GE(states.size(), 2u);
  EXPECT_EQ(offered, std::vector<std::string>{contactB}) << "announced again on a later state";
  EXPECT_EQ(model().unread().at(contactB), 1);
}

TEST_F(WorkspaceModelHostsNetns, ClearingResetsDraftPreparationAndUnread_NeedsRootAndNamespaces) {
  model().setSelectedPeerID(contactB);
  model().setWorkspaceVisible(false);
  ASSERT_TRUE(fromB("unseen"));
  ASSERT_EQ(model().unread().at(contactB), 1);
  model().setDraft("not sent", contactB);
  // A file dropped on the composer.
  const auto file = homeA / "note.txt";
  std::ofstream(file) << "note";
  const auto preparation = model().attachments();
  ASSERT_EQ(preparation->recipientID(), contactB);
  preparation->importFinished({file}, false, preparation->beginImport());
  ASSERT_TRUE(preparation->hasSelections());

  model().clearSelectedConversation();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !model().unread().contains(contactB); }, kWait));
  EXPECT_EQ(model().draft(contactB), "");
  EXPECT_FALSE(preparation->hasSelections());
  EXPECT_FALSE(preparation->prepared());
  EXPECT_EQ(model().attachments(), preparation);
  EXPECT_TRUE(model().conversationItems().empty());
  EXPECT_TRUE(storedIDsWithB().empty());
}

TEST_F(WorkspaceModelHostsNetns,
       AfterThePeerIsKilledAndRestartedTheConversationFollowsTheHistory_NeedsRootAndNamespaces) {
  model().setSelectedPeerID(contactB);
  ASSERT_NO_FATAL_FAILURE(sendFromA("a-1"));
  ASSERT_TRUE(fromB("b-1"));
  ASSERT_TRUE(aShows("a-1", MessageDelivery::acknowledged));

  // B dies as a crash would, one of A's texts perhaps under way, the next one sent after.
  ASSERT_NO_FATAL_FAILURE(sendFromA("a-2"));
  b.node->kill();
  b.node.reset();
  ASSERT_NO_FATAL_FAILURE(sendFromA("a-3"));

  ASSERT_NO_FATAL_FAILURE(b.run());
  ASSERT_TRUE(aShows("a-3", MessageDelivery::acknowledged)) << "the outbox never delivered";
  ASSERT_TRUE(fromB("b-2"));
  ASSERT_NO_FATAL_FAILURE(sendFromA("a-4"));
  ASSERT_TRUE(aShows("a-4", MessageDelivery::acknowledged));

  const auto shown = conversationMessageIDs();
  EXPECT_EQ(shown.size(), 6u);
  EXPECT_EQ(shown, storedIDsWithB());
  // Reloading the first page from the history gives the same order.
  model().setSelectedPeerID(contactB);
  ASSERT_NO_FATAL_FAILURE(anotherSnapshot());
  EXPECT_EQ(conversationMessageIDs(), shown);
}

// A's history already holds more of B's messages than one page before A's runtime starts.
class WorkspaceModelHostsNetnsWithHistory : public WorkspaceModelHostsNetns {
 protected:
  static constexpr int kSeeded = runtime::kHistoryPageSize + 20;

  void seedHistory() override {
    std::filesystem::create_directories(homeA / "Velmorine");
    auto history = runtime::testing::openSeedHistory(homeA / "Velmorine");
    std::vector<store::ConversationHistoryRecord> records;
    for (int index = 0; index < kSeeded; ++index) {
      runtime::RuntimeMessage message;
      message.id = runtime::testing::newID();
      message.frameID = runtime::testing::newID();
      message.peerID = b.localID;
      message.contactID = b.localID;
      message.text = "earlier " + std::to_string(index);
      message.outgoing = false;
      message.date = store::Date{800000000.0 + index};
      message.delivery = MessageDelivery::received;
      auto record = runtime::testing::recordOf(message);
      record.peer = lowered(b.localID);
      records.push_back(std::move(record));
      seeded.push_back(message.id);
    }
    runtime::testing::saveSeedRecords(*history, records);
  }

  std::vector<std::string> seeded;
};

TEST_F(WorkspaceModelHostsNetnsWithHistory,
       SelectingThePeerDialsItAndLoadsItsFirstPage_NeedsRootAndNamespaces) {
  ASSERT_FALSE(bSessionWithA().open) << "nothing dialled before the selection";
  model().setSelectedPeerID(contactB);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return model().conversationItems().size() == size_t(runtime::kHistoryPageSize); },
      kWait));
  const std::vector<std::string> newest(seeded.end() - runtime::kHistoryPageSize, seeded.end());
  EXPECT_EQ(conversationMessageIDs(), newest);
  EXPECT_TRUE(model().snapshot().earlierHistory.contains(contactB));
  EXPECT_FALSE(model().unread().contains(contactB));
  EXPECT_TRUE(notified.empty());

  ASSERT_TRUE(QTest::qWaitFor([&] { return peerB() != nullptr && peerB()->safetyCode; }, kWait))
      << "no session with B";
  const auto session = bSessionWithA();
  EXPECT_TRUE(session.open);
  EXPECT_FALSE(session.dialledByB);
}

}  // namespace
}  // namespace velmorine::workspace
