#include "Velmorine/reminders/reminder_service_actor.h"

#include <nlohmann/json.hpp>

#include "Velmorine/reminders/reminder_failure.h"
#include "native/product/product_identifier.h"

namespace velmorine::reminders {

// One request and, once it came, its answer; a named local of the waiting coroutine.
struct ReminderServiceActor::Exchange {
  platform::HttpRequest request;
  std::optional<platform::HttpResult> result;
};

// Waits for one HTTP answer: the session answers on its own thread, and the waiting steps go
// on on the actor's queue. It holds pointers only: g++ 12 may move an awaiter's bytes, so what
// the answer is written into lives in the coroutine's own locals.
class ReminderServiceActor::HttpWait {
 public:
  HttpWait(ReminderServiceActor& actor, Exchange& exchange)
      : actor_(&actor), exchange_(&exchange) {}

  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> waiting) {
    actor_->session_->send(std::move(exchange_->request), [hop = actor_->hop_, exchange = exchange_,
                                                           waiting](platform::HttpResult answer) {
      std::lock_guard lock(hop->mutex);
      if (hop->queue == nullptr) return;
      hop->queue->async([exchange, waiting, answer = std::move(answer)] {
        exchange->result.emplace(answer);
        waiting.resume();
      });
    });
  }
  void await_resume() const noexcept {}

 private:
  ReminderServiceActor* actor_;
  Exchange* exchange_;
};

ReminderServiceActor::ReminderServiceActor(std::optional<ReminderServiceURL> baseURL,
                                           std::unique_ptr<ReminderStorage> storage,
                                           platform::HttpSessionOptions session, WallClock clock)
    : baseURL_(std::move(baseURL)),
      storage_(std::move(storage)),
      clock_(std::move(clock)),
      epoch_(core::Uuid::random()),
      hop_(std::make_shared<Hop>()),
      queue_(std::make_unique<platform::SerialQueue>(product_scoped("reminders"))),
      session_(std::make_unique<platform::HttpSession>(std::move(session))) {
  hop_->queue = queue_.get();
}

ReminderServiceActor::~ReminderServiceActor() {
  {
    std::lock_guard lock(hop_->mutex);
    hop_->queue = nullptr;
  }
  // The step running now (if any) ends first; none runs after it.
  queue_.reset();
  session_.reset();
  // What still waits for an answer is destroyed unanswered.
  operations_.destroyAll();
}

template <typename T, typename Completion>
detail::Operation ReminderServiceActor::drive(detail::OperationSet&, detail::Task<T> steps,
                                              Completion done) {
  std::exception_ptr error;
  if constexpr (std::is_void_v<T>) {
    try {
      co_await steps;
    } catch (...) {
      error = std::current_exception();
    }
    done(error);
  } else {
    std::optional<T> value;
    try {
      value.emplace(co_await steps);
    } catch (...) {
      error = std::current_exception();
    }
    done(value ? std::move(*value) : T{}, error);
  }
}

template <typename T, typename Completion>
void ReminderServiceActor::start(detail::Task<T> steps, Completion done) {
  drive(operations_, std::move(steps), std::move(done));
}

// The public calls: each goes onto the queue with copies of its arguments.

void ReminderServiceActor::registerDevice(std::vector<uint8_t> token, std::string locale,
                                          Done done) {
  queue_->async([this, token = std::move(token), locale = std::move(locale),
                 done = std::move(done)]() mutable {
    start(registerSteps(std::move(token), std::move(locale)), std::move(done));
  });
}

void ReminderServiceActor::unregisterDevice(Done done) {
  queue_->async(
      [this, done = std::move(done)]() mutable { start(unregisterSteps(), std::move(done)); });
}

void ReminderServiceActor::configure(std::vector<uint8_t> localPublicKey, Configured done) {
  queue_->async([this, key = std::move(localPublicKey), done = std::move(done)]() mutable {
    start(configureSteps(std::move(key)), std::move(done));
  });
}

void ReminderServiceActor::issueGrant(network::AuthenticatedPeer peer, Issued done) {
  queue_->async([this, peer = std::move(peer), done = std::move(done)]() mutable {
    start(issueSteps(std::move(peer)), std::move(done));
  });
}

void ReminderServiceActor::acceptGrant(std::optional<ReminderGrant> grant,
                                       network::AuthenticatedPeer peer, Accepted done) {
  queue_->async(
      [this, grant = std::move(grant), peer = std::move(peer), done = std::move(done)]() mutable {
        start(acceptSteps(std::move(grant), std::move(peer)), std::move(done));
      });
}

