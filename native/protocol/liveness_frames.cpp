#include "native/protocol/liveness_frames.h"

#include <array>
#include <string>

#include "native/protocol/json_text.h"

namespace velmorine::protocol {

std::optional<Frame> build_liveness_frame(int32_t kind, uint64_t ping_id) {
  if (kind != FrameKind::ping && kind != FrameKind::pong) return std::nullopt;
  std::string header = R"({"major":2,"type":")";
  header += frame_type_name(kind);
  header += R"(","ping_id":)";
  header += std::to_string(ping_id);
  header += '}';
  return Frame{kind, std::move(header), {}};
}

std::optional<uint64_t> read_liveness_id(const Frame& frame) {
  const std::string_view header = frame.header_utf8;
  if ((frame.type != FrameKind::ping && frame.type != FrameKind::pong) || !frame.payload.empty() ||
      header.size() > kMaxLivenessHeaderLength) {
    return std::nullopt;
  }
  std::array<JsonToken, kLivenessTokenCapacity> tokens;
  const auto count = tokenize_json(header, tokens);
  if (!count || *count < 3) return std::nullopt;
  if (tokens[0].type != JsonTokenType::object || tokens[0].start != 0 ||
      static_cast<size_t>(tokens[0].end) != header.size()) {
    return std::nullopt;
  }

  bool has_major = false;
  std::optional<uint64_t> ping_id;
  for (int32_t k = 1; k < *count; ++k) {
    const JsonToken& key = tokens[static_cast<size_t>(k)];
    if (key.parent != 0 || key.type != JsonTokenType::string) continue;
    const std::string_view name = token_text(header, key);
    if (name != "major" && name != "ping_id") continue;
    if (k + 1 >= *count) return std::nullopt;
    const JsonToken& value = tokens[static_cast<size_t>(k + 1)];
    if (value.parent != k || value.type != JsonTokenType::primitive) return std::nullopt;
    const std::string_view raw = token_text(header, value);
    if (name == "major") {
      if (has_major || raw != "2") return std::nullopt;
      has_major = true;
    } else {
      if (ping_id) return std::nullopt;
      ping_id = parse_decimal_u64(raw);
      if (!ping_id) return std::nullopt;
    }
  }
  if (!has_major) return std::nullopt;
  return ping_id;
}

}  // namespace velmorine::protocol
