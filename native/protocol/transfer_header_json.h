#pragma once

// The JSON text of transfer frame headers: members written in a fixed order without
// whitespace, and members looked up by key and token kind in a received header.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "native/protocol/json_text.h"
#include "native/protocol/uuid.h"

namespace velmorine::protocol {

// The top-level members of a received transfer header.
using HeaderFields = FlatObject;

// The token kind a member's value must have. Every primitive (null and true included)
// counts as a number: its text is read as a canonical decimal afterwards.
enum class FieldKind { string, number };

// The raw text of a member whose value token is of the wanted kind (a string's body
// between its quotes, undecoded), else nothing.
std::optional<std::string_view> find_field(const HeaderFields& fields, std::string_view key,
                                           FieldKind kind);

// Whether the key occurs at all, whatever its value.
bool has_field(const HeaderFields& fields, std::string_view key);

// Appends members as "key":value inside one object, separated by commas.
class HeaderWriter {
 public:
  HeaderWriter();

  void number(std::string_view key, std::uint64_t value);
  // The body goes between the quotes as it is: callers escape it first where needed.
  void string(std::string_view key, std::string_view body);
  void decimal_string(std::string_view key, std::uint64_t value);
  void identifier(std::string_view key, const core::Uuid& id);

  std::string finish() &&;

 private:
  void key(std::string_view name);

  std::string text_;
};

// Starts a transfer header with "major", "minor", "type", "id" and "sender".
HeaderWriter begin_transfer_header(std::uint16_t major, std::uint16_t minor,
                                   std::string_view type_name, const core::Uuid& id,
                                   const core::Uuid& sender);

}  // namespace velmorine::protocol