void ReminderServiceActor::receivedGrant(std::string peerID, std::vector<uint8_t> publicKey,
                                         Granted done) {
  queue_->async([this, peerID = std::move(peerID), key = std::move(publicKey),
                 done = std::move(done)]() mutable {
    start(receivedSteps(std::move(peerID), std::move(key)), std::move(done));
  });
}

void ReminderServiceActor::sendReminder(std::string peerID, std::vector<uint8_t> recipientKey,
                                        std::string event, std::string kind, Done done) {
  queue_->async([this, peerID = std::move(peerID), key = std::move(recipientKey),
                 event = std::move(event), kind = std::move(kind),
                 done = std::move(done)]() mutable {
    start(reminderSteps(std::move(peerID), std::move(key), std::move(event), std::move(kind)),
          std::move(done));
  });
}

void ReminderServiceActor::revokeGrants(std::string contactID, Done done) {
  queue_->async([this, contactID = std::move(contactID), done = std::move(done)]() mutable {
    start(revokeSteps(std::move(contactID)), std::move(done));
  });
}

void ReminderServiceActor::contactForRoute(std::string route, ContactFound done) {
  queue_->async([this, route = std::move(route), done = std::move(done)]() mutable {
    start(contactSteps(std::move(route)), std::move(done));
  });
}

void ReminderServiceActor::request(std::string method, std::string path,
                                   std::optional<std::string> bearer,
                                   std::map<std::string, std::string> body, Answered done) {
  queue_->async([this, method = std::move(method), path = std::move(path),
                 bearer = std::move(bearer), body = std::move(body),
                 done = std::move(done)]() mutable {
    start(send(std::move(method), std::move(path), std::move(bearer), std::move(body)),
          std::move(done));
  });
}

// The one way to the service.

platform::HttpRequest ReminderServiceActor::makeRequest(std::string method, std::string path,
                                                        std::optional<std::string> bearer,
                                                        std::map<std::string, std::string> body) {
  if (!baseURL_) throw ReminderFailure::unavailable();
  // A text that is not UTF-8 cannot be serialised; that error goes to the caller as it is.
  const std::string json = nlohmann::json(body).dump();
  platform::HttpRequest request{std::move(method),
                                baseURL_->join(path),
                                {{"Content-Type", "application/json"}},
                                {json.begin(), json.end()}};
  if (bearer) request.headers.emplace_back("Authorization", "Bearer " + *bearer);
  return request;
}

detail::Task<std::vector<uint8_t>> ReminderServiceActor::send(
    std::string method, std::string path, std::optional<std::string> bearer,
    std::map<std::string, std::string> body) {
  // Built outside the coroutine: g++ 12 mishandles initializer lists inside one.
  std::optional<platform::HttpRequest> request;
  std::exception_ptr refused;
  try {
    request.emplace(
        makeRequest(std::move(method), std::move(path), std::move(bearer), std::move(body)));
  } catch (...) {
    refused = std::current_exception();
  }
  return exchange(std::move(request), refused);
}

detail::Task<std::vector<uint8_t>> ReminderServiceActor::exchange(
    std::optional<platform::HttpRequest> request, std::exception_ptr refused) {
  if (refused) std::rethrow_exception(refused);
  Exchange exchange{std::move(*request), std::nullopt};
  co_await HttpWait(*this, exchange);
  auto& result = *exchange.result;
  if (!result) {
    if (result.error().kind() == platform::HttpError::Kind::bodyTooLarge) {
      throw ReminderFailure::invalid();
    }
    throw result.error();
  }
  if (result->status < 200 || result->status > 299) {
    throw ReminderFailure::rejected(result->status);
  }
  co_return std::move(result->body);
}

detail::Task<void> ReminderServiceActor::deleteQuietly(std::string path, std::string owner) {
  try {
    co_await send("DELETE", std::move(path), std::move(owner), {});
  } catch (...) {
    // Its outcome changes nothing here: the service's own expiry ends what is not deleted.
  }
}

// The state.

void ReminderServiceActor::loadState() {
  if (state_) return;
  const auto stored = storage_->load();
  if (!stored) {
    state_.emplace();
    return;
  }
  try {
    state_ = decodeReminderState(*stored);
    return;
  } catch (const std::exception&) {
    // A document that no longer decodes would fail every operation for good: keep it apart
    // and start from the empty state.
  }
  storage_->setAside(*stored);
  state_.emplace();
  saveState();
}

void ReminderServiceActor::saveState() {
  try {
    // A state dropped by an earlier failed save is read again, never replaced by an empty one.
    if (!state_) loadState();
    storage_->save(encodeReminderState(*state_));
  } catch (...) {
    state_.reset();
    enabled_ = false;
    throw ReminderFailure::storage();
  }
}

ReminderState& ReminderServiceActor::state() {
  loadState();
  return *state_;
}

}  // namespace velmorine::reminders
