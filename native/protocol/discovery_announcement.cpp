#include "native/protocol/discovery_announcement.h"

#include <algorithm>
#include <array>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "native/protocol/json_text.h"

namespace velmorine::protocol {

namespace {

constexpr size_t kTokenCapacity = 256;
constexpr int kMaxAncestors = 16;
constexpr uint64_t kMaxWireInteger = (uint64_t{1} << 53) - 1;
constexpr size_t kMaxDisplayNameBytes = 512;
constexpr size_t kMaxDisplayNameCodePoints = 128;
constexpr size_t kMaxChannelBytes = 32;
constexpr size_t kMaxPlatformNameBytes = 32;

constexpr std::array<std::string_view, 6> kPlatformNames = {"unknown", "windows", "linux",
                                                            "ios",     "android", "macos"};

bool is_lower_hex_64(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Valid UTF-8, 1 to 512 bytes, at most 128 code points, none of them a control character
// (U+0000 to U+001F, U+007F to U+009F).
bool is_valid_display_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxDisplayNameBytes) return false;
  if (!scan_utf8(name).valid) return false;
  size_t code_points = 0;
  for (size_t i = 0; i < name.size();) {
    const auto lead = static_cast<uint8_t>(name[i]);
    if (lead < 0x20 || lead == 0x7F) return false;
    // U+0080 to U+009F are the two-byte sequences C2 80 to C2 9F.
    if (lead == 0xC2 && static_cast<uint8_t>(name[i + 1]) <= 0x9F) return false;
    i += lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    ++code_points;
  }
  return code_points <= kMaxDisplayNameCodePoints;
}

// Canonical decimal digits of at most 2^53 - 1.
std::optional<uint64_t> read_wire_integer(std::string_view text) {
  const auto value = parse_decimal_u64(text);
  if (!value || *value > kMaxWireInteger) return std::nullopt;
  return value;
}

// A string body's text. Inside a datagram already checked as UTF-8 a body without escapes is
// its own text; only escaped bodies go through the unescaper.
std::optional<std::string> string_text(std::string_view raw) {
  if (raw.find('\\') == std::string_view::npos) return std::string(raw);
  return unescape_json_string(raw);
}

void append_number(std::string& out, uint64_t value) { out += std::to_string(value); }

// Ancestors of a token, counting a key as the parent of its value; stops counting past the limit.
int ancestors(std::span<const JsonToken> tokens, int32_t index) {
  int count = 0;
  for (int32_t parent = tokens[static_cast<size_t>(index)].parent; parent >= 0;
       parent = tokens[static_cast<size_t>(parent)].parent) {
    if (++count > kMaxAncestors) break;
  }
  return count;
}

// What a known key's value became; which fields were seen.
struct Fields {
  DiscoveryAnnouncement announcement;
  unsigned seen = 0;
};

enum Field : unsigned {
  kMagic = 1u << 0,
  kWireMajor = 1u << 1,
  kWireMinor = 1u << 2,
  kDeviceId = 1u << 3,
  kDisplayName = 1u << 4,
  kTcpPort = 1u << 5,
  kSecureChannel = 1u << 6,
  kFingerprint = 1u << 7,
  kNonce = 1u << 8,
  kCapabilities = 1u << 9,
  kSequence = 1u << 10,
  kPlatform = 1u << 11,
};
constexpr unsigned kRequiredFields = kMagic | kWireMajor | kWireMinor | kDeviceId | kDisplayName |
                                     kTcpPort | kSecureChannel | kFingerprint | kNonce |
                                     kCapabilities | kSequence;

// Reads one known member; false when its value has the wrong kind or is out of range.
// Unknown keys are accepted and ignored.
bool read_member(std::string_view key, const JsonToken& value, std::string_view raw,
                 Fields& fields) {
  auto& out = fields.announcement;
  const bool is_string = value.type == JsonTokenType::string;
  const bool is_primitive = value.type == JsonTokenType::primitive;

  auto integer = [&](uint64_t maximum) -> std::optional<uint64_t> {
    if (!is_primitive) return std::nullopt;
    const auto number = read_wire_integer(raw);
    if (!number || *number > maximum) return std::nullopt;
    return number;
  };
  auto text = [&]() -> std::optional<std::string> {
    if (!is_string) return std::nullopt;
    return string_text(raw);
  };

  if (key == "magic") {
    const auto magic = text();
    if (!magic || *magic != kDiscoveryMagic) return false;
    fields.seen |= kMagic;
  } else if (key == "wire_major" || key == "wire_minor") {
    const auto number = integer(65535);
    if (!number) return false;
    if (key == "wire_major") {
      out.wire_major = static_cast<uint16_t>(*number);
      fields.seen |= kWireMajor;
    } else {
      out.wire_minor = static_cast<uint16_t>(*number);
      fields.seen |= kWireMinor;
    }
  } else if (key == "tcp_port") {
    const auto number = integer(65535);
    if (!number || *number == 0) return false;
    out.tcp_port = static_cast<uint16_t>(*number);
    fields.seen |= kTcpPort;
  } else if (key == "capabilities") {
    const auto number = integer(4294967295u);
    if (!number) return false;
    out.capabilities = static_cast<uint32_t>(*number);
    fields.seen |= kCapabilities;
  } else if (key == "sequence") {
    const auto number = integer(kMaxWireInteger);
    if (!number) return false;
    out.sequence = *number;
    fields.seen |= kSequence;
  } else if (key == "device_id") {
    // Read raw: an identifier is never escaped, and only its lower-case form is accepted.
    if (!is_string) return false;
    const auto id = parse_canonical_uuid(raw);
    if (!id) return false;
    out.device_id = *id;
    fields.seen |= kDeviceId;
  } else if (key == "display_name") {
    auto name = text();
    if (!name || !is_valid_display_name(*name)) return false;
    out.display_name_utf8 = std::move(*name);
    fields.seen |= kDisplayName;
  } else if (key == "secure_channel") {
    auto channel = text();
    if (!channel || channel->empty() || channel->size() > kMaxChannelBytes) return false;
    out.secure_channel = std::move(*channel);
    fields.seen |= kSecureChannel;
  } else if (key == "public_key_fingerprint" || key == "process_nonce") {
    auto hex = text();
    if (!hex || !is_lower_hex_64(*hex)) return false;
    if (key == "public_key_fingerprint") {
      out.public_key_fingerprint = std::move(*hex);
      fields.seen |= kFingerprint;
    } else {
      out.process_nonce = std::move(*hex);
      fields.seen |= kNonce;
    }
  } else if (key == "platform") {
    const auto name = text();
    if (!name || name->empty() || name->size() > kMaxPlatformNameBytes) return false;
    for (char c : *name) {
      if (c < 'a' || c > 'z') return false;
    }
    out.platform = kPlatformUnknown;
    for (int32_t number = 1; number < static_cast<int32_t>(kPlatformNames.size()); ++number) {
      if (*name == kPlatformNames[static_cast<size_t>(number)]) out.platform = number;
    }
    fields.seen |= kPlatform;
  }
  return true;
}

DiscoveryParseResult refuse(DiscoveryStatus status) { return {status, std::nullopt, std::nullopt}; }

}  // namespace

