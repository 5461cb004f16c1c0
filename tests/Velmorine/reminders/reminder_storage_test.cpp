// The reminder client's state in its keychain item: loading, saving, what a failed save does,
// and a document that no longer decodes.

#include <gtest/gtest.h>

#include "tests/Velmorine/reminders/child_process.h"
#include "tests/Velmorine/reminders/reminder_service_fixture.h"

namespace velmorine::reminders::testing {
namespace {

std::vector<uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

class ReminderStorageTest : public ReminderServiceTest {};

TEST_F(ReminderStorageTest, WithoutAnItemTheStateStartsEmptyAndTheFirstSaveCreatesIt) {
  auto client = makeClient();
  EXPECT_EQ(stored(), std::nullopt);
  EXPECT_EQ(configure(*client), "ok");
  ReminderState expected;
  expected.localIdentity = kIdentityKey;
  EXPECT_EQ(stored(), expected);
}

TEST_F(ReminderStorageTest, DocumentWithoutTheOptionalMembersLoads) {
  const auto grant = grantNumber(1);
  keychain().save(
      bytes(R"({"issued":{},"received":{"wire-1":{"grant":)" + grantJson(grant) +
            R"(,"contact":"contact-1","key":"AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE="}},)"
            R"("revoking":false})"));
  auto client = makeClient();
  EXPECT_EQ(received(*client, "wire-1", std::vector<uint8_t>(32, 1)),
            std::make_pair(std::optional(grant), std::string("ok")));
}

struct UnreadableCase {
  const char* name;
  std::string document;
};

class ReminderUnreadableState : public ReminderStorageTest,
                                public ::testing::WithParamInterface<UnreadableCase> {};

TEST_P(ReminderUnreadableState, IsSetAsideAndTheClientStartsAfresh) {
  keychain().save(bytes(GetParam().document));
  auto client = makeClient();
  EXPECT_EQ(configure(*client), "ok");
  EXPECT_EQ(storedBytes(ReminderKeychain::kUnreadableAccount), bytes(GetParam().document));
  ReminderState expected;
  expected.localIdentity = kIdentityKey;
  EXPECT_EQ(stored(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReminderUnreadableState,
    ::testing::Values(UnreadableCase{"WithoutRevoking", R"({"issued":{},"received":{}})"},
                      UnreadableCase{"WrongType", R"({"issued":{},"received":{},"revoking":1})"},
                      UnreadableCase{"NotJson", "\x01\x02garbage"}, UnreadableCase{"Empty", ""}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(ReminderStorageTest, UnreadableStateThatCannotBeSetAsideIsLeftAlone) {
  const auto document = bytes(R"({"issued":{}})");
  keychain().save(document);
  switches->failSetAside = true;
  auto client = makeClient();
  EXPECT_EQ(configure(*client), "storage");
  EXPECT_EQ(storedBytes(ReminderKeychain::kAccount), document);
  switches->failSetAside = false;
  EXPECT_EQ(configure(*client), "ok");
  EXPECT_EQ(storedBytes(ReminderKeychain::kUnreadableAccount), document);
}

TEST_F(ReminderStorageTest, FailedSaveTurnsTheClientOffAndTheNextOperationReadsTheItemAgain) {
  server.script("POST", "/base/v1/devices/" + std::string(kDeviceID) + "/grants",
                ScriptedReply(200, grantJson(grantNumber(1))));
  auto client = registeredClient();
  switches->failSaves = true;
  EXPECT_EQ(accept(*client, grantNumber(2), peerNumber(2)).second, "storage");
  switches->failSaves = false;
  // The client holds nothing in memory now: what the item holds is what it goes by next.
  auto state = *stored();
  state.received["wire-3"] =
      BoundReminderGrant{grantNumber(3), "contact-3", std::vector<uint8_t>(32, 3)};
  store(state);
  // Off until the next registration: no grant is asked for.
  EXPECT_EQ(issue(*client, peerNumber(1)),
            std::make_pair(std::optional<ReminderGrant>(), std::string("ok")));
  EXPECT_EQ(calls().size(), 1u);
  EXPECT_EQ(received(*client, "wire-3", std::vector<uint8_t>(32, 3)).first, grantNumber(3));
  EXPECT_EQ(received(*client, "wire-2", std::vector<uint8_t>(32, 2)).first, std::nullopt);
}

TEST_F(ReminderStorageTest, FlushResumingAfterAnotherOperationsFailedSaveKeepsTheItem) {
  const std::string grants = "/base/v1/devices/" + std::string(kDeviceID) + "/grants";
  server.script("POST", grants, ScriptedReply(200, grantJson(grantNumber(1))));
  server.script("DELETE", grants + "/*", ScriptedReply(204));
  auto client = registeredClient();
  ASSERT_EQ(issue(*client, peerNumber(1)).first, grantNumber(1));
  server.hold("DELETE", grants + "/*");
  std::promise<std::exception_ptr> revoked;
  client->revokeGrants("contact-1", [&](std::exception_ptr error) { revoked.set_value(error); });
  ASSERT_TRUE(server.waitForHeld(1));
  // Meanwhile another operation's save fails and drops the state in memory.
  switches->failSaves = true;
  EXPECT_EQ(accept(*client, grantNumber(2), peerNumber(2)).second, "storage");
  switches->failSaves = false;
  server.release("DELETE", grants + "/*");
  EXPECT_EQ(outcome(revoked.get_future().get()), "ok");
  const auto state = stored();
  ASSERT_TRUE(state);
  EXPECT_EQ(state->registration, (ReminderRegistration{kDeviceID, kOwner}));
  EXPECT_EQ(state->localIdentity, kIdentityKey);
  EXPECT_TRUE(state->revocations.empty());
}

TEST_F(ReminderStorageTest, IdentityItemSurvivesReminderSavesFromAnotherProcess) {
  const platform::Keychain shared(folder / "keychain");
  const platform::KeychainItemAddress identity{"org.example.test.identity", "identity-v1",
                                               std::nullopt};
  ChildProcess child(
      {VELMORINE_REMINDER_CLIENT_CHILD, (folder / "keychain").string(), "-", "-", "saves", "40"});
  ASSERT_EQ(child.readLine(), "saved");
  // Added while the other process goes on saving its state.
  ASSERT_EQ(shared.add(identity, std::vector<uint8_t>(52, 9)), platform::KeychainStatus::success);
  EXPECT_EQ(child.readLine(), "ok");
  EXPECT_EQ(child.wait(), 0);
  const auto loaded = shared.load(identity);
  ASSERT_EQ(loaded.status, platform::KeychainStatus::success);
  EXPECT_EQ(std::vector<uint8_t>(loaded.data.bytes().begin(), loaded.data.bytes().end()),
            std::vector<uint8_t>(52, 9));
  EXPECT_TRUE(stored()->localIdentity);
}

}  // namespace
}  // namespace velmorine::reminders::testing
