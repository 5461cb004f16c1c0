#include "Velmorine/network/secure_peer_session.h"

#include <nlohmann/json.hpp>

#include "Velmorine/network/bridge_error.h"
#include "Velmorine/network/reminder_route_exchange.h"
#include "native/protocol/uuid.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::network {

namespace {

using Case = PeerSessionFailure::Case;

nlohmann::json parseHeader(const VEFrame& frame) {
  const std::string& header = frame.frame().header_utf8;
  return nlohmann::json::parse(header.begin(), header.end());
}

bool flagIsOne(const nlohmann::json& header, const char* key) {
  const auto member = header.find(key);
  return member != header.end() && member->is_number() && *member == 1;
}

size_t frameSize(const VEFrame& frame) {
  return frame.frame().header_utf8.size() + frame.frame().payload.size();
}

}  // namespace

SecurePeerSession::SecurePeerSession(std::shared_ptr<SecureConnection> connection,
                                     Configuration configuration)
    : connection_(std::move(connection)), configuration_(std::move(configuration)) {}

std::shared_ptr<SecurePeerSession> SecurePeerSession::create(
    std::shared_ptr<SecureConnection> connection, Configuration configuration) {
  return std::shared_ptr<SecurePeerSession>(
      new SecurePeerSession(std::move(connection), std::move(configuration)));
}

SecurePeerSession::~SecurePeerSession() { stopHelloTimers(); }

void SecurePeerSession::start() {
  auto& queue = connection_->queue();
  queue.assert_current();
  std::weak_ptr<SecurePeerSession> weak = weak_from_this();
  connection_->onEstablished = [weak](std::vector<uint8_t> remoteKey,
                                      std::vector<uint8_t> transcript) {
    if (auto self = weak.lock())
      self->handshakeComplete(std::move(remoteKey), std::move(transcript));
  };
  connection_->onPlaintext = [weak](std::vector<uint8_t> bytes) {
    if (auto self = weak.lock()) self->plaintext(bytes);
  };
  connection_->onFailure = [weak](const SecureConnectionFailure& failure) {
    if (auto self = weak.lock()) self->close(std::make_exception_ptr(failure));
  };
  helloDeadline_ = std::make_unique<platform::Timer>(queue, [weak] {
    if (auto self = weak.lock(); self && !self->closed_) {
      self->closeWith(PeerSessionFailure(Case::timeout));
    }
  });
  helloDeadline_->schedule(kHelloDeadline);
  connection_->start();
}

void SecurePeerSession::handshakeComplete(std::vector<uint8_t> remoteKey,
                                          std::vector<uint8_t> transcript) {
  if (closed_) return;
  remoteKey_ = std::move(remoteKey);
  transcript_ = std::move(transcript);
  const uint32_t purpose = channelPurpose();
  if (configuration_.purpose != 0 && configuration_.purpose != purpose) {
    closeWith(PeerSessionFailure(Case::invalidHello));
    return;
  }
  const bool reminders = configuration_.reminders != nullptr;
  std::optional<VEFrame> hello;
  if (configuration_.durableReceipts) {
    hello = VEProtocol::durableHelloWithID(configuration_.localID, configuration_.localNonce,
                                           purpose, reminders);
  } else if (reminders) {
    hello =
        VEProtocol::reminderHelloWithID(configuration_.localID, configuration_.localNonce, purpose);
  } else {
    hello = VEProtocol::helloWithID(configuration_.localID, configuration_.localNonce, purpose);
  }
  std::optional<std::vector<uint8_t>> encoded;
  if (hello) encoded = hello->encoded();
  if (!encoded || !connection_->send(*encoded)) closeWith(PeerSessionFailure(Case::invalidHello));
}

void SecurePeerSession::plaintext(std::span<const uint8_t> bytes) {
  if (closed_) return;
  auto frames = decoder_.feed(bytes);
  if (!frames) {
    closeWith(BridgeError(frames.error()));
    return;
  }
  for (auto& frame : *frames) {
    if (closed_) return;
    try {
      if (peer_) {
        if (frame.kind() == "HELLO") throw PeerSessionFailure(Case::unexpectedFrame);
        frameAfterAuthentication(frame);
      } else if (!pendingHello_) {
        if (!validateHello(frame)) {
          pendingHello_.emplace(std::move(frame));
          waitForAnnouncement();
        }
      } else {
        // Held back until the HELLO is decided, within limits a peer cannot stretch.
        const size_t size = frameSize(frame);
        if (frame.kind() == "HELLO" || pendingFrames_.size() >= kPendingFrameLimit ||
            pendingBytes_ + size > kPendingByteLimit) {
          throw PeerSessionFailure(Case::unexpectedFrame);
        }
        pendingBytes_ += size;
        pendingFrames_.push_back(std::move(frame));
      }
    } catch (...) {
      close(std::current_exception());
      return;
    }
  }
}

