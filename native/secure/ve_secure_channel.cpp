#include "native/secure/ve_secure_channel.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "native/secure/channel/handshake_pump.h"
#include "native/secure/channel/record_reader.h"
#include "native/secure/channel/transport.h"
#include "native/secure/ve_secure_error.h"

namespace velmorine {

namespace {

constexpr size_t kKeyLength = 32;

std::unexpected<VEError> failure(uint32_t status) {
  return std::unexpected(ve_secure_error(status));
}

}  // namespace

uint64_t VESecureChannelEnvironment::steady_milliseconds() {
  const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since_start).count());
}

VESecureChannel::VESecureChannel(std::shared_ptr<const VEIdentity> identity, uint32_t purpose,
                                 Environment environment)
    : identity_(std::move(identity)), purpose_(purpose), environment_(std::move(environment)) {}

VESecureChannel::~VESecureChannel() { close(); }

std::expected<std::unique_ptr<VESecureChannel>, VEError> VESecureChannel::withIdentity(
    std::shared_ptr<const VEIdentity> identity, bool initiator, uint32_t purpose,
    Environment environment) {
  const bool known_purpose =
      purpose == kVelSecurePurposeControl || purpose == kVelSecurePurposeData;
  if (!known_purpose && !(purpose == 0 && !initiator)) return failure(VELSECURE_INVALID_ARGUMENT);
  std::unique_ptr<VESecureChannel> channel(
      new VESecureChannel(std::move(identity), purpose, std::move(environment)));
  if (!channel->environment_.now_ms) return failure(VELSECURE_INVALID_ARGUMENT);
  StatusRecord status;
  if (auto checked = channel->check(
          velsecure_context_create(&channel->environment_.platform, &channel->context_, &status));
      !checked) {
    return std::unexpected(checked.error());
  }
  if (known_purpose) {
    if (auto created =
            channel->createPump(initiator ? kVelSecureRoleInitiator : kVelSecureRoleResponder);
        !created) {
      return std::unexpected(created.error());
    }
  } else {
    channel->pending_prelude_.emplace();
    channel->pending_prelude_->reserve(kVelSecurePreludeLength);
  }
  return channel;
}

std::expected<void, VEError> VESecureChannel::check(uint32_t status) {
  if (status == VELSECURE_OK) return {};
  close();
  return failure(status);
}

std::expected<void, VEError> VESecureChannel::createPump(uint32_t role) {
  VelSecurePumpConfig config{};
  config.size = sizeof(VelSecurePumpConfig);
  config.version = kVelSecurePumpConfigVersion;
  config.role = role;
  config.purpose = purpose_;
  config.handshake_timeout_ms = kHandshakeTimeoutMs;
  // Without an identity the view stays all zero, which the pump refuses.
  if (identity_) config.identity = identity_->identityView();
  return check(
      velsecure_handshake_pump_create(context_, &config, environment_.now_ms(), &pump_, nullptr));
}

std::expected<void, VEError> VESecureChannel::drainHandshake() {
  if (closed_) return failure(VELSECURE_INVALID_STATE);
  while (pump_ != nullptr) {
    const uint8_t* bytes = nullptr;
    size_t length = 0;
    if (auto ok = check(velsecure_handshake_pump_output(pump_, environment_.now_ms(), &bytes,
                                                        &length, nullptr));
        !ok) {
      return ok;
    }
    if (length == 0) break;
    if (handshake_output_.size() + length > kHandshakeOutputMax) {
      return check(VELSECURE_MESSAGE_TOO_LARGE);
    }
    handshake_output_.insert(handshake_output_.end(), bytes, bytes + length);
    if (auto ok = check(
            velsecure_handshake_pump_consume_output(pump_, length, environment_.now_ms(), nullptr));
        !ok) {
      return ok;
    }
  }
  return completeHandshake();
}

