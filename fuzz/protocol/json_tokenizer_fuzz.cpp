// Runs the strict tokenizer, the flat-object scan and unescaping over arbitrary text, and
// checks the structural promises the header parsers rely on.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "native/protocol/json_text.h"

using namespace velmorine::protocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<JsonToken> tokens(size + 1);
  const auto count = tokenize_json(text, tokens);
  if (count) {
    for (int32_t i = 0; i < *count; ++i) {
      const JsonToken& token = tokens[static_cast<size_t>(i)];
      // Offsets lie inside the text and parents precede their children.
      if (token.start < 0 || token.end < token.start || static_cast<size_t>(token.end) > size) {
        std::abort();
      }
      if (token.parent >= i || token.parent < -1) std::abort();
      if (token.type == JsonTokenType::string) unescape_json_string(token_text(text, token));
    }
  }
  if (const auto object = scan_flat_object(text, size + 1)) {
    for (const FlatMember& member : object->members) {
      if (object->find(member.key) != &member) std::abort();  // keys are unique
      const auto value = object->raw(member.value);
      parse_decimal_u64(value);
      parse_canonical_uuid(value);
    }
  }
  if (const auto unescaped = unescape_json_string(text)) {
    if (!scan_utf8(*unescaped).valid) std::abort();
    const auto escaped = escape_json_string(*unescaped);
    if (!escaped || unescape_json_string(*escaped) != unescaped) std::abort();
  }
  return 0;
}
