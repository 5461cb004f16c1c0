#include "native/protocol/json_text.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace velmorine::protocol {
namespace {

constexpr char kLowerHex[] = "0123456789abcdef";

bool is_white_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// Decodes one code point at `pos`; returns its length, or 0 when the sequence is invalid.
size_t decode_utf8(std::span<const uint8_t> bytes, size_t pos, uint32_t& cp) {
  const uint8_t lead = bytes[pos];
  if (lead < 0x80) {
    cp = lead;
    return 1;
  }
  size_t length = 0;
  uint32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    minimum = 0x80;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    minimum = 0x800;
    cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    minimum = 0x10000;
    cp = lead & 0x07;
  } else {
    return 0;
  }
  if (bytes.size() - pos < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const uint8_t next = bytes[pos + i];
    if ((next & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (next & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

std::span<const uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool is_primitive_end(char c) {
  return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == ',' || c == ']' || c == '}';
}

// The token state of one tokenizer run.
class Tokenizer {
 public:
  Tokenizer(std::string_view text, std::span<JsonToken> tokens) : text_(text), tokens_(tokens) {}

  std::expected<int32_t, JsonTokenizeError> run() {
    // Offsets are 32-bit; a longer text cannot be described by its tokens.
    if (text_.size() > static_cast<size_t>(INT32_MAX - 1)) {
      return std::unexpected(JsonTokenizeError::invalid);
    }
    for (; pos_ < text_.size() && text_[pos_] != '\0'; ++pos_) {
      const char c = text_[pos_];
      switch (c) {
        case '{':
        case '[': {
          if (parent_ != -1 && at(parent_).type == JsonTokenType::object) {
            return std::unexpected(JsonTokenizeError::invalid);  // an object or array as key
          }
          const int32_t index = allocate();
          if (index < 0) return std::unexpected(JsonTokenizeError::out_of_tokens);
          JsonToken& token = at(index);
          token.type = c == '{' ? JsonTokenType::object : JsonTokenType::array;
          token.start = static_cast<int32_t>(pos_);
          attach(index);
          parent_ = index;
          break;
        }
        case '}':
        case ']':
          if (!close(c == '}' ? JsonTokenType::object : JsonTokenType::array)) {
            return std::unexpected(JsonTokenizeError::invalid);
          }
          break;
        case ':':
          parent_ = next_ - 1;
          break;
        case ',':
          if (parent_ != -1 && at(parent_).type != JsonTokenType::object &&
              at(parent_).type != JsonTokenType::array) {
            parent_ = at(parent_).parent;
          }
          break;
        case '"': {
          auto result = string();
          if (!result) return std::unexpected(result.error());
          break;
        }
        case '\t':
        case '\n':
        case '\r':
        case ' ':
          break;
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9':
        case 't':
        case 'f':
        case 'n': {
          auto result = primitive();
          if (!result) return std::unexpected(result.error());
          break;
        }
        default:
          return std::unexpected(JsonTokenizeError::invalid);
      }
    }
    for (int32_t i = 0; i < next_; ++i) {
      if (at(i).start != -1 && at(i).end == -1) {
        return std::unexpected(JsonTokenizeError::partial);
      }
    }
    return next_;
  }

 private:
  JsonToken& at(int32_t index) { return tokens_[static_cast<size_t>(index)]; }

  int32_t allocate() {
    if (static_cast<size_t>(next_) >= tokens_.size()) return -1;
    const int32_t index = next_++;
    at(index) = JsonToken{};
    return index;
  }

  void attach(int32_t index) {
    at(index).parent = parent_;
    if (parent_ != -1) ++at(parent_).size;
  }

  // Ends the innermost open object or array, which must be of `type`.
  bool close(int32_t type) {
    if (next_ < 1) return false;
    int32_t index = next_ - 1;
    for (;;) {
      JsonToken& token = at(index);
      if (token.start != -1 && token.end == -1) {
        if (token.type != type) return false;
        token.end = static_cast<int32_t>(pos_ + 1);
        parent_ = token.parent;
        return true;
      }
      if (token.parent == -1) return token.type == type && parent_ != -1;
      index = token.parent;
    }
  }

  // True when none of the eight bytes at `at` is a quote, a backslash or a NUL.
  static bool plain_string_word(const char* at) {
    constexpr uint64_t kOnes = 0x0101010101010101u;
    constexpr uint64_t kHighs = 0x8080808080808080u;
    const auto has_zero_byte = [](uint64_t word) { return ((word - kOnes) & ~word & kHighs) != 0; };
    uint64_t word = 0;
    std::memcpy(&word, at, 8);
    return !has_zero_byte(word) && !has_zero_byte(word ^ (kOnes * '"')) &&
           !has_zero_byte(word ^ (kOnes * '\\'));
  }

  std::expected<void, JsonTokenizeError> string() {
    const size_t start = pos_ + 1;
    for (size_t p = start; p < text_.size(); ++p) {
      // Header strings are mostly plain bytes: step over them eight at a time.
      while (text_.size() - p >= 8 && plain_string_word(text_.data() + p)) p += 8;
      if (p >= text_.size()) break;
      const char c = text_[p];
      if (c == '\0') return std::unexpected(JsonTokenizeError::invalid);
      if (c == '"') {
        const int32_t index = allocate();
        if (index < 0) return std::unexpected(JsonTokenizeError::out_of_tokens);
        JsonToken& token = at(index);
        token.type = JsonTokenType::string;
        token.start = static_cast<int32_t>(start);
        token.end = static_cast<int32_t>(p);
        attach(index);
        pos_ = p;
        return {};
      }
      if (c != '\\') continue;
      if (++p >= text_.size()) break;
      switch (text_[p]) {
        case '"':
        case '/':
        case '\\':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
          break;
        case 'u':
          // Up to four digits are examined; a short run ends at the text's end or a NUL and
          // is then caught as an unterminated string.
          for (int i = 0; i < 4 && p + 1 < text_.size() && text_[p + 1] != '\0'; ++i) {
            if (hex_digit(text_[p + 1]) < 0) return std::unexpected(JsonTokenizeError::invalid);
            ++p;
          }
          break;
        default:
          return std::unexpected(JsonTokenizeError::invalid);
      }
    }
    return std::unexpected(JsonTokenizeError::partial);
  }

  std::expected<void, JsonTokenizeError> primitive() {
    if (parent_ != -1) {
      const JsonToken& parent = at(parent_);
      if (parent.type == JsonTokenType::object ||
          (parent.type == JsonTokenType::string && parent.size != 0)) {
        return std::unexpected(JsonTokenizeError::invalid);
      }
    }
    const size_t start = pos_;
    size_t p = start;
    for (; p < text_.size() && text_[p] != '\0'; ++p) {
      const char c = text_[p];
      if (is_primitive_end(c)) break;
      const auto byte = static_cast<uint8_t>(c);
      if (byte < 0x20 || byte > 0x7E) return std::unexpected(JsonTokenizeError::invalid);
    }
    // A primitive must be followed by a delimiter.
    if (p >= text_.size() || text_[p] == '\0') return std::unexpected(JsonTokenizeError::partial);
    const int32_t index = allocate();
    if (index < 0) return std::unexpected(JsonTokenizeError::out_of_tokens);
    JsonToken& token = at(index);
    token.type = JsonTokenType::primitive;
    token.start = static_cast<int32_t>(start);
    token.end = static_cast<int32_t>(p);
    attach(index);
    pos_ = p - 1;  // the delimiter is handled by the main loop
    return {};
  }

  std::string_view text_;
  std::span<JsonToken> tokens_;
  size_t pos_ = 0;
  int32_t next_ = 0;
  int32_t parent_ = -1;
};

template <typename T>
std::optional<T> parse_decimal(std::string_view text) {
  if (text.empty() || (text[0] == '0' && text.size() != 1)) return std::nullopt;
  constexpr T kMax = static_cast<T>(~T{0});
  T value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const T digit = static_cast<T>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = static_cast<T>(value * 10 + digit);
  }
  return value;
}

}  // namespace

Utf8Scan scan_utf8(std::span<const uint8_t> bytes) {
  Utf8Scan scan{true, false};
  for (size_t pos = 0; pos < bytes.size();) {
    // Headers are mostly ASCII: once a non-blank is seen, skip plain ASCII eight at a time.
    if (scan.contains_non_whitespace) {
      uint64_t word = 0;
      while (bytes.size() - pos >= 8 &&
             (std::memcpy(&word, bytes.data() + pos, 8), (word & 0x8080808080808080u) == 0)) {
        pos += 8;
      }
      if (pos >= bytes.size()) break;
    }
    if (bytes[pos] < 0x80) {
      const uint8_t byte = bytes[pos++];
      if (!(byte == 0x20 || (byte >= 0x09 && byte <= 0x0D))) scan.contains_non_whitespace = true;
      continue;
    }
    uint32_t cp = 0;
    const size_t length = decode_utf8(bytes, pos, cp);
    if (length == 0) return {false, false};
    if (!scan.contains_non_whitespace && !is_white_space(cp)) scan.contains_non_whitespace = true;
    pos += length;
  }
  return scan;
}

Utf8Scan scan_utf8(std::string_view text) { return scan_utf8(as_bytes(text)); }

std::optional<size_t> utf16_length(std::string_view text) {
  const auto bytes = as_bytes(text);
  size_t units = 0;
  for (size_t pos = 0; pos < bytes.size();) {
    uint32_t cp = 0;
    const size_t length = decode_utf8(bytes, pos, cp);
    if (length == 0) return std::nullopt;
    units += cp >= 0x10000 ? 2 : 1;
    pos += length;
  }
  return units;
}

std::optional<std::string> escape_json_string(std::string_view text) {
  if (!scan_utf8(text).valid) return std::nullopt;
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default: {
        const auto byte = static_cast<uint8_t>(c);
        if (byte < 0x20) {
          out += "\\u00";
          out += kLowerHex[byte >> 4];
          out += kLowerHex[byte & 0x0F];
        } else {
          out += c;
        }
      }
    }
  }
  return out;
}

std::optional<std::string> unescape_json_string(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i >= raw.size()) return std::nullopt;
    switch (raw[i]) {
      case '"':
      case '\\':
      case '/':
        out += raw[i];
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        const auto high = parse_hex4(raw.substr(i + 1, 4));
        if (!high) return std::nullopt;
        i += 4;
        uint32_t cp = *high;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return std::nullopt;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          if (i + 6 >= raw.size() || raw[i + 1] != '\\' || raw[i + 2] != 'u') {
            return std::nullopt;
          }
          const auto low = parse_hex4(raw.substr(i + 3, 4));
          if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
          i += 6;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
        }
        append_utf8(out, cp);
        break;
      }
      default:
        return std::nullopt;
    }
  }
  if (!scan_utf8(out).valid) return std::nullopt;
  return out;
}