std::expected<void, VEError> VESecureChannel::completeHandshake() {
  if (closed_) return failure(VELSECURE_INVALID_STATE);
  if (pump_ == nullptr) return {};
  uint32_t flags = 0;
  if (auto ok =
          check(velsecure_handshake_pump_interest(pump_, environment_.now_ms(), &flags, nullptr));
      !ok) {
    return ok;
  }
  if ((flags & kVelSecurePumpComplete) == 0) return {};
  std::vector<uint8_t> remote(kKeyLength);
  std::vector<uint8_t> hash(kKeyLength);
  if (auto ok = check(velsecure_handshake_pump_take_result(pump_, &send_, &receive_, remote.data(),
                                                           hash.data(), nullptr));
      !ok) {
    return ok;
  }
  if (auto ok = check(velsecure_record_reader_create(receive_, &reader_, nullptr)); !ok) return ok;
  remote_public_key_ = std::move(remote);
  transcript_hash_ = std::move(hash);
  velsecure_handshake_pump_destroy(pump_);
  pump_ = nullptr;
  established_ = true;
  return {};
}

std::expected<std::vector<uint8_t>, VEError> VESecureChannel::takeHandshakeOutput() {
  if (auto drained = drainHandshake(); !drained) return std::unexpected(drained.error());
  std::vector<uint8_t> output = handshake_output_;
  wipe(handshake_output_);
  handshake_output_.clear();
  return output;
}

// A responder that does not know its purpose yet learns it from byte 12 of the
// initiator's prelude, then starts its pump with those 16 bytes.
std::expected<size_t, VEError> VESecureChannel::takePeerPrelude(std::span<const uint8_t> data) {
  std::vector<uint8_t>& prelude = *pending_prelude_;
  const size_t count = std::min(kVelSecurePreludeLength - prelude.size(), data.size());
  prelude.insert(prelude.end(), data.begin(), data.begin() + count);
  if (prelude.size() < kVelSecurePreludeLength) return count;
  const uint32_t purpose = prelude[12];
  uint8_t prologue[kVelSecurePrologueLength];
  size_t prologue_length = 0;
  auto checked = check(velsecure_prelude_accept(kVelSecureRoleResponder, purpose, prelude.data(),
                                                prelude.size(), prologue, sizeof prologue,
                                                &prologue_length, nullptr));
  if (checked) {
    purpose_ = purpose;
    checked = createPump(kVelSecureRoleResponder);
  }
  if (checked) {
    size_t consumed = 0;
    checked = check(velsecure_handshake_pump_input(pump_, prelude.data(), prelude.size(), &consumed,
                                                   environment_.now_ms(), nullptr));
    if (checked && consumed != prelude.size()) checked = check(VELSECURE_PROTOCOL_ERROR);
  }
  if (checked) checked = drainHandshake();
  if (!checked) return std::unexpected(checked.error());
  wipe(prelude);
  pending_prelude_.reset();
  return count;
}

std::expected<std::vector<std::vector<uint8_t>>, VEError> VESecureChannel::receive(
    std::span<const uint8_t> data) {
  if (closed_ || data.size() > kReceiveChunkMax) {
    close();
    return failure(VELSECURE_INVALID_ARGUMENT);
  }
  size_t offset = 0;
  if (pending_prelude_) {
    auto taken = takePeerPrelude(data);
    if (!taken) return std::unexpected(taken.error());
    offset += *taken;
  }
  while (offset < data.size() && !established_ && pump_ != nullptr) {
    size_t consumed = 0;
    if (auto ok =
            check(velsecure_handshake_pump_input(pump_, data.data() + offset, data.size() - offset,
                                                 &consumed, environment_.now_ms(), nullptr));
        !ok) {
      return std::unexpected(ok.error());
    }
    offset += consumed;
    if (auto ok = drainHandshake(); !ok) return std::unexpected(ok.error());
    // A pump that has taken nothing and still wants nothing would spin forever.
    if (consumed == 0 && !established_) {
      (void)check(VELSECURE_INVALID_STATE);
      return failure(VELSECURE_INVALID_STATE);
    }
  }
  std::vector<std::vector<uint8_t>> records;
  while (offset < data.size() && established_) {
    size_t consumed = 0;
    if (auto ok = check(velsecure_record_reader_input(reader_, data.data() + offset,
                                                      data.size() - offset, &consumed, nullptr));
        !ok) {
      return std::unexpected(ok.error());
    }
    offset += consumed;
    if (!velsecure_record_reader_ready(reader_)) continue;
    // The record opens straight into the value handed to the owner.
    std::vector<uint8_t> plaintext(reader_->expected - kVelSecureTagLength);
    size_t opened = 0;
    if (auto ok = check(velsecure_record_reader_decrypt(reader_, plaintext.data(), plaintext.size(),
                                                        &opened, nullptr));
        !ok) {
      return std::unexpected(ok.error());
    }
    records.push_back(std::move(plaintext));
  }
  return records;
}

