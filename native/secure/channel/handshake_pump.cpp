#include "native/secure/channel/handshake_pump.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr size_t kKeyLength = 32;
constexpr uint32_t kMinConfigSize = 64;
constexpr uint32_t kMinIdentityViewSize = 40;

void wipe(const VelSecureHandshakePump_s* pump, void* buffer, size_t length) {
  velsecure_context_clear(pump->context, buffer, length);
}

void wipe_key_copies(VelSecureHandshakePump_s* pump) {
  wipe(pump, pump->private_key, sizeof pump->private_key);
  wipe(pump, pump->public_key, sizeof pump->public_key);
}

void reset_incoming_frame(VelSecureHandshakePump_s* pump) {
  wipe(pump, pump->in_length_field, sizeof pump->in_length_field);
  wipe(pump, pump->in_message, sizeof pump->in_message);
  pump->in_length_filled = 0;
  pump->in_expected = 0;
  pump->in_message_filled = 0;
}

void reset_outgoing(VelSecureHandshakePump_s* pump) {
  wipe(pump, pump->out_buffer, sizeof pump->out_buffer);
  pump->out_length = 0;
  pump->out_sent = 0;
}

void wipe_buffers(VelSecureHandshakePump_s* pump) {
  wipe_key_copies(pump);
  wipe(pump, pump->peer_prelude, sizeof pump->peer_prelude);
  pump->peer_prelude_filled = 0;
  wipe(pump, pump->prologue, sizeof pump->prologue);
  reset_incoming_frame(pump);
  reset_outgoing(pump);
}

uint32_t repeat_failure(const VelSecureHandshakePump_s* pump, StatusRecord* status) {
  if (status != nullptr) *status = pump->failure;
  return pump->failure.code;
}

// The failed state is final: everything secret goes, and the first failure is
// kept to be repeated by every later call.
uint32_t fail_pump(VelSecureHandshakePump_s* pump, const StatusRecord& failure,
                   StatusRecord* status) {
  velsecure_handshake_destroy(pump->handshake);
  pump->handshake = nullptr;
  wipe_buffers(pump);
  pump->ready_to_split = 0;
  pump->failed = 1;
  pump->failure = failure;
  return repeat_failure(pump, status);
}

uint32_t fail_pump(VelSecureHandshakePump_s* pump, uint32_t code, uint32_t operation,
                   uint64_t detail, StatusRecord* status) {
  StatusRecord failure;
  velsecure_fail(&failure, code, operation,
                 static_cast<uint32_t>(std::min<uint64_t>(detail, UINT32_MAX)));
  return fail_pump(pump, failure, status);
}

uint32_t succeed(StatusRecord* status) {
  velsecure_error_reset(status);
  return VELSECURE_OK;
}

uint32_t check_deadline(VelSecureHandshakePump_s* pump, uint64_t now_ms, StatusRecord* status) {
  if (pump->failed) return repeat_failure(pump, status);
  if (!pump->ready_to_split && now_ms >= pump->deadline_ms) {
    return fail_pump(pump, VELSECURE_TIMED_OUT, VELSECURE_OP_HANDSHAKE_READ, 0, status);
  }
  return VELSECURE_OK;
}

bool output_waits(const VelSecureHandshakePump_s* pump) {
  return pump->out_sent < pump->out_length;
}

// Writes the next handshake message once the previous output has gone, and
// notices when the handshake is ready to split.
uint32_t prepare_output(VelSecureHandshakePump_s* pump, StatusRecord* status) {
  if (pump->failed) return repeat_failure(pump, status);
  if (output_waits(pump) || pump->handshake == nullptr) return VELSECURE_OK;
  const int action = velsecure_handshake_action(pump->handshake);
  if (action == VELSECURE_HANDSHAKE_WRITE) {
    size_t length = 0;
    StatusRecord failure;
    if (velsecure_handshake_write(pump->handshake, nullptr, 0, pump->out_buffer + 2,
                                  kVelSecureHandshakeMessageMax, &length,
                                  &failure) != VELSECURE_OK) {
      return fail_pump(pump, failure, status);
    }
    if (length == 0 || length > kVelSecureHandshakeMessageMax) {
      return fail_pump(pump, VELSECURE_MESSAGE_TOO_LARGE, VELSECURE_OP_HANDSHAKE_WRITE, length,
                       status);
    }
    pump->out_buffer[0] = static_cast<uint8_t>(length >> 8);
    pump->out_buffer[1] = static_cast<uint8_t>(length);
    pump->out_length = length + 2;
    pump->out_sent = 0;
  } else if (action == VELSECURE_HANDSHAKE_SPLIT) {
    pump->ready_to_split = 1;
  }
  return VELSECURE_OK;
}

