#pragma once

// The hand-written JSON of the peer protocol: strict UTF-8, string escaping, a small strict
// tokenizer with parent links, the flat-object scan that every header parser runs, canonical
// decimal integers and canonical identifier text. Nothing here throws or allocates beyond
// what the caller asks for.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "native/protocol/uuid.h"

namespace velmorine::protocol {

struct Utf8Scan {
  bool valid = false;
  // At least one code point outside the Unicode White_Space set.
  bool contains_non_whitespace = false;
};

Utf8Scan scan_utf8(std::span<const uint8_t> bytes);
Utf8Scan scan_utf8(std::string_view text);

// The length of valid UTF-8 text in UTF-16 code units, or nothing when it is not valid.
std::optional<size_t> utf16_length(std::string_view text);

// The body of a JSON string (no quotes), or nothing when the text is not valid UTF-8.
std::optional<std::string> escape_json_string(std::string_view text);

// The raw body of a JSON string back to UTF-8 text, or nothing when an escape is bad or the
// result is not valid UTF-8.
std::optional<std::string> unescape_json_string(std::string_view raw);

struct JsonTokenType {
  enum : int32_t { object = 1, array = 2, string = 3, primitive = 4 };
};

struct JsonToken {
  int32_t type = 0;
  // Byte offsets into the text, end exclusive; a string's exclude its quotes. -1 while unset.
  int32_t start = -1;
  int32_t end = -1;
  // Direct children: an object counts its keys, a key its value, an array its elements.
  int32_t size = 0;
  // Index of the parent token, -1 at top level.
  int32_t parent = -1;
};

enum class JsonTokenizeError {
  out_of_tokens,  // the caller's array is too small
  invalid,        // a byte or structure the strict grammar refuses
  partial,        // the text ended inside a string, a primitive or an open object or array
};

// Fills `tokens` (sized by the caller) and returns the number of tokens used.
std::expected<int32_t, JsonTokenizeError> tokenize_json(std::string_view text,
                                                        std::span<JsonToken> tokens);

// The bytes of a token inside the text it was tokenized from.
inline std::string_view token_text(std::string_view text, const JsonToken& token) {
  return text.substr(static_cast<size_t>(token.start),
                     static_cast<size_t>(token.end - token.start));
}

std::optional<uint16_t> parse_hex4(std::string_view text);

// Canonical unsigned decimal: digits only, no sign or blank, no leading zero except "0".
std::optional<uint16_t> parse_decimal_u16(std::string_view text);
std::optional<uint64_t> parse_decimal_u64(std::string_view text);

// An identifier as the wire carries it: parseable, not nil, and exactly in lower-case form.
std::optional<core::Uuid> parse_canonical_uuid(std::string_view text);

// One top-level member of a flat object: its raw key and the index of its value token.
struct FlatMember {
  std::string_view key;
  int32_t value = -1;
};

enum class FlatScanError {
  malformed = 1,  // tokenizer failure, not one object spanning the text, bad key, key without value
  duplicate = 2,  // a top-level key occurs twice (raw bytes)
};

// A header tokenized and checked as one flat object. Members are in text order; nested
// objects and arrays inside values are skipped.
struct FlatObject {
  std::string_view text;
  std::vector<JsonToken> tokens;  // only the tokens used
  std::vector<FlatMember> members;

  const FlatMember* find(std::string_view key) const;
  const JsonToken& token(int32_t index) const { return tokens[static_cast<size_t>(index)]; }
  std::string_view raw(int32_t index) const { return token_text(text, token(index)); }
  bool is_string(int32_t index) const { return token(index).type == JsonTokenType::string; }
  bool is_primitive(int32_t index) const { return token(index).type == JsonTokenType::primitive; }
};

// Tokenizes `text` with `token_capacity` tokens (callers use text length + 1 unless their
// format fixes a smaller array) and checks the flat-object rules.
std::expected<FlatObject, FlatScanError> scan_flat_object(std::string_view text,
                                                          size_t token_capacity);

// Appends "\"<key>\":" to a header being written.
inline void append_json_key(std::string& out, std::string_view key) {
  out += '"';
  out += key;
  out += "\":";
}

}  // namespace velmorine::protocol
