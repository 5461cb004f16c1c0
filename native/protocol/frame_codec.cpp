#include "native/protocol/frame_codec.h"

#include <algorithm>
#include <utility>

#include "native/protocol/json_text.h"

namespace velmorine::protocol {
namespace {

constexpr std::array<std::string_view, 17> kTypeNames = {
    "HELLO",
    "CHAT",
    "CHAT_ACK",
    "TRANSFER_OFFER",
    "MANIFEST_ENTRY",
    "MANIFEST_END",
    "TRANSFER_RESPONSE",
    "DATA_HELLO",
    "FILE_BEGIN",
    "FILE_CHUNK",
    "FILE_END",
    "TRANSFER_PROGRESS",
    "TRANSFER_COMPLETE",
    "CANCEL",
    "ERROR",
    "PING",
    "PONG",
};

void put_u32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

uint32_t get_u32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) << 24 | static_cast<uint32_t>(in[1]) << 16 |
         static_cast<uint32_t>(in[2]) << 8 | static_cast<uint32_t>(in[3]);
}

}  // namespace

int32_t frame_type_from_name(std::string_view name) {
  for (size_t kind = 0; kind < kTypeNames.size(); ++kind) {
    if (kTypeNames[kind] == name) return static_cast<int32_t>(kind);
  }
  return FrameKind::other;
}

std::string_view frame_type_name(int32_t kind) {
  if (kind < 0 || static_cast<size_t>(kind) >= kTypeNames.size()) return {};
  return kTypeNames[static_cast<size_t>(kind)];
}

FrameHeaderCheck frame_type_of_header(std::string_view header) {
  FrameHeaderScratch scratch;
  return frame_type_of_header(header, scratch);
}

FrameHeaderCheck frame_type_of_header(std::string_view header, FrameHeaderScratch& scratch) {
  const FrameHeaderCheck not_a_frame{};
  if (header.empty() || !scan_utf8(header).valid) return not_a_frame;

  // Buffers are reused from header to header (the tokenizer sets every token it hands out);
  // a large header's are dropped at the next small one rather than held for good.
  constexpr size_t kKeptTokens = 4096;
  const size_t capacity = header.size() + 1;
  if (scratch.tokens.size() > kKeptTokens && capacity <= kKeptTokens) scratch = {};
  if (scratch.tokens.size() < capacity) {
    scratch.tokens.resize(capacity);
    scratch.depth.resize(capacity);
  }
  const auto count = tokenize_json(header, std::span(scratch.tokens).first(capacity));
  if (!count || *count < 1) return not_a_frame;
  const std::span<const JsonToken> tokens =
      std::span(scratch.tokens).first(static_cast<size_t>(*count));
  if (tokens[0].type != JsonTokenType::object || tokens[0].start != 0 ||
      static_cast<size_t>(tokens[0].end) != header.size()) {
    return not_a_frame;
  }
  if (tokens.size() == 1) return not_a_frame;  // an empty object

  // Parents always precede their children, so depths fill in one pass.
  std::vector<uint32_t>& depth = scratch.depth;
  depth[0] = 0;
  auto& keys = scratch.keys;
  keys.clear();
  for (size_t i = 1; i < tokens.size(); ++i) {
    const JsonToken& token = tokens[i];
    const auto parent = static_cast<size_t>(token.parent);
    if (token.parent < 0) return not_a_frame;  // a second top-level value
    depth[i] = depth[parent] + 1;
    if (depth[i] > kMaxHeaderDepth) return not_a_frame;
    if (tokens[parent].type == JsonTokenType::object) {
      const std::string_view key = token_text(header, token);
      if (token.type != JsonTokenType::string || key.find('\\') != std::string_view::npos) {
        return not_a_frame;
      }
      keys.emplace_back(token.parent, key);
    }
  }
  std::sort(keys.begin(), keys.end());
  if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) return not_a_frame;

  FrameHeaderCheck check;
  for (size_t k = 1; k < tokens.size(); ++k) {
    if (tokens[k].parent != 0) continue;
    if (k + 1 >= tokens.size() || tokens[k + 1].parent != static_cast<int32_t>(k)) {
      return not_a_frame;
    }
    if (token_text(header, tokens[k]) != "type") continue;
    const JsonToken& value = tokens[k + 1];
    const std::string_view name = token_text(header, value);
    if (value.type != JsonTokenType::string || name.find('\\') != std::string_view::npos) {
      return not_a_frame;
    }
    check.kind = frame_type_from_name(name);
    check.found = true;
  }
  return check;
}

