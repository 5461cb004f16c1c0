#include "Velmorine/network/reminder_route_exchange.h"

#include "Velmorine/network/secure_peer_session.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::network {

namespace {

// What a step carries away from the session: never the session itself, only a weak link and
// a handle of the queue to come back on. The client may answer after the session's owner and
// its queue are gone; the answer then finds nothing to do.
struct Return {
  std::weak_ptr<SecurePeerSession> session;
  platform::SerialQueue::Handle queue;

  void run(std::function<void(SecurePeerSession&)> work) const {
    queue.async([session = session, work = std::move(work)] {
      auto self = session.lock();
      if (self && !self->closed()) work(*self);
    });
  }
};

void sendOffer(SecurePeerSession& session, const std::vector<uint8_t>& peerKey,
               const std::vector<uint8_t>& json, std::optional<std::vector<uint8_t>>& last) {
  if (!session.peer() || session.peer()->publicKey != peerKey) return;
  const auto frame = VEProtocol::reminderRouteWithJSON(json);
  if (!frame) return;
  // The same route is not sent twice on one session.
  if (last && *last == json) return;
  last = json;
  if (!session.send(*frame))
    session.close(std::make_exception_ptr(SecureConnectionFailure::capacity()));
}

}  // namespace

void ReminderRouteExchange::offer(const std::shared_ptr<SecurePeerSession>& session) {
  if (!session->reminderNegotiated_ || session->closed_ || !session->peer_ ||
      !session->configuration_.reminders) {
    return;
  }
  auto client = session->configuration_.reminders;
  const auto localKey = session->configuration_.identity->publicKey();
  const AuthenticatedPeer peer = *session->peer_;
  const Return back{session, session->connection_->queue().handle()};
  client->configure(localKey, [client, peer, back](std::exception_ptr error) {
    if (error) return;
    client->issueGrant(
        peer, [peer, back](std::optional<ReminderGrant> grant, std::exception_ptr issueError) {
          if (issueError) return;
          std::vector<uint8_t> json;
          try {
            json = makeNotifyRoute(grant);
          } catch (...) {
            return;
          }
          back.run([peerKey = peer.publicKey, json = std::move(json)](SecurePeerSession& self) {
            sendOffer(self, peerKey, json, self.lastReminderFrame_);
          });
        });
  });
}

void ReminderRouteExchange::accept(const std::shared_ptr<SecurePeerSession>& session,
                                   std::optional<ReminderGrant> grant) {
  if (!session->peer_ || !session->configuration_.reminders) return;
  auto client = session->configuration_.reminders;
  const auto localKey = session->configuration_.identity->publicKey();
  const AuthenticatedPeer peer = *session->peer_;
  const Return back{session, session->connection_->queue().handle()};
  client->configure(
      localKey, [client, peer, grant = std::move(grant), back](std::exception_ptr error) mutable {
        if (error) return;
        client->acceptGrant(grant, peer,
                            [peer, grant, back](bool taken, std::exception_ptr acceptError) {
                              if (acceptError) return;
                              back.run([peer, grant, taken](SecurePeerSession& self) {
                                if (!self.onReminderAvailability) return;
                                auto report = self.onReminderAvailability;
                                report(peer, taken ? grant : std::nullopt);
                              });
                            });
      });
}

}  // namespace velmorine::network
