// The reminder client as the runtime meets it: grants restored at every network start, and
// answers that come late, from the client's own thread, also after the runtime is gone.

#include <gtest/gtest.h>

#include "tests/Velmorine/reminders/late_reminder_client.h"
#include "tests/Velmorine/runtime/history_seed.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"

namespace velmorine::runtime {
namespace {

using reminders::testing::LateReminderClient;
using testing::RuntimeWorld;
using testing::TestRuntime;

class RuntimeReminders : public ::testing::Test {
 protected:
  double wallSeconds() const {
    return std::chrono::duration<double>(world.wallNow().time_since_epoch()).count();
  }
  // A contact this device trusts, written before the runtime starts.
  void trustContact(const std::filesystem::path& folder) {
    testing::seedStore(folder, [&](store::StoreDocument& document) {
      document.trust[contact] = store::TrustRecord{*core::Uuid::parse(contact), key, false, false};
    });
  }

  RuntimeWorld world;
  const std::string contact = testing::newID();
  const std::vector<uint8_t> key = testing::peerKey(9);
  std::shared_ptr<LateReminderClient> client = std::make_shared<LateReminderClient>(world.clock);
};

struct GrantCase {
  const char* name;
  double expiresIn;  // seconds after the wall clock's now
  bool listed;
};

class RuntimeRestoredGrant : public RuntimeReminders,
                             public ::testing::WithParamInterface<GrantCase> {};

TEST_P(RuntimeRestoredGrant, CountsWhileItsExpiryLiesAhead) {
  velmorine::testing::TemporaryFolder folder;
  trustContact(folder.path());
  client->setReceivedGrant(
      contact, key,
      network::ReminderGrant{"route", "bearer", wallSeconds() + GetParam().expiresIn});
  TestRuntime runtime(world,
                      testing::RuntimeOptions().withFolder(folder.path()).withReminders(client));
  ASSERT_TRUE(runtime.startNetworking());
  ASSERT_TRUE(world.main.waitUntil(
      [&] { return runtime.onQueue([&] { return runtime->reminderExpiry.contains(contact); }); }));
  runtime.onQueue([&] { runtime->publishSnapshot(); });
  runtime.settle();
  EXPECT_EQ(runtime.latest().reminderPeers.contains(contact), GetParam().listed);
  EXPECT_EQ(client->grantRequests().back(), std::make_pair(contact, key));
}

INSTANTIATE_TEST_SUITE_P(Expiries, RuntimeRestoredGrant,
                         ::testing::Values(GrantCase{"Ahead", 60, true}, GrantCase{"Now", 0, false},
                                           GrantCase{"Past", -1, false}),
                         [](const ::testing::TestParamInfo<GrantCase>& row) {
                           return std::string(row.param.name);
                         });

TEST_F(RuntimeReminders, AGrantLapsesOnTheWallClock) {
  velmorine::testing::TemporaryFolder folder;
  trustContact(folder.path());
  client->setReceivedGrant(contact, key,
                           network::ReminderGrant{"route", "bearer", wallSeconds() + 30});
  TestRuntime runtime(world,
                      testing::RuntimeOptions().withFolder(folder.path()).withReminders(client));
  ASSERT_TRUE(runtime.startNetworking());
  ASSERT_TRUE(runtime.waitForSnapshot(
      [&](const RuntimeSnapshot& s) { return s.reminderPeers.contains(contact); }));
  // The next heartbeat after the expiry no longer lists it.
  world.advance(30);
  EXPECT_TRUE(runtime.waitForSnapshot(
      [&](const RuntimeSnapshot& s) { return !s.reminderPeers.contains(contact); }));
}

// The client answers after the runtime that asked is shut down and gone: both the grant it
// restored at the network start and the route exchange of its peer session.
TEST_F(RuntimeReminders, AnswersAfterTheRuntimeIsGoneFindNothingToDo) {
  auto a = std::make_unique<TestRuntime>(world, testing::RuntimeOptions().withReminders(client));
  TestRuntime b(world);
  ASSERT_TRUE(a->startNetworking());
  ASSERT_TRUE(b.startNetworking());
  client->hold(true);
  ASSERT_TRUE(testing::connectPair(world, *a, b));
  // With the peer now trusted, a network restart asks for its grant as well.
  (*a)->setNetworkEnabled(false);
  (*a)->setNetworkEnabled(true);
  ASSERT_TRUE(a->waitForSnapshot([](const auto& s) { return s.status == "network.searching"; }));
  a->settle();
  ASSERT_GT(client->heldAnswers(), 0u);

  ASSERT_TRUE(a->shutdown());
  a.reset();
  client->hold(false);
  size_t answered = 0;
  for (int round = 0; round < 4; ++round) {
    answered += client->release();
    client->settle();
  }
  EXPECT_GT(answered, 0u);
  EXPECT_FALSE(client->grantRequests().empty());
  EXPECT_FALSE(client->issuedFor().empty());
  // The peer saw its session end and nothing else.
  b.settle();
  EXPECT_EQ(b.diagnosticCount("control.ready"), 1u);
}

}  // namespace
}  // namespace velmorine::runtime
