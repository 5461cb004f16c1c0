#include "Velmorine/reminders/reminder_outbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmorine::reminders {
namespace {

using network::AuthenticatedPeer;

const std::vector<uint8_t> kKey(32, 7);
const std::vector<uint8_t> kOtherKey(32, 8);

// An outbox whose closures write what ran into `events` ("send:A", "reject:A").
class OutboxFixture : public ::testing::Test {
 protected:
  ReminderOutbox::Item item(const std::string& id, double deadline,
                            const std::string& contact = "contact-a") {
    return ReminderOutbox::Item{
        .id = id,
        .contact = contact,
        .key = kKey,
        .deadline = deadline,
        .send = [this, id] { events.push_back("send:" + id); },
        .reject = [this, id] { events.push_back("reject:" + id); },
    };
  }
  static AuthenticatedPeer peer(const std::string& wireID, const std::string& contact,
                                const std::vector<uint8_t>& key) {
    return AuthenticatedPeer{wireID, contact, "nonce", key, "code"};
  }

  ReminderOutbox outbox;
  std::vector<std::string> events;
};

struct ResolveCase {
  std::string name;
  std::string wireID;
  std::string contact;
  std::vector<uint8_t> key;
  double now;
  std::vector<std::string> events;
  bool stillWaiting;
};

class ReminderOutboxResolve : public OutboxFixture,
                              public ::testing::WithParamInterface<ResolveCase> {};

TEST_P(ReminderOutboxResolve, EndsTheItemOnceAsTheTableSays) {
  const ResolveCase& c = GetParam();
  outbox.file(item("A", 100));
  outbox.resolve(peer(c.wireID, c.contact, c.key), c.now);
  EXPECT_EQ(events, c.events);
  EXPECT_EQ(outbox.item("A") != nullptr, c.stillWaiting);
  // A second resolve finds nothing left to end.
  outbox.resolve(peer("A", "contact-a", kKey), 50);
  if (!c.stillWaiting) {
    EXPECT_EQ(events, c.events);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReminderOutboxResolve,
    ::testing::Values(
        ResolveCase{"InTimeAndMatching", "A", "contact-a", kKey, 99.999, {"send:A"}, false},
        ResolveCase{"AtTheDeadline", "A", "contact-a", kKey, 100, {"reject:A"}, false},
        ResolveCase{"AfterTheDeadline", "A", "contact-a", kKey, 250, {"reject:A"}, false},
        ResolveCase{"OtherKey", "A", "contact-a", kOtherKey, 10, {"reject:A"}, false},
        ResolveCase{"OtherContact", "A", "contact-b", kKey, 10, {"reject:A"}, false},
        ResolveCase{"OtherPeer", "B", "contact-a", kKey, 10, {}, true}),
    [](const ::testing::TestParamInfo<ResolveCase>& param) { return param.param.name; });

struct RejectCase {
  std::string name;
  std::string peerID;
  std::optional<std::string> contact;
  bool rejected;
};

class ReminderOutboxReject : public OutboxFixture,
                             public ::testing::WithParamInterface<RejectCase> {};

TEST_P(ReminderOutboxReject, RemovesOnlyAMatchingItem) {
  const RejectCase& c = GetParam();
  outbox.file(item("A", 100));
  outbox.reject(c.peerID, c.contact);
  EXPECT_EQ(events, c.rejected ? std::vector<std::string>{"reject:A"} : std::vector<std::string>{});
  EXPECT_EQ(outbox.item("A") == nullptr, c.rejected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReminderOutboxReject,
                         ::testing::Values(RejectCase{"NoContactFilter", "A", std::nullopt, true},
                                           RejectCase{"SameContact", "A", "contact-a", true},
                                           RejectCase{"OtherContact", "A", "contact-b", false},
                                           RejectCase{"OtherPeer", "B", std::nullopt, false}),
                         [](const ::testing::TestParamInfo<RejectCase>& param) {
                           return param.param.name;
                         });

struct ExpireCase {
  std::string name;
  double deadline;
  double now;
  bool rejected;
};

class ReminderOutboxExpire : public OutboxFixture,
                             public ::testing::WithParamInterface<ExpireCase> {};

TEST_P(ReminderOutboxExpire, RejectsItemsDueAtOrBeforeNow) {
  const ExpireCase& c = GetParam();
  outbox.file(item("A", c.deadline));
  outbox.expire(c.now);
  EXPECT_EQ(events, c.rejected ? std::vector<std::string>{"reject:A"} : std::vector<std::string>{});
  EXPECT_EQ(outbox.empty(), c.rejected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReminderOutboxExpire,
                         ::testing::Values(ExpireCase{"Past", 100, 100.5, true},
                                           ExpireCase{"ExactlyNow", 100, 100, true},
                                           ExpireCase{"JustAhead", 100, 99.999, false}),
                         [](const ::testing::TestParamInfo<ExpireCase>& param) {
                           return param.param.name;
                         });

TEST_F(OutboxFixture, ExpireLeavesItemsFiledByItsClosuresForTheNextTick) {
  outbox.file(item("A", 10));
  outbox.file(item("B", 500));
  auto refile = item("A", 5);
  outbox.file(ReminderOutbox::Item{
      .id = "C",
      .contact = "contact-a",
      .key = kKey,
      .deadline = 20,
      .send = [] {},
      .reject =
          [this, refile] {
            events.push_back("reject:C");
            outbox.file(refile);  // already due, but filed during the walk
          },
  });
  outbox.expire(100);
  EXPECT_EQ(events, (std::vector<std::string>{"reject:A", "reject:C"}));
  EXPECT_EQ(outbox.waitingPeers(), (std::vector<std::string>{"A", "B"}));
  outbox.expire(100);
  EXPECT_EQ(events, (std::vector<std::string>{"reject:A", "reject:C", "reject:A"}));
  EXPECT_EQ(outbox.waitingPeers(), (std::vector<std::string>{"B"}));
}

TEST_F(OutboxFixture, RejectAllEmptiesFirstAndKeepsItemsFiledByItsClosures) {
  outbox.file(item("A", 10));
  outbox.file(ReminderOutbox::Item{
      .id = "B",
      .contact = "contact-a",
      .key = kKey,
      .deadline = 10,
      .send = [] {},
      .reject =
          [this] {
            events.push_back("reject:B");
            // The outbox is already empty when the closures run.
            EXPECT_EQ(outbox.item("A"), nullptr);
            outbox.file(item("N", 99));
          },
  });
  outbox.rejectAll();
  EXPECT_EQ(events, (std::vector<std::string>{"reject:A", "reject:B"}));
  EXPECT_EQ(outbox.waitingPeers(), (std::vector<std::string>{"N"}));
}

TEST_F(OutboxFixture, ItemIsGoneBeforeItsClosureRuns) {
  outbox.file(ReminderOutbox::Item{
      .id = "A",
      .contact = "contact-a",
      .key = kKey,
      .deadline = 10,
      .send =
          [this] {
            events.push_back("send:A");
            // Reentry finds nothing to end twice.
            outbox.resolve(peer("A", "contact-a", kKey), 1);
            outbox.reject("A", std::nullopt);
          },
      .reject = [this] { events.push_back("reject:A"); },
  });
  outbox.resolve(peer("A", "contact-a", kKey), 1);
  EXPECT_EQ(events, (std::vector<std::string>{"send:A"}));
  EXPECT_TRUE(outbox.empty());
}

TEST_F(OutboxFixture, FilingUnderAWaitingPeerRejectsTheEarlierItemOnce) {
  outbox.file(item("A", 10, "contact-old"));
  outbox.file(item("A", 20, "contact-new"));
  EXPECT_EQ(events, (std::vector<std::string>{"reject:A"}));
  ASSERT_NE(outbox.item("A"), nullptr);
  EXPECT_EQ(outbox.item("A")->contact, "contact-new");
  outbox.resolve(peer("A", "contact-new", kKey), 15);
  EXPECT_EQ(events, (std::vector<std::string>{"reject:A", "send:A"}));
}

TEST_F(OutboxFixture, ItemsWithoutClosuresEndQuietly) {
  outbox.file(ReminderOutbox::Item{
      .id = "A", .contact = "c", .key = kKey, .deadline = 1, .send = {}, .reject = {}});
  outbox.file(ReminderOutbox::Item{
      .id = "B", .contact = "c", .key = kKey, .deadline = 1, .send = {}, .reject = {}});
  outbox.resolve(peer("A", "c", kKey), 0);
  outbox.expire(5);
  EXPECT_TRUE(outbox.empty());
}

}  // namespace
}  // namespace velmorine::reminders