bool is_discovery_compatible(uint16_t wire_major, std::string_view secure_channel) {
  return wire_major == kDiscoveryWireMajor && secure_channel == kDiscoverySecureChannel;
}

std::optional<std::string_view> discovery_platform_name(int32_t platform) {
  if (platform < 0 || platform >= static_cast<int32_t>(kPlatformNames.size())) return std::nullopt;
  return kPlatformNames[static_cast<size_t>(platform)];
}

std::optional<std::string> serialize_discovery(const DiscoveryAnnouncement& a) {
  if (!is_discovery_compatible(a.wire_major, a.secure_channel) ||
      a.wire_minor != kDiscoveryWireMinor) {
    return std::nullopt;
  }
  if (a.device_id.is_nil()) return std::nullopt;
  if (!is_valid_display_name(a.display_name_utf8)) return std::nullopt;
  if (a.tcp_port == 0) return std::nullopt;
  if (a.secure_channel.size() > kMaxChannelBytes) return std::nullopt;
  if (!is_lower_hex_64(a.public_key_fingerprint) || !is_lower_hex_64(a.process_nonce)) {
    return std::nullopt;
  }
  if (a.sequence > kMaxWireInteger) return std::nullopt;
  const auto name = escape_json_string(a.display_name_utf8);
  if (!name) return std::nullopt;
  const auto platform = discovery_platform_name(a.platform);
  if (!platform) return std::nullopt;

  std::string out;
  out.reserve(name->size() + 512);
  out += '{';
  append_json_key(out, "magic");
  out += '"';
  out += kDiscoveryMagic;
  out += "\",";
  append_json_key(out, "wire_major");
  append_number(out, a.wire_major);
  out += ',';
  append_json_key(out, "wire_minor");
  append_number(out, a.wire_minor);
  out += ',';
  append_json_key(out, "device_id");
  out += '"';
  out += a.device_id.to_string();
  out += "\",";
  append_json_key(out, "display_name");
  out += '"';
  out += *name;
  out += "\",";
  append_json_key(out, "tcp_port");
  append_number(out, a.tcp_port);
  out += ',';
  append_json_key(out, "secure_channel");
  out += '"';
  out += a.secure_channel;
  out += "\",";
  append_json_key(out, "public_key_fingerprint");
  out += '"';
  out += a.public_key_fingerprint;
  out += "\",";
  append_json_key(out, "process_nonce");
  out += '"';
  out += a.process_nonce;
  out += "\",";
  append_json_key(out, "capabilities");
  append_number(out, a.capabilities);
  out += ',';
  append_json_key(out, "sequence");
  append_number(out, a.sequence);
  out += ',';
  append_json_key(out, "platform");
  out += '"';
  out += *platform;
  out += "\"}";
  if (out.size() > kDiscoveryMaxDatagram) return std::nullopt;
  return out;
}

