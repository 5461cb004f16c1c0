#include "Velmorine/workspace/conversation_item.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <random>

#include "tests/Velmorine/workspace/workspace_fixture.h"

namespace velmorine::workspace::testing {
namespace {

using transfer::TransferState;

std::vector<std::string> ids(const std::vector<ConversationItem>& items) {
  std::vector<std::string> result;
  for (const auto& item : items) result.push_back(item.id());
  return result;
}

TEST(ConversationItem, IdentityNamesKindAndItem) {
  const auto sent = message("M1", "a");
  const auto offer = transferOf("t1", "a", TransferState::pending, false, 7);
  EXPECT_EQ(ConversationItem(sent).id(), "message:M1");
  EXPECT_EQ(ConversationItem(offer).id(), "transfer:t1");
  EXPECT_EQ(ConversationItem(offer).time(), store::Date{7});
  EXPECT_EQ(ConversationItem(sent).transfer(), nullptr);
  EXPECT_EQ(ConversationItem(offer).transfer(), &offer);
  EXPECT_EQ(ConversationItem(offer).message(), nullptr);
}

TEST(ConversationOrder, OneContactsItemsFollowTheHistoryWithUpperCaseIdentifiers) {
  runtime::RuntimeSnapshot snapshot;
  // The runtime keys its history in lower case: contact and item identifier alike.
  snapshot.historyOrder = {
      {"message:contact-a:m2", 1}, {"transfer:contact-a:t1", 2}, {"message:contact-a:m1", 3}};
  snapshot.messages = {message("M1", "Contact-A", false, 10), message("m2", "Contact-A", true, 30),
                       message("m3", "contact-a", false, 0), message("m4", "Contact-A", false, 5)};
  snapshot.transfers = {transferOf("T1", "Contact-A", TransferState::committed, true, 20),
                        transferOf("t2", "Contact-A", TransferState::pending, false, 5)};
  // Only the exact contact; items without a position follow by time, then identity.
  EXPECT_EQ(ids(orderedConversation(snapshot, "Contact-A")),
            (std::vector<std::string>{"message:m2", "transfer:T1", "message:M1", "message:m4",
                                      "transfer:t2"}));
  EXPECT_EQ(ids(orderedConversation(snapshot, "contact-a")),
            (std::vector<std::string>{"message:m3"}));
  EXPECT_TRUE(orderedConversation(snapshot, std::nullopt).empty());
}

ConversationOrderKey keyOf(const ConversationItem& item,
                           const std::map<std::string, std::int64_t>& order) {
  std::string scratch;
  return conversationOrderKey(item, order, "a", scratch);
}

TEST(ConversationOrder, ItemsWithoutPositionComeLastSoTheOrderIsTransitive) {
  // Compared by position when both have one and by time otherwise, these three went round in
  // a circle (a before c, c before b, b before a).
  const std::map<std::string, std::int64_t> order = {{"message:a:a", 1}, {"message:a:c", 2}};
  const auto a = message("a", "a", false, 10 * 3600);
  const auto b = message("b", "a", false, 9 * 3600);
  const auto c = message("c", "a", false, 8 * 3600);
  const auto ka = keyOf(ConversationItem(a), order);
  const auto kb = keyOf(ConversationItem(b), order);
  const auto kc = keyOf(ConversationItem(c), order);
  EXPECT_TRUE(precedes(ka, kc));
  EXPECT_TRUE(precedes(kc, kb));
  EXPECT_TRUE(precedes(ka, kb));
  EXPECT_FALSE(precedes(kb, ka));
}

TEST(ConversationOrder, TheLargestPositionStillComesBeforeNoPosition) {
  runtime::RuntimeSnapshot snapshot;
  snapshot.historyOrder = {{"message:a:last", std::numeric_limits<std::int64_t>::max()},
                           {"message:a:first", std::numeric_limits<std::int64_t>::min()}};
  snapshot.messages = {message("loose", "a", false, 1), message("last", "a", false, 5),
                       message("first", "a", false, 9)};
  EXPECT_EQ(ids(orderedConversation(snapshot, "a")),
            (std::vector<std::string>{"message:first", "message:last", "message:loose"}));
}

TEST(ConversationOrder, EqualTimesFallBackToTheIdentity) {
  const std::map<std::string, std::int64_t> none;
  const auto m1 = message("x1", "a", false, 4);
  const auto m2 = message("x2", "a", false, 4);
  const auto t1 = transferOf("a0", "a", TransferState::queued, true, 4);
  EXPECT_TRUE(precedes(keyOf(ConversationItem(m1), none), keyOf(ConversationItem(m2), none)));
  EXPECT_FALSE(precedes(keyOf(ConversationItem(m2), none), keyOf(ConversationItem(m1), none)));
  EXPECT_FALSE(precedes(keyOf(ConversationItem(m1), none), keyOf(ConversationItem(m1), none)));
  // "message:…" sorts before "transfer:…" whatever the identifiers.
  EXPECT_TRUE(precedes(keyOf(ConversationItem(m2), none), keyOf(ConversationItem(t1), none)));
}

TEST(ConversationOrder, EveryPermutationSortsAlike) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 50; ++round) {
    runtime::RuntimeSnapshot snapshot;
    const int count = 2 + static_cast<int>(random() % 40);
    std::vector<std::int64_t> positions(count);
    std::iota(positions.begin(), positions.end(), 0);
    std::shuffle(positions.begin(), positions.end(), random);
    for (int index = 0; index < count; ++index) {
      const auto id = "Item-" + std::to_string(random() % 1000);
      const double time = static_cast<double>(random() % 4);  // many equal times
      const bool isMessage = random() % 2 == 0;
      if (isMessage) {
        snapshot.messages.push_back(message(id, "Peer-X", random() % 2 == 0, time));
      } else {
        snapshot.transfers.push_back(transferOf(id, "Peer-X", TransferState::queued, false, time));
      }
      if (random() % 3 != 0) {
        std::string key = (isMessage ? "message:peer-x:" : "transfer:peer-x:") + id;
        std::transform(key.begin(), key.end(), key.begin(), ::tolower);
        snapshot.historyOrder[key] = positions[index];
      }
    }
    const auto expected = ids(orderedConversation(snapshot, "Peer-X"));
    ASSERT_EQ(expected.size(), static_cast<size_t>(count));
    // The same order as the predicate's, one history lookup per item.
    std::vector<ConversationItem> items;
    for (const auto& m : snapshot.messages) items.emplace_back(m);
    for (const auto& t : snapshot.transfers) items.emplace_back(t);
    std::stable_sort(items.begin(), items.end(), [&](const auto& a, const auto& b) {
      std::string scratch;
      return precedes(conversationOrderKey(a, snapshot.historyOrder, "peer-x", scratch),
                      conversationOrderKey(b, snapshot.historyOrder, "peer-x", scratch));
    });
    EXPECT_EQ(ids(items), expected) << round;
    for (int permutation = 0; permutation < 10; ++permutation) {
      std::shuffle(snapshot.messages.begin(), snapshot.messages.end(), random);
      std::shuffle(snapshot.transfers.begin(), snapshot.transfers.end(), random);
      EXPECT_EQ(ids(orderedConversation(snapshot, "Peer-X")), expected) << round;
    }
  }
}

}  // namespace
}  // namespace velmorine::workspace::testing
