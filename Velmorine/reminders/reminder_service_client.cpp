#include "Velmorine/reminders/reminder_service_client.h"

#include <chrono>
#include <thread>

#include "Velmorine/reminders/reminder_keychain.h"
#include "Velmorine/reminders/reminder_service_actor.h"

namespace velmorine::reminders {

ReminderServiceClient::ReminderServiceClient(std::optional<ReminderServiceURL> baseURL,
                                             std::unique_ptr<ReminderStorage> storage,
                                             platform::HttpSessionOptions session, WallClock clock)
    : actor_(std::make_unique<ReminderServiceActor>(std::move(baseURL), std::move(storage),
                                                    std::move(session), std::move(clock))) {}

ReminderServiceClient::~ReminderServiceClient() {
  if (actor_->onQueue()) {
    // Released by a completion on the actor's own queue, which cannot wait for itself: the
    // actor ends on a thread of its own once that completion has returned.
    std::thread([actor = std::move(actor_)]() mutable { actor.reset(); }).detach();
  }
}

std::shared_ptr<ReminderServiceClient> ReminderServiceClient::shared() {
  // Made once and kept to the end of the process, like the application that uses it.
  static auto* client =
      new std::shared_ptr<ReminderServiceClient>(std::make_shared<ReminderServiceClient>(
          reminderServiceBaseURL(platform::Bundle::main()),
          std::make_unique<ReminderKeychain>(ReminderKeychain::forApplication())));
  return *client;
}

double ReminderServiceClient::systemWallClock() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool ReminderServiceClient::isConfigured() const { return actor_->isConfigured(); }

void ReminderServiceClient::registerDevice(std::vector<uint8_t> token, std::string locale,
                                           Done done) {
  actor_->registerDevice(std::move(token), std::move(locale), std::move(done));
}

void ReminderServiceClient::unregisterDevice(Done done) {
  actor_->unregisterDevice(std::move(done));
}

void ReminderServiceClient::configure(std::vector<uint8_t> localPublicKey, Configured done) {
  actor_->configure(std::move(localPublicKey), std::move(done));
}

void ReminderServiceClient::issueGrant(network::AuthenticatedPeer peer, Issued done) {
  actor_->issueGrant(std::move(peer), std::move(done));
}

void ReminderServiceClient::acceptGrant(std::optional<ReminderGrant> grant,
                                        network::AuthenticatedPeer peer, Accepted done) {
  actor_->acceptGrant(std::move(grant), std::move(peer), std::move(done));
}

void ReminderServiceClient::receivedGrant(std::string peerID, std::vector<uint8_t> publicKey,
                                          Granted done) {
  actor_->receivedGrant(std::move(peerID), std::move(publicKey), std::move(done));
}

void ReminderServiceClient::sendReminder(std::string peerID, std::vector<uint8_t> recipientKey,
                                         std::string event, std::string kind, Done done) {
  actor_->sendReminder(std::move(peerID), std::move(recipientKey), std::move(event),
                       std::move(kind), std::move(done));
}

void ReminderServiceClient::revokeGrants(std::string contactID, Done done) {
  actor_->revokeGrants(std::move(contactID), std::move(done));
}

void ReminderServiceClient::contactForRoute(std::string route, ContactFound done) {
  actor_->contactForRoute(std::move(route), std::move(done));
}

void ReminderServiceClient::request(std::string method, std::string path,
                                    std::optional<std::string> bearer,
                                    std::map<std::string, std::string> body, Answered done) {
  actor_->request(std::move(method), std::move(path), std::move(bearer), std::move(body),
                  std::move(done));
}

}  // namespace velmorine::reminders
