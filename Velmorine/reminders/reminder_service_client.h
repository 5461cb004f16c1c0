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
// those requests bring is dropped. Destroy it from any thread but its own queue's.
//
// Failures: ReminderFailure, HTTP transport failures (platform::HttpError) and malformed JSON
// answers (nlohmann::json::exception) reach callers as they are, each of its own type.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Velmorine/reminders/reminder_client.h"
#include "Velmorine/reminders/reminder_service_url.h"
#include "Velmorine/reminders/reminder_state.h"
#include "Velmorine/reminders/reminder_storage.h"
#include "Velmorine/reminders/reminder_task.h"
#include "native/protocol/uuid.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/http/http_session.h"

namespace velmorine::reminders {

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

  bool isConfigured() const { return baseURL_.has_value(); }

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
  template <typename T>
  using Task = detail::Task<T>;
  struct Exchange;
  class HttpWait;

  // Steps, run on the queue.
  Task<std::vector<uint8_t>> send(std::string method, std::string path,
                                  std::optional<std::string> bearer,
                                  std::map<std::string, std::string> body);
  platform::HttpRequest makeRequest(std::string method, std::string path,
                                    std::optional<std::string> bearer,
                                    std::map<std::string, std::string> body);
  Task<std::vector<uint8_t>> exchange(std::optional<platform::HttpRequest> request,
                                      std::exception_ptr refused);
  void loadState();
  void saveState();
  ReminderState& state();

  Task<void> registerSteps(std::vector<uint8_t> token, std::string locale);
  Task<void> createRegistration(std::map<std::string, std::string> body, core::Uuid epoch);
  Task<void> unregisterSteps();
  Task<void> flushRevocations();
  Task<void> configureSteps(std::vector<uint8_t> key);
  Task<std::optional<ReminderGrant>> issueSteps(network::AuthenticatedPeer peer);
  Task<bool> acceptSteps(std::optional<ReminderGrant> grant, network::AuthenticatedPeer peer);
  Task<std::optional<ReminderGrant>> receivedSteps(std::string peerID, std::vector<uint8_t> key);
  Task<void> reminderSteps(std::string peerID, std::vector<uint8_t> key, std::string event,
                           std::string kind);
  Task<void> revokeSteps(std::string contactID);
  Task<std::optional<std::string>> contactSteps(std::string route);
  // Sends a DELETE whose outcome nobody waits for: what is left behind when a new device or
  // grant turned out not to be wanted.
  Task<void> deleteQuietly(std::string path, std::string owner);

  // Runs `steps` as one operation and hands its outcome to `done` on the queue.
  template <typename T, typename Completion>
  void start(Task<T> steps, Completion done);
  template <typename T, typename Completion>
  static detail::Operation drive(detail::OperationSet& operations, Task<T> steps, Completion done);

  std::optional<ReminderServiceURL> baseURL_;
  std::unique_ptr<ReminderStorage> storage_;
  WallClock clock_;
  std::optional<ReminderState> state_;
  core::Uuid epoch_;
  bool enabled_ = false;
  std::set<std::string> issuing_;
  bool registering_ = false;

  // Torn down first to last in the destructor: the session (no more answers), the queue (no
  // more steps), then the operations still waiting.
  std::unique_ptr<platform::HttpSession> session_;
  std::unique_ptr<platform::SerialQueue> queue_;
  detail::OperationSet operations_;
};

}  // namespace velmorine::reminders
