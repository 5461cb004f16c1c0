#include "native/protocol/transfer_header_json.h"

#include <charconv>
#include <utility>

namespace velmorine::protocol {

std::optional<std::string_view> find_field(const HeaderFields& fields, std::string_view key,
                                           FieldKind kind) {
  const FlatMember* member = fields.find(key);
  if (member == nullptr) return std::nullopt;
  const bool matches = kind == FieldKind::string ? fields.is_string(member->value)
                                                 : fields.is_primitive(member->value);
  if (!matches) return std::nullopt;
  return fields.raw(member->value);
}

bool has_field(const HeaderFields& fields, std::string_view key) {
  return fields.find(key) != nullptr;
}

HeaderWriter::HeaderWriter() : text_("{") {}

void HeaderWriter::key(std::string_view name) {
  if (text_.size() > 1) text_ += ',';
  append_json_key(text_, name);
}

void HeaderWriter::number(std::string_view name, std::uint64_t value) {
  key(name);
  char digits[20];
  const auto result = std::to_chars(std::begin(digits), std::end(digits), value);
  text_.append(digits, result.ptr);
}

void HeaderWriter::string(std::string_view name, std::string_view body) {
  key(name);
  text_ += '"';
  text_ += body;
  text_ += '"';
}

void HeaderWriter::decimal_string(std::string_view name, std::uint64_t value) {
  char digits[20];
  const auto result = std::to_chars(std::begin(digits), std::end(digits), value);
  string(name, std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)));
}

void HeaderWriter::identifier(std::string_view name, const core::Uuid& id) {
  string(name, id.to_string());
}

std::string HeaderWriter::finish() && {
  text_ += '}';
  return std::move(text_);
}

HeaderWriter begin_transfer_header(std::uint16_t major, std::uint16_t minor,
                                   std::string_view type_name, const core::Uuid& id,
                                   const core::Uuid& sender) {
  HeaderWriter writer;
  writer.number("major", major);
  writer.number("minor", minor);
  writer.string("type", type_name);
  writer.identifier("id", id);
  writer.identifier("sender", sender);
  return writer;
}

}  // namespace velmorine::protocol