// The peer prelude is complete: check it, bind both preludes into the
// prologue and start the Noise handshake.
uint32_t start_handshake(VelSecureHandshakePump_s* pump, StatusRecord* status) {
  StatusRecord failure;
  size_t prologue_length = 0;
  if (velsecure_prelude_accept(pump->role, pump->purpose, pump->peer_prelude,
                               sizeof pump->peer_prelude, pump->prologue, sizeof pump->prologue,
                               &prologue_length, &failure) != VELSECURE_OK) {
    return fail_pump(pump, failure, status);
  }
  VelSecureHandshakeConfig config{};
  config.size = sizeof(VelSecureHandshakeConfig);
  config.version = 1;
  config.role = pump->role;
  config.purpose = pump->purpose;
  config.prologue = pump->prologue;
  config.prologue_length = prologue_length;
  config.identity = VelSecureIdentityView_s{sizeof(VelSecureIdentityView_s), pump->private_key,
                                            kKeyLength, pump->public_key, kKeyLength};
  const uint32_t code =
      velsecure_handshake_create(pump->context, &config, &pump->handshake, &failure);
  wipe_key_copies(pump);
  if (code != VELSECURE_OK) return fail_pump(pump, failure, status);
  return prepare_output(pump, status);
}

// Reads one complete handshake frame; every handshake payload is empty.
uint32_t read_message(VelSecureHandshakePump_s* pump, StatusRecord* status) {
  uint8_t payload[kVelSecureHandshakeMessageMax];
  size_t payload_length = 0;
  StatusRecord failure;
  const uint32_t code =
      velsecure_handshake_read(pump->handshake, pump->in_message, pump->in_expected, payload,
                               sizeof payload, &payload_length, &failure);
  reset_incoming_frame(pump);
  if (code != VELSECURE_OK) {
    wipe(pump, payload, sizeof payload);
    return fail_pump(pump, failure, status);
  }
  if (payload_length != 0) {
    wipe(pump, payload, sizeof payload);
    return fail_pump(pump, VELSECURE_PROTOCOL_ERROR, VELSECURE_OP_HANDSHAKE_READ, payload_length,
                     status);
  }
  return prepare_output(pump, status);
}

size_t take(uint8_t* into, size_t& filled, size_t wanted, const uint8_t* data, size_t available) {
  const size_t count = std::min(wanted - filled, available);
  std::memcpy(into + filled, data, count);
  filled += count;
  return count;
}

}  // namespace

uint32_t velsecure_handshake_pump_create(VelSecureContext_s* context,
                                         const VelSecurePumpConfig* config, uint64_t now_ms,
                                         VelSecureHandshakePump_s** pump, StatusRecord* status) {
  if (context == nullptr || config == nullptr || pump == nullptr || *pump != nullptr ||
      config->size < kMinConfigSize || config->version != kVelSecurePumpConfigVersion ||
      (config->role != kVelSecureRoleInitiator && config->role != kVelSecureRoleResponder) ||
      (config->purpose != kVelSecurePurposeControl && config->purpose != kVelSecurePurposeData) ||
      config->handshake_timeout_ms == 0 || config->identity.size < kMinIdentityViewSize ||
      config->identity.private_key == nullptr ||
      config->identity.private_key_length != kKeyLength || config->identity.public_key == nullptr ||
      config->identity.public_key_length != kKeyLength) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_HANDSHAKE_CREATE);
  }
  auto* created = static_cast<VelSecureHandshakePump_s*>(
      velsecure_object_alloc(sizeof(VelSecureHandshakePump_s)));
  if (created == nullptr) {
    return velsecure_fail(status, VELSECURE_OUT_OF_MEMORY, VELSECURE_OP_HANDSHAKE_CREATE);
  }
  created->context = context;
  created->role = config->role;
  created->purpose = config->purpose;
  const uint64_t room = std::numeric_limits<uint64_t>::max() - now_ms;
  created->deadline_ms = config->handshake_timeout_ms > room
                             ? std::numeric_limits<uint64_t>::max()
                             : now_ms + config->handshake_timeout_ms;
  std::memcpy(created->private_key, config->identity.private_key, kKeyLength);
  std::memcpy(created->public_key, config->identity.public_key, kKeyLength);
  size_t prelude_length = 0;
  StatusRecord failure;
  if (velsecure_prelude_write(created->role, created->purpose, created->out_buffer,
                              sizeof created->out_buffer, &prelude_length,
                              &failure) != VELSECURE_OK) {
    velsecure_object_free(context, created, sizeof(VelSecureHandshakePump_s));
    failure.operation = VELSECURE_OP_HANDSHAKE_CREATE;
    if (status != nullptr) *status = failure;
    return failure.code;
  }
  created->out_length = prelude_length;
  *pump = created;
  return succeed(status);
}

