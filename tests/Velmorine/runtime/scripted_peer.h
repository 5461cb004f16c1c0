#pragma once

// A peer without a runtime: an identity of its own, a SecureConnection dialled to a runtime's
// listener over loopback, a SecurePeerSession that does the HELLO exchange, and whatever frames
// the test writes. It runs on a queue of its own on the test world's clock, keeps every frame
// it receives, and acknowledges the CHATs it receives when told to. The runtime learns of it
// from an announcement heard on the test's discovery link, with a port that refuses, so that the
// runtime's own dials to it fail at once.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Velmorine/network/network_output_budget.h"
#include "Velmorine/network/secure_connection.h"
#include "Velmorine/network/secure_connection_failure.h"
#include "Velmorine/network/secure_peer_session.h"
#include "native/protocol/ve_protocol.h"
#include "native/secure/ve_identity.h"
#include "platform/dispatch/serial_queue.h"
#include "tests/Velmorine/runtime/runtime_fixture.h"

namespace velmorine::runtime::testing {

class ScriptedPeer {
 public:
  struct Options {
    // Whether its HELLO offers "durable_ack_v1".
    bool durableAcknowledgments = true;
    // Whether it answers each CHAT with a CHAT_ACK.
    bool acknowledges = true;
  };

  ScriptedPeer(RuntimeWorld& world, TestRuntime& runtime, Options options)
      : world_(world),
        runtime_(runtime),
        options_(options),
        identity_(*VEIdentity::generate()),
        id_(core::Uuid::random().to_string()),
        nonce_(std::string(64, 'c')),
        queue_(std::make_unique<platform::SerialQueue>("test.peer", world.clock)),
        state_(std::make_shared<State>()) {
    state_->acknowledges = options.acknowledges;
  }
  ScriptedPeer(RuntimeWorld& world, TestRuntime& runtime) : ScriptedPeer(world, runtime, {}) {}

  ~ScriptedPeer() {
    queue_->sync([&] {
      if (session_) session_->close(closedFailure());
      session_.reset();
    });
    queue_.reset();
  }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  const std::string& id() const { return id_; }
  const std::vector<uint8_t> publicKey() const { return identity_->publicKey(); }

  void setAcknowledges(bool acknowledges) {
    std::lock_guard lock(state_->mutex);
    state_->acknowledges = acknowledges;
  }

  // The runtime hears this peer's announcement and lists it.
  bool announce() {
    const auto datagram = VEProtocol::discoveryWithID(id_, "Scripted", identity_->fingerprint(),
                                                      nonce_, refusing_.port(), 15, ++sequence_);
    runtime_.discovery()->hear(*datagram);
    return runtime_.waitOnQueue([&] { return runtime_->directory.peers.contains(id_); });
  }

  // Announces itself and dials the runtime; true once both ends have authenticated each other.
  bool connect() {
    if (!announce()) return false;
    runtime_.announce();
    const auto announcement = lastAnnouncement(runtime_, id_);
    if (!announcement) return false;
    const uint16_t port = runtime_.port();
    const std::string runtimeID = runtime_.id();
    size_t session = 0;
    queue_->sync([&] {
      auto connection = network::SecureConnection::dial(
          "127.0.0.1", port, identity_, VEProtocol::kPurposeControl, *queue_,
          std::make_shared<network::NetworkOutputBudget>());
      network::SecurePeerSession::Configuration configuration;
      configuration.localID = id_;
      configuration.localNonce = nonce_;
      configuration.identity = identity_;
      configuration.expectedID = runtimeID;
      configuration.purpose = VEProtocol::kPurposeControl;
      configuration.durableReceipts = options_.durableAcknowledgments;
      session_ = network::SecurePeerSession::create(std::move(connection), configuration);
      session = ++sessionCount_;
      std::weak_ptr<network::SecurePeerSession> weak = session_;
      session_->lookup =
          [announcement](const std::string& device) -> std::optional<VEAnnouncement> {
        if (device == announcement->deviceID()) return announcement;
        return std::nullopt;
      };
      session_->authenticate = [](const std::string& device, std::span<const uint8_t>) {
        return device;
      };
      session_->onReady = [state = state_, session](const network::AuthenticatedPeer&) {
        std::lock_guard lock(state->mutex);
        state->ready = session;
      };
      session_->onFrame = [state = state_, weak, id = id_](const VEFrame& frame,
                                                           const network::AuthenticatedPeer& peer) {
        std::lock_guard lock(state->mutex);
        state->frames.push_back(frame);
        if (frame.kind() != "CHAT" || !state->acknowledges) return;
        const auto chat = VEProtocol::parseChat(frame, peer.wireID);
        auto live = weak.lock();
        if (!chat || !live) return;
        live->send(*VEProtocol::ackWithSender(id, chat->message_id, chat->frame_id));
      };
      session_->onFailure = [state = state_, session](std::exception_ptr) {
        std::lock_guard lock(state->mutex);
        state->closed = session;
      };
      session_->start();
    });
    return world_.main.waitUntil([&] {
      {
        std::lock_guard lock(state_->mutex);
        if (state_->ready != session) return false;
      }
      return runtime_.onQueue([&] {
        const auto active = runtime_->active.find(id_);
        return active != runtime_->active.end() &&
               runtime_->sessions.at(active->second)->peer().has_value();
      });
    });
  }