bool SecurePeerSession::validateHello(const VEFrame& frame) {
  if (frame.kind() != "HELLO" || frame.frame().header_utf8.size() > kHelloHeaderLimit ||
      !frame.frame().payload.empty() || !remoteKey_ || !transcript_) {
    throw PeerSessionFailure(Case::invalidHello);
  }
  const nlohmann::json header = parseHeader(frame);
  const auto mismatch = [] { return PeerSessionFailure(Case::identityMismatch); };
  if (!header.is_object() || header.empty()) throw mismatch();
  const auto deviceMember = header.find("device_id");
  if (deviceMember == header.end() || !deviceMember->is_string()) throw mismatch();
  const std::string deviceID = deviceMember->get<std::string>();
  if (!core::Uuid::parse(deviceID)) throw mismatch();
  if (configuration_.expectedID && *configuration_.expectedID != deviceID) throw mismatch();

  // The peer's announcement ties its device identifier to the key it announced; until it is
  // heard the HELLO waits.
  const auto announcement = lookup ? lookup(deviceID) : std::nullopt;
  if (!announcement) return false;
  const auto fingerprint = VEProtocol::fingerprint(*remoteKey_);
  if (!fingerprint || *fingerprint != announcement->fingerprint()) throw mismatch();
  const uint32_t purpose = channelPurpose();
  if (!VEProtocol::validateHello(frame, deviceID, announcement->nonce(), purpose)) {
    throw mismatch();
  }
  auto safetyCode = VEProtocol::safetyCodeWithLocalID(configuration_.localID,
                                                      configuration_.identity->publicKey(),
                                                      deviceID, *remoteKey_, *transcript_);
  if (!safetyCode) throw mismatch();
  if (!authenticate) throw mismatch();
  std::string contactID = authenticate(deviceID, *remoteKey_);

  peer_ = AuthenticatedPeer{deviceID, std::move(contactID), announcement->nonce(), *remoteKey_,
                            std::move(*safetyCode)};
  stopHelloTimers();
  reminderNegotiated_ =
      purpose == 1 && configuration_.reminders != nullptr && flagIsOne(header, "notify_v1");
  supportsDurableAcknowledgments_ = purpose == 1 && flagIsOne(header, "durable_ack_v1");
  if (onReady) {
    auto ready = onReady;
    ready(*peer_);
  }
  ReminderRouteExchange::offer(shared_from_this());
  return true;
}

void SecurePeerSession::waitForAnnouncement() {
  std::weak_ptr<SecurePeerSession> weak = weak_from_this();
  helloRetry_ = std::make_unique<platform::Timer>(connection_->queue(), [weak] {
    if (auto self = weak.lock()) self->retryHello();
  });
  helloRetry_->schedule(kHelloRetry, kHelloRetry);
}

void SecurePeerSession::stopHelloTimers() {
  helloDeadline_.reset();
  helloRetry_.reset();
}

void SecurePeerSession::retryHello() {
  if (closed_ || !pendingHello_) return;
  try {
    if (!validateHello(*pendingHello_)) return;
    pendingHello_.reset();
    deliverPending();
  } catch (...) {
    close(std::current_exception());
  }
}

void SecurePeerSession::deliverPending() {
  std::vector<VEFrame> frames = std::move(pendingFrames_);
  pendingFrames_.clear();
  pendingBytes_ = 0;
  for (const auto& frame : frames) {
    if (closed_ || !peer_) return;
    if (frame.kind() == "HELLO") throw PeerSessionFailure(Case::unexpectedFrame);
    frameAfterAuthentication(frame);
  }
}

void SecurePeerSession::frameAfterAuthentication(const VEFrame& frame) {
  const std::string& kind = frame.kind();
  if (kind == "OTHER") {
    nlohmann::json header;
    try {
      header = parseHeader(frame);
    } catch (const nlohmann::json::exception&) {
      // Not JSON after all: the owner decides what an unknown frame means.
    }
    const auto type = header.is_object() ? header.find("type") : header.end();
    if (header.is_object() && type != header.end() && type->is_string() &&
        *type == "NOTIFY_ROUTE") {
      if (!reminderNegotiated_ || !frame.frame().payload.empty() || !configuration_.reminders) {
        throw PeerSessionFailure(Case::unexpectedFrame);
      }
      const double now = connection_->queue().now();
      if (now - reminderWindow_ >= kReminderWindow) {
        reminderWindow_ = now;
        reminderFrameCount_ = 0;
      }
      if (++reminderFrameCount_ > kRemindersPerWindow) {
        throw PeerSessionFailure(Case::unexpectedFrame);
      }
      const auto& text = frame.frame().header_utf8;
      auto grant =
          parseNotifyRoute(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
      ReminderRouteExchange::accept(shared_from_this(), std::move(grant));
      return;
    }
  } else if (kind == "PING" || kind == "PONG") {
    const auto pingID = VEProtocol::livenessID(frame);
    if (channelPurpose() != 1 || !pingID) throw PeerSessionFailure(Case::unexpectedFrame);
    if (kind == "PING") {
      const auto pong = VEProtocol::livenessFrameWithKind("PONG", *pingID);
      if (!pong || !send(*pong)) throw SecureConnectionFailure::capacity();
      return;
    }
  }
  if (onFrame) {
    auto deliver = onFrame;
    deliver(frame, *peer_);
  }
}

bool SecurePeerSession::send(const VEFrame& frame) {
  connection_->queue().assert_current();
  if (closed_ || !peer_) return false;
  // Prefix, header and payload go to the channel where they lie: a large payload is copied
  // once, into its records, instead of first into an encoded frame.
  const auto prefix = frame.encodedPrefix();
  if (!prefix) return false;
  const auto& header = frame.frame().header_utf8;
  const std::span<const uint8_t> pieces[] = {
      *prefix,
      {reinterpret_cast<const uint8_t*>(header.data()), header.size()},
      frame.frame().payload,
  };
  return connection_->send(pieces);
}

void SecurePeerSession::close(std::exception_ptr error) {
  if (closed_) return;
  closed_ = true;
  stopHelloTimers();
  pendingHello_.reset();
  pendingFrames_.clear();
  pendingBytes_ = 0;
  connection_->close(SecureConnectionFailure::closed());
  auto failed = std::move(onFailure);
  onFailure = nullptr;
  onReady = nullptr;
  onFrame = nullptr;
  if (failed) failed(error);
}

}  // namespace velmorine::network