uint32_t velsecure_handshake_pump_interest(VelSecureHandshakePump_s* pump, uint64_t now_ms,
                                           uint32_t* flags, StatusRecord* status) {
  if (pump == nullptr || flags == nullptr) {
    if (flags != nullptr) *flags = 0;
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_HANDSHAKE_CREATE);
  }
  *flags = 0;
  uint32_t code = check_deadline(pump, now_ms, status);
  if (code == VELSECURE_OK) code = prepare_output(pump, status);
  if (code != VELSECURE_OK) {
    *flags = kVelSecurePumpFailed;
    return code;
  }
  if (!pump->ready_to_split && !pump->result_taken) {
    const bool awaiting_prelude =
        pump->handshake == nullptr && pump->peer_prelude_filled < kVelSecurePreludeLength;
    const bool awaiting_message =
        pump->handshake != nullptr &&
        velsecure_handshake_action(pump->handshake) == VELSECURE_HANDSHAKE_READ;
    if (awaiting_prelude || awaiting_message) *flags |= kVelSecurePumpWantsInput;
  }
  if (output_waits(pump)) *flags |= kVelSecurePumpHasOutput;
  if (pump->ready_to_split && !pump->result_taken) *flags |= kVelSecurePumpComplete;
  return succeed(status);
}

uint32_t velsecure_handshake_pump_output(VelSecureHandshakePump_s* pump, uint64_t now_ms,
                                         const uint8_t** data, size_t* length,
                                         StatusRecord* status) {
  if (data != nullptr) *data = nullptr;
  if (length != nullptr) *length = 0;
  if (pump == nullptr || data == nullptr || length == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_HANDSHAKE_WRITE);
  }
  uint32_t code = check_deadline(pump, now_ms, status);
  if (code == VELSECURE_OK) code = prepare_output(pump, status);
  if (code != VELSECURE_OK) return code;
  *data = pump->out_buffer + pump->out_sent;
  *length = pump->out_length - pump->out_sent;
  return succeed(status);
}

uint32_t velsecure_handshake_pump_consume_output(VelSecureHandshakePump_s* pump, size_t count,
                                                 uint64_t now_ms, StatusRecord* status) {
  if (pump == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_HANDSHAKE_WRITE);
  }
  if (const uint32_t code = check_deadline(pump, now_ms, status)) return code;
  if (count > pump->out_length - pump->out_sent) {
    return fail_pump(pump, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_HANDSHAKE_WRITE, count, status);
  }
  pump->out_sent += count;
  if (!output_waits(pump)) {
    reset_outgoing(pump);
    if (const uint32_t code = prepare_output(pump, status)) return code;
  }
  return succeed(status);
}