DiscoveryParseResult parse_discovery(std::span<const uint8_t> datagram,
                                     const core::Uuid& local_device_id) {
  if (datagram.empty()) return refuse(DiscoveryStatus::empty);
  if (datagram.size() > kDiscoveryMaxDatagram) return refuse(DiscoveryStatus::too_long);
  if (!scan_utf8(datagram).valid) return refuse(DiscoveryStatus::not_utf8);

  const std::string_view text(reinterpret_cast<const char*>(datagram.data()), datagram.size());
  std::array<JsonToken, kTokenCapacity> token_array;
  const auto tokenized = tokenize_json(text, token_array);
  if (!tokenized) {
    return refuse(tokenized.error() == JsonTokenizeError::out_of_tokens
                      ? DiscoveryStatus::too_complex
                      : DiscoveryStatus::malformed);
  }
  const auto count = *tokenized;
  const std::span<const JsonToken> tokens(token_array.data(), static_cast<size_t>(count));
  if (count < 1 || tokens[0].type != JsonTokenType::object || tokens[0].start != 0 ||
      tokens[0].end != static_cast<int32_t>(text.size())) {
    return refuse(DiscoveryStatus::malformed);
  }
  for (int32_t i = 0; i < count; ++i) {
    if (tokens[static_cast<size_t>(i)].start < 0 || tokens[static_cast<size_t>(i)].end < 0) {
      return refuse(DiscoveryStatus::malformed);
    }
  }

  // Structure: depth first, then the keys of every object at any depth.
  for (int32_t i = 0; i < count; ++i) {
    if (ancestors(tokens, i) > kMaxAncestors) return refuse(DiscoveryStatus::too_complex);
  }
  // Keys compare by their unescaped text; most carry no escape and are compared in place.
  std::deque<std::string> unescaped_keys;
  std::vector<std::pair<int32_t, std::string_view>> keys;
  keys.reserve(static_cast<size_t>(count));
  for (int32_t i = 1; i < count; ++i) {
    const auto& token = tokens[static_cast<size_t>(i)];
    if (token.parent < 0 ||
        tokens[static_cast<size_t>(token.parent)].type != JsonTokenType::object) {
      continue;
    }
    if (token.type != JsonTokenType::string) return refuse(DiscoveryStatus::malformed);
    const auto raw = token_text(text, token);
    if (raw.find('\\') == std::string_view::npos) {
      if (!scan_utf8(raw).valid) return refuse(DiscoveryStatus::malformed);
      keys.emplace_back(token.parent, raw);
      continue;
    }
    auto key = unescape_json_string(raw);
    if (!key) return refuse(DiscoveryStatus::malformed);
    keys.emplace_back(token.parent, unescaped_keys.emplace_back(std::move(*key)));
  }
  std::sort(keys.begin(), keys.end());
  if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) {
    return refuse(DiscoveryStatus::duplicate_key);
  }

  // The top-level members in text order; nested values are skipped whole.
  Fields fields;
  for (int32_t k = 1; k < count;) {
    const auto& key_token = tokens[static_cast<size_t>(k)];
    if (key_token.type != JsonTokenType::string || key_token.parent != 0 || k + 1 >= count ||
        tokens[static_cast<size_t>(k + 1)].parent != k) {
      return refuse(DiscoveryStatus::malformed);
    }
    const auto key = string_text(token_text(text, key_token));
    if (!key) return refuse(DiscoveryStatus::malformed);
    const auto& value = tokens[static_cast<size_t>(k + 1)];
    if (!read_member(*key, value, token_text(text, value), fields)) {
      return refuse(DiscoveryStatus::invalid_value);
    }
    int32_t next = k + 2;
    while (next < count && tokens[static_cast<size_t>(next)].start < value.end) ++next;
    k = next;
  }

  if ((fields.seen & kRequiredFields) != kRequiredFields) {
    return refuse(DiscoveryStatus::missing_key);
  }
  auto& announcement = fields.announcement;
  if (announcement.wire_major != kDiscoveryWireMajor ||
      announcement.wire_minor != kDiscoveryWireMinor) {
    return {DiscoveryStatus::incompatible_version, std::nullopt, announcement.wire_major};
  }
  if (announcement.secure_channel != kDiscoverySecureChannel) {
    return refuse(DiscoveryStatus::incompatible_channel);
  }
  if (announcement.device_id == local_device_id) return refuse(DiscoveryStatus::own_device);
  const uint16_t major = announcement.wire_major;
  return {DiscoveryStatus::accepted, std::move(announcement), major};
}

}  // namespace velmorine::protocol
