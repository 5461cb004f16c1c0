#pragma once

// The client of the HTTPS reminder service: registers this device with its push token, obtains
// grants that let peers wake it, keeps the grants peers gave it and posts reminders with them,
// and revokes what it no longer wants honoured. Its state survives restarts in its storage.
//
// Every operation runs on the client's own serial queue and answers there, never inside the
// call. Operations interleave only while one waits for the service; after each wait an
// operation looks again at what others may have changed meanwhile: the epoch (drawn afresh
// when older results must go stale), whether the client is enabled, and the registration and
// grant requests in flight. A client destroyed while requests run never calls back, and what
// those requests bring is dropped. It may be released anywhere, also by a completion on its own
// queue: it then ends on a thread of its own once that completion has returned.
//
// Failures: ReminderFailure, HTTP transport failures (platform::HttpError) and malformed JSON
// answers (nlohmann::json::exception) reach callers as they are, each of its own type.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/reminders/reminder_client.h"
#include "Velmorine/reminders/reminder_service_url.h"
#include "Velmorine/reminders/reminder_storage.h"
#include "platform/http/http_session.h"

namespace velmorine::reminders {

class ReminderServiceActor;

class ReminderServiceClient final : public ReminderClient {
 public:
  // Seconds since 1970.
  using WallClock = std::function<double()>;
  using Answered = std::function<void(std::vector<uint8_t> body, std::exception_ptr error)>;
  using ContactFound = std::function<void(std::optional<std::string> contact, std::exception_ptr)>;

  // `baseURL` absent: the service is off, and every operation that needs it fails with
  // `unavailable` or answers "nothing".
  ReminderServiceClient(std::optional<ReminderServiceURL> baseURL,
                        std::unique_ptr<ReminderStorage> storage,
                        platform::HttpSessionOptions session = {},
                        WallClock clock = systemWallClock);
  ~ReminderServiceClient() override;
  ReminderServiceClient(const ReminderServiceClient&) = delete;
  ReminderServiceClient& operator=(const ReminderServiceClient&) = delete;

  // The application's one client, made on first use: the bundle's service address and the
  // reminder item of the user's keychain.
  static std::shared_ptr<ReminderServiceClient> shared();
  static double systemWallClock();

  bool isConfigured() const;

  // Device registration.
  void registerDevice(std::vector<uint8_t> token, std::string locale, Done done);
  void unregisterDevice(Done done);

  // Grants.
  void configure(std::vector<uint8_t> localPublicKey, Configured done) override;
  void issueGrant(network::AuthenticatedPeer peer, Issued done) override;
  void acceptGrant(std::optional<ReminderGrant> grant, network::AuthenticatedPeer peer,
                   Accepted done) override;
  void receivedGrant(std::string peerID, std::vector<uint8_t> publicKey, Granted done) override;
  void sendReminder(std::string peerID, std::vector<uint8_t> recipientKey, std::string event,
                    std::string kind, Done done) override;
  void revokeGrants(std::string contactID, Done done) override;
  // The contact of the issued, still valid grant with this route; none while unregistering.
  void contactForRoute(std::string route, ContactFound done);

  // One request to the service: `path` relative to the base address, a JSON object of texts as
  // the body (also for DELETE), "Authorization: Bearer" when a bearer is given. Answers the
  // body of a 2xx response of at most 4095 bytes; a longer body fails with `invalid`, another
  // status with `rejected` carrying it.
  void request(std::string method, std::string path, std::optional<std::string> bearer,
               std::map<std::string, std::string> body, Answered done);

 private:
  std::unique_ptr<ReminderServiceActor> actor_;
};

}  // namespace velmorine::reminders