uint32_t velsecure_handshake_pump_input(VelSecureHandshakePump_s* pump, const uint8_t* data,
                                        size_t length, size_t* consumed, uint64_t now_ms,
                                        StatusRecord* status) {
  if (consumed != nullptr) *consumed = 0;
  if (pump == nullptr || consumed == nullptr || (data == nullptr && length != 0)) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_HANDSHAKE_READ);
  }
  if (const uint32_t code = check_deadline(pump, now_ms, status)) return code;
  size_t taken = 0;
  while (taken < length && !pump->ready_to_split && !pump->result_taken) {
    const uint8_t* next = data + taken;
    const size_t available = length - taken;
    uint32_t code = VELSECURE_OK;
    if (pump->handshake == nullptr) {
      taken += take(pump->peer_prelude, pump->peer_prelude_filled, kVelSecurePreludeLength, next,
                    available);
      if (pump->peer_prelude_filled == kVelSecurePreludeLength)
        code = start_handshake(pump, status);
    } else if (velsecure_handshake_action(pump->handshake) != VELSECURE_HANDSHAKE_READ) {
      break;  // our own message has to go out first
    } else if (pump->in_length_filled < sizeof pump->in_length_field) {
      taken += take(pump->in_length_field, pump->in_length_filled, sizeof pump->in_length_field,
                    next, available);
      if (pump->in_length_filled == sizeof pump->in_length_field) {
        pump->in_expected = (size_t{pump->in_length_field[0]} << 8) | pump->in_length_field[1];
        if (pump->in_expected == 0 || pump->in_expected > kVelSecureHandshakeMessageMax) {
          code = fail_pump(pump, VELSECURE_MESSAGE_TOO_LARGE, VELSECURE_OP_HANDSHAKE_READ,
                           pump->in_expected, status);
        }
      }
    } else {
      taken += take(pump->in_message, pump->in_message_filled, pump->in_expected, next, available);
      if (pump->in_message_filled == pump->in_expected) code = read_message(pump, status);
    }
    if (code != VELSECURE_OK) {
      *consumed = taken;
      return code;
    }
  }
  *consumed = taken;
  return succeed(status);
}

uint32_t velsecure_handshake_pump_take_result(VelSecureHandshakePump_s* pump,
                                              VelSecureTransport_s** send,
                                              VelSecureTransport_s** receive,
                                              uint8_t remote_static[32], uint8_t handshake_hash[32],
                                              StatusRecord* status) {
  if (pump == nullptr || send == nullptr || *send != nullptr || receive == nullptr ||
      *receive != nullptr || remote_static == nullptr || handshake_hash == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_HANDSHAKE_RESULT);
  }
  if (pump->failed) return repeat_failure(pump, status);
  if (!pump->ready_to_split || pump->result_taken) {
    return velsecure_fail(status, VELSECURE_INVALID_STATE, VELSECURE_OP_HANDSHAKE_RESULT);
  }
  StatusRecord failure;
  if (velsecure_handshake_remote_static(pump->handshake, remote_static, &failure) != VELSECURE_OK ||
      velsecure_handshake_transcript_hash(pump->handshake, handshake_hash, &failure) !=
          VELSECURE_OK ||
      velsecure_handshake_split(pump->handshake, send, receive, &failure) != VELSECURE_OK) {
    wipe(pump, remote_static, kKeyLength);
    wipe(pump, handshake_hash, kKeyLength);
    return fail_pump(pump, failure, status);
  }
  velsecure_handshake_destroy(pump->handshake);
  pump->handshake = nullptr;
  pump->result_taken = 1;
  wipe_buffers(pump);
  return succeed(status);
}

uint32_t velsecure_handshake_pump_cancel(VelSecureHandshakePump_s* pump, StatusRecord* status) {
  if (pump == nullptr) {
    return velsecure_fail(status, VELSECURE_INVALID_ARGUMENT, VELSECURE_OP_HANDSHAKE_CREATE);
  }
  if (pump->failed) return repeat_failure(pump, status);
  if (pump->ready_to_split || pump->result_taken) {
    return velsecure_fail(status, VELSECURE_INVALID_STATE, VELSECURE_OP_HANDSHAKE_RESULT);
  }
  return fail_pump(pump, VELSECURE_CANCELLED, VELSECURE_OP_HANDSHAKE_READ, 0, status);
}

void velsecure_handshake_pump_destroy(VelSecureHandshakePump_s* pump) {
  if (pump == nullptr) return;
  velsecure_handshake_destroy(pump->handshake);
  VelSecureContext_s* context = pump->context;
  velsecure_object_free(context, pump, sizeof(VelSecureHandshakePump_s));
}
