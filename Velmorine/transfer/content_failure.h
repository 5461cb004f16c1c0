#pragma once

// Why content work (preparing, sending, receiving, storing a batch) failed. The raw value is
// the case name; a transfer records it as the text key "transfer.error." + raw value. A failure
// of a file-system call also carries that call's errno, for diagnosis; it plays no part in
// equality.

#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace velmorine::transfer {

class ContentFailure : public std::exception {
 public:
  enum class Case {
    cancelled,
    access,
    changed,
    unsupportedNode,
    invalidPath,
    duplicatePath,
    entryLimit,
    topLevelLimit,
    pathLimit,
    sizeLimit,
    packageReview,
    cloudUnavailable,
    invalidManifest,
    unsupportedVolume,
    diskSpace,
    conflict,
    corrupt,
    incomplete,
    disconnected,
    io,
  };

  explicit ContentFailure(Case failure, int systemError = 0)
      : case_(failure), systemError_(systemError) {}

  Case failure() const { return case_; }
  int systemError() const { return systemError_; }
  const char* what() const noexcept override;

  friend bool operator==(const ContentFailure& a, const ContentFailure& b) {
    return a.case_ == b.case_;
  }

 private:
  Case case_;
  int systemError_;
};

std::string_view rawValue(ContentFailure::Case failure);
// Exact, case-sensitive match of a case name; nothing for any other text.
std::optional<ContentFailure::Case> contentFailureFromRaw(std::string_view raw);

// The error text a transfer record keeps for a failure: "transfer.error." + raw value.
std::string transferErrorKey(ContentFailure::Case failure);
// The failure a caught error stands for: its own case for a ContentFailure, `io` for anything
// else (including no error at all).
ContentFailure::Case contentFailureOf(const std::exception_ptr& error);

}  // namespace velmorine::transfer
