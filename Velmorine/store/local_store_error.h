#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace velmorine::store {

// The failures that the store names itself. Failures of the file system reach the caller as
// std::system_error (errno in generic_category, EIO when there is none), those of the JSON text
// as StoreDecodingError or StoreEncodingError.
class LocalStoreError : public std::exception {
 public:
  enum class Case {
    newerSchema,  // payload: the file's schema number
    keychain,     // payload: the keychain status
    corrupt,
    identityMissing,
    identityMismatch,
    alreadyRunning,
    capacity,
  };

  static LocalStoreError newerSchema(std::int64_t schema) { return {Case::newerSchema, schema}; }
  static LocalStoreError keychain(std::int32_t status) { return {Case::keychain, status}; }
  static LocalStoreError corrupt() { return {Case::corrupt, 0}; }
  static LocalStoreError identityMissing() { return {Case::identityMissing, 0}; }
  static LocalStoreError identityMismatch() { return {Case::identityMismatch, 0}; }
  static LocalStoreError alreadyRunning() { return {Case::alreadyRunning, 0}; }
  static LocalStoreError capacity() { return {Case::capacity, 0}; }

  Case errorCase() const { return case_; }
  // The schema number of `newerSchema`, the status of `keychain`, 0 otherwise.
  std::int64_t payload() const { return payload_; }
  const char* what() const noexcept override { return description_.c_str(); }

  friend bool operator==(const LocalStoreError& a, const LocalStoreError& b) {
    return a.case_ == b.case_ && a.payload_ == b.payload_;
  }

 private:
  LocalStoreError(Case errorCase, std::int64_t payload);

  Case case_;
  std::int64_t payload_;
  std::string description_;
};

std::string_view caseName(LocalStoreError::Case errorCase);

}  // namespace velmorine::store
