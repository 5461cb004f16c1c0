#include "Velmorine/reminders/unconfigured_reminder_client.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "Velmorine/reminders/reminder_failure.h"

namespace velmorine::reminders {
namespace {

const std::vector<uint8_t> kKey(32, 3);
const ReminderGrant kGrant{"6f1c2f64-0c5b-4b53-9a5e-3f6d2b7c1a90", std::string(43, 'b'), 2e9};

std::string outcome(const std::exception_ptr& error) {
  if (!error) return "ok";
  try {
    std::rethrow_exception(error);
  } catch (const ReminderFailure& failure) {
    return std::string(caseName(failure.failure()));
  } catch (...) {
    return "other";
  }
}

// One call; gives what it answered, or "none" when it had not answered on return.
struct Call {
  std::string name;
  std::function<std::string(ReminderClient&)> run;
  std::string expected;
};

class UnconfiguredReminderClientCalls : public ::testing::TestWithParam<Call> {};

TEST_P(UnconfiguredReminderClientCalls, AnswersAtOnceAsAClientWithoutAService) {
  UnconfiguredReminderClient client;
  EXPECT_EQ(GetParam().run(client), GetParam().expected);
}

std::string configure(ReminderClient& client, std::vector<uint8_t> key) {
  std::string answer = "none";
  client.configure(std::move(key), [&](std::exception_ptr error) { answer = outcome(error); });
  return answer;
}

std::string sendReminder(ReminderClient& client, std::string event, std::string kind) {
  std::string answer = "none";
  client.sendReminder("contact", kKey, std::move(event), std::move(kind),
                      [&](std::exception_ptr error) { answer = outcome(error); });
  return answer;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, UnconfiguredReminderClientCalls,
    ::testing::Values(
        Call{"ConfigureWithIdentityKey", [](ReminderClient& c) { return configure(c, kKey); },
             "ok"},
        Call{"ConfigureWithShortKey",
             [](ReminderClient& c) { return configure(c, std::vector<uint8_t>(31)); }, "invalid"},
        Call{"IssueGrantGivesNone",
             [](ReminderClient& c) {
               std::string answer = "none";
               c.issueGrant({"wire", "contact", "nonce", kKey, "code"},
                            [&](std::optional<ReminderGrant> grant, std::exception_ptr error) {
                              answer = grant ? "grant" : outcome(error) + ":no grant";
                            });
               return answer;
             },
             "ok:no grant"},
        Call{"AcceptGrantTakesNothing",
             [](ReminderClient& c) {
               std::string answer = "none";
               c.acceptGrant(kGrant, {"wire", "contact", "nonce", kKey, "code"},
                             [&](bool taken, std::exception_ptr error) {
                               answer = outcome(error) + (taken ? ":taken" : ":not taken");
                             });
               return answer;
             },
             "ok:not taken"},
        Call{"ReceivedGrantGivesNone",
             [](ReminderClient& c) {
               std::string answer = "none";
               c.receivedGrant("contact", kKey,
                               [&](std::optional<ReminderGrant> grant, std::exception_ptr error) {
                                 answer = grant ? "grant" : outcome(error) + ":no grant";
                               });
               return answer;
             },
             "ok:no grant"},
        Call{"MessageReminderIsUnavailable",
             [](ReminderClient& c) {
               return sendReminder(c, "6f1c2f64-0c5b-4b53-9a5e-3f6d2b7c1a90", "message");
             },
             "unavailable"},
        Call{"FileReminderIsUnavailable",
             [](ReminderClient& c) {
               return sendReminder(c, "6f1c2f64-0c5b-4b53-9a5e-3f6d2b7c1a90", "file");
             },
             "unavailable"},
        Call{"UnknownKindIsUnavailable",
             [](ReminderClient& c) { return sendReminder(c, "not-an-id", "ping"); }, "unavailable"},
        Call{"RevokeHasNothingToDo",
             [](ReminderClient& c) {
               std::string answer = "none";
               c.revokeGrants("contact",
                              [&](std::exception_ptr error) { answer = outcome(error); });
               return answer;
             },
             "ok"}),
    [](const ::testing::TestParamInfo<Call>& param) { return param.param.name; });

TEST(ReminderKinds, OnlyMessageAndFile) {
  EXPECT_TRUE(isReminderKind("message"));
  EXPECT_TRUE(isReminderKind("file"));
  for (const char* kind : {"Message", "files", "", "ping"}) EXPECT_FALSE(isReminderKind(kind));
}

TEST(ReminderFailure, CarriesTheStatusOfARejectedRequestOnly) {
  EXPECT_EQ(ReminderFailure::rejected(401).status(), 401);
  EXPECT_EQ(ReminderFailure::rejected(401).failure(), ReminderFailure::Case::rejected);
  EXPECT_NE(ReminderFailure::rejected(401), ReminderFailure::rejected(410));
  EXPECT_EQ(ReminderFailure::unavailable().status(), 0);
  EXPECT_STREQ(ReminderFailure::storage().what(), "storage");
}

}  // namespace
}  // namespace velmorine::reminders
