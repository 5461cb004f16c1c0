// The runtime's window onto the conversation history: pages of a selected conversation, the
// limits of what stays in memory, and records it cannot read.

#include <gtest/gtest.h>

#include "tests/Velmorine/runtime/history_seed.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"

namespace velmorine::runtime {
namespace {

using testing::RuntimeWorld;
using testing::TestRuntime;

std::vector<const RuntimeMessage*> messagesOf(const RuntimeSnapshot& snapshot,
                                              const std::string& contact) {
  std::vector<const RuntimeMessage*> result;
  for (const auto& message : snapshot.messages) {
    if (message.contactID == contact) result.push_back(&message);
  }
  return result;
}

// Which items of a window survive a trim: the selected contact's items are numbered 1 to
// `selected` in history order, the other contacts' after them.
struct WindowCase {
  const char* name;
  bool transfers;  // else messages
  size_t selected;
  size_t others;
  bool browsing;
  // The selected contact's items kept, as the first and last history number and the count.
  int64_t firstKept;
  int64_t lastKept;
  size_t othersKept;
};

class HistoryWindow : public ::testing::TestWithParam<WindowCase> {
 protected:
  RuntimeWorld world;
};

TEST_P(HistoryWindow, KeepsWhatTheLimitsAllow) {
  const auto& c = GetParam();
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.start());
  const std::string selected = testing::newID();
  std::vector<std::string> otherContacts{testing::newID(), testing::newID()};
  std::map<std::string, int64_t> orderOf;  // history key to number

  runtime.onQueue([&] {
    auto& self = *runtime.runtime;
    self.selectedHistory = selected;
    if (c.browsing) self.browsingHistory.insert(selected);
    int64_t order = 0;
    auto add = [&](const std::string& contact) {
      ++order;
      if (c.transfers) {
        auto transfer = testing::transferOf(contact, transfer::TransferState::committed);
        const std::string key = transferKey(transfer);
        self.historyTransfers[key] = transfer;
        self.historyOrder[key] = order;
        orderOf[key] = order;
      } else {
        auto message = testing::outgoingMessage(contact, MessageDelivery::acknowledged);
        self.messages.push_back(message);
        const std::string key = messageKey(message);
        self.historyOrder[key] = order;
        self.savedMessages[key] = message;
        orderOf[key] = order;
      }
    };
    for (size_t i = 0; i < c.selected; ++i) add(selected);
    for (size_t i = 0; i < c.others; ++i) add(otherContacts[i % 2]);
    self.trimHistoryWindow({});
  });

