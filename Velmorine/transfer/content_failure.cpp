#include "Velmorine/transfer/content_failure.h"

#include <array>
#include <utility>

namespace velmorine::transfer {

namespace {

using Case = ContentFailure::Case;

constexpr std::array<std::pair<Case, std::string_view>, 20> kRawValues = {{
    {Case::cancelled, "cancelled"},
    {Case::access, "access"},
    {Case::changed, "changed"},
    {Case::unsupportedNode, "unsupportedNode"},
    {Case::invalidPath, "invalidPath"},
    {Case::duplicatePath, "duplicatePath"},
    {Case::entryLimit, "entryLimit"},
    {Case::topLevelLimit, "topLevelLimit"},
    {Case::pathLimit, "pathLimit"},
    {Case::sizeLimit, "sizeLimit"},
    {Case::packageReview, "packageReview"},
    {Case::cloudUnavailable, "cloudUnavailable"},
    {Case::invalidManifest, "invalidManifest"},
    {Case::unsupportedVolume, "unsupportedVolume"},
    {Case::diskSpace, "diskSpace"},
    {Case::conflict, "conflict"},
    {Case::corrupt, "corrupt"},
    {Case::incomplete, "incomplete"},
    {Case::disconnected, "disconnected"},
    {Case::io, "io"},
}};

}  // namespace

const char* ContentFailure::what() const noexcept { return rawValue(case_).data(); }

std::string_view rawValue(ContentFailure::Case failure) {
  for (const auto& [candidate, raw] : kRawValues) {
    if (candidate == failure) return raw;
  }
  return "io";
}

std::optional<ContentFailure::Case> contentFailureFromRaw(std::string_view raw) {
  for (const auto& [failure, candidate] : kRawValues) {
    if (candidate == raw) return failure;
  }
  return std::nullopt;
}

std::string transferErrorKey(ContentFailure::Case failure) {
  return "transfer.error." + std::string(rawValue(failure));
}

ContentFailure::Case contentFailureOf(const std::exception_ptr& error) {
  if (!error) return Case::io;
  try {
    std::rethrow_exception(error);
  } catch (const ContentFailure& failure) {
    return failure.failure();
  } catch (...) {
    return Case::io;
  }
}

}  // namespace velmorine::transfer
