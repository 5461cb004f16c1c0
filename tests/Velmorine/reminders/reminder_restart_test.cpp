// A client killed while the service holds one of its requests, and a new client on the same
// keychain item afterwards: whatever the first had saved is finished, in order, and nothing
// half done wedges reminders.

#include <gtest/gtest.h>

#include "tests/Velmorine/reminders/child_process.h"
#include "tests/Velmorine/reminders/reminder_service_fixture.h"

namespace velmorine::reminders::testing {
namespace {

class ReminderRestartTest : public ReminderServiceTest {
 protected:
  // Runs `operation` in a child client, waits until the service holds its request on `method`
  // and `path`, and kills it there.
  void killWhileHeld(const std::string& method, const std::string& path,
                     std::vector<std::string> operation) {
    server.hold(method, path);
    const size_t held = server.held();
    std::vector<std::string> arguments{VELMORINE_REMINDER_CLIENT_CHILD,
                                       (folder / "keychain").string(), baseURL(), caFile.string()};
    arguments.insert(arguments.end(), operation.begin(), operation.end());
    ChildProcess child(arguments);
    ASSERT_TRUE(server.waitForHeld(held + 1));
    EXPECT_TRUE(child.kill());
    server.release(method, path);
  }
  std::string grantsPath() const { return devicePath() + "/grants"; }
  // Registered as kDeviceID, with grants issued to contacts 1 and 2.
  void registerWithTwoGrants() {
    server.script("POST", grantsPath(),
                  {ScriptedReply(200, grantJson(grantNumber(1))),
                   ScriptedReply(200, grantJson(grantNumber(2)))});
    server.script("DELETE", grantsPath() + "/*", ScriptedReply(204));
    auto client = registeredClient();
    ASSERT_EQ(issue(*client, peerNumber(1)).first, grantNumber(1));
    ASSERT_EQ(issue(*client, peerNumber(2)).first, grantNumber(2));
  }
};

TEST_F(ReminderRestartTest, KilledDuringTheRegistrationPost) {
  scriptRegistration();
  killWhileHeld("POST", "/base/v1/devices", {"register"});
  // The answer never reached the item.
  EXPECT_EQ(stored().value_or(ReminderState{}).registration, std::nullopt);
  auto client = makeClient();
  EXPECT_EQ(registerDevice(*client), "ok");
  EXPECT_EQ(calls(), (std::vector<std::string>{"POST /base/v1/devices", "POST /base/v1/devices"}));
  EXPECT_EQ(stored()->registration, (ReminderRegistration{kDeviceID, kOwner}));
}

TEST_F(ReminderRestartTest, KilledDuringTheRegistrationUpdate) {
  registeredClient();
  server.script("PUT", devicePath(), ScriptedReply(200));
  killWhileHeld("PUT", devicePath(), {"register"});
  auto client = makeClient();
  EXPECT_EQ(registerDevice(*client), "ok");
  EXPECT_EQ(calls(1), (std::vector<std::string>{"PUT " + devicePath(), "PUT " + devicePath()}));
  EXPECT_EQ(stored()->registration, (ReminderRegistration{kDeviceID, kOwner}));
}

TEST_F(ReminderRestartTest, KilledDuringTheDeviceDeleteTheNextRegistrationFinishesIt) {
  registerWithTwoGrants();
  server.script("DELETE", devicePath(), ScriptedReply(204));
  killWhileHeld("DELETE", devicePath(), {"unregister"});
  EXPECT_TRUE(stored()->revoking);
  EXPECT_TRUE(stored()->issued.empty());
  const size_t first = server.requests().size();
  auto client = makeClient();
  // While the unregistration is unfinished nothing is issued and no route names a contact.
  EXPECT_EQ(issue(*client, peerNumber(3)).first, std::nullopt);
  EXPECT_EQ(contactFor(*client, routeNumber(1)).first, std::nullopt);
  const std::string other = "0b7d3c2a-1e4f-4a6b-8c9d-0e1f2a3b4c5d";
  scriptRegistration(other, std::string(43, 'q'));
  EXPECT_EQ(registerDevice(*client), "ok");
  EXPECT_EQ(calls(first),
            (std::vector<std::string>{"DELETE " + devicePath(), "POST /base/v1/devices"}));
  EXPECT_FALSE(stored()->revoking);
  EXPECT_EQ(stored()->registration, (ReminderRegistration{other, std::string(43, 'q')}));
}

TEST_F(ReminderRestartTest, KilledDuringAGrantDeleteTheRevocationsAreFlushedInOrder) {
  registerWithTwoGrants();
  killWhileHeld("DELETE", grantPath(1), {"revoke", "contact-1"});
  EXPECT_EQ(stored()->revocations, std::vector<std::string>{routeNumber(1)});
  const size_t first = server.requests().size();
  auto client = makeClient();
  EXPECT_EQ(revoke(*client, "contact-2"), "ok");
  EXPECT_EQ(calls(first),
            (std::vector<std::string>{"DELETE " + grantPath(1), "DELETE " + grantPath(2)}));
  EXPECT_TRUE(stored()->revocations.empty());
  EXPECT_TRUE(stored()->issued.empty());
}

TEST_F(ReminderRestartTest, KilledDuringAGrantRequestLeavesNothingHalfFiled) {
  registerWithTwoGrants();
  server.script("POST", grantsPath(), ScriptedReply(200, grantJson(grantNumber(3))));
  server.script("PUT", devicePath(), ScriptedReply(200));
  killWhileHeld("POST", grantsPath(), {"issue", "3"});
  EXPECT_FALSE(stored()->issued.contains("contact-3"));
  // The new process registers again (a push token arrives at every launch) and asks afresh.
  auto client = makeClient();
  ASSERT_EQ(registerDevice(*client), "ok");
  EXPECT_EQ(issue(*client, peerNumber(3)).first, grantNumber(3));
}

}  // namespace
}  // namespace velmorine::reminders::testing
