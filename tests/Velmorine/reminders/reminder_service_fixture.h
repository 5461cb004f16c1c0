#pragma once

// What the tests of the reminder client against a real HTTPS server share: a scripted server on
// loopback with a certificate authority made for the test, a keychain in a temporary folder
// whose saves can be made to fail, a wall clock the test sets, and waiting for an answer.

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Velmorine/reminders/reminder_failure.h"
#include "Velmorine/reminders/reminder_keychain.h"
#include "Velmorine/reminders/reminder_service_client.h"
#include "Velmorine/reminders/reminder_state.h"
#include "tests/support/scripted_https_server.h"
#include "tests/support/temporary_folder.h"

namespace velmorine::reminders::testing {

using velmorine::testing::RecordedRequest;
using velmorine::testing::ScriptedHttpsServer;
using velmorine::testing::ScriptedReply;

// Bounds every wait for an answer, only so that a broken test fails instead of hanging.
inline constexpr auto kPatience = std::chrono::seconds(60);

inline constexpr double kNow = 1.7e9;
inline constexpr const char* kDeviceID = "5a0f8a44-7c1e-4a55-9f7d-2b1c0e9d8a31";
inline const std::string kOwner(43, 'o');
inline const std::vector<uint8_t> kIdentityKey(32, 0x11);
inline const std::vector<uint8_t> kToken = {0x01, 0x0a, 0xff};

inline std::string routeNumber(int n) {
  char text[40];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012d", n);
  return text;
}
inline std::string bearerNumber(int n) {
  std::string bearer = "b" + std::to_string(n);
  bearer.resize(43, '_');
  return bearer;
}
inline ReminderGrant grantNumber(int n, double expires = kNow + 86400) {
  return ReminderGrant{routeNumber(n), bearerNumber(n), expires};
}
inline network::AuthenticatedPeer peerNumber(int n, uint8_t keyByte = 0) {
  return network::AuthenticatedPeer{"wire-" + std::to_string(n), "contact-" + std::to_string(n),
                                    "nonce", std::vector<uint8_t>(32, keyByte ? keyByte : n),
                                    "code"};
}

inline std::string grantJson(const ReminderGrant& grant) {
  return nlohmann::json{
      {"route", grant.route}, {"bearer", grant.bearer}, {"expires", grant.expires}}
      .dump();
}
inline std::string registrationJson(const std::string& id = kDeviceID,
                                    const std::string& owner = kOwner) {
  return nlohmann::json{{"id", id}, {"owner", owner}}.dump();
}

// What an answer was, in a word: "ok", "rejected(<status>)", a ReminderFailure case name,
// "http" for a transport failure, "json" for a malformed answer, "other".
inline std::string outcome(const std::exception_ptr& error) {
  if (!error) return "ok";
  try {
    std::rethrow_exception(error);
  } catch (const ReminderFailure& failure) {
    if (failure.failure() == ReminderFailure::Case::rejected) {
      return "rejected(" + std::to_string(failure.status()) + ")";
    }
    return std::string(caseName(failure.failure()));
  } catch (const platform::HttpError&) {
    return "http";
  } catch (const nlohmann::json::exception&) {
    return "json";
  } catch (...) {
    return "other";
  }
}

// The keychain item in a temporary folder, whose loads and saves the test can make fail.
class SwitchableStorage final : public ReminderStorage {
 public:
  struct Switches {
    std::atomic<bool> failLoads = false;
    std::atomic<bool> failSaves = false;
    std::atomic<bool> failSetAside = false;
    std::atomic<int> saves = 0;
    std::promise<void> released;  // kept when the first client lets go of its storage
    std::atomic<bool> releasedOnce = false;
  };

  SwitchableStorage(ReminderKeychain keychain, std::shared_ptr<Switches> switches)
      : keychain_(std::move(keychain)), switches_(std::move(switches)) {}
  ~SwitchableStorage() override {
    if (!switches_->releasedOnce.exchange(true)) switches_->released.set_value();
  }

  std::optional<std::vector<uint8_t>> load() override {
    if (switches_->failLoads) throw ReminderFailure::storage();
    return keychain_.load();
  }
  void save(std::span<const uint8_t> bytes) override {
    if (switches_->failSaves) throw ReminderFailure::storage();
    keychain_.save(bytes);
    ++switches_->saves;
  }
  void setAside(std::span<const uint8_t> bytes) override {
    if (switches_->failSetAside) throw ReminderFailure::storage();
    keychain_.setAside(bytes);
  }

 private:
  ReminderKeychain keychain_;
  std::shared_ptr<Switches> switches_;
};

class ReminderServiceTest : public ::testing::Test {
 protected:
  ReminderServiceTest() { authority.writePem(caFile); }

  ReminderKeychain keychain() const {
    return ReminderKeychain(platform::Keychain(folder / "keychain"),
                            "org.example.test.notifications", std::nullopt);
  }
  platform::HttpSessionOptions sessionOptions() const {
    platform::HttpSessionOptions options;
    options.certificateAuthorities = caFile;
    return options;
  }
  std::string baseURL() const { return server.url("/base"); }
  std::unique_ptr<ReminderServiceClient> makeClient(std::optional<std::string> base = {}) {
    const auto url = ReminderServiceURL::parse(base.value_or(baseURL()));
    return std::make_unique<ReminderServiceClient>(
        base && base->empty() ? std::nullopt : url,
        std::make_unique<SwitchableStorage>(keychain(), switches), sessionOptions(),
        [clock = clock] { return clock->load(); });
  }

