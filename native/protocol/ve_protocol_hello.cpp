// VEProtocol: HELLO, liveness and reminder-route frames.

#include <utility>

#include "native/protocol/hello_frames.h"
#include "native/protocol/liveness_frames.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine {
namespace {

using core::Uuid;
using protocol::HelloPurpose;

constexpr size_t kMaxReminderRouteLength = 1024;

std::optional<HelloPurpose> purpose_of(uint64_t purpose) {
  if (purpose == VEProtocol::kPurposeControl) return HelloPurpose::control;
  if (purpose == VEProtocol::kPurposeData) return HelloPurpose::data;
  return std::nullopt;
}

// A copy of `frame` whose header ends with one more bare member before the closing brace.
VEFrame with_capability(const VEFrame& frame, std::string_view member) {
  protocol::Frame copy = frame.frame();
  copy.header_utf8.insert(copy.header_utf8.size() - 1, member);
  return VEFrame(std::move(copy));
}

}  // namespace

std::optional<VEFrame> VEProtocol::helloWithID(std::string_view id, std::string_view nonce,
                                               uint64_t purpose) {
  const auto hello_purpose = purpose_of(purpose);
  const auto device = Uuid::parse(id);
  if (!hello_purpose || !device) return std::nullopt;
  protocol::Hello hello;
  hello.id = Uuid::random();
  hello.sender = *device;
  hello.device_id = *device;
  hello.process_nonce = std::string(nonce);
  hello.purpose = *hello_purpose;
  auto frame = protocol::serialize_hello(hello);
  if (!frame) return std::nullopt;
  return VEFrame(std::move(*frame));
}

std::optional<VEFrame> VEProtocol::reminderHelloWithID(std::string_view id, std::string_view nonce,
                                                       uint64_t purpose) {
  auto frame = helloWithID(id, nonce, purpose);
  if (!frame || purpose != kPurposeControl) return frame;
  return with_capability(*frame, R"(,"notify_v1":1)");
}

std::optional<VEFrame> VEProtocol::durableHelloWithID(std::string_view id, std::string_view nonce,
                                                      uint64_t purpose, bool reminders) {
  auto frame =
      reminders ? reminderHelloWithID(id, nonce, purpose) : helloWithID(id, nonce, purpose);
  if (!frame || purpose != kPurposeControl) return frame;
  return with_capability(*frame, R"(,"durable_ack_v1":1)");
}

bool VEProtocol::validateHello(const VEFrame& frame, std::string_view peerID,
                               std::string_view nonce, uint64_t purpose) {
  const auto peer = Uuid::parse(peerID);
  const auto hello_purpose = purpose_of(purpose);
  if (!peer || !hello_purpose || frame.frame().type != protocol::FrameKind::hello) return false;
  const protocol::HelloExpectation expectation{*peer, std::string(nonce), *hello_purpose, true};
  return protocol::validate_hello(frame.frame(), expectation).has_value();
}

std::optional<VEFrame> VEProtocol::livenessFrameWithKind(std::string_view kind, uint64_t pingID) {
  int32_t frame_kind = 0;
  if (kind == "PING") {
    frame_kind = protocol::FrameKind::ping;
  } else if (kind == "PONG") {
    frame_kind = protocol::FrameKind::pong;
  } else {
    return std::nullopt;
  }
  auto frame = protocol::build_liveness_frame(frame_kind, pingID);
  if (!frame) return std::nullopt;
  return VEFrame(std::move(*frame));
}

std::optional<uint64_t> VEProtocol::livenessID(const VEFrame& frame) {
  return protocol::read_liveness_id(frame.frame());
}

std::optional<VEFrame> VEProtocol::reminderRouteWithJSON(std::span<const uint8_t> json) {
  if (json.empty() || json.size() > kMaxReminderRouteLength) return std::nullopt;
  // Kind 17 whatever the route's "type" names: the session tells route frames by kind.
  protocol::Frame frame{protocol::FrameKind::other,
                        std::string(reinterpret_cast<const char*>(json.data()), json.size()),
                        {}};
  if (!protocol::encode_frame(frame)) return std::nullopt;
  return VEFrame(std::move(frame));
}

}  // namespace velmorine