  std::vector<int64_t> kept;
  size_t othersKept = 0;
  size_t cached = 0;
  runtime.onQueue([&] {
    auto& self = *runtime.runtime;
    auto count = [&](const std::string& contact, const std::string& key) {
      if (contact == selected) {
        kept.push_back(orderOf.at(key));
      } else {
        ++othersKept;
      }
    };
    if (c.transfers) {
      for (const auto& [key, transfer] : self.historyTransfers) count(transfer.contactID, key);
    } else {
      for (const auto& message : self.messages) count(message.contactID, messageKey(message));
    }
    cached = self.savedMessages.size();
  });
  std::ranges::sort(kept);
  if (c.firstKept == 0) {
    EXPECT_TRUE(kept.empty());
  } else {
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.front(), c.firstKept);
    EXPECT_EQ(kept.back(), c.lastKept);
    EXPECT_EQ(kept.size(), static_cast<size_t>(c.lastKept - c.firstKept + 1));
  }
  EXPECT_EQ(othersKept, c.othersKept);
  // The caches hold nothing of what fell out.
  if (!c.transfers) {
    EXPECT_EQ(cached, kept.size() + othersKept);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, HistoryWindow,
    ::testing::Values(
        WindowCase{"SelectedMessagesKeepTheNewest", false, 1001, 0, false, 2, 1001, 0},
        WindowCase{"BrowsedMessagesKeepTheOldest", false, 1001, 0, true, 1, 1000, 0},
        WindowCase{"SelectedMessagesWithinTheLimit", false, 1000, 0, false, 1, 1000, 0},
        WindowCase{"OtherMessagesKeepTheNewest200", false, 0, 201, false, 0, 0, 200},
        WindowCase{"BrowsingLeavesOtherMessagesAlone", false, 10, 250, true, 1, 10, 200},
        WindowCase{"SelectedTransfersKeepTheNewest", true, 201, 0, false, 2, 201, 0},
        WindowCase{"BrowsedTransfersKeepTheOldest", true, 201, 0, true, 1, 200, 0},
        WindowCase{"OtherTransfersKeepTheNewest50", true, 0, 51, false, 0, 0, 50}),
    [](const ::testing::TestParamInfo<WindowCase>& row) { return std::string(row.param.name); });

class RuntimeHistory : public ::testing::Test {
 protected:
  RuntimeWorld world;
  velmorine::testing::TemporaryFolder folder;
  const std::string contact = testing::newID();
};

TEST_F(RuntimeHistory, PendingMessagesStayWhateverTheWindow) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.start());
  const std::string other = testing::newID();
  const auto queued = testing::outgoingMessage(other, MessageDelivery::queued);
  runtime.onQueue([&] {
    auto& self = *runtime.runtime;
    self.messages.push_back(queued);
    self.historyOrder[messageKey(queued)] = 1;
    for (int64_t i = 0; i < 250; ++i) {
      const auto message = testing::outgoingMessage(other, MessageDelivery::acknowledged);
      self.messages.push_back(message);
      self.historyOrder[messageKey(message)] = 2 + i;
    }
    self.trimHistoryWindow({});
  });
  const auto kept = runtime.onQueue([&] { return runtime->messages; });
  EXPECT_EQ(kept.size(), 201u);
  EXPECT_TRUE(std::ranges::any_of(kept, [&](const RuntimeMessage& m) { return m == queued; }));
}

TEST_F(RuntimeHistory, PagesLoadNewestFirstAndBrowsingGoesBackInTime) {
  std::vector<RuntimeMessage> seeded;
  {
    auto history = testing::openSeedHistory(folder.path());
    std::vector<store::ConversationHistoryRecord> records;
    for (int i = 0; i < 150; ++i) {
      seeded.push_back(testing::outgoingMessage(contact, MessageDelivery::acknowledged));
      records.push_back(testing::recordOf(seeded.back()));
    }
    testing::saveSeedRecords(*history, records);
  }
  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  ASSERT_TRUE(runtime.start());
  auto shownIDs = [&] {
    std::set<std::string> ids;
    for (const auto* message : messagesOf(runtime.latest(), contact)) ids.insert(message->id);
    return ids;
  };
  auto idsOf = [&](size_t from, size_t to) {
    std::set<std::string> ids;
    for (size_t i = from; i < to; ++i) ids.insert(seeded[i].id);
    return ids;
  };

  runtime->selectConversation(contact, false);
  runtime.settle();
  EXPECT_EQ(shownIDs(), idsOf(50, 150));
  EXPECT_TRUE(runtime.latest().earlierHistory.contains(contact));
  EXPECT_FALSE(runtime.latest().browsingHistory.contains(contact));

  runtime->selectConversation(contact, true);
  runtime.settle();
  EXPECT_EQ(shownIDs(), idsOf(0, 150));
  EXPECT_FALSE(runtime.latest().earlierHistory.contains(contact));
  EXPECT_TRUE(runtime.latest().browsingHistory.contains(contact));
  const auto cursor = runtime.onQueue([&] { return runtime->historyCursor.at(contact); });

  // Nothing older: the cursor stays and the contact has no earlier history.
  runtime->selectConversation(contact, true);
  runtime.settle();
  EXPECT_EQ(runtime.onQueue([&] { return runtime->historyCursor.at(contact); }), cursor);
  EXPECT_FALSE(runtime.latest().earlierHistory.contains(contact));

  // A fresh selection returns to the newest page and ends browsing.
  runtime->selectConversation(contact, false);
  runtime.settle();
  EXPECT_EQ(shownIDs(), idsOf(50, 150));
  EXPECT_FALSE(runtime.latest().browsingHistory.contains(contact));
  // The history order of every shown message is its record's.
  const auto& order = runtime.latest().historyOrder;
  for (size_t i = 51; i < 150; ++i) {
    EXPECT_LT(order.at(messageKey(seeded[i - 1])), order.at(messageKey(seeded[i])));
  }
}