  // The stored state, read from the keychain as another process would.
  std::optional<ReminderState> stored() const {
    auto bytes = keychain().load();
    if (!bytes) return std::nullopt;
    return decodeReminderState(*bytes);
  }
  void store(const ReminderState& state) const { keychain().save(encodeReminderState(state)); }
  std::optional<std::vector<uint8_t>> storedBytes(const char* account) const {
    const auto result = platform::Keychain(folder / "keychain")
                            .load({"org.example.test.notifications", account, std::nullopt});
    if (result.status != platform::KeychainStatus::success) return std::nullopt;
    return std::vector<uint8_t>(result.data.bytes().begin(), result.data.bytes().end());
  }

  void scriptRegistration(const std::string& id = kDeviceID, const std::string& owner = kOwner) {
    server.script("POST", "/base/v1/devices", ScriptedReply(200, registrationJson(id, owner)));
  }
  // The requests the server saw, from the `first`, as "METHOD target".
  std::vector<std::string> calls(size_t first = 0) const {
    std::vector<std::string> lines;
    const auto requests = server.requests();
    for (size_t i = first; i < requests.size(); ++i) {
      lines.push_back(requests[i].method + " " + requests[i].target);
    }
    return lines;
  }
  std::string devicePath(const std::string& id = kDeviceID) const {
    return "/base/v1/devices/" + id;
  }
  std::string grantPath(int n, const std::string& id = kDeviceID) const {
    return devicePath(id) + "/grants/" + routeNumber(n);
  }

  // Waiting for answers.
  template <typename Call>
  std::string done(Call call) {
    auto answer = std::make_shared<std::promise<std::exception_ptr>>();
    auto future = answer->get_future();
    call([answer](std::exception_ptr error) { answer->set_value(error); });
    if (future.wait_for(kPatience) != std::future_status::ready) return "no answer";
    return outcome(future.get());
  }
  template <typename T, typename Call>
  std::pair<T, std::string> answered(Call call) {
    auto answer = std::make_shared<std::promise<std::pair<T, std::exception_ptr>>>();
    auto future = answer->get_future();
    call([answer](T value, std::exception_ptr error) { answer->set_value({value, error}); });
    if (future.wait_for(kPatience) != std::future_status::ready) return {T{}, "no answer"};
    auto [value, error] = future.get();
    return {value, outcome(error)};
  }

  std::string registerDevice(ReminderServiceClient& client, std::vector<uint8_t> token = kToken) {
    return done([&](auto callback) { client.registerDevice(token, "en", callback); });
  }
  std::string unregisterDevice(ReminderServiceClient& client) {
    return done([&](auto callback) { client.unregisterDevice(callback); });
  }
  std::string configure(ReminderServiceClient& client, std::vector<uint8_t> key = kIdentityKey) {
    return done([&](auto callback) { client.configure(key, callback); });
  }
  std::pair<std::optional<ReminderGrant>, std::string> issue(ReminderServiceClient& client,
                                                             network::AuthenticatedPeer peer) {
    return answered<std::optional<ReminderGrant>>(
        [&](auto callback) { client.issueGrant(peer, callback); });
  }
  std::pair<bool, std::string> accept(ReminderServiceClient& client,
                                      std::optional<ReminderGrant> grant,
                                      network::AuthenticatedPeer peer) {
    return answered<bool>([&](auto callback) { client.acceptGrant(grant, peer, callback); });
  }
  std::pair<std::optional<ReminderGrant>, std::string> received(ReminderServiceClient& client,
                                                                const std::string& peerID,
                                                                std::vector<uint8_t> key) {
    return answered<std::optional<ReminderGrant>>(
        [&](auto callback) { client.receivedGrant(peerID, key, callback); });
  }
  std::string revoke(ReminderServiceClient& client, const std::string& contact) {
    return done([&](auto callback) { client.revokeGrants(contact, callback); });
  }
  std::pair<std::optional<std::string>, std::string> contactFor(ReminderServiceClient& client,
                                                                const std::string& route) {
    return answered<std::optional<std::string>>(
        [&](auto callback) { client.contactForRoute(route, callback); });
  }

  // A client registered as kDeviceID, configured with kIdentityKey.
  std::unique_ptr<ReminderServiceClient> registeredClient() {
    scriptRegistration();
    auto client = makeClient();
    EXPECT_EQ(configure(*client), "ok");
    EXPECT_EQ(registerDevice(*client), "ok");
    return client;
  }

  velmorine::testing::TemporaryFolder folder;
  std::filesystem::path caFile = folder / "ca.pem";
  velmorine::testing::TestCertificateAuthority authority;
  ScriptedHttpsServer server{authority.issue({"127.0.0.1"})};
  std::shared_ptr<std::atomic<double>> clock = std::make_shared<std::atomic<double>>(kNow);
  std::shared_ptr<SwitchableStorage::Switches> switches =
      std::make_shared<SwitchableStorage::Switches>();
};

}  // namespace velmorine::reminders::testing