std::optional<std::array<uint8_t, kFramePrefixSize>> encode_frame_prefix(const Frame& frame) {
  const size_t header_length = frame.header_utf8.size();
  const size_t payload_length = frame.payload.size();
  if (header_length == 0 || header_length > kMaxFrameHeaderLength ||
      payload_length > kMaxFramePayloadLength) {
    return std::nullopt;
  }
  if (!frame_type_of_header(frame.header_utf8).found) return std::nullopt;
  std::array<uint8_t, kFramePrefixSize> prefix{};
  put_u32(prefix.data(), static_cast<uint32_t>(header_length));
  put_u32(prefix.data() + 4, static_cast<uint32_t>(payload_length));
  return prefix;
}

std::optional<std::vector<uint8_t>> encode_frame(const Frame& frame) {
  const auto prefix = encode_frame_prefix(frame);
  if (!prefix) return std::nullopt;
  std::vector<uint8_t> out;
  out.reserve(kFramePrefixSize + frame.header_utf8.size() + frame.payload.size());
  out.insert(out.end(), prefix->begin(), prefix->end());
  out.insert(out.end(), frame.header_utf8.begin(), frame.header_utf8.end());
  out.insert(out.end(), frame.payload.begin(), frame.payload.end());
  return out;
}

DecodeResult FrameDecoder::feed(std::span<const uint8_t> bytes) {
  DecodeResult result;
  if (error_ != DecodeError::none) {
    result.error = error_;
    return result;
  }
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (prefix_size_ < kFramePrefixSize) {
      const size_t take = std::min(kFramePrefixSize - prefix_size_, bytes.size() - pos);
      std::copy_n(bytes.data() + pos, take, prefix_.data() + prefix_size_);
      prefix_size_ += take;
      pos += take;
      if (prefix_size_ < kFramePrefixSize) return result;
      header_length_ = get_u32(prefix_.data());
      payload_length_ = get_u32(prefix_.data() + 4);
      // Lengths are refused from the prefix alone, before anything is stored.
      if (header_length_ == 0) {
        result.error = fail(DecodeError::empty_header);
        return result;
      }
      if (header_length_ > kMaxFrameHeaderLength) {
        result.error = fail(DecodeError::header_too_long);
        return result;
      }
      if (payload_length_ > kMaxFramePayloadLength) {
        result.error = fail(DecodeError::payload_too_long);
        return result;
      }
      header_.clear();
      header_.reserve(header_length_);
    }

    if (header_size_ < header_length_) {
      const size_t take = std::min<size_t>(header_length_ - header_size_, bytes.size() - pos);
      header_.append(reinterpret_cast<const char*>(bytes.data() + pos), take);
      header_size_ += take;
      pos += take;
      if (header_size_ < header_length_) return result;
      const FrameHeaderCheck check = frame_type_of_header(header_, header_scratch_);
      if (!check.found) {
        result.error = fail(DecodeError::not_a_frame);
        return result;
      }
      current_type_ = check.kind;
      // Sized once from the prefix; each payload byte is then copied exactly once.
      payload_.clear();
      payload_.reserve(payload_length_);
    }

    if (payload_size_ < payload_length_) {
      const size_t take = std::min<size_t>(payload_length_ - payload_size_, bytes.size() - pos);
      payload_.insert(payload_.end(), bytes.data() + pos, bytes.data() + pos + take);
      payload_size_ += take;
      pos += take;
      if (payload_size_ < payload_length_) return result;
    }

    result.frames.push_back(Frame{current_type_, std::move(header_), std::move(payload_)});
    reset_current();
  }
  return result;
}

int32_t FrameDecoder::finish() {
  if (error_ != DecodeError::none) return error_;
  if (prefix_size_ == 0 && header_size_ == 0 && payload_size_ == 0) return DecodeError::none;
  return fail(DecodeError::truncated);
}

void FrameDecoder::reset() { *this = FrameDecoder(); }

void FrameDecoder::reset_current() {
  prefix_size_ = 0;
  header_length_ = 0;
  payload_length_ = 0;
  header_ = std::string();
  header_size_ = 0;
  payload_ = std::vector<uint8_t>();
  payload_size_ = 0;
  current_type_ = FrameKind::other;
}

int32_t FrameDecoder::fail(int32_t error) {
  error_ = error;
  return error;
}

}  // namespace velmorine::protocol
