#include "Velmorine/store/document_fields.h"

#include <cmath>
#include <limits>

#include "Velmorine/store/base64.h"

namespace velmorine::store {

namespace {

[[noreturn]] void fail_at(const std::string& path, std::string_view problem) {
  throw StoreDecodingError(path + ": " + std::string(problem));
}

// Integers may be written with a fraction of zero ("1.0"), as other encoders do; any other
// fraction, and a value outside signed 64 bits, is refused.
std::int64_t integer_value(const Json& value, const std::string& path) {
  if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      fail_at(path, "integer out of range");
    }
    return static_cast<std::int64_t>(number);
  }
  if (value.is_number_float()) {
    const double number = value.get<double>();
    // -2^63 is exact as a double; 2^63 is the first value out of range.
    if (std::isfinite(number) && std::trunc(number) == number && number >= -0x1p63 &&
        number < 0x1p63) {
      return static_cast<std::int64_t>(number);
    }
    fail_at(path, "number is not a whole signed 64-bit integer");
  }
  fail_at(path, "expected an integer");
}

}  // namespace

FieldReader::FieldReader(const Json& value, std::string path)
    : value_(value), path_(std::move(path)) {
  if (!value_.is_object()) fail_at(path_.empty() ? "document" : path_, "expected an object");
}

std::string FieldReader::pathOf(std::string_view key) const {
  return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
}

void FieldReader::fail(std::string_view key, std::string_view problem) const {
  fail_at(pathOf(key), problem);
}

const Json& FieldReader::required(std::string_view key) const {
  const auto found = value_.find(key);
  if (found == value_.end()) fail(key, "missing");
  if (found->is_null()) fail(key, "null");
  return *found;
}

const Json* FieldReader::optional(std::string_view key) const {
  const auto found = value_.find(key);
  if (found == value_.end() || found->is_null()) return nullptr;
  return &*found;
}

std::int64_t FieldReader::integer(std::string_view key) const {
  return integer_value(required(key), pathOf(key));
}

std::uint64_t FieldReader::unsignedInteger(std::string_view key) const {
  return readUnsigned(required(key), pathOf(key));
}

bool FieldReader::boolean(std::string_view key) const {
  const auto& value = required(key);
  if (!value.is_boolean()) fail(key, "expected a boolean");
  return value.get<bool>();
}

std::string FieldReader::text(std::string_view key) const {
  const auto& value = required(key);
  if (!value.is_string()) fail(key, "expected a string");
  return value.get<std::string>();
}

core::Uuid FieldReader::identifier(std::string_view key) const {
  return readIdentifier(required(key), pathOf(key));
}

Bytes FieldReader::bytes(std::string_view key) const {
  const auto& value = required(key);
  if (!value.is_string()) fail(key, "expected Base64 text");
  auto bytes = decodeBase64(value.get_ref<const std::string&>());
  if (!bytes) fail(key, "invalid Base64 text");
  return std::move(*bytes);
}

Date FieldReader::date(std::string_view key) const {
  const auto& value = required(key);
  if (!value.is_number()) fail(key, "expected a number of seconds");
  return Date{value.get<double>()};
}

FieldReader FieldReader::object(std::string_view key) const {
  return FieldReader(required(key), pathOf(key));
}

const Json& FieldReader::array(std::string_view key) const {
  const auto& value = required(key);
  if (!value.is_array()) fail(key, "expected an array");
  return value;
}

std::set<std::string> FieldReader::textSet(std::string_view key) const {
  std::set<std::string> texts;
  for (const auto& member : array(key)) {
    if (!member.is_string()) fail(key, "expected an array of strings");
    texts.insert(member.get<std::string>());
  }
  return texts;
}

std::optional<std::uint64_t> FieldReader::optionalUnsigned(std::string_view key) const {
  if (optional(key) == nullptr) return std::nullopt;
  return unsignedInteger(key);
}

std::optional<bool> FieldReader::optionalBoolean(std::string_view key) const {
  if (optional(key) == nullptr) return std::nullopt;
  return boolean(key);
}

std::optional<std::string> FieldReader::optionalText(std::string_view key) const {
  if (optional(key) == nullptr) return std::nullopt;
  return text(key);
}

std::optional<Bytes> FieldReader::optionalBytes(std::string_view key) const {
  if (optional(key) == nullptr) return std::nullopt;
  return bytes(key);
}

std::optional<FieldReader> FieldReader::optionalObject(std::string_view key) const {
  if (optional(key) == nullptr) return std::nullopt;
  return object(key);
}

std::optional<std::set<std::string>> FieldReader::optionalTextSet(std::string_view key) const {
  if (optional(key) == nullptr) return std::nullopt;
  return textSet(key);
}

std::int64_t readInteger(const Json& value, const std::string& path) {
  return integer_value(value, path);
}

std::uint64_t readUnsigned(const Json& value, const std::string& path) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer() && value.get<std::int64_t>() >= 0) {
    return static_cast<std::uint64_t>(value.get<std::int64_t>());
  }
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (std::isfinite(number) && std::trunc(number) == number && number >= 0 && number < 0x1p64) {
      return static_cast<std::uint64_t>(number);
    }
  }
  fail_at(path, "expected an unsigned integer");
}

core::Uuid readIdentifier(const Json& value, const std::string& path) {
  if (!value.is_string()) fail_at(path, "expected identifier text");
  auto id = core::Uuid::parse(value.get_ref<const std::string&>());
  if (!id) fail_at(path, "invalid identifier text");
  return *id;
}

FieldReader readObject(const Json& value, const std::string& path) {
  return FieldReader(value, path);
}

std::string identifierText(const core::Uuid& id) {
  std::string text = id.to_string();
  for (char& c : text) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

OrderedJson dateValue(const Date& date) {
  if (!std::isfinite(date.timeIntervalSinceReferenceDate)) {
    throw StoreEncodingError("a time that is not a finite number cannot be written");
  }
  return date.timeIntervalSinceReferenceDate;
}

std::string bytesText(const Bytes& bytes) { return encodeBase64(bytes); }

}  // namespace velmorine::store
