// The one request operation of the reminder client against a real HTTPS server: where a call
// goes, what it carries, and how an answer becomes a body or a failure.

#include <gtest/gtest.h>

#include "tests/Velmorine/reminders/reminder_service_fixture.h"

namespace velmorine::reminders::testing {
namespace {

using Pace = ScriptedReply::Pace;

class ReminderTransportTest : public ReminderServiceTest {
 protected:
  std::pair<std::vector<uint8_t>, std::string> request(
      ReminderServiceClient& client, const std::string& method, const std::string& path,
      std::optional<std::string> bearer = std::nullopt,
      std::map<std::string, std::string> body = {}) {
    return answered<std::vector<uint8_t>>(
        [&](auto callback) { client.request(method, path, bearer, body, callback); });
  }
};

TEST_F(ReminderTransportTest, PathGoesUnderTheBasePath) {
  server.script("POST", "/base/v1/devices", ScriptedReply(200, "{\"x\":1}"));
  auto client = makeClient(server.url("/base"));
  const auto [body, result] = request(*client, "POST", "v1/devices");
  EXPECT_EQ(result, "ok");
  EXPECT_EQ(std::string(body.begin(), body.end()), "{\"x\":1}");
  auto slashed = makeClient(server.url("/base/"));
  EXPECT_EQ(request(*slashed, "POST", "v1/devices").second, "ok");
  EXPECT_EQ(calls(), (std::vector<std::string>{"POST /base/v1/devices", "POST /base/v1/devices"}));
}

TEST_F(ReminderTransportTest, DeleteCarriesAnEmptyObjectAndTheBearer) {
  server.script("DELETE", "/base/v1/devices/d", ScriptedReply(204));
  auto client = makeClient();
  EXPECT_EQ(request(*client, "DELETE", "v1/devices/d", kOwner).second, "ok");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, "{}");
  EXPECT_EQ(requests[0].header("content-type"), "application/json");
  EXPECT_EQ(requests[0].header("authorization"), "Bearer " + kOwner);
}

TEST_F(ReminderTransportTest, BodyIsOneJsonObjectOfTexts) {
  server.script("PUT", "/base/v1/devices/d", ScriptedReply(200));
  auto client = makeClient();
  EXPECT_EQ(request(*client, "PUT", "v1/devices/d", std::nullopt,
                    {{"token", "010aff"}, {"locale", "de-CH"}})
                .second,
            "ok");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(requests[0].body),
            (nlohmann::json{{"token", "010aff"}, {"locale", "de-CH"}}));
  EXPECT_EQ(requests[0].header("authorization"), std::nullopt);
}

struct AnswerCase {
  const char* name;
  ScriptedReply reply;
  std::string result;
};

class ReminderAnswers : public ReminderTransportTest,
                        public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(ReminderAnswers, StatusAndSizeDecideTheOutcome) {
  server.script("POST", "/base/answer", GetParam().reply);
  server.script("POST", "/base/elsewhere", ScriptedReply(200));
  auto client = makeClient();
  const auto [body, result] = request(*client, "POST", "answer");
  EXPECT_EQ(result, GetParam().result);
  if (result == "ok") {
    EXPECT_EQ(body.size(), GetParam().reply.body.size());
  }
  // Nothing is followed or retried.
  EXPECT_EQ(server.requests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReminderAnswers,
    ::testing::Values(
        AnswerCase{"Ok", ScriptedReply(200, "{}"), "ok"},
        AnswerCase{"NoContent", ScriptedReply(204), "ok"},
        AnswerCase{"OtherSuccess", ScriptedReply(299, "x"), "ok"},
        AnswerCase{"BodyAtTheCap", ScriptedReply(200, std::string(4095, 'a')), "ok"},
        AnswerCase{"BodyOverTheCap", ScriptedReply(200, std::string(4096, 'a')), "invalid"},
        AnswerCase{"RedirectNotFollowed", ScriptedReply(302, "", {{"Location", "/base/elsewhere"}}),
                   "rejected(302)"},
        AnswerCase{"ServerErrorWithLargeBody", ScriptedReply(500, std::string(5000, 'e')),
                   "invalid"},
        AnswerCase{"ServerErrorWithSmallBody", ScriptedReply(500, std::string(10, 'e')),
                   "rejected(500)"},
        AnswerCase{"Unauthorized", ScriptedReply(401), "rejected(401)"},
        AnswerCase{"EndlessChunks", ScriptedReply(200, "", {}, Pace::endless), "invalid"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(ReminderTransportTest, WithoutABaseAddressNothingIsSent) {
  auto client = makeClient("");
  EXPECT_FALSE(client->isConfigured());
  EXPECT_EQ(request(*client, "POST", "v1/devices").second, "unavailable");
  EXPECT_EQ(server.connections(), 0u);
}

TEST_F(ReminderTransportTest, TransportFailureReachesTheCallerAsItIs) {
  velmorine::testing::TestCertificateAuthority stranger("Somebody Else");
  ScriptedHttpsServer untrusted(stranger.issue({"127.0.0.1"}));
  auto client = makeClient(untrusted.url("/base"));
  EXPECT_EQ(request(*client, "POST", "v1/devices").second, "http");
  EXPECT_TRUE(untrusted.requests().empty());
}

TEST_F(ReminderTransportTest, StalledServerTimesOut) {
  server.hold("POST", "/base/v1/devices");
  auto options = sessionOptions();
  options.idle_timeout = std::chrono::seconds(1);
  options.total_timeout = std::chrono::milliseconds(1500);
  ReminderServiceClient client(ReminderServiceURL::parse(baseURL()),
                               std::make_unique<SwitchableStorage>(keychain(), switches), options);
  EXPECT_EQ(request(client, "POST", "v1/devices").second, "http");
}

TEST_F(ReminderTransportTest, ClientDestroyedMidRequestNeverCallsBack) {
  server.script("POST", "/base/v1/devices", ScriptedReply(200, registrationJson()));
  server.hold("POST", "/base/v1/devices");
  auto called = std::make_shared<std::atomic<int>>(0);
  {
    auto client = makeClient();
    client->request("POST", "v1/devices", std::nullopt, {},
                    [called](std::vector<uint8_t>, std::exception_ptr) { ++*called; });
    client->registerDevice(kToken, "en", [called](std::exception_ptr) { ++*called; });
    ASSERT_TRUE(server.waitForHeld(2));
  }
  server.release("POST", "/base/v1/devices");
  EXPECT_EQ(*called, 0);
  // Nothing of the dropped registration was stored.
  EXPECT_EQ(stored().value_or(ReminderState{}).registration, std::nullopt);
}

TEST_F(ReminderTransportTest, ClientReleasedByItsOwnCompletionEndsOnceThatHasReturned) {
  server.script("POST", "/base/v1/devices", ScriptedReply(200));
  std::shared_ptr<ReminderServiceClient> client = makeClient();
  auto* raw = client.get();
  auto released = switches->released.get_future();
  raw->request("POST", "v1/devices", std::nullopt, {},
               [client = std::move(client)](std::vector<uint8_t>, std::exception_ptr) mutable {
                 client.reset();
               });
  EXPECT_EQ(released.wait_for(kPatience), std::future_status::ready);
}

}  // namespace
}  // namespace velmorine::reminders::testing