TEST_F(RuntimeHistory, AnEarlierPageBeforeAnyPageDoesNothing) {
  TestRuntime runtime(world);
  ASSERT_TRUE(runtime.start());
  const size_t published = runtime.snapshots.size();
  runtime->selectConversation(contact, true);
  runtime.settle();
  EXPECT_EQ(runtime.snapshots.size(), published);
}

TEST_F(RuntimeHistory, AHistoryCopyNeverReplacesALiveMessage) {
  const auto message = testing::outgoingMessage(contact, MessageDelivery::queued);
  testing::enqueueSeed(*testing::openSeedHistory(folder.path()), message);
  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  ASSERT_TRUE(runtime.start());
  // Handed to a session since: the live copy says sending, the history still queued.
  runtime.onQueue([&] {
    for (auto& live : runtime->messages) live.delivery = MessageDelivery::sending;
  });
  for (int round = 0; round < 2; ++round) {
    runtime->selectConversation(contact, false);
    runtime.settle();
    const auto shown = messagesOf(runtime.latest(), contact);
    ASSERT_EQ(shown.size(), 1u) << round;
    EXPECT_EQ(shown[0]->delivery, MessageDelivery::sending) << round;
  }
}

TEST_F(RuntimeHistory, AnOldDisconnectedTransferShowsTodaysErrorKey) {
  auto transfer = testing::transferOf(contact, transfer::TransferState::failed);
  transfer.error = "content.disconnected";
  testing::saveSeedRecords(*testing::openSeedHistory(folder.path()), {testing::recordOf(transfer)});
  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  ASSERT_TRUE(runtime.start());
  ASSERT_EQ(runtime.latest().transfers.size(), 1u);
  EXPECT_EQ(runtime.latest().transfers[0].error, "transfer.error.disconnected");
}

TEST_F(RuntimeHistory, AnUnreadableRecordInAPageIsSkippedAndReported) {
  std::vector<RuntimeMessage> good;
  {
    auto history = testing::openSeedHistory(folder.path());
    std::vector<store::ConversationHistoryRecord> records;
    for (int i = 0; i < 3; ++i) {
      good.push_back(testing::outgoingMessage(contact, MessageDelivery::acknowledged));
      records.push_back(testing::recordOf(good.back()));
      if (i == 1) {
        records.push_back(store::ConversationHistoryRecord{
            "message", contact, testing::newID(), {'?'}, false, std::nullopt});
      }
    }
    testing::saveSeedRecords(*history, records);
  }
  TestRuntime runtime(world, testing::RuntimeOptions().withFolder(folder.path()));
  ASSERT_TRUE(runtime.start());
  const size_t reported = runtime.diagnosticCount("history.invalidRecord");
  EXPECT_GE(reported, 1u);
  runtime->selectConversation(contact, false);
  runtime.settle();
  EXPECT_EQ(messagesOf(runtime.latest(), contact).size(), 3u);
  EXPECT_EQ(runtime.diagnosticCount("history.invalidRecord"), reported + 1);
  EXPECT_EQ(runtime.latest().status, "network.paused");
}

}  // namespace
}  // namespace velmorine::runtime
