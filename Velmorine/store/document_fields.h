#pragma once

// Strict reading and plain writing of the value kinds of the store document: a required key must
// hold a value of its kind, an optional key may be missing or null, unknown keys are ignored.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Velmorine/store/store_date.h"
#include "native/protocol/uuid.h"

namespace velmorine::store {

// The document (or a part of it) is not valid JSON or does not have the store's form.
class StoreDecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The document cannot be written as JSON (text that is not UTF-8, a time that is not finite).
class StoreEncodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;
// Written objects keep the order in which their keys are set.
using OrderedJson = nlohmann::ordered_json;

// One object being decoded; `path` names it in error messages ("preferences.deviceNaming").
class FieldReader {
 public:
  FieldReader(const Json& value, std::string path);

  std::int64_t integer(std::string_view key) const;
  bool boolean(std::string_view key) const;
  std::string text(std::string_view key) const;
  core::Uuid identifier(std::string_view key) const;
  Bytes bytes(std::string_view key) const;
  Date date(std::string_view key) const;
  // The value of a required object, array or set key, checked for its kind.
  FieldReader object(std::string_view key) const;
  const Json& array(std::string_view key) const;
  std::set<std::string> textSet(std::string_view key) const;

  std::optional<std::uint64_t> optionalUnsigned(std::string_view key) const;
  std::optional<bool> optionalBoolean(std::string_view key) const;
  std::optional<std::string> optionalText(std::string_view key) const;
  std::optional<Bytes> optionalBytes(std::string_view key) const;
  std::optional<FieldReader> optionalObject(std::string_view key) const;
  std::optional<std::set<std::string>> optionalTextSet(std::string_view key) const;
  std::uint64_t unsignedInteger(std::string_view key) const;

  const Json& value() const { return value_; }
  const std::string& path() const { return path_; }
  std::string pathOf(std::string_view key) const;
  [[noreturn]] void fail(std::string_view key, std::string_view problem) const;

 private:
  const Json& required(std::string_view key) const;
  const Json* optional(std::string_view key) const;

  const Json& value_;
  std::string path_;
};

// Kind readers for values that are not under a key of an object (array elements, map values).
std::int64_t readInteger(const Json& value, const std::string& path);
std::uint64_t readUnsigned(const Json& value, const std::string& path);
core::Uuid readIdentifier(const Json& value, const std::string& path);
FieldReader readObject(const Json& value, const std::string& path);

// Writers of the same kinds.
std::string identifierText(const core::Uuid& id);  // upper case, the platform's canonical form
OrderedJson dateValue(const Date& date);
std::string bytesText(const Bytes& bytes);

}  // namespace velmorine::store