std::expected<std::vector<uint8_t>, VEError> VESecureChannel::encrypt(
    std::span<const uint8_t> plaintext) {
  const std::span<const uint8_t> whole[] = {plaintext};
  return encrypt(whole);
}

std::expected<std::vector<uint8_t>, VEError> VESecureChannel::encrypt(
    std::span<const std::span<const uint8_t>> pieces) {
  size_t total = 0;
  for (const auto& piece : pieces) total += piece.size();
  if (!established_ || closed_ || total == 0 || total > kEncryptMax) {
    close();
    return failure(VELSECURE_INVALID_ARGUMENT);
  }
  const size_t record_count =
      (total + kVelSecureRecordPlaintextMax - 1) / kVelSecureRecordPlaintextMax;
  std::vector<uint8_t> records(total + record_count * kVelSecureRecordOverhead);
  uint8_t* record = records.data();
  auto piece = pieces.begin();
  size_t piece_offset = 0;
  for (size_t offset = 0; offset < total; offset += kVelSecureRecordPlaintextMax) {
    const size_t length = std::min(kVelSecureRecordPlaintextMax, total - offset);
    while (piece_offset == piece->size()) {
      ++piece;
      piece_offset = 0;
    }
    // A record within one piece is sealed straight from it into its place; one that spans
    // pieces is first gathered behind its length field and sealed there.
    const uint8_t* plaintext = piece->data() + piece_offset;
    if (piece->size() - piece_offset >= length) {
      piece_offset += length;
    } else {
      uint8_t* body = record + kVelSecureRecordHeaderLength;
      for (size_t gathered = 0; gathered < length;) {
        if (piece_offset == piece->size()) {
          ++piece;
          piece_offset = 0;
          continue;
        }
        const size_t count = std::min(length - gathered, piece->size() - piece_offset);
        std::memcpy(body + gathered, piece->data() + piece_offset, count);
        piece_offset += count;
        gathered += count;
      }
      plaintext = body;
    }
    size_t sealed = 0;
    if (auto ok = check(velsecure_record_encrypt(
            send_, plaintext, length, record, length + kVelSecureRecordOverhead, &sealed, nullptr));
        !ok) {
      return std::unexpected(ok.error());
    }
    record += sealed;
  }
  return records;
}

std::expected<void, VEError> VESecureChannel::finish() {
  const uint32_t status = established_ && !closed_
                              ? velsecure_record_reader_finish(reader_, nullptr)
                              : static_cast<uint32_t>(VELSECURE_TRUNCATED);
  close();
  if (status != VELSECURE_OK) return failure(status);
  return {};
}

void VESecureChannel::close() {
  if (closed_) return;
  closed_ = true;
  established_ = false;
  velsecure_handshake_pump_destroy(pump_);
  pump_ = nullptr;
  velsecure_record_reader_destroy(reader_);
  reader_ = nullptr;
  velsecure_transport_destroy(send_);
  send_ = nullptr;
  velsecure_transport_destroy(receive_);
  receive_ = nullptr;
  if (pending_prelude_) {
    wipe(*pending_prelude_);
    pending_prelude_.reset();
  }
  wipe(handshake_output_);
  handshake_output_.clear();
  velsecure_context_destroy(context_);
  context_ = nullptr;
  identity_.reset();
}

void VESecureChannel::wipe(std::vector<uint8_t>& bytes) const {
  velsecure_context_clear(context_, bytes.data(), bytes.size());
}

}  // namespace velmorine
