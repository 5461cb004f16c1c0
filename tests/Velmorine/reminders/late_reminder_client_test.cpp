#include "tests/Velmorine/reminders/late_reminder_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace velmorine::reminders::testing {
namespace {

const std::vector<uint8_t> kKey(32, 3);
const ReminderGrant kGrant{"6f1c2f64-0c5b-4b53-9a5e-3f6d2b7c1a90", std::string(43, 'b'), 2e9};

bool isFailure(const std::exception_ptr& error, ReminderFailure::Case expected) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const ReminderFailure& failure) {
    return failure.failure() == expected;
  }
  return false;
}

TEST(LateReminderClient, AnswersOnItsOwnQueueAfterTheCallReturns) {
  LateReminderClient client;
  client.setReceivedGrant("contact", kKey, kGrant);
  std::atomic<bool> onQueue = false;
  std::optional<ReminderGrant> answered;
  client.receivedGrant("contact", kKey,
                       [&](std::optional<ReminderGrant> grant, std::exception_ptr) {
                         onQueue = client.queue().is_current();
                         answered = grant;
                       });
  client.settle();
  EXPECT_TRUE(onQueue);
  EXPECT_EQ(answered, kGrant);
}

TEST(LateReminderClient, HeldAnswersRunOnlyWhenReleasedInCallOrder) {
  LateReminderClient client;
  client.hold(true);
  std::vector<std::string> order;
  client.sendReminder("contact", kKey, "6f1c2f64-0c5b-4b53-9a5e-3f6d2b7c1a90", "message",
                      [&](std::exception_ptr error) {
                        EXPECT_TRUE(isFailure(error, ReminderFailure::Case::unavailable));
                        order.push_back("reminder");
                      });
  client.revokeGrants("contact", [&](std::exception_ptr error) {
    EXPECT_FALSE(error);
    order.push_back("revoke");
  });
  client.settle();
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(client.heldAnswers(), 2u);
  EXPECT_EQ(client.release(), 2u);
  client.settle();
  EXPECT_EQ(order, (std::vector<std::string>{"reminder", "revoke"}));
  EXPECT_EQ(client.reminders().at(0).kind, "message");
  EXPECT_EQ(client.revokedContacts(), std::vector<std::string>{"contact"});
}

TEST(LateReminderClient, ReminderNeedsAGrantAndRevokingDropsIt) {
  LateReminderClient client;
  client.setReceivedGrant("contact", kKey, kGrant);
  std::vector<std::exception_ptr> errors;
  auto send = [&] {
    client.sendReminder("contact", kKey, "6f1c2f64-0c5b-4b53-9a5e-3f6d2b7c1a90", "file",
                        [&](std::exception_ptr error) { errors.push_back(error); });
  };
  send();
  client.revokeGrants("contact", [](std::exception_ptr) {});
  send();
  client.setFailure(LateReminderClient::Operation::sendReminder,
                    std::make_exception_ptr(ReminderFailure::rejected(500)));
  client.setReceivedGrant("contact", kKey, kGrant);
  send();
  client.settle();
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_FALSE(errors[0]);
  EXPECT_TRUE(isFailure(errors[1], ReminderFailure::Case::unavailable));
  EXPECT_TRUE(isFailure(errors[2], ReminderFailure::Case::rejected));
}

TEST(LateReminderClient, HeldAnswersAreDroppedWithTheClient) {
  bool ran = false;
  {
    LateReminderClient client;
    client.hold(true);
    client.configure(kKey, [&](std::exception_ptr) { ran = true; });
  }
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace velmorine::reminders::testing
