#pragma once

// The body of the reminder client: its state, its serial queue and HTTP session, and its
// operations as coroutines on that queue. Only ReminderServiceClient uses it.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Velmorine/reminders/reminder_service_client.h"
#include "Velmorine/reminders/reminder_state.h"
#include "Velmorine/reminders/reminder_storage.h"
#include "Velmorine/reminders/reminder_task.h"
#include "native/protocol/uuid.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/http/http_session.h"

namespace velmorine::reminders {

class ReminderServiceActor {
 public:
  using WallClock = ReminderServiceClient::WallClock;
  using Answered = ReminderServiceClient::Answered;
  using ContactFound = ReminderServiceClient::ContactFound;
  using Done = ReminderClient::Done;
  using Configured = ReminderClient::Configured;
  using Issued = ReminderClient::Issued;
  using Accepted = ReminderClient::Accepted;
  using Granted = ReminderClient::Granted;

  ReminderServiceActor(std::optional<ReminderServiceURL> baseURL,
                       std::unique_ptr<ReminderStorage> storage,
                       platform::HttpSessionOptions session, WallClock clock);
  // Joins the queue, so it must not run on it.
  ~ReminderServiceActor();
  ReminderServiceActor(const ReminderServiceActor&) = delete;
  ReminderServiceActor& operator=(const ReminderServiceActor&) = delete;

  bool isConfigured() const { return baseURL_.has_value(); }
  bool onQueue() const { return queue_->is_current(); }

  // Device registration.
  void registerDevice(std::vector<uint8_t> token, std::string locale, Done done);
  void unregisterDevice(Done done);

  // Grants.
  void configure(std::vector<uint8_t> localPublicKey, Configured done);
  void issueGrant(network::AuthenticatedPeer peer, Issued done);
  void acceptGrant(std::optional<ReminderGrant> grant, network::AuthenticatedPeer peer,
                   Accepted done);
  void receivedGrant(std::string peerID, std::vector<uint8_t> publicKey, Granted done);
  void sendReminder(std::string peerID, std::vector<uint8_t> recipientKey, std::string event,
                    std::string kind, Done done);
  void revokeGrants(std::string contactID, Done done);
  void contactForRoute(std::string route, ContactFound done);

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

  // The way from the session's thread to the queue; cut first when the actor goes, so that
  // answers still coming are dropped.
  struct Hop {
    std::mutex mutex;
    platform::SerialQueue* queue = nullptr;
  };
  std::shared_ptr<Hop> hop_;
  // Torn down in the destructor, after the hop: the queue (no more steps), the session (no more
  // requests), then the operations still waiting.
  std::unique_ptr<platform::SerialQueue> queue_;
  std::unique_ptr<platform::HttpSession> session_;
  detail::OperationSet operations_;
};

}  // namespace velmorine::reminders
