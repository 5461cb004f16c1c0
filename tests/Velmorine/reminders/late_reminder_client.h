#pragma once

// A reminder client for tests of its callers: every answer comes late, from the client's own
// serial queue, after the call has returned, as a real client's would. Calls may come from any
// thread. With `hold(true)` answers wait until `release()`, so a test can end its subject
// first and then let the answers arrive. What callers asked is recorded for the test to read.

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Velmorine/reminders/reminder_client.h"
#include "Velmorine/reminders/reminder_failure.h"
#include "platform/dispatch/serial_queue.h"

namespace velmorine::reminders::testing {

class LateReminderClient final : public ReminderClient {
 public:
  enum class Operation { configure, issueGrant, acceptGrant, receivedGrant, sendReminder, revoke };

  struct Reminder {
    std::string contactID;
    std::vector<uint8_t> key;
    std::string event;
    std::string kind;
    friend bool operator==(const Reminder&, const Reminder&) = default;
  };

  // The queue's clock matters only to tests that also use timers on it.
  explicit LateReminderClient(
      std::shared_ptr<platform::UptimeClock> clock = platform::system_uptime_clock())
      : queue_(std::make_unique<platform::SerialQueue>("test.reminders", std::move(clock))) {}
  // Answers not yet run are dropped. Never destroy the client from its own queue.
  ~LateReminderClient() override = default;

  // Answers.
  // The grant `receivedGrant` gives for this contact and key; a reminder to them succeeds
  // only while one is set, else fails `unavailable`.
  void setReceivedGrant(const std::string& contactID, const std::vector<uint8_t>& key,
                        std::optional<ReminderGrant> grant) {
    std::lock_guard lock(mutex_);
    if (grant) {
      grants_[{contactID, key}] = *grant;
    } else {
      grants_.erase({contactID, key});
    }
  }
  void setIssuedGrant(std::optional<ReminderGrant> grant) {
    std::lock_guard lock(mutex_);
    issued_ = std::move(grant);
  }
  void setTakesGrants(bool takes) {
    std::lock_guard lock(mutex_);
    takes_ = takes;
  }
  // Every later call of `operation` fails with `error`; nullptr ends that.
  void setFailure(Operation operation, std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    if (error) {
      failures_[operation] = std::move(error);
    } else {
      failures_.erase(operation);
    }
  }

  // Timing.
  void hold(bool holding) {
    std::lock_guard lock(mutex_);
    holding_ = holding;
  }
  // Posts the held answers to the queue in call order; gives how many.
  size_t release() {
    std::deque<std::function<void()>> held;
    {
      std::lock_guard lock(mutex_);
      held.swap(held_);
    }
    for (auto& answer : held) queue_->async(std::move(answer));
    return held.size();
  }
  // Returns once every answer posted so far has run.
  void settle() {
    queue_->sync([] {});
  }
  platform::SerialQueue& queue() { return *queue_; }

  // What was asked.
  std::vector<std::vector<uint8_t>> configuredKeys() const { return locked(configured_); }
  std::vector<std::pair<std::string, std::vector<uint8_t>>> grantRequests() const {
    return locked(grantRequests_);
  }
  std::vector<Reminder> reminders() const { return locked(reminders_); }
  std::vector<std::string> revokedContacts() const { return locked(revoked_); }
  std::vector<network::AuthenticatedPeer> issuedFor() const { return locked(issuedFor_); }
  std::vector<std::string> acceptedFrom() const { return locked(acceptedFrom_); }
  size_t heldAnswers() const {
    std::lock_guard lock(mutex_);
    return held_.size();
  }

  void configure(std::vector<uint8_t> localPublicKey, Configured done) override {
    std::lock_guard lock(mutex_);
    configured_.push_back(std::move(localPublicKey));
    answer([done = std::move(done), error = failure(Operation::configure)] { done(error); });
  }

  void issueGrant(network::AuthenticatedPeer peer, Issued done) override {
    std::lock_guard lock(mutex_);
    issuedFor_.push_back(std::move(peer));
    auto error = failure(Operation::issueGrant);
    answer([done = std::move(done), error, grant = error ? std::nullopt : issued_] {
      done(grant, error);
    });
  }

  void acceptGrant(std::optional<ReminderGrant>, network::AuthenticatedPeer peer,
                   Accepted done) override {
    std::lock_guard lock(mutex_);
    acceptedFrom_.push_back(std::move(peer.wireID));
    auto error = failure(Operation::acceptGrant);
    answer([done = std::move(done), error, taken = !error && takes_] { done(taken, error); });
  }

  void receivedGrant(std::string contactID, std::vector<uint8_t> publicKey, Granted done) override {
    std::lock_guard lock(mutex_);
    auto error = failure(Operation::receivedGrant);
    std::optional<ReminderGrant> grant;
    if (!error) grant = grantFor(contactID, publicKey);
    grantRequests_.emplace_back(std::move(contactID), std::move(publicKey));
    answer([done = std::move(done), error, grant] { done(grant, error); });
  }

  void sendReminder(std::string contactID, std::vector<uint8_t> recipientKey, std::string event,
                    std::string kind, Done done) override {
    std::lock_guard lock(mutex_);
    auto error = failure(Operation::sendReminder);
    if (!error && (!isReminderKind(kind) || !grantFor(contactID, recipientKey))) {
      error = std::make_exception_ptr(ReminderFailure::unavailable());
    }
    reminders_.push_back(
        Reminder{std::move(contactID), std::move(recipientKey), std::move(event), std::move(kind)});
    answer([done = std::move(done), error] { done(error); });
  }

  void revokeGrants(std::string contactID, Done done) override {
    std::lock_guard lock(mutex_);
    auto error = failure(Operation::revoke);
    if (!error) std::erase_if(grants_, [&](const auto& e) { return e.first.first == contactID; });
    revoked_.push_back(std::move(contactID));
    answer([done = std::move(done), error] { done(error); });
  }

 private:
  template <typename T>
  T locked(const T& value) const {
    std::lock_guard lock(mutex_);
    return value;
  }
  std::exception_ptr failure(Operation operation) const {
    const auto found = failures_.find(operation);
    return found == failures_.end() ? nullptr : found->second;
  }
  std::optional<ReminderGrant> grantFor(const std::string& contactID,
                                        const std::vector<uint8_t>& key) const {
    const auto found = grants_.find({contactID, key});
    if (found == grants_.end()) return std::nullopt;
    return found->second;
  }
  // Called with the lock held.
  void answer(std::function<void()> work) {
    if (holding_) {
      held_.push_back(std::move(work));
    } else {
      queue_->async(std::move(work));
    }
  }

  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::vector<uint8_t>>, ReminderGrant> grants_;
  std::optional<ReminderGrant> issued_;
  bool takes_ = true;
  std::map<Operation, std::exception_ptr> failures_;
  bool holding_ = false;
  std::deque<std::function<void()>> held_;
  std::vector<std::vector<uint8_t>> configured_;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> grantRequests_;
  std::vector<Reminder> reminders_;
  std::vector<std::string> revoked_;
  std::vector<network::AuthenticatedPeer> issuedFor_;
  std::vector<std::string> acceptedFrom_;
  // Last: destroyed first, so no answer runs against the members above while they go.
  std::unique_ptr<platform::SerialQueue> queue_;
};

}  // namespace velmorine::reminders::testing