  // Hands a frame to the current session; false when it refused.
  bool send(const VEFrame& frame) {
    bool sent = false;
    queue_->sync([&] { sent = session_ && session_->send(frame); });
    return sent;
  }
  // Ends the current session as a dropped connection would.
  void drop() {
    queue_->sync([&] {
      if (session_) session_->close(closedFailure());
    });
  }

  // A CHAT of this peer; a CHAT_ACK of this peer for one of the runtime's CHATs.
  VEFrame chat(const std::string& messageID, const std::string& text) const {
    return *VEProtocol::chatWithSender(id_, messageID, core::Uuid::random().to_string(), text);
  }
  VEFrame acknowledgement(const VEChatContent& chat) const {
    return *VEProtocol::ackWithSender(id_, chat.message_id, chat.frame_id);
  }

  // Every frame received so far, and those of one kind.
  std::vector<VEFrame> frames() const {
    std::lock_guard lock(state_->mutex);
    return state_->frames;
  }
  // The runtime's CHATs received so far, in order.
  std::vector<VEChatContent> chats() const {
    std::vector<VEChatContent> result;
    for (const auto& frame : frames()) {
      if (frame.kind() != "CHAT") continue;
      if (auto chat = VEProtocol::parseChat(frame, runtime_.id())) result.push_back(*chat);
    }
    return result;
  }
  // The message identifiers of the runtime's CHAT_ACKs received so far, in order.
  std::vector<std::string> acknowledged() const {
    std::vector<std::string> result;
    for (const auto& frame : frames()) {
      if (frame.kind() != "CHAT_ACK") continue;
      if (auto ack = VEProtocol::parseAck(frame, runtime_.id())) result.push_back(ack->message_id);
    }
    return result;
  }
  // Whether the current session was closed.
  bool closed() const {
    std::lock_guard lock(state_->mutex);
    return state_->closed != 0 && state_->closed == sessionCount_;
  }

  // Waits, draining the test's main queue, until `condition` holds.
  bool waitUntil(const std::function<bool()>& condition) {
    return world_.main.waitUntil(condition);
  }
  bool waitForChats(size_t count) {
    return waitUntil([&] { return chats().size() >= count; });
  }
  bool waitForClose() {
    return waitUntil([&] { return closed(); });
  }

 private:
  struct State {
    std::mutex mutex;
    std::vector<VEFrame> frames;
    size_t ready = 0;   // the number of the last session that became ready
    size_t closed = 0;  // the number of the last session that closed
    bool acknowledges = true;
  };

  static std::exception_ptr closedFailure() {
    return std::make_exception_ptr(network::SecureConnectionFailure::closed());
  }

  RuntimeWorld& world_;
  TestRuntime& runtime_;
  Options options_;
  std::shared_ptr<VEIdentity> identity_;
  std::string id_;
  std::string nonce_;
  RefusingPort refusing_;
  uint64_t sequence_ = 0;
  std::unique_ptr<platform::SerialQueue> queue_;
  std::shared_ptr<State> state_;
  std::shared_ptr<network::SecurePeerSession> session_;
  size_t sessionCount_ = 0;
};

}  // namespace velmorine::runtime::testing