std::expected<int32_t, JsonTokenizeError> tokenize_json(std::string_view text,
                                                        std::span<JsonToken> tokens) {
  return Tokenizer(text, tokens).run();
}

std::optional<uint16_t> parse_hex4(std::string_view text) {
  if (text.size() != 4) return std::nullopt;
  uint16_t value = 0;
  for (char c : text) {
    const int digit = hex_digit(c);
    if (digit < 0) return std::nullopt;
    value = static_cast<uint16_t>(value << 4 | digit);
  }
  return value;
}

std::optional<uint16_t> parse_decimal_u16(std::string_view text) {
  return parse_decimal<uint16_t>(text);
}

std::optional<uint64_t> parse_decimal_u64(std::string_view text) {
  return parse_decimal<uint64_t>(text);
}

std::optional<core::Uuid> parse_canonical_uuid(std::string_view text) {
  auto uuid = core::Uuid::parse(text);
  if (!uuid || uuid->is_nil() || uuid->to_string() != text) return std::nullopt;
  return uuid;
}

const FlatMember* FlatObject::find(std::string_view key) const {
  for (const FlatMember& member : members) {
    if (member.key.size() == key.size() && member.key == key) return &member;
  }
  return nullptr;
}

std::expected<FlatObject, FlatScanError> scan_flat_object(std::string_view text,
                                                          size_t token_capacity) {
  FlatObject object;
  object.text = text;
  object.tokens.resize(token_capacity);
  const auto count = tokenize_json(text, object.tokens);
  if (!count) return std::unexpected(FlatScanError::malformed);
  object.tokens.resize(static_cast<size_t>(*count));
  const auto& tokens = object.tokens;
  if (tokens.empty() || tokens[0].type != JsonTokenType::object || tokens[0].start != 0 ||
      static_cast<size_t>(tokens[0].end) != text.size()) {
    return std::unexpected(FlatScanError::malformed);
  }

  // Keys first, so that a repeated key is reported whatever the members around it hold.
  std::unordered_set<std::string_view> keys;
  for (size_t i = 1; i < tokens.size(); ++i) {
    if (tokens[i].parent != 0) continue;
    if (tokens[i].type != JsonTokenType::string) return std::unexpected(FlatScanError::malformed);
    const std::string_view key = token_text(text, tokens[i]);
    if (key.find('\\') != std::string_view::npos) {
      return std::unexpected(FlatScanError::malformed);
    }
    if (!keys.insert(key).second) return std::unexpected(FlatScanError::duplicate);
  }

  // Members in text order; whatever nests inside a value is stepped over.
  size_t k = 1;
  while (k < tokens.size()) {
    const JsonToken& key = tokens[k];
    if (key.parent != 0 || key.type != JsonTokenType::string || k + 1 >= tokens.size() ||
        tokens[k + 1].parent != static_cast<int32_t>(k)) {
      return std::unexpected(FlatScanError::malformed);
    }
    const int32_t value_end = tokens[k + 1].end;
    object.members.push_back({token_text(text, key), static_cast<int32_t>(k + 1)});
    k += 2;
    while (k < tokens.size() && tokens[k].start < value_end) ++k;
  }
  return object;
}

}  // namespace velmorine::protocol
